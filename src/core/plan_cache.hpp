// The orders compiled for the last few distinct requests, so that a batch seen
// before is not compiled again.
//
// An order depends only on the request and on which record each key resolves
// to, never on cached values, so reusing one gives the same results and errors
// as compiling afresh. Every change that can alter a key's effective record
// advances the container's registry generation, and a generation move drops
// every kept order.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/compiled_order.hpp"
#include "core/requested_key.hpp"
#include "runtime/ref.hpp"

namespace quorix::core {

class PlanCache {
public:
    // With `by_identity`, a kept request can be found by its key objects
    // (`find_same_objects`), which it then holds.
    explicit PlanCache(bool by_identity) noexcept;
    PlanCache(const PlanCache&) = delete;
    PlanCache& operator=(const PlanCache&) = delete;

    // The order kept for exactly this request (same keys, same order, same
    // duplicates) at this generation, or null.
    // Shared with the runs under way, which use it once the lock is free.
    std::shared_ptr<CompiledOrder> find(RequestedKeys request, std::uint64_t generation);

    // Drops every kept order (and its compiled function) at once. The entries
    // leave the cache before any of them is released, so the collector, which
    // may run during a release, never meets a half-destroyed one.
    void forget() { std::vector<std::unique_ptr<Entry>>().swap(entries_); }

    // The collector's view: each kept request's compiled function.
    int visit_references(visitproc visit, void* arg) const noexcept;
    void swap(PlanCache& other) noexcept;

    // Whether a request is small enough to keep.
    static bool keeps(RequestedKeys request) noexcept { return request.size() <= max_steps; }
    // Whether an order and its request are small enough to keep.
    static bool keeps(const CompiledOrder& order) noexcept {
        return order.steps.size() <= max_steps && order.requested_steps.size() <= max_steps;
    }

    // Keeps `order` for the request at the generation of the last `find`,
    // dropping the least recently used order when full; returns the kept order.
    std::shared_ptr<CompiledOrder> keep(RequestedKeys request, CompiledOrder order);

    // An order kept for a request made of the very `str` objects it was kept
    // with, in the same order: found by identity, without reading or hashing
    // any key's text. `keys` is the kept copy of the request.
    struct Kept {
        std::shared_ptr<CompiledOrder> order;
        RequestedKeys keys;
    };
    // `item_at(i)` gives the request's i-th object, of `count`; reading one
    // must run no Python code.
    template <class ItemAt>
    Kept find_same_objects(std::size_t count, ItemAt&& item_at, std::uint64_t generation) noexcept {
        if (generation != generation_) {
            return {};
        }
        for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
            if ((*entry)->keys.size() == count && same_objects(**entry, item_at)) {
                std::rotate(entries_.begin(), entry, entry + 1);
                const Entry& found = *entries_.front();
                return {found.order, RequestedKeys(found.keys)};
            }
        }
        return {};
    }

private:
    static constexpr std::size_t capacity = 8;
    static constexpr std::size_t max_steps = 4096;

    struct Entry {
        std::uint64_t request_hash;
        KeyList request;  // an owned copy of the request
        // The exact `str` objects the request was made of (null for any other
        // key object), held so that no other object can take their addresses.
        std::vector<OwnedRef> objects;
        std::vector<RequestedKey> keys;  // the request as the core reads it: `request` and `objects`
        std::shared_ptr<CompiledOrder> order;
    };

    template <class ItemAt>
    static bool same_objects(const Entry& entry, ItemAt& item_at) noexcept {
        for (std::size_t i = 0; i < entry.keys.size(); ++i) {
            if (entry.keys[i].exact_str == nullptr || entry.keys[i].exact_str != item_at(i)) {
                return false;
            }
        }
        return true;
    }

    std::uint64_t hash(RequestedKeys request) const noexcept;
    static bool same_request(const KeyList& kept, RequestedKeys request) noexcept;

    std::vector<std::unique_ptr<Entry>> entries_;  // most recently used first
    std::uint64_t generation_ = 0;
    std::uint64_t seed_;
    bool by_identity_;
};

}  // namespace quorix::core
