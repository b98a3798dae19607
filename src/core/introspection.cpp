// Provider introspection and cache access: describe the effective provider,
// read a kept value, store one.
#include <string>
#include <utility>

#include "core/container_inner.hpp"

namespace quorix::core {

Result<CopiedOutProvider> ContainerInner::get_provider_info(std::string_view key) {
    Provider* record = effective_provider(key);
    if (record == nullptr) {
        return missing_provider_error(key);
    }
    return CopiedOutProvider{record->callable.clone(), record->meta};
}

OwnedRef ContainerInner::get_cached(std::string_view key) {
    Provider* record = find_record(key, [](const Provider& p) { return bool(p.cached); });
    return record != nullptr ? record->cached.clone() : OwnedRef();
}

OwnedRef ContainerInner::get_cached(const RequestedKey& key) {
    // The effective record is the top-most one for the key: if it holds a
    // value, no record searched before it does.
    if (key.exact_str != nullptr) {
        if (Provider* record = requested_record(key); record != nullptr && record->cached) {
            publish_read(key, *record);
            return record->cached.clone();
        }
    }
    return get_cached(key.text);
}

Status ContainerInner::set_cached(std::string_view key, BorrowedRef value, Released& released) {
    Provider* record = find_record(key, [](const Provider& p) { return p.meta.singleton; });
    if (record == nullptr) {
        std::string message = "Cannot set cache for non-singleton or unknown key: ";
        message.append(key);
        return ErrorResult::deferred(PyExc_RuntimeError, std::move(message));
    }
    // The previous value, if any, is released once the lock is free; where
    // reads skip the lock only once no read can still be taking it.
    OwnedRef replaced = record->cached.exchange(OwnedRef::share(value));
    if constexpr (capability::reads_may_skip_container_lock) {
        released.value = std::move(replaced);
    } else {
        published_.retire(std::move(replaced));
    }
    return success();
}

}  // namespace quorix::core
