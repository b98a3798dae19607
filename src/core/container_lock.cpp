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
        PyThreadState* saved = PyEval_SaveThread();
        // A thread ended while it takes the interpreter lock back (the
        // interpreter is finalising) lets go of the container on its way out,
        // and of its place in the wait records.
        struct Taken {
            Container* container = nullptr;
            ~Taken() {
                if (container != nullptr) {
                    container->release();
                }
            }
        } taken;
        if (acquire_within(wait_slice)) {
            taken.container = this;
        }
        call_interpreter([saved] { PyEval_RestoreThread(saved); });
        if (taken.container != nullptr) {
            taken.container = nullptr;
            return success();
        }
        // Only the main thread runs handlers; elsewhere this returns at once.
        if (call_interpreter([] { return PyErr_CheckSignals(); }) < 0) {
            return take_current_exception();
        }
    }
}

bool Container::acquire_within(std::chrono::milliseconds slice) {
    const auto deadline = std::chrono::steady_clock::now() + slice;
    std::unique_lock<std::mutex> asleep(sleep_mutex_);
    // Marking the lock as awaited before going to sleep, under the sleep mutex,
    // makes the holder's release wake us: it cannot slip between our look at the
    // lock word and our sleep. A lock taken this way stays marked as awaited,
    // so its release also wakes any other waiter.
    while (state_.exchange(lock_held_awaited, std::memory_order_acquire) != lock_free) {
        if (lock_released_.wait_until(asleep, deadline) == std::cv_status::timeout) {
            return state_.exchange(lock_held_awaited, std::memory_order_acquire) == lock_free;
        }
    }
    return true;
}

void Container::wake_waiters() noexcept {
    // Taking the sleep mutex orders this wake after any waiter's last look at
    // the lock word.
    { std::lock_guard<std::mutex> ordered(sleep_mutex_); }
    lock_released_.notify_all();
}

void Container::leave() noexcept {
    holder_.store(std::thread::id(), std::memory_order_relaxed);
    release();
}

}  // namespace quorix::core
