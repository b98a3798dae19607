// A container: its state behind one non-re-entrant lock with a poisoned flag.
//
// The lock guards the state and is held only while the module's own code reads
// or changes it: never while Python code runs (a provider's callable, a
// finalizer), so a provider that waits or works holds up no other thread, and
// may use the container itself. A resolution takes what it needs under the
// lock (core/container_inner.hpp) and runs the providers once it is free
// (core/resolution.cpp); a singleton is still made once, its makers taking
// turns here (core/singleton_making.cpp). An internal
// failure that unwinds through a held lock poisons it for good; a thread ended
// while it holds the lock (runtime/forced_unwind.hpp) releases it unpoisoned,
// since every change is all-or-nothing and nothing of the module failed.
//
// A thread that finds the lock taken waits for it with the interpreter lock
// released, in slices: between them it runs the pending signal handlers, so a
// wait can be interrupted (Ctrl-C), and it makes sure that the wait is not part
// of a deadlock across containers (core/deadlock_detection.hpp).
//
// A waiter takes the lock only once it has the interpreter lock back: a lock
// taken by a thread that cannot run would stall the thread that has just let
// go of it and wants it again (a convoy, every operation a thread switch). So a
// release lets whoever runs take the lock again, and a waiter that was woken,
// got the interpreter lock and still found the lock taken queues up as
// starving: a later release hands the lock straight to the longest-starving
// waiter, at most once per hand-off spacing, so that each owner keeps the lock
// for a while and no waiter waits for ever. The lock is handed only to a
// thread that is waiting for it: never to one that runs Python code inside
// its wait (a signal handler, a collection), nor, once the interpreter
// finalizes, to any thread, since none but the finalizing one runs again.
//
// A free-threaded CPython has no interpreter lock, but the rule holds there as
// it stands: a woken waiter attaches to the interpreter again (which only a
// stop-the-world pause delays) before it tries the lock, and each hand-off
// still costs the releasing thread a wake-up. Every sleep here is entered
// detached from the interpreter, and the sleep mutex (like the wait records'
// and the fork list's mutexes) is held for a few instructions by threads that
// run no Python code meanwhile: no attached thread can block for long on a
// mutex whose holder waits for a stop-the-world pause to end.
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
#include "core/read_sections.hpp"
#include "runtime/error_result.hpp"
#include "runtime/forced_unwind.hpp"

namespace quorix::core {

class Container {
public:
    Container() noexcept;
    ~Container();
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
        if (poisoned_.load(std::memory_order_relaxed)) {
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
            poisoned_.store(true, std::memory_order_relaxed);
            leave();
            throw;
        }
    }

    // The cyclic garbage collector's view of the state, read without the lock
    // (core/container_inner.hpp says why that is sound).
    int visit_references(visitproc visit, void* arg) const noexcept { return inner_.visit_references(visit, arg); }
    // Empties the container for the collector, as destruction would release
    // it. The state leaves the container before anything is released, so a
    // finalizer that still reaches the container finds it empty and usable.
    // A container some thread holds is in use, not garbage: it is left alone.
    void clear_for_collector();

    // The key memo's answer for an exact `str` key (whose record's value is
    // what `resolve` and `get_cached` would answer), read without owning the
    // container; not asked (generation 0) where the read must take the
    // container as every other operation does, or where
    // capability::reads_may_skip_container_lock does not hold.
    // With the interpreter lock held and the lock word free, no thread can
    // take the container before this one lets go of the interpreter lock, and
    // the read runs no Python code, so it cannot: the read is atomic with
    // respect to every operation, as one under the lock would be. A container
    // that any thread holds (this one included: a call from a provider), one
    // lost in a fork (held for good) and a poisoned one take the locked way and
    // its errors.
    MemoAnswer read_memo(PyObject* key_object) const noexcept {
        if constexpr (capability::reads_may_skip_container_lock) {
            if (state_.load(std::memory_order_relaxed) == lock_free && !poisoned()) {
                return inner_.memo_answer(key_object);
            }
        }
        return {};
    }

    // Singletons, made once per record. With the value the record holds, or
    // once another thread's making ended with one, answers that value; else
    // the calling thread becomes the record's maker and nothing is answered.
    // Meanwhile it waits, the interpreter lock released, for the thread that
    // is making it (and refuses a wait that would never end: a deadlock, a
    // maker lost in a fork or stopped by the interpreter's finalization).
    Result<OwnedRef> take_making_turn(Provider& record);
    // The maker's value goes into the record, unless one was stored meanwhile
    // (by `set_cached`): that one stays for later reads.
    Status keep_made(Provider& record, BorrowedRef value);
    // Ends the calling thread's making (made or failed): the next waiter in
    // line, if it finds no value, makes it.
    void end_making(Provider& record) noexcept;

    // Where reads may not skip the lock: the cached value published for an
    // exact `str` key (core/published_reads.hpp), read without the lock and
    // with the reference taken before any thread can release it; nothing if
    // none is published (the locked way then answers, with its errors).
    OwnedRef read_published(PyObject* key_object) const noexcept {
        if constexpr (!capability::reads_may_skip_container_lock) {
            ReadSection section;
            if (!poisoned()) {
                if (Provider* record = inner_.published().find(key_object); record != nullptr && !record->being_made()) {
                    return OwnedRef::share(record->cached.get_published());
                }
            }
        }
        return OwnedRef();
    }
    // Releases, after the lock, what the reads without it can no longer see.
    void reclaim_retired() {
        if constexpr (!capability::reads_may_skip_container_lock) {
            PublishedReads::Reclaimed reclaimed;
            // A wait refused (a signal, a fork) leaves them for a later change.
            static_cast<void>(locked([&](ContainerInner& inner) -> Status {
                if (inner.published().has_retired()) {
                    reclaimed = inner.published().take_reclaimable();
                }
                return success();
            }));
        }
    }

    bool poisoned() const noexcept { return poisoned_.load(std::memory_order_relaxed); }
    // The thread that holds the lock, or no thread.
    std::thread::id holder() const noexcept { return holder_.load(std::memory_order_relaxed); }

    // Around a fork (core/fork_safety.hpp), with every other thread of the
    // process stopped where it stands: the sleeping machinery is held across
    // the fork so that the child gets it in a consistent state.
    void before_fork() noexcept;
    void after_fork_in_parent() noexcept;
    void after_fork_in_child(std::thread::id self) noexcept;

    // The links of the process-wide list of containers, kept by core/fork_safety.cpp.
    Container* enrolled_prev = nullptr;
    Container* enrolled_next = nullptr;

private:
    // The lock word: free, held, or held with threads (possibly) asleep waiting
    // for it. Taking a free lock and releasing one nobody waits for are one
    // atomic operation each; only waiters and the release that wakes them (or
    // hands the lock over, leaving it held) touch the sleeping machinery.
    enum LockState : int { lock_free = 0, lock_held = 1, lock_held_awaited = 2 };

    bool try_acquire() noexcept {
        int expected = lock_free;
        return state_.compare_exchange_strong(expected, lock_held, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void release() noexcept {
        int expected = lock_held;
        if (!state_.compare_exchange_strong(expected, lock_free, std::memory_order_release,
                                            std::memory_order_relaxed)) {
            release_awaited();
        }
    }
    // A release with threads (possibly) asleep: hands the lock to a starving
    // waiter if one is due, else frees it; then wakes the sleepers.
    void release_awaited() noexcept;

    // A waiting thread, on its own stack; its fields are guarded by `sleep_mutex_`.
    struct Waiter {
        std::thread::id thread;
        Waiter* next = nullptr;
        bool queued = false;   // in the starving queue
        bool granted = false;  // the lock was handed to it and it has not taken it up yet
        // Running Python code inside its wait (a signal handler, a collection):
        // a release passes it over, since that code may need the very holder
        // it would then stall.
        bool running_code = false;
    };
    class QueuePlace;
    // Sleeps at most `slice` (the interpreter lock released) until a release
    // wakes it or hands it the lock; never takes the lock itself.
    void sleep_until_released(Waiter& me, std::chrono::milliseconds slice);
    // With the interpreter lock held: takes up a hand-off, else takes a free lock.
    bool take_after_wait(Waiter& me, bool queued);
    void enqueue(Waiter& me);
    // Marks a queued waiter as about to run Python code; false if the lock was
    // handed to it first (it is then held, and the code is not run).
    bool start_running_code(Waiter& me) noexcept;
    void stop_running_code(Waiter& me) noexcept;
    // Leaves the queue; true if the lock had been handed over (it is then held).
    bool withdraw(Waiter& me) noexcept;
    // Takes up a hand-off to `me`, if there is one; the sleep mutex is held.
    bool take_up_hand_off(Waiter& me) noexcept;
    // Once the interpreter is finalizing, takes back a hand-off that its
    // thread has not taken up: that thread can no longer run. The sleep mutex
    // is held; true if the lock is now the caller's.
    bool take_back_hand_off(Waiter& me, bool queued) noexcept;
    // Takes a queued waiter out of the queue; the sleep mutex is held.
    void unlink(Waiter& me) noexcept;

    // The lock was not free at once: refuses a container that a thread lost in
    // a fork holds and a re-entrant call, else waits for the lock. An error if
    // so, or if a signal handler raised or the wait would be a deadlock; then
    // the lock is not held.
    Status enter_contended(std::thread::id self);
    // Tries the lock for a few microseconds; true if it was taken. Only where
    // capability::spins_before_sleeping.
    bool spin_for_lock() noexcept;
    Status wait_for_lock();
    static ErrorResult forked_away_error();
    [[noreturn]] static void fail_poisoned();
    void leave() noexcept;

    Status wait_for_maker(Provider& record, std::uint64_t seen);

    // How many makings have ended; a waiter for a maker sleeps until it moves.
    std::atomic<std::uint64_t> makings_ended_{0};
    std::mutex making_mutex_;  // guards the sleep on `making_ended_`
    std::condition_variable making_ended_;

    // Destroyed in reverse order: the lock first, then the state.
    ContainerInner inner_;
    std::atomic<int> state_{lock_free};
    std::mutex sleep_mutex_;             // guards the sleep on `lock_released_`
    std::condition_variable lock_released_;
    std::atomic<std::thread::id> holder_{};
    std::atomic<bool> poisoned_{false};
    // Held by another thread when the process forked: no thread of this
    // process can ever release it.
    bool forked_away_ = false;
    // The starving waiters, longest-starving first; guarded by `sleep_mutex_`.
    Waiter* starving_head_ = nullptr;
    Waiter* starving_tail_ = nullptr;
    // The waiter the lock was handed to, until it takes it up; guarded by `sleep_mutex_`.
    Waiter* handed_to_ = nullptr;
    std::chrono::steady_clock::time_point last_hand_off_{};
};

}  // namespace quorix::core
