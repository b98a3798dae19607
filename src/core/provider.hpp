// Provider records and the maps that hold them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

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
    // Set while the record's key is being resolved on the current path. Under the
    // lock a key has exactly one effective record and no two keys share one, so
    // this mark stands for the key's membership in the path.
    bool on_path = false;
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

// One registered record. It never changes after it is made, except `cached`
// (and the resolution links, which only cache lookups).
class Provider {
public:
    Provider(OwnedRef callable_object, ProviderMeta provider_meta) noexcept
        : meta(std::move(provider_meta)), callable(std::move(callable_object)) {}
    Provider(Provider&&) noexcept = default;
    Provider& operator=(Provider&&) noexcept = default;

    // Releases the callable, then the dependency keys, then the cached value.
    ~Provider() {
        callable.reset();
        KeyList().swap(meta.dep_keys);
        cached.reset();
    }

    ProviderMeta meta;
    OwnedRef callable;
    OwnedRef cached;  // null while no value is kept
    ResolutionLinks links;
};

// One key's record, at most one per key; each map hashes with its own seed.
using ProviderMap = std::unordered_map<KeyText, Provider, SeededHash, std::equal_to<>>;

// What an operation keeps of a record after it stops looking at the record.
struct CopiedOutProvider {
    OwnedRef callable;
    ProviderMeta meta;
};

}  // namespace quorix::core
