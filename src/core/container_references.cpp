// What the cyclic garbage collector sees of a container, and how it empties one.
//
// Only the references kept between calls are shown: a resolution's scratch
// values are held for the length of a call by a thread that also holds the
// container, and a reference the collector is not shown only keeps its object
// alive; one it is shown that the container does not own would free it early.
#include <algorithm>
#include <cstdint>
#include <utility>

#include "core/container.hpp"

namespace quorix::core {
namespace {

int visit_map(const ProviderMap& map, visitproc visit, void* arg) noexcept {
    for (const auto& [key, record] : map) {
        if (int stop = visit_reference(record.callable, visit, arg)) {
            return stop;
        }
        if (int stop = visit_reference(record.cached, visit, arg)) {
            return stop;
        }
    }
    return 0;
}

}  // namespace

int ContainerInner::visit_references(visitproc visit, void* arg) const noexcept {
    if (int stop = visit_map(providers_, visit, arg)) {
        return stop;
    }
    for (const ProviderMap& layer : overrides_) {
        if (int stop = visit_map(layer, visit, arg)) {
            return stop;
        }
    }
    if (int stop = key_memo_.visit_references(visit, arg)) {
        return stop;
    }
    if (int stop = compiled_.visit_references(visit, arg)) {
        return stop;
    }
    if (int stop = plans_.visit_references(visit, arg)) {
        return stop;
    }
    return walked_requests_.visit_references(visit, arg);
}

void ContainerInner::swap_state(ContainerInner& other) noexcept {
    providers_.swap(other.providers_);
    overrides_.swap(other.overrides_);
    filled_layers_.swap(other.filled_layers_);
    std::swap(scratch_.levels, other.scratch_.levels);
    std::swap(scratch_.values, other.scratch_.values);
    plans_.swap(other.plans_);
    walked_requests_.swap(other.walked_requests_);
    key_memo_.swap(other.key_memo_);
    compiled_.swap(other.compiled_);
    // Both move past every generation either has seen, so no link, order or
    // remembered key made against one state answers in the other.
    const std::uint64_t next = std::max(generation_, other.generation_) + 1;
    generation_ = next;
    other.generation_ = next;
}

void Container::clear_for_collector() {
    if (!try_acquire()) {
        return;
    }
    ContainerInner released;
    inner_.swap_state(released);
    release();
    // `released` goes here, after the lock: whatever its finalizers do with
    // this container, they find it empty.
}

}  // namespace quorix::core
