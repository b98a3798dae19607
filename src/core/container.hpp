// A container: its state behind one non-re-entrant lock with a poisoned flag.
//
// Every operation takes the lock once and holds it for all of its work, so the
// operations of one container are atomic with respect to each other. An internal
// failure that unwinds through a held lock poisons it for good; a thread ended
// while it holds the lock (python/forced_unwind.hpp) releases it unpoisoned,
// since every change is all-or-nothing and nothing of the module failed.
//
// A thread that finds the lock taken waits for it with the interpreter lock
// released, in slices: between them it runs the pending signal handlers, so a
// wait can be interrupted (Ctrl-C), and it makes sure that the wait is not part
// of a deadlock across containers (core/deadlock_detection.hpp).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>

#include "core/container_inner.hpp"
#include "python/error_result.hpp"
#include "python/forced_unwind.hpp"

namespace quorix::core {

class Container {
public:
    Container() = default;
    Container(const Container&) = delete;
    Container& operator=(const Container&) = delete;

    // Runs `work(ContainerInner&)`, which returns a Result, under the lock.
    template <class Work>
    QUORIX_CATCHES_FORCED_UNWIND auto locked(Work&& work) -> std::invoke_result_t<Work, ContainerInner&> {
        const std::thread::id self = std::this_thread::get_id();
        // Only this thread can have stored its own id, so a relaxed read suffices.
        if (holder_.load(std::memory_order_relaxed) == self || !try_acquire()) {
            if (Status entered = enter_contended(self); !entered.ok()) {
                return std::move(entered).error();
            }
        }
        holder_.store(self, std::memory_order_relaxed);
        if (poisoned_) {
            leave();
            fail_poisoned();
        }
        // The handlers cost nothing on the way through; they release the lock
        // on the ways out that unwind, poisoning it for an internal failure.
        try {
            auto result = work(inner_);
            leave();
            return result;
        }
        // The thread is being ended: nothing failed, and the state is sound.
        QUORIX_ON_FORCED_UNWIND(leave())
        catch (const std::bad_alloc&) {
            // Every change the operations make is all-or-nothing, so running out
            // of memory leaves the state sound: a MemoryError, not a poisoning.
            leave();
            throw;
        } catch (...) {
            poisoned_ = true;
            leave();
            throw;
        }
    }

    bool poisoned() const noexcept { return poisoned_; }
    // The thread that holds the lock, or no thread.
    std::thread::id holder() const noexcept { return holder_.load(std::memory_order_relaxed); }

private:
    // The lock word: free, held, or held with threads (possibly) asleep waiting
    // for it. Taking a free lock and releasing one nobody waits for are one
    // atomic operation each; only waiters and the release that wakes them touch
    // the sleeping machinery.
    enum LockState : int { lock_free = 0, lock_held = 1, lock_held_awaited = 2 };

    bool try_acquire() noexcept {
        int expected = lock_free;
        return state_.compare_exchange_strong(expected, lock_held, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    // Waits at most `slice` for the lock; true once it is held.
    bool acquire_within(std::chrono::milliseconds slice);
    void release() noexcept {
        if (state_.exchange(lock_free, std::memory_order_release) == lock_held_awaited) {
            wake_waiters();
        }
    }
    void wake_waiters() noexcept;

    // The lock was not free at once: refuses a re-entrant call, else waits for
    // the lock. An error if the call is re-entrant, a signal handler raised or
    // the wait would be a deadlock; then the lock is not held.
    Status enter_contended(std::thread::id self);
    Status wait_for_lock();
    [[noreturn]] static void fail_poisoned();
    void leave() noexcept;

    // Destroyed in reverse order: the lock first, then the state.
    ContainerInner inner_;
    std::atomic<int> state_{lock_free};
    std::mutex sleep_mutex_;             // guards the sleep on `lock_released_`
    std::condition_variable lock_released_;
    std::atomic<std::thread::id> holder_{};
    bool poisoned_ = false;
};

}  // namespace quorix::core
