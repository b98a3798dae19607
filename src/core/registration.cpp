// Registration and override layers: storing and discarding records.
#include <new>
#include <stdexcept>

#include "core/container_inner.hpp"
#include "python/fault_injection.hpp"

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
    put_record(providers_, std::move(key), std::move(record));
}

void ContainerInner::set_override(KeyText key, Provider record) {
    if (overrides_.empty()) {
        return;  // no layer open: the record and key are dropped with the call
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
    overrides_.emplace_back();
}

void ContainerInner::end_override_layer() {
    if (overrides_.empty()) {
        return;
    }
    ProviderMap ended = std::move(overrides_.back());
    overrides_.pop_back();
    (void)ended;  // its records are released here, under the caller's lock
}

}  // namespace quorix::core
