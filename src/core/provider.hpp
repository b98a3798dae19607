// Provider records and the maps that hold them.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/seeded_hash.hpp"
#include "python/ref.hpp"

namespace quorix::core {

// A key: owned UTF-8 text, compared byte for byte (NUL included).
using KeyText = std::string;
using KeyList = std::vector<KeyText>;

struct ProviderMeta {
    KeyList dep_keys;  // exactly as registered: order and duplicates kept
    bool singleton = false;
    bool is_async = false;
};

// One registered record. It never changes after it is made, except `cached`.
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
};

// One key's record, at most one per key; each map hashes with its own seed.
using ProviderMap = std::unordered_map<KeyText, Provider, SeededHash, std::equal_to<>>;

// What an operation keeps of a record after it stops looking at the record.
struct CopiedOutProvider {
    OwnedRef callable;
    ProviderMeta meta;
};

}  // namespace quorix::core
