// Registration and override layers: storing and discarding records.
//
// Each of these may change the record a key resolves to, so each advances the
// registry generation first: links and compiled orders made before are then
// stale, even if this call ends up storing nothing.
#include <new>
#include <stdexcept>
#include <utility>

#include "core/container_inner.hpp"
#include "runtime/fault_injection.hpp"

namespace quorix::core {
namespace {

// Puts the record under the key; a displaced record goes to `released`, to be
// let go of once the lock is free.
void put_record(ProviderMap& map, KeyText key, RecordRef record, Released& released) {
    released.records.reserve(released.records.size() + 1);  // before anything changes
    auto [slot, inserted] = map.try_emplace(std::move(key), RecordRef());
    released.records.push_back(std::exchange(slot->second, std::move(record)));
    (void)inserted;
}

}  // namespace

void ContainerInner::register_provider(KeyText key, RecordRef record, Released& released) {
    advance_generation();
    put_record(providers_, std::move(key), std::move(record), released);
}

void ContainerInner::set_override(KeyText key, RecordRef record, Released& released) {
    advance_generation();
    if (overrides_.empty()) {
        released.records.push_back(std::move(record));  // no layer open: dropped with the call
        return;
    }
    const std::size_t top = overrides_.size() - 1;
    if (filled_layers_.empty() || filled_layers_.back() != top) {
        // Listed before it is filled: if storing fails, an empty layer in the
        // list only costs a probe.
        filled_layers_.push_back(top);
    }
    put_record(overrides_.back(), std::move(key), std::move(record), released);
}

void ContainerInner::begin_override_layer() {
    if (fault::armed("layer_alloc")) {
        throw std::bad_alloc();  // as if growing the layer array failed
    }
    if (fault::armed("native_exception")) {
        throw std::runtime_error("fault injected: native exception");  // a broken invariant
    }
    advance_generation();
    overrides_.emplace_back();
}

void ContainerInner::end_override_layer(Released& released) {
    advance_generation();
    if (overrides_.empty()) {
        return;
    }
    released.layers.reserve(released.layers.size() + 1);
    if (!filled_layers_.empty() && filled_layers_.back() == overrides_.size() - 1) {
        filled_layers_.pop_back();
    }
    released.layers.push_back(std::move(overrides_.back()));
    overrides_.pop_back();
}

}  // namespace quorix::core
