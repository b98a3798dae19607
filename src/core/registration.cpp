// Registration and override layers: storing and discarding records.
//
// Each of these may change the record a key resolves to, so each advances the
// registry generation first: links and compiled orders made before are then
// stale, even if this call ends up storing nothing.
#include <new>
#include <stdexcept>

#include "core/container_inner.hpp"
#include "runtime/fault_injection.hpp"

namespace quorix::core {
namespace {

// Puts the record under the key; a displaced record is released here, under the
// caller's lock, so its finalizers run before the lock is released.
void put_record(ProviderMap& map, KeyText key, Provider record) {
    auto [slot, inserted] = map.try_emplace(std::move(key), std::move(record));
    if (!inserted) {
        Provider displaced = std::move(slot->second);
        slot->second = std::move(record);
        (void)displaced;  // released at the end of this scope
    }
}

}  // namespace

void ContainerInner::register_provider(KeyText key, Provider record) {
    advance_generation();
    put_record(providers_, std::move(key), std::move(record));
}

void ContainerInner::set_override(KeyText key, Provider record) {
    advance_generation();
    if (overrides_.empty()) {
        return;  // no layer open: the record and key are dropped with the call
    }
    const std::size_t top = overrides_.size() - 1;
    if (filled_layers_.empty() || filled_layers_.back() != top) {
        // Listed before it is filled: if storing fails, an empty layer in the
        // list only costs a probe.
        filled_layers_.push_back(top);
    }
    put_record(overrides_.back(), std::move(key), std::move(record));
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

void ContainerInner::end_override_layer() {
    advance_generation();
    if (overrides_.empty()) {
        return;
    }
    if (!filled_layers_.empty() && filled_layers_.back() == overrides_.size() - 1) {
        filled_layers_.pop_back();
    }
    ProviderMap ended = std::move(overrides_.back());
    overrides_.pop_back();
    (void)ended;  // its records are released here, under the caller's lock
}

}  // namespace quorix::core
