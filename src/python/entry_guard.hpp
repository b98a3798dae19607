// The entry guards: every function the interpreter calls runs its body inside
// one, so that whatever goes wrong leaves the module as exactly one raised
// Python exception and no C++ exception ever reaches the interpreter.
//
// The one thing that passes through is a forced unwind (a thread being ended):
// it is neither an error nor a failure of the module, and nothing here may be
// noexcept, or it would terminate the process instead of ending the thread.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "python/error_result.hpp"
#include "python/forced_unwind.hpp"
#include "python/internal_failure.hpp"
#include "python/panic_exception.hpp"
#include "python/ref.hpp"

namespace quorix {
namespace detail {

// What ended a body other than a result: raised as one Python exception.
// Raising must not fail in turn; if it does, the process cannot go on.
template <class Body>
QUORIX_CATCHES_FORCED_UNWIND bool run_guarded(Body&& body, Result<OwnedRef>& outcome_slot, std::string& failure,
                                              bool& out_of_memory) {
    try {
        outcome_slot = body();
        return true;
    }
    QUORIX_PASS_FORCED_UNWIND
    catch (const InternalFailure& internal) {
        failure = internal.message();
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    } catch (const std::exception& other) {
        failure = other.what();
    } catch (...) {
        failure = "unknown C++ exception";
    }
    return false;
}

QUORIX_CATCHES_FORCED_UNWIND inline void raise_failure(const std::string& failure, bool out_of_memory) {
    try {
        if (out_of_memory) {
            PyErr_NoMemory();
            return;
        }
        ErrorResult::deferred(panic_exception_type(), failure).raise();
    }
    QUORIX_PASS_FORCED_UNWIND
    catch (...) {
        abort_uncaught_panic();
    }
}

QUORIX_CATCHES_FORCED_UNWIND inline void raise_error(ErrorResult&& error) {
    try {
        std::move(error).raise();
    }
    QUORIX_PASS_FORCED_UNWIND
    catch (...) {
        abort_uncaught_panic();
    }
}

}  // namespace detail

// For bodies that return Result<OwnedRef>: the object, or null with one exception set.
template <class Body>
PyObject* guard_entry(Body&& body) {
    Result<OwnedRef> outcome{OwnedRef()};
    std::string failure;
    bool out_of_memory = false;
    if (!detail::run_guarded(body, outcome, failure, out_of_memory)) {
        detail::raise_failure(failure, out_of_memory);
        return nullptr;
    }
    if (!outcome.ok()) {
        detail::raise_error(std::move(outcome).error());
        return nullptr;
    }
    return std::move(outcome).value().release();
}

// For bodies that return nothing (deallocation): a failure is reported through
// the interpreter's unraisable hook and never left pending.
template <class Body>
void guard_unraisable_entry(Body&& body) {
    Result<OwnedRef> outcome{OwnedRef()};
    std::string failure;
    bool out_of_memory = false;
    auto wrapped = [&body]() -> Result<OwnedRef> {
        body();
        return OwnedRef();
    };
    if (!detail::run_guarded(wrapped, outcome, failure, out_of_memory)) {
        detail::raise_failure(failure, out_of_memory);
        call_interpreter([] { PyErr_WriteUnraisable(nullptr); });  // runs the unraisable hook
    }
}

}  // namespace quorix
