#include <atomic>
#include <chrono>
#include <string>

#include "core/container.hpp"
#include "core/deadlock_detection.hpp"
#include "core/fork_safety.hpp"
#include "runtime/forced_unwind.hpp"
#include "runtime/interpreter_finalizing.hpp"
#include "runtime/internal_failure.hpp"

namespace quorix::core {
namespace {

// Short enough that a signal handler runs promptly while a thread waits, long
// enough that the waiting thread costs the holder nothing noticeable.
constexpr std::chrono::milliseconds wait_slice{5};

// The least time between two hand-offs, about the interpreter's switch
// interval: each hand-off costs the releasing thread a switch, so an owner that
// got the lock keeps it for a while before a release passes it on again.
constexpr std::chrono::milliseconds hand_off_spacing{5};

}  // namespace

// A waiter's place in the starving queue, left however the wait ends: a lock
// handed to it meanwhile is let go again when the wait ends in an error (a
// signal handler raised) or the thread is ended while it takes the interpreter
// lock back (the interpreter is finalising).
class Container::QueuePlace {
public:
    QueuePlace(Container& container, Waiter& me) noexcept : container_(container), me_(me) {}
    QueuePlace(const QueuePlace&) = delete;
    QueuePlace& operator=(const QueuePlace&) = delete;
    ~QueuePlace() {
        if (queued_ && container_.withdraw(me_)) {
            container_.leave();
        }
    }

    bool queued() const noexcept { return queued_; }
    void enqueue() {
        container_.enqueue(me_);
        queued_ = true;
    }
    // The lock is ours (taken up or taken): nothing left to undo.
    void taken() noexcept { queued_ = false; }
    // Leaves the queue; true if the lock had been handed over meanwhile.
    bool withdraw() noexcept {
        const bool handed = queued_ && container_.withdraw(me_);
        queued_ = false;
        return handed;
    }

private:
    Container& container_;
    Waiter& me_;
    bool queued_ = false;
};

Container::Container() noexcept { enroll_for_fork(*this); }

Container::~Container() { unenroll_for_fork(*this); }

ErrorResult Container::forked_away_error() {
    return ErrorResult::deferred(PyExc_RuntimeError,
                                 "Container was in use by another thread when the process forked; it cannot be used "
                                 "in this process");
}

Status Container::enter_contended(std::thread::id self) {
    // Checked first: a thread of this process may reuse the lost holder's id.
    if (forked_away_) {
        return forked_away_error();
    }
    if (holder_.load(std::memory_order_relaxed) == self) {
        // Code run while this thread holds the lock (a collection or a
        // finalizer the module's own work started) called back into this
        // container: waiting for ourselves would never end.
        return ErrorResult::deferred(PyExc_RuntimeError,
                                     "Container is already in use by the calling thread (a re-entrant call)");
    }
    if (capability::spins_before_sleeping && spin_for_lock()) {
        return success();
    }
    return wait_for_lock();
}

namespace {

// Tells the processor this is a spin: the sibling hardware thread gets the
// core, and the loop leaves without a memory-order mis-speculation.
inline void spin_pause() noexcept {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __builtin_ia32_pause();
#elif defined(__GNUC__) && defined(__aarch64__)
    __asm__ __volatile__("yield");
#else
    std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// Enough for the holder to finish a typical operation (well under a
// microsecond for a cached value, a few for a graph), far less than the sleep
// and wake-up of a wait.
constexpr int spin_rounds = 256;

}  // namespace

bool Container::spin_for_lock() noexcept {
    // Without an interpreter lock the holder runs on another core: most
    // operations end before a sleeping waiter would even be woken.
    for (int round = 0; round < spin_rounds; ++round) {
        spin_pause();
        if (state_.load(std::memory_order_relaxed) == lock_free && try_acquire()) {
            return true;
        }
    }
    return false;
}

void Container::fail_poisoned() {
    fail_internal("called `Result::unwrap()` on an `Err` value: PoisonError { .. }");
}

Status Container::wait_for_lock() {
    LockWait wait(holder_);
    Waiter me{std::this_thread::get_id()};
    QueuePlace place(*this, me);
    for (;;) {
        // Checked again on every slice: code run inside the wait may have
        // forked, leaving this thread in a child whose holder is gone.
        if (forked_away_) {
            return forked_away_error();
        }
        // Checked again on every slice: holders change while we wait.
        if (!wait.may_wait()) {
            // A lock handed over since the last look is ours: no deadlock then.
            if (place.withdraw()) {
                return success();
            }
            return ErrorResult::deferred(PyExc_RuntimeError,
                                         "Deadlock detected: the container is held by a thread that is waiting for "
                                         "a container held by the calling thread");
        }
        // The holder may be running Python code and need the interpreter lock to
        // finish, so wait for the container without holding it.
        PyThreadState* saved = PyEval_SaveThread();
        sleep_until_released(me, wait_slice);
        call_interpreter([saved] { PyEval_RestoreThread(saved); });
        if (take_after_wait(me, place.queued())) {
            place.taken();
            return success();
        }
        // Woken (or the slice ended), running, and still refused: from now on
        // the releases owe this thread a turn.
        if (!place.queued()) {
            place.enqueue();
        }
        // Signal handlers (main thread only) and, from 3.12, a scheduled
        // collection run here: Python code that may use this container or wait
        // for its holder, so it must not be handed the container meanwhile. A
        // lock handed over just before is taken up instead; the signal is then
        // handled as soon as the interpreter runs code again.
        if (!start_running_code(me)) {
            place.taken();
            return success();
        }
        const int checked = call_interpreter([] { return PyErr_CheckSignals(); });
        stop_running_code(me);
        if (checked < 0) {
            return take_current_exception();
        }
    }
}

void Container::sleep_until_released(Waiter& me, std::chrono::milliseconds slice) {
    const auto deadline = std::chrono::steady_clock::now() + slice;
    std::unique_lock<std::mutex> asleep(sleep_mutex_);
    for (;;) {
        if (me.granted) {
            return;
        }
        int seen = state_.load(std::memory_order_relaxed);
        if (seen == lock_free) {
            return;
        }
        // Marking the lock as awaited under the sleep mutex makes the holder's
        // release take the slow way, which takes this mutex before it wakes us:
        // it cannot slip between this look at the lock word and the sleep.
        if (seen == lock_held &&
            !state_.compare_exchange_weak(seen, lock_held_awaited, std::memory_order_relaxed)) {
            continue;
        }
        // One sleep: a wake means the lock was released (or handed to us), and
        // the lock is tried only once this thread runs again.
        lock_released_.wait_until(asleep, deadline);
        return;
    }
}

bool Container::take_after_wait(Waiter& me, bool queued) {
    // Taken as awaited: other threads may still sleep, and this thread's
    // release must wake them.
    int expected = lock_free;
    if (!queued && !interpreter_finalizing()) {
        return state_.compare_exchange_strong(expected, lock_held_awaited, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    std::lock_guard<std::mutex> ordered(sleep_mutex_);
    if (take_up_hand_off(me)) {
        return true;
    }
    if (!state_.compare_exchange_strong(expected, lock_held_awaited, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
        return take_back_hand_off(me, queued);
    }
    // Taken on its own: out of the queue, so no release hands it the lock again.
    if (queued) {
        unlink(me);
    }
    return true;
}

bool Container::take_back_hand_off(Waiter& me, bool queued) noexcept {
    if (handed_to_ == nullptr || !interpreter_finalizing()) {
        return false;
    }
    // The lock stays held (and awaited); it changes hands here, and the thread
    // it was handed to finds no hand-off should it ever run again.
    handed_to_->granted = false;
    handed_to_ = nullptr;
    if (queued) {
        unlink(me);
    }
    holder_.store(me.thread, std::memory_order_relaxed);
    return true;
}

void Container::enqueue(Waiter& me) {
    std::lock_guard<std::mutex> ordered(sleep_mutex_);
    me.next = nullptr;
    me.queued = true;
    if (starving_tail_ == nullptr) {
        starving_head_ = &me;
    } else {
        starving_tail_->next = &me;
    }
    starving_tail_ = &me;
}

bool Container::start_running_code(Waiter& me) noexcept {
    std::lock_guard<std::mutex> ordered(sleep_mutex_);
    if (take_up_hand_off(me)) {
        return false;
    }
    me.running_code = true;
    return true;
}

void Container::stop_running_code(Waiter& me) noexcept {
    std::lock_guard<std::mutex> ordered(sleep_mutex_);
    me.running_code = false;
}

bool Container::take_up_hand_off(Waiter& me) noexcept {
    if (!me.granted) {
        return false;
    }
    me.granted = false;
    handed_to_ = nullptr;
    return true;
}

bool Container::withdraw(Waiter& me) noexcept {
    std::lock_guard<std::mutex> ordered(sleep_mutex_);
    if (take_up_hand_off(me)) {
        return true;
    }
    if (me.queued) {
        unlink(me);
    }
    return false;
}

void Container::unlink(Waiter& me) noexcept {
    Waiter** link = &starving_head_;
    Waiter* before = nullptr;
    while (*link != &me) {
        before = *link;
        link = &(*link)->next;
    }
    *link = me.next;
    if (starving_tail_ == &me) {
        starving_tail_ = before;
    }
    me.queued = false;
    me.next = nullptr;
}

void Container::release_awaited() noexcept {
    {
        // Every change of the lock word that a sleeper acts on is made under the
        // sleep mutex, so it comes before or after a sleeper's look, never between
        // its look and its sleep.
        std::lock_guard<std::mutex> ordered(sleep_mutex_);
        const auto now = std::chrono::steady_clock::now();
        Waiter* next = starving_head_;
        while (next != nullptr && next->running_code) {
            next = next->next;
        }
        // Once the interpreter finalizes, a thread handed the lock might never
        // run again to take it up.
        if (next != nullptr && now - last_hand_off_ >= hand_off_spacing && !interpreter_finalizing()) {
            // The lock stays held (and awaited): it passes to the waiter, which
            // takes it up once it runs again.
            unlink(*next);
            next->granted = true;
            handed_to_ = next;
            holder_.store(next->thread, std::memory_order_relaxed);
            last_hand_off_ = now;
        } else {
            state_.store(lock_free, std::memory_order_release);
        }
    }
    lock_released_.notify_all();
}

void Container::leave() noexcept {
    holder_.store(std::thread::id(), std::memory_order_relaxed);
    release();
}

void Container::before_fork() noexcept {
    sleep_mutex_.lock();
    making_mutex_.lock();
}

void Container::after_fork_in_parent() noexcept {
    making_mutex_.unlock();
    sleep_mutex_.unlock();
}

void Container::after_fork_in_child(std::thread::id self) noexcept {
    // The waiters did not survive the fork, and the condition variable may
    // still count them: a fresh one, and an empty queue.
    new (&lock_released_) std::condition_variable();
    new (&making_ended_) std::condition_variable();
    making_mutex_.unlock();
    // The forking thread may itself be queued (a fork from code run inside its
    // wait): its place goes with the queue, and it finds out on its next slice.
    for (Waiter* each = starving_head_; each != nullptr;) {
        Waiter* next = each->next;
        each->queued = false;
        each->next = nullptr;
        each = next;
    }
    starving_head_ = nullptr;
    starving_tail_ = nullptr;
    if (handed_to_ != nullptr && handed_to_->thread != self) {
        handed_to_ = nullptr;
    }
    if (state_.load(std::memory_order_relaxed) != lock_free) {
        if (holder_.load(std::memory_order_relaxed) == self) {
            // The forking thread finishes its operation here; nobody sleeps.
            state_.store(lock_held, std::memory_order_relaxed);
        } else {
            forked_away_ = true;
        }
    }
    sleep_mutex_.unlock();
}

}  // namespace quorix::core
