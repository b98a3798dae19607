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
        if (Status entered = enter(); !entered.ok()) {
            return std::move(entered).error();
        }
        Holder holder(*this);
        try {
            return work(inner_);
        }
        // The thread is being ended: nothing failed, and the state is sound.
        QUORIX_ON_FORCED_UNWIND(holder.keep_sound())
        catch (const std::bad_alloc&) {
            // Every change the operations make is all-or-nothing, so running out
            // of memory leaves the state sound: a MemoryError, not a poisoning.
            holder.keep_sound();
            throw;
        }
    }

    bool poisoned() const noexcept { return poisoned_; }
    // The thread that holds the lock, or no thread.
    std::thread::id holder() const noexcept { return holder_.load(std::memory_order_relaxed); }

private:
    // Releases the lock when the work is done; poisons it if the work is being
    // left by an internal failure (or any other unwinding exception).
    class Holder {
    public:
        explicit Holder(Container& container) noexcept
            : container_(container), exceptions_on_entry_(std::uncaught_exceptions()) {}
        Holder(const Holder&) = delete;
        Holder& operator=(const Holder&) = delete;
        void keep_sound() noexcept { sound_ = true; }
        ~Holder() {
            if (!sound_ && std::uncaught_exceptions() > exceptions_on_entry_) {
                container_.poisoned_ = true;
            }
            container_.leave();
        }

    private:
        Container& container_;
        int exceptions_on_entry_;
        bool sound_ = false;
    };

    // Takes the lock; refuses a re-entrant call and fails on a poisoned lock.
    Status enter();
    // The contended path of enter(): an error if a signal handler raised or the
    // wait would be a deadlock, and then the lock is not held.
    Status wait_for_lock();
    void leave() noexcept;

    // Destroyed in reverse order: the lock first, then the state.
    ContainerInner inner_;
    std::timed_mutex mutex_;
    std::atomic<std::thread::id> holder_{};
    bool poisoned_ = false;
};

}  // namespace quorix::core
