#include "core/fork_safety.hpp"

#include <atomic>
#include <mutex>
#include <thread>

#include "core/container.hpp"
#include "core/deadlock_detection.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#define QUORIX_HAS_FORK 1
#else
#define QUORIX_HAS_FORK 0
#endif

namespace quorix::core {
namespace {

std::atomic<std::uint64_t> forks{0};

struct Enrolled {
    std::mutex mutex;
    Container* first = nullptr;
};

#if QUORIX_HAS_FORK
Enrolled& enrolled();

// Held from before the fork to after it in both processes, in one order:
// the wait records, the list, then each container's sleeping machinery.
void before_fork() noexcept {
    wait_records_before_fork();
    enrolled().mutex.lock();
    for (Container* each = enrolled().first; each != nullptr; each = each->enrolled_next) {
        each->before_fork();
    }
}

void after_fork_in_parent() noexcept {
    for (Container* each = enrolled().first; each != nullptr; each = each->enrolled_next) {
        each->after_fork_in_parent();
    }
    enrolled().mutex.unlock();
    wait_records_after_fork(false);
}

void after_fork_in_child() noexcept {
    forks.fetch_add(1, std::memory_order_relaxed);
    const std::thread::id self = std::this_thread::get_id();
    for (Container* each = enrolled().first; each != nullptr; each = each->enrolled_next) {
        each->after_fork_in_child(self);
    }
    enrolled().mutex.unlock();
    wait_records_after_fork(true);
}
#endif

}  // namespace

std::uint64_t forks_so_far() noexcept { return forks.load(std::memory_order_relaxed); }

namespace {

Enrolled& enrolled() {
    // Never destroyed: a daemon thread may still drop a container while the
    // process runs its exit handlers.
    static Enrolled* list = [] {
        auto* made = new Enrolled;
#if QUORIX_HAS_FORK
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
#endif
        return made;
    }();
    return *list;
}

}  // namespace

void enroll_for_fork(Container& container) noexcept {
    Enrolled& list = enrolled();
    std::lock_guard<std::mutex> guard(list.mutex);
    container.enrolled_next = list.first;
    if (list.first != nullptr) {
        list.first->enrolled_prev = &container;
    }
    list.first = &container;
}

void unenroll_for_fork(Container& container) noexcept {
    Enrolled& list = enrolled();
    std::lock_guard<std::mutex> guard(list.mutex);
    if (container.enrolled_prev != nullptr) {
        container.enrolled_prev->enrolled_next = container.enrolled_next;
    } else {
        list.first = container.enrolled_next;
    }
    if (container.enrolled_next != nullptr) {
        container.enrolled_next->enrolled_prev = container.enrolled_prev;
    }
}

}  // namespace quorix::core
