// Error results: the error side of every fallible operation of the module.
//
// Deferred: an exception type and its one-argument message; no Python object
// exists until it is raised at an entry, unless the message was built from
// Python objects (a keyword name, a type's name, the text of another
// exception): those stay a `str`, so that every code point survives.
// Fetched: an exception object taken from the interpreter right after a call
// of it failed, raised again unchanged.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "runtime/ref.hpp"

namespace quorix {

class ErrorResult {
public:
    // `type` is a built-in exception class or the PanicException class; `cause`,
    // if given, becomes the raised exception's __cause__.
    static ErrorResult deferred(PyObject* type, std::string message, OwnedRef cause = {}) {
        ErrorResult error;
        error.type_ = OwnedRef::share(type);
        error.message_ = std::move(message);
        error.value_ = std::move(cause);
        error.is_deferred_ = true;
        return error;
    }
    // The message is a `str` the caller built from Python objects.
    static ErrorResult deferred(PyObject* type, OwnedRef message, OwnedRef cause = {}) {
        ErrorResult error = deferred(type, std::string(), std::move(cause));
        error.message_object_ = std::move(message);
        return error;
    }
    static ErrorResult fetched(OwnedRef type, OwnedRef value, OwnedRef traceback) {
        ErrorResult error;
        error.type_ = std::move(type);
        error.value_ = std::move(value);
        error.traceback_ = std::move(traceback);
        return error;
    }

    bool is_deferred() const noexcept { return is_deferred_; }
    // The exception's class (for a fetched error, the class of its object).
    PyObject* type() const noexcept { return type_.get(); }
    // Deferred only: the message, either a `str` (message_object) or else text.
    const std::string& message() const noexcept { return message_; }
    PyObject* message_object() const noexcept { return message_object_.get(); }
    // Fetched only: the exception object.
    PyObject* exception() const noexcept { return is_deferred_ ? nullptr : value_.get(); }
    // Deferred only: the __cause__ to attach when raised (may be null).
    PyObject* cause() const noexcept { return is_deferred_ ? value_.get() : nullptr; }

    // Makes this error the interpreter's current exception. Ends in an internal
    // failure if the interpreter cannot create the exception's argument.
    void raise() &&;

private:
    ErrorResult() = default;
    OwnedRef type_;
    OwnedRef value_;      // fetched: the exception; deferred: the cause, if any
    OwnedRef traceback_;       // fetched only
    OwnedRef message_object_;  // deferred, when built from Python objects
    std::string message_;
    bool is_deferred_ = false;
};

// The error of an interpreter call that reported failure without an exception.
ErrorResult no_exception_set_error();

// The pending exception, taken out of the interpreter and normalised; all
// three are null when none is set.
struct RaisedException {
    OwnedRef type;
    OwnedRef value;
    OwnedRef traceback;
};
RaisedException fetch_raised_exception();

// Called right after an interpreter call reported failure: takes the pending
// exception as a fetched error. A PanicException is not an ordinary error: it is
// reported on standard error and resumed as an internal failure.
ErrorResult take_current_exception();

// A value or an error result.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(ErrorResult error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    ErrorResult& error() & { return std::get<1>(state_); }
    ErrorResult&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, ErrorResult> state_;
};

struct Unit {};
using Status = Result<Unit>;
inline Status success() { return Unit{}; }

}  // namespace quorix

// Returns the error of a failed Result<...> expression from the enclosing function.
#define QUORIX_TRY(expression)                        \
    do {                                              \
        auto&& quorix_try_result_ = (expression);     \
        if (!quorix_try_result_.ok()) {               \
            return std::move(quorix_try_result_).error(); \
        }                                             \
    } while (false)

// Declares `variable` from a Result expression, or returns its error.
#define QUORIX_LET(variable, expression)                      \
    auto variable##_result = (expression);                    \
    if (!variable##_result.ok()) {                            \
        return std::move(variable##_result).error();          \
    }                                                         \
    auto variable = std::move(variable##_result).value()
