// Resolution order compilation: a depth-first post-order of the request's
// dependency closure, validated before anything is called.
//
// An explicit stack keeps the recursive walk's visiting order and its errors, so
// chains deeper than the native stack compile too.
#include <limits>
#include <vector>

#include "core/container_inner.hpp"

namespace quorix::core {
namespace {

// A key's mark: absent (not visited), in progress, or its position in the order.
constexpr std::size_t in_progress_mark = std::numeric_limits<std::size_t>::max();

struct Visit {
    std::string_view key;
    Provider* record;
    std::size_t* mark;  // points into the marks map; stable across rehashing
    std::size_t next_dependency = 0;
};

}  // namespace

Result<CompiledOrder> ContainerInner::compile_order(const KeyList& requested) {
    CompiledOrder order;
    auto& marks = order.position;
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

    for (const KeyText& key : requested) {
        QUORIX_TRY(begin_visit(key));
        while (!stack.empty()) {
            Visit& visit = stack.back();
            const KeyList& dep_keys = visit.record->meta.dep_keys;
            if (visit.next_dependency < dep_keys.size()) {
                QUORIX_TRY(begin_visit(dep_keys[visit.next_dependency++]));
                continue;
            }
            *visit.mark = order.steps.size();
            order.steps.push_back(OrderStep{visit.key, visit.record});
            stack.pop_back();
        }
    }
    return order;
}

}  // namespace quorix::core
