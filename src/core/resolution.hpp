// Resolution: prepared under the container's lock, run once it is free.
//
// Each request takes the lock once to find what it needs (core/
// container_inner.hpp) and then runs it with no lock held: the providers'
// callables, the compiled functions, and every release that may run a
// finalizer. What it runs was fixed under the lock, so it sees the registry as
// it stood at that moment, whatever other threads (or its own providers) do to
// it meanwhile; the records it uses stay alive until it is done with them.
#pragma once

#include <cstddef>
#include <optional>

#include "core/batch_values.hpp"
#include "core/container.hpp"
#include "core/prepared_resolution.hpp"
#include "core/requested_key.hpp"
#include "core/thread_resolutions.hpp"
#include "runtime/error_result.hpp"

namespace quorix::core {

// One resolution's share of the thread's stacks: whatever it put there is
// taken off when it ends, however it ends, and a making it began and did not
// end is ended (failed) so that the next thread in line can make it.
class ThreadFrame {
public:
    ThreadFrame(Container& container, ThreadResolutions& thread) noexcept
        : container_(container),
          thread_(thread),
          steps_(thread.steps.size()),
          values_(thread.values.size()),
          making_(thread.making.size()) {}
    ThreadFrame(const ThreadFrame&) = delete;
    ThreadFrame& operator=(const ThreadFrame&) = delete;
    ~ThreadFrame() {
        // Mostly nothing is left: a resolution took its values and ended its makings.
        if (thread_.making.size() != making_ || thread_.values.size() != values_ ||
            thread_.steps.size() != steps_) {
            unwind();
        }
    }

    std::size_t steps_base() const noexcept { return steps_; }
    std::size_t values_base() const noexcept { return values_; }

private:
    void unwind();

    Container& container_;
    ThreadResolutions& thread_;
    std::size_t steps_;
    std::size_t values_;
    std::size_t making_;
};

Result<OwnedRef> resolve(Container& container, const RequestedKey& key);
Result<BatchValues> resolve_many(Container& container, RequestedKeys keys);
Result<BatchValues> resolve_many_plan(Container& container, RequestedKeys keys);

// Runs a prepared batch request: its values, in request order.
Result<BatchValues> run_batch(Container& container, ThreadResolutions& thread, const ThreadFrame& frame,
                              PreparedResolution& prepared);

// A request of `count()` key objects, `item_at(i)` the i-th (an exact list or
// tuple, read in place once the lock is taken), if an order is kept for these
// very `str` objects; nothing otherwise, and then the keys must be converted.
template <class Count, class ItemAt>
Result<std::optional<BatchValues>> resolve_kept_plan(Container& container, Count&& count, ItemAt&& item_at) {
    ThreadResolutions& thread = thread_resolutions();
    ThreadFrame frame(container, thread);
    PreparedResolution prepared;
    QUORIX_LET(found, container.locked([&](ContainerInner& inner) -> Result<bool> {
        return inner.prepare_kept_plan(count(), item_at, thread, prepared);
    }));
    if (!found) {
        return std::optional<BatchValues>();
    }
    QUORIX_LET(values, run_batch(container, thread, frame, prepared));
    return std::optional<BatchValues>(std::move(values));
}

}  // namespace quorix::core
