// Batch resolution: key by key, or through a compiled order in which each key
// of the request's closure is evaluated once.
#include <string>

#include "core/container_inner.hpp"
#include "core/provider_call.hpp"

namespace quorix::core {

Result<std::vector<OwnedRef>> ContainerInner::resolve_many(const KeyList& keys) {
    std::vector<OwnedRef> values;
    values.reserve(keys.size());
    for (const KeyText& key : keys) {
        Result<OwnedRef> value = resolve_top_level(key);  // a fresh in-progress set per key
        if (!value.ok()) {
            return std::move(value).error();  // the values so far are released here, under the lock
        }
        values.push_back(std::move(value).value());
    }
    return values;
}

Result<std::vector<OwnedRef>> ContainerInner::resolve_many_plan(const KeyList& keys) {
    Result<CompiledOrder> compiled = compile_order(keys);
    if (!compiled.ok()) {
        return std::move(compiled).error();
    }
    const CompiledOrder& order = compiled.value();

    // The value of every step executed so far, by position in the order. The
    // records found by the compilation cannot change while the lock is held.
    std::vector<OwnedRef> plan_values(order.steps.size());
    for (std::size_t index = 0; index < order.steps.size(); ++index) {
        Provider& record = *order.steps[index].record;
        if (record.meta.singleton && record.cached) {
            plan_values[index] = record.cached.clone();
            continue;
        }
        OwnedRef callable = record.callable.clone();
        std::vector<OwnedRef> arguments;
        arguments.reserve(record.meta.dep_keys.size());
        for (const KeyText& dependency : record.meta.dep_keys) {
            auto placed = order.position.find(std::string_view(dependency));
            if (placed != order.position.end() && placed->second < index) {
                arguments.push_back(plan_values[placed->second].clone());
                continue;
            }
            // Unreachable while the order is sound; resolve it on its own then.
            InProgressSet in_progress;
            Result<OwnedRef> value = resolve_key(dependency, in_progress);
            if (!value.ok()) {
                return std::move(value).error();
            }
            arguments.push_back(std::move(value).value());
        }
        Result<OwnedRef> value = call_provider(callable.borrow(), object_pointers(arguments.data()), arguments.size());
        callable.reset();
        if (!value.ok()) {
            return std::move(value).error();
        }
        if (record.meta.singleton) {
            record.cached = value.value().clone();
        }
        plan_values[index] = std::move(value).value();
    }

    std::vector<OwnedRef> values;
    values.reserve(keys.size());
    for (const KeyText& key : keys) {
        auto placed = order.position.find(std::string_view(key));
        if (placed == order.position.end() || placed->second >= plan_values.size()) {
            return ErrorResult::deferred(PyExc_RuntimeError,
                                         "Internal error: key " + key + " missing after plan execution");
        }
        values.push_back(plan_values[placed->second].clone());
    }
    return values;
}

}  // namespace quorix::core
