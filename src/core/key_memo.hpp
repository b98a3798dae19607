// Which record the `str` objects resolved most recently stand for.
//
// Programs resolve the same few keys over and over, usually as the same `str`
// objects (literals and module constants). Remembering, per object, the record
// its text resolved to lets a repeated `resolve` skip hashing and looking up the
// text. An entry holds a strong reference to its `str`, so no other object can
// take its address while it is remembered, and it answers only in the registry
// generation it was made in: any change to registrations or layers forgets it.
// Only exact `str` objects are remembered; releasing one runs no Python code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/provider.hpp"
#include "runtime/ref.hpp"

namespace quorix::core {

class KeyMemo {
public:
    // The record remembered for `key_object` in `generation`, or null.
    Provider* find(PyObject* key_object, std::uint64_t generation) const noexcept {
        const Set& set = sets_[set_of(key_object)];
        for (const Entry& entry : set) {
            if (entry.key.get() == key_object) {
                return entry.generation == generation ? entry.record : nullptr;
            }
        }
        return nullptr;
    }

    void remember(PyObject* key_object, Provider* record, std::uint64_t generation) {
        Set& set = sets_[set_of(key_object)];
        Entry* entry = set[0].key.get() == key_object ? &set[0] : set[1].key.get() == key_object ? &set[1] : nullptr;
        if (entry == nullptr) {
            // The newest goes first; the older of the two makes way.
            std::swap(set[0], set[1]);
            entry = &set[0];
            entry->key = OwnedRef::share(key_object);  // the displaced `str` is released here
        }
        entry->record = record;
        entry->generation = generation;
    }

    // The collector's view: each remembered `str` is held by one reference.
    int visit_references(visitproc visit, void* arg) const noexcept {
        for (const Set& set : sets_) {
            for (const Entry& entry : set) {
                if (int stop = visit_reference(entry.key, visit, arg)) {
                    return stop;
                }
            }
        }
        return 0;
    }

    void swap(KeyMemo& other) noexcept { sets_.swap(other.sets_); }

private:
    static constexpr unsigned set_bits = 5;
    static constexpr std::size_t set_count = std::size_t{1} << set_bits;
    // Objects of one size class sit at a fixed stride, so the address is mixed
    // rather than masked. A full avalanche mix (MurmurHash3's finaliser): a
    // single multiplication leaves some strides on a few sets (the common
    // 48-byte one, times 3, is a Fibonacci number, so Fibonacci hashing puts
    // consecutive keys in 3 sets).
    static std::size_t set_of(PyObject* object) noexcept {
        auto x = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(object));
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdULL;
        x ^= x >> 33;
        x *= 0xc4ceb9fe1a85ec53ULL;
        x ^= x >> 33;
        return static_cast<std::size_t>(x & (set_count - 1));
    }

    struct Entry {
        OwnedRef key;
        Provider* record = nullptr;
        std::uint64_t generation = 0;  // generations start at 1: an empty entry never answers
    };
    // Two ways per set, so a few keys that meet in one set (a batch's keys,
    // say) do not push each other out.
    using Set = std::array<Entry, 2>;
    std::array<Set, set_count> sets_{};
};

}  // namespace quorix::core
