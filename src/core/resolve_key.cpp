// Single-key resolution.
//
// The walk keeps an explicit stack of levels instead of recursing natively, so
// a dependency chain of any length resolves without exhausting the C stack; the
// effects happen in the same order as a recursive walk would make them.
//
// In steady state a resolution allocates nothing and hashes only the requested
// key: the levels and the argument values live in scratch space the container
// keeps between calls, a dependency edge reaches its record through the links
// cached on the dependent's record, and a key's presence on the current path is
// a mark on its effective record.
#include <new>

#include "core/container_inner.hpp"
#include "core/provider_call.hpp"
#include "runtime/fault_injection.hpp"

namespace quorix::core {

void ContainerInner::refresh_links(Provider& record) {
    const KeyList& dep_keys = record.meta.dep_keys;
    std::vector<Provider*>& links = record.links.dep_records;
    links.resize(dep_keys.size());
    for (std::size_t i = 0; i < dep_keys.size(); ++i) {
        links[i] = effective_provider(dep_keys[i]);
    }
    record.links.generation = generation_;
}

Status ContainerInner::open_level(std::string_view key, Provider* record, OwnedRef& answer) {
    // A key on the path has a record, so testing for the record first reports
    // the same error a test of the path first would.
    if (record == nullptr) {
        return missing_provider_error(key);
    }
    if (record->links.on_path) {
        return cycle_error(key);
    }
    if (record->meta.singleton && record->cached) {
        answer = record->cached.clone();
        return success();
    }
    if (record->meta.is_async) {
        return async_provider_error(key);
    }
    if (record->links.generation != generation_) {
        refresh_links(*record);
    }
    if (fault::armed("level_alloc")) {
        throw std::bad_alloc();  // as if growing the level stack failed
    }
    scratch_.levels.push_back(Level{record, scratch_.values.size(), 0});
    record->links.on_path = true;  // only once the level that clears it exists
    return success();
}

Result<OwnedRef> ContainerInner::resolve_record(std::string_view key, Provider* record) {
    ScratchFrame frame(scratch_);
    const std::size_t outer_levels = scratch_.levels.size();
    OwnedRef answer;
    QUORIX_TRY(open_level(key, record, answer));
    while (scratch_.levels.size() > outer_levels) {
        Level& level = scratch_.levels.back();
        if (answer) {
            scratch_.values.push_back(std::move(answer));
        }
        Provider& current = *level.record;
        if (level.next_dependency < current.meta.dep_keys.size()) {
            const std::size_t index = level.next_dependency++;
            QUORIX_TRY(open_level(current.meta.dep_keys[index], current.links.dep_records[index], answer));
            continue;
        }
        const std::size_t count = scratch_.values.size() - level.values_base;
        Result<OwnedRef> value =
            call_provider(current.callable.borrow(), object_pointers(scratch_.values.data() + level.values_base), count);
        if (!value.ok()) {
            return std::move(value).error();  // the frame closes the open levels
        }
        if (current.meta.singleton) {
            current.cached = value.value().clone();
        }
        close_level(scratch_);
        answer = std::move(value).value();
    }
    return answer;
}

Result<OwnedRef> ContainerInner::resolve_key(std::string_view key) {
    return resolve_record(key, effective_provider(key));
}

Provider* ContainerInner::requested_record(const RequestedKey& key) {
    if (key.exact_str == nullptr) {
        return effective_provider(key.text);
    }
    // An answer the binding read at this generation stands: no record has been
    // released since, and none has become the key's effective one.
    Provider* record =
        key.memo.generation == generation_ ? key.memo.record : key_memo_.find(key.exact_str, generation_);
    if (record == nullptr) {
        record = effective_provider(key.text);
        if (record != nullptr) {
            key_memo_.remember(key.exact_str, record, generation_);
        }
    }
    return record;
}

Result<OwnedRef> ContainerInner::resolve_top_level(const RequestedKey& key) {
    return resolve_found(key.text, requested_record(key));
}

Result<OwnedRef> ContainerInner::resolve_found(std::string_view key, Provider* record) {
    if (record == nullptr) {
        return missing_provider_error(key);
    }
    if (record->meta.singleton && record->cached) {
        return record->cached.clone();  // nothing else to do for a cached singleton
    }
    if (record->meta.dep_keys.empty() && !record->meta.is_async) {
        // A provider without dependencies needs no level: at the top nothing is
        // on the path yet, so it cannot close a cycle. The record cannot change
        // while the lock is held, so its callable is called as it stands.
        Result<OwnedRef> value = call_provider(record->callable.borrow(), nullptr, 0);
        if (value.ok() && record->meta.singleton) {
            record->cached = value.value().clone();
        }
        return value;
    }
    CompiledResolution* compiled = compiled_resolution(*record);
    if (compiled == nullptr && !known_uncompilable(*record)) {
        QUORIX_LET(due, compile_when_due(*record));
        compiled = due;
    }
    if (compiled != nullptr) {
        if (std::optional<Result<OwnedRef>> value = call_compiled(*compiled)) {
            return std::move(*value);
        }
    }
    return resolve_record(key, record);
}

}  // namespace quorix::core
