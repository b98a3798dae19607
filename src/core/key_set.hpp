// The set of keys on the current resolution path.
//
// Every level of a resolution inserts its key and removes it again, so this set
// sits on the hot path: open addressing with linear probing over (hash, key)
// slots, the first slots kept inline so that ordinary resolutions never
// allocate, and deletion by backward shift so no tombstones build up. The keys
// are views into texts that outlive the resolution. It is never iterated.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "core/seeded_hash.hpp"

namespace quorix::core {

class KeySet {
public:
    KeySet() noexcept : seed_(draw_seed()) {}
    KeySet(const KeySet&) = delete;
    KeySet& operator=(const KeySet&) = delete;

    // False if the key was already present.
    bool insert(std::string_view key) {
        if ((size_ + 1) * 2 > capacity_) {
            grow();
        }
        const std::uint64_t hash = hash_bytes(key, seed_);
        std::size_t index = hash & mask();
        for (; slots_[index].used; index = (index + 1) & mask()) {
            if (slots_[index].hash == hash && slots_[index].key() == key) {
                return false;
            }
        }
        slots_[index] = Slot{hash, key.data(), key.size(), true};
        ++size_;
        return true;
    }

    void erase(std::string_view key) noexcept {
        const std::uint64_t hash = hash_bytes(key, seed_);
        std::size_t hole = hash & mask();
        for (;; hole = (hole + 1) & mask()) {
            if (!slots_[hole].used) {
                return;  // not present
            }
            if (slots_[hole].hash == hash && slots_[hole].key() == key) {
                break;
            }
        }
        // Shift back every later slot of the run that may move into the hole.
        for (std::size_t next = (hole + 1) & mask(); slots_[next].used; next = (next + 1) & mask()) {
            const std::size_t home = slots_[next].hash & mask();
            const bool between = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
            if (!between) {
                slots_[hole] = slots_[next];
                hole = next;
            }
        }
        slots_[hole].used = false;
        --size_;
    }

private:
    struct Slot {
        std::uint64_t hash = 0;
        const char* data = nullptr;
        std::size_t length = 0;
        bool used = false;
        std::string_view key() const noexcept { return {data, length}; }
    };
    static constexpr std::size_t inline_capacity = 16;

    std::size_t mask() const noexcept { return capacity_ - 1; }

    void grow() {
        const std::size_t capacity = capacity_ * 2;
        auto slots = std::make_unique<Slot[]>(capacity);
        for (std::size_t i = 0; i < capacity_; ++i) {
            if (slots_[i].used) {
                std::size_t index = slots_[i].hash & (capacity - 1);
                while (slots[index].used) {
                    index = (index + 1) & (capacity - 1);
                }
                slots[index] = slots_[i];
            }
        }
        heap_ = std::move(slots);
        slots_ = heap_.get();
        capacity_ = capacity;
    }

    std::uint64_t seed_;
    std::size_t size_ = 0;
    std::size_t capacity_ = inline_capacity;
    Slot inline_slots_[inline_capacity];
    std::unique_ptr<Slot[]> heap_;
    Slot* slots_ = inline_slots_;
};

}  // namespace quorix::core
