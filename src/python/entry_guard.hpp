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

#include "runtime/error_result.hpp"
#include "runtime/forced_unwind.hpp"
#include "runtime/inlining.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/panic_exception.hpp"
#include "runtime/ref.hpp"

namespace quorix {
namespace detail {

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

// Runs `body` and hands its result to `on_result`; whatever else ends the
// body is raised as one Python exception (a PanicException, or MemoryError).
// The handlers cost nothing while nothing is thrown.
template <class Body, class OnResult>
QUORIX_CATCHES_FORCED_UNWIND QUORIX_ALWAYS_INLINE bool run_guarded(Body&& body, OnResult&& on_result) {
    try {
        on_result(body());
        return true;
    }
    QUORIX_PASS_FORCED_UNWIND
    catch (const InternalFailure& internal) {
        raise_failure(internal.message(), false);
    } catch (const std::bad_alloc&) {
        raise_failure(std::string(), true);
    } catch (const std::exception& other) {
        raise_failure(other.what(), false);
    } catch (...) {
        raise_failure("unknown C++ exception", false);
    }
    return false;
}

}  // namespace detail

// For bodies that return Result<OwnedRef>: the object, or null with one exception set.
template <class Body>
QUORIX_ALWAYS_INLINE PyObject* guard_entry(Body&& body) {
    PyObject* object = nullptr;
    // Raising an error result cannot throw (it aborts instead), so it runs
    // inside the guard without being taken for a failure of the body.
    detail::run_guarded(body, [&object](Result<OwnedRef>&& outcome) {
        if (outcome.ok()) {
            object = std::move(outcome).value().release();
        } else {
            detail::raise_error(std::move(outcome).error());
        }
    });
    return object;
}

// For bodies that return nothing (deallocation): a failure is reported through
// the interpreter's unraisable hook and never left pending.
template <class Body>
void guard_unraisable_entry(Body&& body) {
    auto run = [&body] {
        body();
        return true;
    };
    if (!detail::run_guarded(run, [](bool) {})) {
        call_interpreter([] { PyErr_WriteUnraisable(nullptr); });  // runs the unraisable hook
    }
}

}  // namespace quorix
