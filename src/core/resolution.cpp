#include "core/resolution.hpp"

#include <array>
#include <string>
#include <vector>

#include "core/provider_call.hpp"
#include "runtime/fault_injection.hpp"
#include "runtime/inlining.hpp"

namespace quorix::core {

void ThreadFrame::unwind() {
    while (thread_.making.size() > making_) {
        Provider* record = thread_.making.back();
        thread_.making.pop_back();
        container_.end_making(*record);
    }
    release_values_from(thread_.values, values_);
    truncate_stack(thread_.steps, steps_);
}

namespace {

// Calls the record's callable with the `count` values on top of the thread's
// value stack, which are taken off it first: what the call runs may resolve
// again, and so grow (and move) the stack while the callee still reads them.
Result<OwnedRef> call_with_top(ThreadResolutions& thread, const Provider& record, std::size_t count) {
    constexpr std::size_t inline_count = 8;
    std::array<OwnedRef, inline_count> inline_arguments;
    std::vector<OwnedRef> more_arguments;
    OwnedRef* arguments = inline_arguments.data();
    if (count > inline_count) {
        more_arguments.resize(count);
        arguments = more_arguments.data();
    }
    const std::size_t base = thread.values.size() - count;
    for (std::size_t i = 0; i < count; ++i) {
        arguments[i] = std::move(thread.values[base + i]);
    }
    thread.values.resize(base);  // what is left there holds nothing
    return call_provider(record.callable.borrow(), object_pointers(arguments), count);
}

// A singleton's value, once the caller knows it holds one.
Result<OwnedRef> held_value(Container& container, Provider& record) {
    if constexpr (capability::reads_may_skip_container_lock) {
        if (record.cached) {
            return record.cached.clone();
        }
    }
    return container.take_making_turn(record);
}

// Runs the walk laid out from `begin` to the end of the thread's steps; its
// values end on the thread's value stack.
Status run_steps(Container& container, ThreadResolutions& thread, std::size_t begin) {
    const std::size_t end = thread.steps.size();
    OnPath on_path(thread, PathFrame{begin, end, begin, nullptr, nullptr});
    for (std::size_t index = begin; index < end;) {
        on_path.frame().current = index;
        // Read before anything runs: what runs may lay out more steps (and
        // move these), but the step keeps its record alive.
        Step& step = thread.steps[index];
        Provider* record = step.record.get();
        const std::size_t count = step.count;
        switch (step.kind) {
            case Step::Kind::value:
                thread.values.push_back(std::move(step.value));
                ++index;
                break;
            case Step::Kind::call: {
                QUORIX_LET(value, call_with_top(thread, *record, count));
                thread.values.push_back(std::move(value));
                ++index;
                break;
            }
            case Step::Kind::make: {
                QUORIX_LET(value, container.take_making_turn(*record));
                if (value) {
                    thread.values.push_back(std::move(value));
                    index = count;  // made elsewhere: its dependencies are not needed
                } else {
                    thread.making.push_back(record);
                    ++index;
                }
                break;
            }
            case Step::Kind::made: {
                QUORIX_LET(value, call_with_top(thread, *record, count));
                QUORIX_TRY(container.keep_made(*record, value.borrow()));
                thread.making.pop_back();
                container.end_making(*record);
                thread.values.push_back(std::move(value));
                ++index;
                break;
            }
            case Step::Kind::again: {
                QUORIX_LET(value, held_value(container, *record));
                if (!value) {
                    // It cannot have lost the value an earlier step saw or made.
                    container.end_making(*record);
                    return ErrorResult::deferred(PyExc_RuntimeError, "Internal error: singleton " + record->key +
                                                                         " has no value after it was made");
                }
                thread.values.push_back(std::move(value));
                ++index;
                break;
            }
            case Step::Kind::missing:
                return missing_provider_error(step.key);
            case Step::Kind::cycle:
                return cycle_error(step.key);
            case Step::Kind::async:
                return async_provider_error(step.key);
        }
    }
    return success();
}

// Runs an order: each step's value goes to its place above `base` on the
// thread's value stack; the requested keys' values are returned.
Result<BatchValues> run_order(Container& container, ThreadResolutions& thread, const CompiledOrder& order) {
    const std::size_t base = thread.values.size();
    thread.values.resize(base + order.steps.size());
    OnPath on_path(thread, PathFrame{});
    for (std::size_t index = 0; index < order.steps.size(); ++index) {
        const CompiledOrder::Step& step = order.steps[index];
        Provider& record = *step.record;
        on_path.frame().record = &record;
        if (record.meta.singleton) {
            QUORIX_LET(value, held_value(container, record));
            if (value) {
                thread.values[base + index] = std::move(value);
                continue;
            }
            thread.making.push_back(&record);
        }
        const KeyList& dep_keys = record.meta.dep_keys;
        for (std::size_t d = 0; d < dep_keys.size(); ++d) {
            const std::size_t placed = order.argument_steps[step.first_argument + d];
            if (placed == CompiledOrder::not_placed) {
                // Unreachable while the order is sound.
                return ErrorResult::deferred(PyExc_RuntimeError,
                                             "Internal error: key " + dep_keys[d] + " has no value in the plan");
            }
            thread.values.push_back(thread.values[base + placed].clone());
        }
        QUORIX_LET(value, call_with_top(thread, record, dep_keys.size()));
        if (record.meta.singleton) {
            QUORIX_TRY(container.keep_made(record, value.borrow()));
            thread.making.pop_back();
            container.end_making(record);
        }
        thread.values[base + index] = std::move(value);
    }
    std::vector<OwnedRef> results;
    results.reserve(order.requested_steps.size());
    for (const std::size_t placed : order.requested_steps) {
        if (placed == CompiledOrder::not_placed) {
            return ErrorResult::deferred(PyExc_RuntimeError, "Internal error: a requested key has no value in the plan");
        }
        results.push_back(thread.values[base + placed].clone());
    }
    return BatchValues{std::move(results), {}};
}

// Calls a compiled function with the values prepared on the thread's stack.
Result<OwnedRef> call_compiled(ThreadResolutions& thread, const ThreadFrame& frame, PreparedResolution& prepared) {
    // A resolution nested in it walks: the function's providers run unseen,
    // but its top record is on the path.
    OnPath on_path(thread, PathFrame{0, 0, 0, prepared.record.get(), nullptr});
    const std::size_t base = frame.values_base();
    return call_generated(prepared.function, object_pointers(thread.values.data() + base), thread.values.size() - base);
}

// The rest of a single key's ways, kept out of the common ones' way.
QUORIX_NOINLINE Result<OwnedRef> run_prepared(Container& container, ThreadResolutions& thread,
                                               const ThreadFrame& frame, PreparedResolution& prepared) {
    switch (prepared.way) {
        case PreparedResolution::Way::compiled:
            return call_compiled(thread, frame, prepared);
        case PreparedResolution::Way::walk:
            QUORIX_TRY(run_steps(container, thread, frame.steps_base()));
            return std::move(thread.values[frame.values_base()]);
        case PreparedResolution::Way::answered:
        case PreparedResolution::Way::call:
        case PreparedResolution::Way::compiled_batch:
        case PreparedResolution::Way::order:
            break;
    }
    return ErrorResult::deferred(PyExc_RuntimeError, "Internal error: a single key prepared as a batch");
}

// The test build's switch: a provider without dependencies runs with the lock
// held, as code a collection or a finalizer runs during the module's own work
// under the lock would, so that the tests can make threads wait for the lock.
QUORIX_NOINLINE Result<OwnedRef> resolve_under_lock(Container& container, const RequestedKey& key, ThreadResolutions& thread) {
    return container.locked([&](ContainerInner& inner) -> Result<OwnedRef> {
        PreparedResolution prepared;
        QUORIX_TRY(inner.prepare_resolve(key, thread, prepared));
        if (prepared.way == PreparedResolution::Way::answered) {
            return std::move(prepared.value);
        }
        if (prepared.way != PreparedResolution::Way::call) {
            return ErrorResult::deferred(PyExc_RuntimeError, "calls_under_lock: only a key without dependencies");
        }
        return call_provider(prepared.record->callable.borrow(), nullptr, 0);
    });
}

}  // namespace

Result<OwnedRef> resolve(Container& container, const RequestedKey& key) {
    ThreadResolutions& thread = thread_resolutions();
    ThreadFrame frame(container, thread);
    if (fault::armed("calls_under_lock")) {
        return resolve_under_lock(container, key, thread);
    }
    PreparedResolution prepared;
    QUORIX_TRY(container.locked(
        [&](ContainerInner& inner) -> Status { return inner.prepare_resolve(key, thread, prepared); }));
    if (prepared.way == PreparedResolution::Way::call) {
        OnPath on_path(thread, PathFrame{0, 0, 0, prepared.record.get(), nullptr});
        return call_provider(prepared.record->callable.borrow(), nullptr, 0);
    }
    if (prepared.way == PreparedResolution::Way::answered) {
        return std::move(prepared.value);
    }
    return run_prepared(container, thread, frame, prepared);
}

Result<BatchValues> run_batch(Container& container, ThreadResolutions& thread, const ThreadFrame& frame,
                              PreparedResolution& prepared) {
    switch (prepared.way) {
        case PreparedResolution::Way::compiled_batch: {
            // The function returns a fresh list of exactly the request's values.
            QUORIX_LET(list, call_compiled(thread, frame, prepared));
            return BatchValues{{}, std::move(list)};
        }
        case PreparedResolution::Way::walk: {
            QUORIX_TRY(run_steps(container, thread, frame.steps_base()));
            std::vector<OwnedRef> values;
            values.reserve(thread.values.size() - frame.values_base());
            for (std::size_t i = frame.values_base(); i < thread.values.size(); ++i) {
                values.push_back(std::move(thread.values[i]));
            }
            return BatchValues{std::move(values), {}};
        }
        case PreparedResolution::Way::order:
            return run_order(container, thread, *prepared.order);
        case PreparedResolution::Way::answered:
        case PreparedResolution::Way::call:
        case PreparedResolution::Way::compiled:
            break;
    }
    return ErrorResult::deferred(PyExc_RuntimeError, "Internal error: a batch prepared as a single key");
}

namespace {

// A batch request: prepared by `prepare(inner, thread, prepared)` under the
// lock, then run.
template <class Prepare>
Result<BatchValues> resolve_batch(Container& container, Prepare&& prepare) {
    ThreadResolutions& thread = thread_resolutions();
    ThreadFrame frame(container, thread);
    PreparedResolution prepared;
    QUORIX_TRY(container.locked([&](ContainerInner& inner) -> Status { return prepare(inner, thread, prepared); }));
    return run_batch(container, thread, frame, prepared);
}

}  // namespace

Result<BatchValues> resolve_many(Container& container, RequestedKeys keys) {
    return resolve_batch(container, [keys](ContainerInner& inner, ThreadResolutions& thread,
                                           PreparedResolution& prepared) {
        return inner.prepare_many(keys, thread, prepared);
    });
}

Result<BatchValues> resolve_many_plan(Container& container, RequestedKeys keys) {
    return resolve_batch(container, [keys](ContainerInner& inner, ThreadResolutions& thread,
                                           PreparedResolution& prepared) {
        return inner.prepare_plan(keys, thread, prepared);
    });
}

}  // namespace quorix::core
