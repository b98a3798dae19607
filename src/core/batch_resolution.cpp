// Batch resolution, prepared under the lock: key by key (the keys' walks laid
// out one after the other), or through a compiled order in which each key of
// the request's closure is evaluated once.
#include "core/container_inner.hpp"

namespace quorix::core {

Status ContainerInner::prepare_many(RequestedKeys keys, ThreadResolutions& thread, PreparedResolution& prepared) {
    if (keys.size() > 1 && PlanCache::keeps(keys) && compiles_resolutions() && !thread.nested()) {
        // A request made again and again runs as one compiled function.
        std::shared_ptr<CompiledOrder> seen = walked_requests_.find(keys, generation_);
        if (seen == nullptr) {
            seen = walked_requests_.keep(keys, CompiledOrder{});
        }
        QUORIX_LET(compiled, compiled_batch(seen->compiled, keys, nullptr));
        if (compiled != nullptr && prepare_compiled(*compiled, thread, prepared)) {
            prepared.way = PreparedResolution::Way::compiled_batch;
            return success();
        }
    }
    // Each key starts from an empty path; a singleton that an earlier key's
    // walk makes holds its value by the time a later key's walk meets it.
    prepared.way = PreparedResolution::Way::walk;
    for (const RequestedKey& key : keys) {
        lay_out_walk(key.text, effective_provider(key.text), thread);
    }
    return success();
}

Status ContainerInner::prepare_plan(RequestedKeys keys, ThreadResolutions& thread, PreparedResolution& prepared) {
    // A request seen since the last change to the registry reuses its order.
    std::shared_ptr<CompiledOrder> order = plans_.find(keys, generation_);
    bool kept = true;
    if (order == nullptr) {
        QUORIX_LET(compiled, compile_order(keys));
        if (PlanCache::keeps(compiled)) {
            order = plans_.keep(keys, std::move(compiled));
        } else {
            order = std::make_shared<CompiledOrder>(std::move(compiled));
            kept = false;
        }
    }
    return prepare_order(std::move(order), keys, kept, thread, prepared);
}

Status ContainerInner::prepare_order(std::shared_ptr<CompiledOrder> order, RequestedKeys keys, bool kept,
                                     ThreadResolutions& thread, PreparedResolution& prepared) {
    if (kept && compiles_resolutions() && !thread.nested()) {
        QUORIX_LET(compiled, compiled_batch(order->compiled, keys, order.get()));
        if (compiled != nullptr && prepare_compiled(*compiled, thread, prepared)) {
            prepared.way = PreparedResolution::Way::compiled_batch;
            return success();
        }
    }
    prepared.way = PreparedResolution::Way::order;
    prepared.order = std::move(order);
    return success();
}

}  // namespace quorix::core
