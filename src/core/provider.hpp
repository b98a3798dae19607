// Provider records and the maps that hold them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <type_traits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/cached_slot.hpp"
#include "core/seeded_hash.hpp"
#include "runtime/ref.hpp"

namespace quorix::core {

// A key: owned UTF-8 text, compared byte for byte (NUL included).
using KeyText = std::string;
using KeyList = std::vector<KeyText>;

struct ProviderMeta {
    KeyList dep_keys;  // exactly as registered: order and duplicates kept
    bool singleton = false;
    bool is_async = false;
};

class Provider;

// What resolution keeps on a record between calls, none of it visible outside:
// where each dependency key led when last looked up, and whether the record is
// on the current resolution path.
struct ResolutionLinks {
    // The effective record of each entry of `dep_keys` (null: no provider), valid
    // while the container's registry generation equals `generation`.
    std::vector<Provider*> dep_records;
    std::uint64_t generation = 0;  // 0: never looked up; generations start at 1
    // Set while a walk being laid out (under the lock) has the record's key on
    // its path. Under the lock a key has exactly one effective record and no two
    // keys share one, so this mark stands for the key's membership in the path.
    bool on_path = false;
    // The layout that last laid out this (singleton) record's making: a second
    // meeting in the same layout only reads the value the first one made.
    std::uint64_t laid_out_in = 0;
    // Whether top-level resolutions of this record run a compiled function
    // (core/compiled_resolution.hpp): valid while the registry generation equals
    // `compiled_generation`. `compiled` is the function's index, or one of the
    // marks below; `resolutions` counts the walks made meanwhile.
    static constexpr std::int32_t not_compiled = -1;
    static constexpr std::int32_t not_compilable = -2;
    std::uint64_t compiled_generation = 0;
    std::uint32_t resolutions = 0;
    std::int32_t compiled = not_compiled;
};

// Which thread is making a singleton record's value, if one is. Written
// under the container's lock; read without it by the deadlock check, which
// follows the chain of waits through it.
struct SingletonMaking {
    std::atomic<std::thread::id> maker{};
    // The process's fork count when the maker began: a maker that began
    // before a fork, in a child, is a thread the fork did not copy.
    std::uint64_t forks_seen = 0;
};

// One registered record. It never changes after it is made, except `cached`,
// who is making its value (and the resolution links, which only cache
// lookups). Shared by the maps that hold it and by the resolutions under way
// that use it (RecordRef), so a record displaced while a resolution calls its
// provider stays whole until that resolution is done with it.
class Provider {
public:
    Provider(KeyText record_key, OwnedRef callable_object, ProviderMeta provider_meta) noexcept
        : key(std::move(record_key)), meta(std::move(provider_meta)), callable(std::move(callable_object)) {}
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;

    // Releases the callable, then the dependency keys, then the cached value.
    ~Provider() {
        callable.reset();
        KeyList().swap(meta.dep_keys);
        cached.reset();
    }

    // Whether a thread is making its value: a value stored meanwhile (by
    // `set_cached`) answers a read only through the resolution's own checks,
    // since the maker itself reaching it again is a cycle.
    bool being_made() const noexcept { return making.maker.load(std::memory_order_relaxed) != std::thread::id(); }

    KeyText key;  // the key it was registered under, for the errors of its making
    ProviderMeta meta;
    OwnedRef callable;
    CachedSlot cached;  // empty while no value is kept
    ResolutionLinks links;
    SingletonMaking making;

private:
    friend class RecordRef;
    // Taken and dropped only by threads attached to the interpreter; with an
    // interpreter lock that serializes them, a plain count suffices.
    using Count = std::conditional_t<capability::calls_hold_interpreter_lock, std::uint32_t, std::atomic<std::uint32_t>>;
    Count references_{0};
};

// A strong reference to a record. The last one to go releases the record and,
// with it, its callable and cached value: that may run Python code, so a
// reference is never dropped under the container's lock unless another one
// (the map's) is known to outlive it.
class RecordRef {
public:
    RecordRef() noexcept = default;
    explicit RecordRef(Provider* record) noexcept : record_(record) {
        if (record_ != nullptr) {
            ++record_->references_;
        }
    }
    RecordRef(const RecordRef& other) noexcept : RecordRef(other.record_) {}
    RecordRef(RecordRef&& other) noexcept : record_(std::exchange(other.record_, nullptr)) {}
    RecordRef& operator=(RecordRef other) {
        std::swap(record_, other.record_);
        return *this;  // the old record goes with `other`
    }
    ~RecordRef() { reset(); }

    void reset() {
        Provider* record = std::exchange(record_, nullptr);
        if (record != nullptr && --record->references_ == 0) {
            delete record;
        }
    }
    Provider* get() const noexcept { return record_; }
    Provider* operator->() const noexcept { return record_; }
    Provider& operator*() const noexcept { return *record_; }
    explicit operator bool() const noexcept { return record_ != nullptr; }

private:
    Provider* record_ = nullptr;
};

inline RecordRef make_record(KeyText key, OwnedRef callable, ProviderMeta meta) {
    return RecordRef(new Provider(std::move(key), std::move(callable), std::move(meta)));
}

// One key's record, at most one per key; each map hashes with its own seed.
using ProviderMap = std::unordered_map<KeyText, RecordRef, SeededHash, std::equal_to<>>;

// What an operation keeps of a record after it stops looking at the record.
struct CopiedOutProvider {
    OwnedRef callable;
    ProviderMeta meta;
};

}  // namespace quorix::core
