// The state of one container and the operations that work on it once it is
// locked. The `Container` wrapper (container.hpp) owns the lock.
#pragma once

#include <string_view>
#include <vector>

#include "core/key_set.hpp"
#include "core/provider.hpp"
#include "python/error_result.hpp"

namespace quorix::core {

// The keys whose resolution has begun and not yet ended on the current path.
// The views point into key texts that outlive the resolution (the caller's
// request and the records' dependency lists, which cannot change under the lock).
using InProgressSet = KeySet;

// One step of a compiled order: a key of the closure and its effective record.
struct OrderStep {
    std::string_view key;
    Provider* record;
};

// A dependency-first order of a request, and where each key of it stands.
struct CompiledOrder {
    std::vector<OrderStep> steps;
    // Key to position in `steps`; a position is set once the key is placed.
    std::unordered_map<std::string_view, std::size_t, SeededHash, std::equal_to<>> position;
};

class ContainerInner {
public:
    ContainerInner() = default;
    ContainerInner(const ContainerInner&) = delete;
    ContainerInner& operator=(const ContainerInner&) = delete;
    // Releases the base map, then the layers from the bottom up.
    ~ContainerInner();

    // The record a key resolves to: the top-most layer holding the key, else the
    // base map; null if none holds it.
    Provider* effective_provider(std::string_view key) noexcept {
        return find_record(key, [](const Provider&) { return true; });
    }

    // The first record for `key` that `accept` takes, searching the layers from
    // the top, then the base map. Layers without records cost no hashing.
    template <class Accept>
    Provider* find_record(std::string_view key, Accept&& accept) noexcept {
        for (auto layer = overrides_.rbegin(); layer != overrides_.rend(); ++layer) {
            if (layer->empty()) {
                continue;
            }
            if (auto found = layer->find(key); found != layer->end() && accept(found->second)) {
                return &found->second;
            }
        }
        if (auto found = providers_.find(key); found != providers_.end() && accept(found->second)) {
            return &found->second;
        }
        return nullptr;
    }

    // Registration and layers.
    void register_provider(KeyText key, Provider record);
    void set_override(KeyText key, Provider record);
    void begin_override_layer();
    void end_override_layer();

    // Single-key resolution. The caller holds the lock and owns `in_progress`.
    Result<OwnedRef> resolve_key(std::string_view key, InProgressSet& in_progress);
    // A top-level resolution with a set of its own.
    Result<OwnedRef> resolve_top_level(std::string_view key);

    // Validates the request's dependency closure and orders it dependency first.
    Result<CompiledOrder> compile_order(const KeyList& requested);

    // Batch resolution; the values are returned in request order.
    Result<std::vector<OwnedRef>> resolve_many(const KeyList& keys);
    Result<std::vector<OwnedRef>> resolve_many_plan(const KeyList& keys);

    // Introspection and cache access.
    Result<CopiedOutProvider> get_provider_info(std::string_view key);
    OwnedRef get_cached(std::string_view key);
    Status set_cached(std::string_view key, BorrowedRef value);

private:
    ProviderMap providers_;
    std::vector<ProviderMap> overrides_;  // back() is the top layer
};

// The core's own errors.
ErrorResult missing_provider_error(std::string_view key);
ErrorResult cycle_error(std::string_view key);
ErrorResult async_provider_error(std::string_view key);

}  // namespace quorix::core
