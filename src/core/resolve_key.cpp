// Single-key resolution, prepared under the lock.
//
// A cached singleton is answered at once, a provider without dependencies is
// called as it stands, a key resolved often runs its compiled function; any
// other walk is laid out as steps (core/thread_resolutions.hpp) that
// core/resolution.cpp runs once the lock is free. The layout is the walk
// itself with every call deferred: it meets the keys in the walk's order,
// with an explicit stack of levels instead of native recursion (a dependency
// chain of any length lays out without exhausting the C stack), and puts each
// error where the walk would raise it, so the calls made before it are made
// first. The registry the walk sees is the one of this moment, whatever
// happens to it while the steps run.
//
// In steady state a layout allocates nothing and hashes only the requested
// key: the levels live in scratch space the container keeps, the steps in the
// thread's, a dependency edge reaches its record through the links cached on
// the dependent's record, and a key's presence on the walk's path is a mark on
// its effective record.
#include <new>

#include "core/container_inner.hpp"
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

namespace {

Step error_step(Step::Kind kind, std::string_view key) {
    Step step{kind};
    step.key = key;
    return step;
}

}  // namespace

void ContainerInner::open_level(std::string_view key, Provider* record, ThreadResolutions& thread,
                                std::uint64_t layout) {
    std::vector<Step>& steps = thread.steps;
    // A key on the path has a record, so testing for the record first reports
    // the same error a test of the path first would. The thread's path counts
    // too: a provider of a resolution under way that resolves this container
    // again must not reach its own key.
    if (record == nullptr) {
        steps.push_back(error_step(Step::Kind::missing, key));
        return;
    }
    if (record->links.on_path || (thread.nested() && thread.on_path(record))) {
        steps.push_back(error_step(Step::Kind::cycle, key));
        return;
    }
    if (record->meta.singleton && record->cached) {
        Step step{Step::Kind::value};
        step.value = record->cached.clone();
        steps.push_back(std::move(step));
        return;
    }
    if (record->meta.is_async) {
        steps.push_back(error_step(Step::Kind::async, key));
        return;
    }
    std::size_t make = Level::no_make;
    if (record->meta.singleton) {
        // Once made by an earlier step of this walk, it holds a value when the
        // walk meets it again.
        if (record->links.laid_out_in == layout) {
            Step step{Step::Kind::again};
            step.record = RecordRef(record);
            steps.push_back(std::move(step));
            return;
        }
        make = steps.size();
        Step step{Step::Kind::make};
        step.record = RecordRef(record);
        steps.push_back(std::move(step));
        record->links.laid_out_in = layout;
    }
    if (record->links.generation != generation_) {
        refresh_links(*record);
    }
    if (fault::armed("level_alloc")) {
        throw std::bad_alloc();  // as if growing the level stack failed
    }
    const std::size_t begin = make != Level::no_make ? make : steps.size();
    scratch_.levels.push_back(Level{record, begin, 0, make});
    record->links.on_path = true;  // only once the level that clears it exists
}

void ContainerInner::lay_out_walk(std::string_view key, Provider* record, ThreadResolutions& thread) {
    ScratchFrame frame(scratch_);
    const std::uint64_t layout = ++scratch_.layouts;
    open_level(key, record, thread, layout);
    while (!scratch_.levels.empty()) {
        Level& level = scratch_.levels.back();
        Provider& current = *level.record;
        if (level.next_dependency < current.meta.dep_keys.size()) {
            const std::size_t index = level.next_dependency++;
            open_level(current.meta.dep_keys[index], current.links.dep_records[index], thread, layout);
            continue;
        }
        Step step{level.make != Level::no_make ? Step::Kind::made : Step::Kind::call};
        step.count = static_cast<std::uint32_t>(current.meta.dep_keys.size());
        step.begin = static_cast<std::uint32_t>(level.begin);
        step.record = RecordRef(&current);
        thread.steps.push_back(std::move(step));
        if (level.make != Level::no_make) {
            thread.steps[level.make].count = static_cast<std::uint32_t>(thread.steps.size());
        }
        close_level(scratch_);
    }
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

Status ContainerInner::prepare_resolve(const RequestedKey& key, ThreadResolutions& thread,
                                       PreparedResolution& prepared) {
    Provider* record = requested_record(key);
    if (record == nullptr) {
        return missing_provider_error(key.text);
    }
    if (record->meta.singleton && record->cached && (!thread.nested() || !thread.on_path(record))) {
        prepared.value = record->cached.clone();  // nothing else to do for a cached singleton
        publish_read(key, *record);
        return success();
    }
    const bool nested = thread.nested();
    if (!record->meta.singleton && record->meta.dep_keys.empty() && !record->meta.is_async &&
        (!nested || !thread.on_path(record))) {
        // A provider without dependencies needs no level: nothing of this
        // resolution is on the path yet, so it cannot close a cycle.
        prepared.way = PreparedResolution::Way::call;
        prepared.record = RecordRef(record);
        return success();
    }
    // A nested resolution walks: only the walk sees the thread's path at
    // every key, and a compiled function calls its providers unseen.
    if (!nested && !record->meta.is_async) {
        CompiledResolution* compiled = compiled_resolution(*record);
        if (compiled == nullptr && !known_uncompilable(*record)) {
            QUORIX_LET(due, compile_when_due(*record));
            compiled = due;
        }
        if (compiled != nullptr && prepare_compiled(*compiled, thread, prepared)) {
            prepared.way = PreparedResolution::Way::compiled;
            prepared.record = RecordRef(record);
            return success();
        }
    }
    prepared.way = PreparedResolution::Way::walk;
    lay_out_walk(key.text, record, thread);
    return success();
}

}  // namespace quorix::core
