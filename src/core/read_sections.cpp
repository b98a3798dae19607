#include "core/read_sections.hpp"

#include <mutex>

namespace quorix::core {
namespace detail {

std::atomic<std::uint64_t> read_epoch{1};

namespace {

// Every slot ever made, never freed: a reclaimer walks them without a lock,
// and a thread that ends gives its slot to the next thread that reads.
std::atomic<ReaderSlot*> all_slots{nullptr};

ReaderSlot& claim_slot() {
    for (ReaderSlot* slot = all_slots.load(std::memory_order_acquire); slot != nullptr; slot = slot->next) {
        bool free = false;
        if (slot->in_use.compare_exchange_strong(free, true, std::memory_order_acq_rel)) {
            return *slot;
        }
    }
    auto* slot = new ReaderSlot;
    slot->in_use.store(true, std::memory_order_relaxed);
    ReaderSlot* head = all_slots.load(std::memory_order_relaxed);
    do {
        slot->next = head;
    } while (!all_slots.compare_exchange_weak(head, slot, std::memory_order_acq_rel));
    return *slot;
}

struct SlotOwner {
    ReaderSlot* slot = nullptr;
    ~SlotOwner() {
        if (slot != nullptr) {
            slot->epoch.store(0, std::memory_order_relaxed);
            slot->in_use.store(false, std::memory_order_release);
        }
    }
};

}  // namespace

ReaderSlot& this_thread_reader_slot() {
    thread_local SlotOwner owner;
    if (owner.slot == nullptr) {
        owner.slot = &claim_slot();
    }
    return *owner.slot;
}

}  // namespace detail

std::uint64_t retire_epoch() noexcept { return detail::read_epoch.fetch_add(1, std::memory_order_seq_cst); }

std::uint64_t oldest_read() noexcept {
    std::uint64_t oldest = ~std::uint64_t{0};
    for (detail::ReaderSlot* slot = detail::all_slots.load(std::memory_order_acquire); slot != nullptr;
         slot = slot->next) {
        const std::uint64_t began = slot->epoch.load(std::memory_order_seq_cst);
        if (began != 0 && began < oldest) {
            oldest = began;
        }
    }
    return oldest;
}

}  // namespace quorix::core
