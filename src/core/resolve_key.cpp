// Single-key resolution.
//
// The walk keeps an explicit stack of levels instead of recursing natively, so
// a dependency chain of any length resolves without exhausting the C stack; the
// effects happen in the same order as a recursive walk would make them.
#include <vector>

#include "core/container_inner.hpp"
#include "core/provider_call.hpp"

namespace quorix::core {
namespace {

// One key whose provider is being called once its dependencies are resolved.
struct Level {
    std::string_view key;
    Provider* record;          // the record that answered; stable under the lock
    OwnedRef callable;         // copied out of the record
    std::vector<OwnedRef> values;  // dependency values so far, in dep_keys order
    std::size_t next_dependency = 0;
    // Members go in reverse: the values first, then the callable.
};

// Releases the open levels innermost first, as unwinding a recursion would.
class LevelStack {
public:
    LevelStack() = default;
    LevelStack(const LevelStack&) = delete;
    LevelStack& operator=(const LevelStack&) = delete;
    ~LevelStack() {
        while (!levels_.empty()) {
            levels_.pop_back();
        }
    }
    bool empty() const noexcept { return levels_.empty(); }
    Level& top() noexcept { return levels_.back(); }
    void push(Level level) { levels_.push_back(std::move(level)); }
    void pop() noexcept { levels_.pop_back(); }

private:
    std::vector<Level> levels_;
};

// Enters `key`: either answers it at once into `answer` (a cached singleton) or
// opens a level for it. `record` is its effective provider if already known.
Status begin_level(ContainerInner& inner, std::string_view key, Provider* record, InProgressSet& in_progress,
                   LevelStack& stack, OwnedRef& answer) {
    if (!in_progress.insert(key)) {
        return cycle_error(key);
    }
    if (record == nullptr) {
        record = inner.effective_provider(key);
        if (record == nullptr) {
            return missing_provider_error(key);
        }
    }
    if (record->meta.singleton && record->cached) {
        answer = record->cached.clone();
        in_progress.erase(key);
        return success();
    }
    OwnedRef callable = record->callable.clone();
    if (record->meta.is_async) {
        return async_provider_error(key);
    }
    std::vector<OwnedRef> values;
    values.reserve(record->meta.dep_keys.size());
    stack.push(Level{key, record, std::move(callable), std::move(values), 0});
    return success();
}

Result<OwnedRef> resolve_from(ContainerInner& inner, std::string_view key, Provider* record,
                              InProgressSet& in_progress) {
    LevelStack stack;
    OwnedRef answer;
    QUORIX_TRY(begin_level(inner, key, record, in_progress, stack, answer));
    while (!stack.empty()) {
        Level& level = stack.top();
        if (answer) {
            level.values.push_back(std::move(answer));
        }
        const KeyList& dep_keys = level.record->meta.dep_keys;
        if (level.next_dependency < dep_keys.size()) {
            std::string_view dependency = dep_keys[level.next_dependency++];
            QUORIX_TRY(begin_level(inner, dependency, nullptr, in_progress, stack, answer));
            continue;
        }
        Result<OwnedRef> value = call_provider(level.callable.borrow(), object_pointers(level.values.data()), level.values.size());
        if (!value.ok()) {
            return std::move(value).error();
        }
        if (level.record->meta.singleton) {
            level.record->cached = value.value().clone();
        }
        in_progress.erase(level.key);
        answer = std::move(value).value();
        stack.pop();
    }
    return answer;
}

}  // namespace

Result<OwnedRef> ContainerInner::resolve_key(std::string_view key, InProgressSet& in_progress) {
    return resolve_from(*this, key, nullptr, in_progress);
}

Result<OwnedRef> ContainerInner::resolve_top_level(std::string_view key) {
    // The set of a top-level call starts empty, so entering the key cannot fail
    // and leaving it restores the empty set: a cached singleton is answered
    // without building the set at all.
    Provider* record = effective_provider(key);
    if (record == nullptr) {
        return missing_provider_error(key);
    }
    if (record->meta.singleton && record->cached) {
        return record->cached.clone();
    }
    InProgressSet in_progress;
    return resolve_from(*this, key, record, in_progress);
}

}  // namespace quorix::core
