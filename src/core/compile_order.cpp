// Resolution order compilation: a depth-first post-order of the request's
// dependency closure, validated before anything is called.
//
// An explicit stack keeps the recursive walk's visiting order and its errors, so
// chains deeper than the native stack compile too.
#include <unordered_map>
#include <vector>

#include "core/container_inner.hpp"

namespace quorix::core {
namespace {

// A key's mark: absent (not visited), in progress, or its position in the order.
constexpr std::size_t in_progress_mark = CompiledOrder::not_placed;

using Marks = std::unordered_map<std::string_view, std::size_t, SeededHash, std::equal_to<>>;

struct Visit {
    std::string_view key;
    Provider* record;
    std::size_t* mark;  // points into the marks map; stable across rehashing
    std::size_t next_dependency = 0;
};

// The position of the key's value in the order, if it is placed before `limit`.
std::size_t placed_before(const Marks& marks, std::string_view key, std::size_t limit) {
    auto found = marks.find(key);
    return found != marks.end() && found->second < limit ? found->second : CompiledOrder::not_placed;
}

}  // namespace

Result<CompiledOrder> ContainerInner::compile_order(RequestedKeys requested) {
    CompiledOrder order;
    Marks marks;  // the views point into the request and the records' dep_keys
    std::vector<Visit> stack;

    // Mark test, then missing provider, then the async flag; the dependencies
    // follow once the visit is on the stack.
    auto begin_visit = [&](std::string_view key) -> Status {
        auto [entry, first_visit] = marks.try_emplace(key, in_progress_mark);
        if (!first_visit) {
            if (entry->second == in_progress_mark) {
                return cycle_error(key);
            }
            return success();  // already placed
        }
        Provider* record = effective_provider(key);
        if (record == nullptr) {
            return missing_provider_error(key);
        }
        if (record->meta.is_async) {
            return async_provider_error(key);
        }
        stack.push_back(Visit{key, record, &entry->second});
        return success();
    };

    for (const RequestedKey& key : requested) {
        QUORIX_TRY(begin_visit(key.text));
        while (!stack.empty()) {
            Visit& visit = stack.back();
            const KeyList& dep_keys = visit.record->meta.dep_keys;
            if (visit.next_dependency < dep_keys.size()) {
                QUORIX_TRY(begin_visit(dep_keys[visit.next_dependency++]));
                continue;
            }
            *visit.mark = order.steps.size();
            order.steps.push_back(CompiledOrder::Step{RecordRef(visit.record), 0});
            stack.pop_back();
        }
    }

    // Every edge and requested key becomes a position, so execution looks up nothing.
    for (std::size_t index = 0; index < order.steps.size(); ++index) {
        CompiledOrder::Step& step = order.steps[index];
        step.first_argument = order.argument_steps.size();
        for (const KeyText& dependency : step.record->meta.dep_keys) {
            order.argument_steps.push_back(placed_before(marks, dependency, index));
        }
    }
    order.requested_steps.reserve(requested.size());
    for (const RequestedKey& key : requested) {
        order.requested_steps.push_back(placed_before(marks, key.text, order.steps.size()));
    }
    return order;
}

}  // namespace quorix::core
