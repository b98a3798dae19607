// Reads without the container's lock, and the deferred release they need.
//
// On free-threaded builds a cached singleton is read with no lock held: a
// reader finds the value and takes its own reference while another thread may
// be replacing it. So what a reader may still be looking at is never released
// at once: it is retired, and released once every read that could have seen
// it has ended. Each thread announces its reads in a slot of its own (the
// epoch it began in), so a read writes no memory that other readers write; a
// reclaimer (a thread that changed a container) releases what was retired
// before the oldest read under way began.
#pragma once

#include <atomic>
#include <cstdint>

namespace quorix::core {

namespace detail {
struct ReaderSlot {
    // The epoch the thread's read began in; 0 while it reads nothing.
    alignas(64) std::atomic<std::uint64_t> epoch{0};
    std::atomic<bool> in_use{false};
    ReaderSlot* next = nullptr;
};
ReaderSlot& this_thread_reader_slot();
extern std::atomic<std::uint64_t> read_epoch;
}  // namespace detail

// One read without the lock, from its beginning to its end.
class ReadSection {
public:
    ReadSection() noexcept : slot_(detail::this_thread_reader_slot()) {
        // Announced before anything is read: a reclaimer that misses it also
        // unpublished what it retires before this read looks.
        slot_.epoch.store(detail::read_epoch.load(std::memory_order_seq_cst), std::memory_order_seq_cst);
    }
    ReadSection(const ReadSection&) = delete;
    ReadSection& operator=(const ReadSection&) = delete;
    ~ReadSection() { slot_.epoch.store(0, std::memory_order_release); }

private:
    detail::ReaderSlot& slot_;
};

// The epoch that what is retired now waits out: reads that began in it or
// before may still see it.
std::uint64_t retire_epoch() noexcept;
// The epoch the oldest read under way began in (none: the largest epoch):
// what was retired in an earlier epoch no read can see.
std::uint64_t oldest_read() noexcept;

}  // namespace quorix::core
