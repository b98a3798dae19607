// Batch resolution: key by key, or through a compiled order in which each key
// of the request's closure is evaluated once.
#include <string>

#include "core/container_inner.hpp"
#include "core/provider_call.hpp"

namespace quorix::core {

Result<BatchValues> ContainerInner::resolve_many(RequestedKeys keys) {
    if (keys.size() > 1 && PlanCache::keeps(keys) && compiles_resolutions()) {
        // A request made again and again runs as one compiled function.
        CompiledOrder* seen = walked_requests_.find(keys, generation_);
        if (seen == nullptr) {
            seen = walked_requests_.keep(keys, CompiledOrder{});
        }
        if (std::optional<Result<BatchValues>> values = run_compiled_batch(seen->compiled, keys, nullptr)) {
            return std::move(*values);
        }
    }
    std::vector<OwnedRef> values;
    values.reserve(keys.size());
    for (const RequestedKey& key : keys) {
        // Each key starts from an empty path.
        Result<OwnedRef> value = resolve_top_level(key);
        if (!value.ok()) {
            return std::move(value).error();  // the values so far are released here, under the lock
        }
        values.push_back(std::move(value).value());
    }
    return BatchValues{std::move(values), {}};
}

Result<BatchValues> ContainerInner::resolve_many_plan(RequestedKeys keys) {
    // A request seen since the last change to the registry reuses its order.
    CompiledOrder* order = plans_.find(keys, generation_);
    CompiledOrder unkept;
    if (order == nullptr) {
        Result<CompiledOrder> compiled = compile_order(keys);
        if (!compiled.ok()) {
            return std::move(compiled).error();
        }
        if (PlanCache::keeps(compiled.value())) {
            order = plans_.keep(keys, std::move(compiled).value());
        } else {
            unkept = std::move(compiled).value();
            order = &unkept;
        }
    }

    return run_order(*order, keys, order != &unkept);
}

Result<BatchValues> ContainerInner::run_order(CompiledOrder& compiled_order, RequestedKeys keys, bool kept) {
    CompiledOrder* order = &compiled_order;
    if (kept && compiles_resolutions()) {
        if (std::optional<Result<BatchValues>> values = run_compiled_batch(order->compiled, keys, order)) {
            return std::move(*values);
        }
    }

    // The value of every step executed so far sits on the value stack at
    // `plan_base` plus its position; each step's arguments are pushed above
    // them. The records of the order cannot change while the lock is held.
    ScratchFrame frame(scratch_);
    std::vector<OwnedRef>& values = scratch_.values;
    const std::size_t plan_base = frame.values_base();
    values.resize(plan_base + order->steps.size());
    for (std::size_t index = 0; index < order->steps.size(); ++index) {
        const CompiledOrder::Step& step = order->steps[index];
        Provider& record = *step.record;
        if (record.meta.singleton && record.cached) {
            values[plan_base + index] = record.cached.clone();
            continue;
        }
        const std::size_t arguments_base = values.size();
        const KeyList& dep_keys = record.meta.dep_keys;
        for (std::size_t d = 0; d < dep_keys.size(); ++d) {
            const std::size_t placed = order->argument_steps[step.first_argument + d];
            if (placed != CompiledOrder::not_placed) {
                values.push_back(values[plan_base + placed].clone());
                continue;
            }
            // Unreachable while the order is sound; resolve it on its own then.
            Result<OwnedRef> value = resolve_key(dep_keys[d]);
            if (!value.ok()) {
                release_values_from(values, arguments_base);
                return std::move(value).error();
            }
            values.push_back(std::move(value).value());
        }
        // Called as the record holds it: no record changes while the lock is held.
        Result<OwnedRef> value = call_provider(record.callable.borrow(), object_pointers(values.data() + arguments_base),
                                               values.size() - arguments_base);
        if (!value.ok()) {
            release_values_from(values, arguments_base);  // the arguments go before the plan's values
            return std::move(value).error();
        }
        if (record.meta.singleton) {
            record.cached = value.value().clone();
        }
        values[plan_base + index] = std::move(value).value();
        release_values_from(values, arguments_base);
    }

    std::vector<OwnedRef> results;
    results.reserve(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::size_t placed = order->requested_steps[i];
        if (placed == CompiledOrder::not_placed) {
            return ErrorResult::deferred(PyExc_RuntimeError,
                                         "Internal error: key " + std::string(keys[i].text) + " missing after plan execution");
        }
        results.push_back(values[plan_base + placed].clone());
    }
    return BatchValues{std::move(results), {}};
}

}  // namespace quorix::core
