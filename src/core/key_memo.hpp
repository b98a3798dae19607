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

#include "core/provider.hpp"
#include "python/ref.hpp"

namespace quorix::core {

class KeyMemo {
public:
    // The record remembered for `key_object` in `generation`, or null.
    Provider* find(PyObject* key_object, std::uint64_t generation) const noexcept {
        const Entry& entry = entries_[slot(key_object)];
        return entry.key.get() == key_object && entry.generation == generation ? entry.record : nullptr;
    }

    void remember(PyObject* key_object, Provider* record, std::uint64_t generation) {
        Entry& entry = entries_[slot(key_object)];
        if (entry.key.get() != key_object) {
            entry.key = OwnedRef::share(key_object);  // the displaced `str` is released here
        }
        entry.record = record;
        entry.generation = generation;
    }

private:
    static constexpr unsigned slot_bits = 5;
    static constexpr std::size_t size = std::size_t{1} << slot_bits;
    // Objects of one size class sit at a fixed stride, so the address is mixed
    // (Fibonacci hashing) rather than masked: every slot stays in use.
    static std::size_t slot(PyObject* object) noexcept {
        const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(object));
        return static_cast<std::size_t>((address * 0x9e3779b97f4a7c15ULL) >> (64 - slot_bits));
    }

    struct Entry {
        OwnedRef key;
        Provider* record = nullptr;
        std::uint64_t generation = 0;  // generations start at 1: an empty entry never answers
    };
    std::array<Entry, size> entries_{};
};

}  // namespace quorix::core
