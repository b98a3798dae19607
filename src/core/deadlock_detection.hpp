// Deadlocks between containers, refused instead of waited for.
//
// Code run while a container's lock is held (a collection or a finalizer that
// the module's own work starts) may use a second container, so two threads
// that take two containers in opposite orders (or a ring of threads and
// containers) would wait for each other for ever. Each
// container records the thread that holds it; this records which thread waits
// for which container. Before a thread waits for a container, and again between
// the slices of its wait, it follows the chain: the container's holder, the
// container that thread waits for, that container's holder, and so on. If the
// chain comes back to the calling thread, the wait would never end and is
// refused. Checking and recording happen in one step under one process-wide
// mutex, and a refusal takes the thread off the chain in that same step, so of
// the threads on a cycle exactly one gives up; the others go on waiting.
//
// The same holds for a thread that waits for a singleton another thread is
// making: the maker is that wait's holder, and the maker may itself wait,
// for a container or (a provider resolving another singleton) for a maker.
//
// Only threads that find a container busy, or a singleton being made, come
// here: an uncontended lock never touches the record.
#pragma once

#include <atomic>
#include <thread>

namespace quorix::core {

// The calling thread's wait for what one thread holds (a container's lock, a
// singleton's making), recorded while it lasts. `owner` names that thread
// (no thread: nobody). Waits nest (code run inside a wait may wait for
// another container): each has a record of its own.
class LockWait {
public:
    explicit LockWait(const std::atomic<std::thread::id>& owner) noexcept : wanted_(owner) {}
    LockWait(const LockWait&) = delete;
    LockWait& operator=(const LockWait&) = delete;
    // Takes the thread off the record, however the wait ends.
    ~LockWait();

    // Records the wait and returns true, unless waiting would close a cycle of
    // holders and waiters through the calling thread: then the wait is taken off
    // the record and false is returned.
    bool may_wait();

private:
    const std::atomic<std::thread::id>& wanted_;
    bool recorded_ = false;
};

// Around a fork: the records are held across it, and the child, whose other
// threads are gone, keeps only the forking thread's own.
void wait_records_before_fork() noexcept;
void wait_records_after_fork(bool in_child) noexcept;

}  // namespace quorix::core
