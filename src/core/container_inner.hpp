// The state of one container and the operations that work on it once it is
// locked. The `Container` wrapper (container.hpp) owns the lock.
//
// Nothing here runs Python code of anyone's but the module's: a resolution is
// prepared here (a cached value answered, a walk laid out, an order found)
// and run by core/resolution.cpp once the lock is free; what an operation
// lets go of leaves with it (core/released.hpp).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/batch_values.hpp"
#include "core/compiled_order.hpp"
#include "core/compiled_resolution.hpp"
#include "core/key_memo.hpp"
#include "core/plan_cache.hpp"
#include "core/prepared_resolution.hpp"
#include "core/published_reads.hpp"
#include "core/provider.hpp"
#include "core/released.hpp"
#include "core/requested_key.hpp"
#include "core/resolution_scratch.hpp"
#include "core/thread_resolutions.hpp"
#include "runtime/error_result.hpp"

namespace quorix::core {

// The registry's generation: moves whenever a key's effective record may
// change; never 0. Its own type, so that the operations on the whole state
// (ContainerInner::members_of) tell it from plain numbers.
struct Generation {
    std::uint64_t value = 1;
    operator std::uint64_t() const noexcept { return value; }
};

class ContainerInner {
public:
    ContainerInner() = default;
    ContainerInner(const ContainerInner&) = delete;
    ContainerInner& operator=(const ContainerInner&) = delete;
    // Releases the base map, then the layers from the bottom up.
    ~ContainerInner();

    // The record a key resolves to: the top-most layer holding the key, else the
    // base map; null if none holds it.
    Provider* effective_provider(std::string_view key) noexcept {
        return find_record(key, [](const Provider&) { return true; });
    }

    // The first record for `key` that `accept` takes, searching the layers from
    // the top, then the base map. Layers without records are never visited.
    template <class Accept>
    Provider* find_record(std::string_view key, Accept&& accept) noexcept {
        for (auto index = filled_layers_.rbegin(); index != filled_layers_.rend(); ++index) {
            ProviderMap& layer = overrides_[*index];
            if (auto found = layer.find(key); found != layer.end() && accept(*found->second)) {
                return found->second.get();
            }
        }
        if (auto found = providers_.find(key); found != providers_.end() && accept(*found->second)) {
            return found->second.get();
        }
        return nullptr;
    }

    // The effective record of each of the record's dependency keys (null: none).
    const std::vector<Provider*>& dependency_records(Provider& record) {
        if (record.links.generation != generation_) {
            refresh_links(record);
        }
        return record.links.dep_records;
    }

    // Moves whenever a key's effective record may change; never 0.
    std::uint64_t generation() const noexcept { return generation_; }

    // Registration and layers; what they displace goes to `released`.
    void register_provider(KeyText key, RecordRef record, Released& released);
    void set_override(KeyText key, RecordRef record, Released& released);
    void begin_override_layer();
    void end_override_layer(Released& released);

    // Prepares a top-level request for one key, whose values or laid-out
    // steps go on `thread`. A key given as an exact `str` object finds its
    // record through the key memo (once: the binding's answer stands while
    // the generation does), and is remembered for the next request with the
    // same object.
    Status prepare_resolve(const RequestedKey& key, ThreadResolutions& thread, PreparedResolution& prepared);
    // The same for `resolve_many`: the keys' walks laid out one after the
    // other, or the request's compiled function.
    Status prepare_many(RequestedKeys keys, ThreadResolutions& thread, PreparedResolution& prepared);
    // The same for `resolve_many_plan`: the request's order, validated.
    Status prepare_plan(RequestedKeys keys, ThreadResolutions& thread, PreparedResolution& prepared);
    // The same for a request of `count` key objects, `item_at(i)` the i-th (an
    // exact list or tuple read in place), if an order is kept for these very
    // `str` objects; false otherwise, and then the keys must be converted.
    template <class ItemAt>
    Result<bool> prepare_kept_plan(std::size_t count, ItemAt&& item_at, ThreadResolutions& thread,
                                   PreparedResolution& prepared) {
        PlanCache::Kept kept = plans_.find_same_objects(count, item_at, generation_);
        if (kept.order == nullptr) {
            return false;
        }
        QUORIX_TRY(prepare_order(kept.order, kept.keys, true, thread, prepared));
        return true;
    }

    // Validates the request's dependency closure and orders it dependency first.
    Result<CompiledOrder> compile_order(RequestedKeys requested);

    // What the cyclic garbage collector sees: every strong reference kept
    // between calls (callables, cached values, remembered keys, compiled
    // functions). Never locks and never runs Python code; every change to the
    // state is made so that it is whole at any moment Python code can run.
    int visit_references(visitproc visit, void* arg) const noexcept;
    // Exchanges the whole state with `other` (an empty one, to clear this);
    // the generation moves on, so nothing made against the old state answers.
    void swap_state(ContainerInner& other) noexcept;

    // The key memo's answer for `key_object` (an exact `str`) at this
    // generation: a read that changes nothing and runs no Python code. A
    // record found is the key's effective one, so its value is what resolving
    // the key and `get_cached` would both answer.
    MemoAnswer memo_answer(PyObject* key_object) const noexcept {
        return {key_memo_.find(key_object, generation_), generation_};
    }

    // What reads without the lock find (core/published_reads.hpp).
    const PublishedReads& published() const noexcept { return published_; }
    PublishedReads& published() noexcept { return published_; }

    // Introspection and cache access.
    Result<CopiedOutProvider> get_provider_info(std::string_view key);
    OwnedRef get_cached(std::string_view key);
    // The same for a key that may have come as an exact `str` object, whose
    // effective record is then found and remembered as resolution does.
    OwnedRef get_cached(const RequestedKey& key);
    // The value replaced goes to `released`.
    Status set_cached(std::string_view key, BorrowedRef value, Released& released);

private:
    // Lays out the walk from `key`, whose effective record is `record` (null:
    // none), as steps appended to the thread's: the steps the walk takes, in
    // order, with its errors where the walk meets them.
    void lay_out_walk(std::string_view key, Provider* record, ThreadResolutions& thread);
    // Lays out one key of a walk: a value, an error, or a level opened for it.
    void open_level(std::string_view key, Provider* record, ThreadResolutions& thread, std::uint64_t layout);
    // The effective record of a requested key (null: none), through the key
    // memo for an exact `str`.
    Provider* requested_record(const RequestedKey& key);
    // Where reads may not skip the lock, makes the record's cached value
    // readable without it for the exact `str` the key came as.
    void publish_read(const RequestedKey& key, Provider& record) {
        if constexpr (!capability::reads_may_skip_container_lock) {
            if (key.exact_str != nullptr) {
                published_.publish(key.exact_str, record);
            }
        }
    }
    // Brings the record's dependency links up to the current generation.
    void refresh_links(Provider& record);
    // The record's compiled resolution, if it has one at this generation.
    CompiledResolution* compiled_resolution(Provider& record) noexcept {
        const ResolutionLinks& links = record.links;
        return links.compiled_generation == generation_ && links.compiled >= 0
                   ? &compiled_.at(static_cast<std::size_t>(links.compiled))
                   : nullptr;
    }
    bool known_uncompilable(const Provider& record) const noexcept {
        return record.links.compiled_generation == generation_ &&
               record.links.compiled == ResolutionLinks::not_compilable;
    }
    // Counts a walk of the record; once it is due, compiles its resolution
    // (null: it cannot be compiled at this generation, or not yet).
    Result<CompiledResolution*> compile_when_due(Provider& record);
    // A batch request's compiled function, compiled when due (with its order
    // for `resolve_many_plan`); null where the walk must run.
    Result<CompiledResolution*> compiled_batch(CompiledBatch& batch, RequestedKeys keys, const CompiledOrder* order);
    // Prepares a call of a compiled function: true, with its singletons'
    // values on the thread's value stack, unless one of them holds no value.
    bool prepare_compiled(CompiledResolution& compiled, ThreadResolutions& thread, PreparedResolution& prepared);
    // Prepares the run of an order (through its compiled function if it is
    // kept and compiled).
    Status prepare_order(std::shared_ptr<CompiledOrder> order, RequestedKeys keys, bool kept, ThreadResolutions& thread,
                         PreparedResolution& prepared);
    // Moves the generation on, then releases whatever was made against the old one.
    void advance_generation();

    // Every member below, in order, as a tuple of references: the one list
    // that the destruction, the collector's traversal, the exchange of the
    // state and the generation's advance walk (container_references.cpp),
    // each member taking part by its type. The structured binding there names
    // exactly as many members as the class holds, so a member added here
    // without a name there fails to compile, and one of a type with no part
    // in those operations fails too.
    template <class Self>
    static auto members_of(Self& self) noexcept;

    // Declared in the order the destruction releases them: the compiled
    // functions' references to callables go before the records'.
    CompiledResolutions compiled_;
    PlanCache plans_{true};
    // The `resolve_many` requests seen lately, kept for their compiled form only.
    PlanCache walked_requests_{false};
    KeyMemo key_memo_;
    ProviderMap providers_;
    std::vector<ProviderMap> overrides_;  // back() is the top layer
    // Indices of the layers that hold records, bottom first. Only the top layer
    // is ever written, so this only grows at the back and shrinks when the top
    // layer ends.
    std::vector<std::size_t> filled_layers_;
    ResolutionScratch scratch_;
    PublishedReads published_;
    Generation generation_;
};

// The core's own errors.
ErrorResult missing_provider_error(std::string_view key);
ErrorResult cycle_error(std::string_view key);
ErrorResult async_provider_error(std::string_view key);

}  // namespace quorix::core
