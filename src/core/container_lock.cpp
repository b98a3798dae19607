#include <chrono>
#include <string>

#include "core/container.hpp"
#include "core/deadlock_detection.hpp"
#include "python/forced_unwind.hpp"
#include "python/internal_failure.hpp"

namespace quorix::core {
namespace {

// Short enough that a signal handler runs promptly while a thread waits, long
// enough that the waiting thread costs the holder nothing noticeable.
constexpr std::chrono::milliseconds wait_slice{5};

}  // namespace

Status Container::enter_contended(std::thread::id self) {
    if (holder_.load(std::memory_order_relaxed) == self) {
        // A provider's callable or a finalizer run under the lock called back
        // into this container: waiting for ourselves would never end.
        return ErrorResult::deferred(PyExc_RuntimeError,
                                     "Container is already in use by the calling thread (a re-entrant call)");
    }
    return wait_for_lock();
}

void Container::fail_poisoned() {
    fail_internal("called `Result::unwrap()` on an `Err` value: PoisonError { .. }");
}

Status Container::wait_for_lock() {
    LockWait wait(*this);
    for (;;) {
        // Checked again on every slice: holders change while we wait.
        if (!wait.may_wait()) {
            return ErrorResult::deferred(PyExc_RuntimeError,
                                         "Deadlock detected: the container is held by a thread that is waiting for "
                                         "a container held by the calling thread");
        }
        // The holder may be running Python code and need the interpreter lock to
        // finish, so wait for the container without holding it.
        std::unique_lock<std::timed_mutex> taken(mutex_, std::defer_lock);
        PyThreadState* saved = PyEval_SaveThread();
        (void)taken.try_lock_for(wait_slice);
        // A thread ended here by the finalising interpreter lets go of the lock
        // on its way out (`taken`), and of its place in the wait records.
        call_interpreter([saved] { PyEval_RestoreThread(saved); });
        if (taken.owns_lock()) {
            taken.release();
            return success();
        }
        // Only the main thread runs handlers; elsewhere this returns at once.
        if (call_interpreter([] { return PyErr_CheckSignals(); }) < 0) {
            return take_current_exception();
        }
    }
}

void Container::leave() noexcept {
    holder_.store(std::thread::id(), std::memory_order_relaxed);
    mutex_.unlock();
}

}  // namespace quorix::core
