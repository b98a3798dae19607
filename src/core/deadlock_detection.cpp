#include "core/deadlock_detection.hpp"

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>


namespace quorix::core {
namespace {

struct Waiting {
    std::thread::id thread;
    const std::atomic<std::thread::id>* wanted;
    const LockWait* wait;  // the wait that made the record, and alone removes it
};

struct WaitRecords {
    std::mutex mutex;
    // A few entries at most: one per wait, oldest first. A thread has more than
    // one when code run inside its wait (a signal handler, a finalizer) waits
    // for another container; its newest is the one it is blocked in.
    std::vector<Waiting> waiting;
};

WaitRecords& wait_records() {
    // Never destroyed: a daemon thread may still leave its wait while the
    // process runs its exit handlers.
    static WaitRecords* records = new WaitRecords;
    return *records;
}

const std::atomic<std::thread::id>* wanted_by(const std::vector<Waiting>& waiting, std::thread::id thread) noexcept {
    for (auto entry = waiting.rbegin(); entry != waiting.rend(); ++entry) {
        if (entry->thread == thread) {
            return entry->wanted;
        }
    }
    return nullptr;
}

// A thread on the record is still inside its wait (it cannot leave without the
// records' mutex, held here), so it still holds every container it held: a
// chain that comes back to `self` is a real cycle.
bool closes_cycle(const std::vector<Waiting>& waiting, const std::atomic<std::thread::id>& wanted,
                  std::thread::id self) noexcept {
    std::thread::id holder = wanted.load(std::memory_order_relaxed);
    // Each step moves on to a waiting thread; more steps than there are of them
    // means a cycle among other threads, which one of them will refuse.
    for (std::size_t steps = 0; steps <= waiting.size(); ++steps) {
        if (holder == self) {
            return true;
        }
        if (holder == std::thread::id()) {
            return false;
        }
        const std::atomic<std::thread::id>* next = wanted_by(waiting, holder);
        if (next == nullptr) {
            return false;
        }
        holder = next->load(std::memory_order_relaxed);
    }
    return false;
}

void take_off(std::vector<Waiting>& waiting, const LockWait* wait) noexcept {
    waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                                 [wait](const Waiting& entry) { return entry.wait == wait; }),
                  waiting.end());
}

}  // namespace

bool LockWait::may_wait() {
    const std::thread::id self = std::this_thread::get_id();
    WaitRecords& records = wait_records();
    std::lock_guard<std::mutex> guard(records.mutex);
    if (closes_cycle(records.waiting, wanted_, self)) {
        if (recorded_) {
            take_off(records.waiting, this);
            recorded_ = false;
        }
        return false;
    }
    if (!recorded_) {
        records.waiting.push_back({self, &wanted_, this});
        recorded_ = true;
    }
    return true;
}

LockWait::~LockWait() {
    if (recorded_) {
        WaitRecords& records = wait_records();
        std::lock_guard<std::mutex> guard(records.mutex);
        take_off(records.waiting, this);
    }
}

void wait_records_before_fork() noexcept { wait_records().mutex.lock(); }

void wait_records_after_fork(bool in_child) noexcept {
    WaitRecords& records = wait_records();
    if (in_child) {
        // Only the forking thread survives; its own waits (a fork from code run
        // inside a wait) are still under way in the child.
        const std::thread::id self = std::this_thread::get_id();
        records.waiting.erase(std::remove_if(records.waiting.begin(), records.waiting.end(),
                                             [self](const Waiting& entry) { return entry.thread != self; }),
                              records.waiting.end());
    }
    records.mutex.unlock();
}

}  // namespace quorix::core
