// Threads ended by unwinding their stack.
//
// glibc ends a thread (pthread_exit, pthread_cancel) by unwinding its stack
// with a special exception, abi::__forced_unwind. CPython 3.9 to 3.13 ends a
// daemon thread that way when it tries to take the interpreter lock back while
// the interpreter is finalising, so the unwinding can start inside any call the
// module makes into the interpreter. It must pass through every frame of the
// module untouched: a handler that swallows it aborts the process ("exception
// not rethrown"), and a noexcept frame it reaches terminates it.
//
// Such a thread does not hold the interpreter lock while it unwinds, and the
// interpreter may be half torn down: the references its frames own are
// abandoned instead of released. The process is ending, so they leak nothing
// that anyone could still use.
#pragma once

#include <atomic>
#include <exception>
#include <utility>

#include "runtime/inlining.hpp"

#if defined(__GLIBCXX__) && __has_include(<cxxabi.h>)
#include <cxxabi.h>
#define QUORIX_HAS_FORCED_UNWIND 1
#else
#define QUORIX_HAS_FORCED_UNWIND 0
#endif

// Marks a function whose handlers catch a forced unwind. The runtime gives a
// handler of a foreign exception a null object, which the handlers here never
// touch, but UBSan would report the binding of the reference. GCC honours only
// the whole group for templates; the work these functions run (lambdas, the
// operations) is compiled in functions of its own and stays checked.
#if QUORIX_HAS_FORCED_UNWIND && (defined(__GNUC__) || defined(__clang__))
#define QUORIX_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("undefined")))
#else
#define QUORIX_CATCHES_FORCED_UNWIND
#endif

// The first handler of every chain that ends in `catch (...)`: lets a forced
// unwind go on. Where the library has no forced unwind, it expands to nothing.
#define QUORIX_PASS_FORCED_UNWIND QUORIX_ON_FORCED_UNWIND((void)0)

// A handler that runs `statement` for a forced unwind, then lets it go on.
#if QUORIX_HAS_FORCED_UNWIND
#define QUORIX_ON_FORCED_UNWIND(statement) \
    catch (abi::__forced_unwind&) {        \
        statement;                         \
        throw;                             \
    }
#else
#define QUORIX_ON_FORCED_UNWIND(statement)
#endif

namespace quorix {
namespace detail {

// How many threads were ended inside an interpreter call: while none was, a
// release pays one relaxed load and no thread-local access.
inline std::atomic<int> threads_ended_in_interpreter{0};
inline thread_local bool this_thread_ended_in_interpreter = false;

inline void mark_thread_ended_in_interpreter() noexcept {
    if (!this_thread_ended_in_interpreter) {
        this_thread_ended_in_interpreter = true;
        threads_ended_in_interpreter.fetch_add(1, std::memory_order_relaxed);
    }
}

// Out of line: in a shared object a thread-local's address is a call, which
// the compiler would otherwise hoist out of the rare branch that reads it into
// every function that releases a reference.
QUORIX_NOINLINE inline bool this_thread_ended() noexcept { return this_thread_ended_in_interpreter; }

}  // namespace detail

// True on a thread that is being unwound out of an interpreter call: its
// Python references must be left alone.
inline bool python_references_abandoned() noexcept {
    return detail::threads_ended_in_interpreter.load(std::memory_order_relaxed) != 0 && detail::this_thread_ended();
}

// Runs `call`, a call into the interpreter during which the interpreter lock
// may be let go (Python code, a wait); if the thread is ended there, marks its
// references abandoned before any frame of the module releases them.
template <class Call>
QUORIX_CATCHES_FORCED_UNWIND decltype(auto) call_interpreter(Call&& call) {
#if QUORIX_HAS_FORCED_UNWIND
    try {
        return std::forward<Call>(call)();
    } catch (abi::__forced_unwind&) {
        detail::mark_thread_ended_in_interpreter();
        throw;
    }
#else
    return std::forward<Call>(call)();
#endif
}

}  // namespace quorix
