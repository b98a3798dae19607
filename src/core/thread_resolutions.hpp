// The resolutions under way on the calling thread, across every container.
//
// A provider's callable runs with no lock of its container held, so it may
// call the container again: each such call is a resolution nested in the one
// that called the provider. What a resolution runs once the lock is free (a
// laid-out walk, its argument values) lives here, on the thread, stacked
// nested-innermost-last; and so does the thread's path: the records whose
// values its resolutions are making right now, which a nested resolution must
// not reach again (that would be a dependency cycle, not a wait).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/provider.hpp"
#include "runtime/ref.hpp"

namespace quorix::core {

// One step of a laid-out walk, run in order once the lock is free: a value
// goes on the value stack or the step's own arguments come off it.
struct Step {
    enum class Kind : std::uint8_t {
        value,    // a singleton's cached value, read as the walk was laid out
        call,     // calls the record's callable with the `count` values on top
        make,     // a singleton without a value: this thread makes it, unless
                  // it holds one by now (then its steps up to `count` are skipped)
        made,     // calls the singleton's callable and keeps the value
        again,    // a singleton this walk makes at an earlier step: its value
        missing,  // the errors of the walk, where the walk meets them
        cycle,
        async,
    };
    explicit Step(Kind step_kind) noexcept : kind(step_kind) {}

    Kind kind;
    std::uint32_t count = 0;  // call, made: arguments; make: the step after its `made`
    std::uint32_t begin = 0;  // call, made: the first step of the subtree it closes
    RecordRef record;         // call, make, made, again
    OwnedRef value;           // value
    std::string_view key;     // an error step's key (kept alive by the request or a record)
};

// A resolution of this thread whose providers are running: a laid-out walk,
// with the step under way; or one record whose callable is being called. The
// frames live on the C stack of the calls that run them, linked innermost
// first.
struct PathFrame {
    std::size_t steps_begin = 0;
    std::size_t steps_end = 0;
    std::size_t current = 0;
    const Provider* record = nullptr;
    const PathFrame* outer = nullptr;
};

struct ThreadResolutions {
    std::vector<Step> steps;
    std::vector<OwnedRef> values;
    const PathFrame* path = nullptr;  // the innermost frame, or none
    // The records this thread has begun making and not yet finished, innermost last.
    std::vector<Provider*> making;

    // Whether one of this thread's resolutions under way has `record` on its
    // path: the record being called, or one whose walk step encloses the step
    // under way.
    bool on_path(const Provider* record) const noexcept;
    // Whether a resolution of this thread is running providers: a call made
    // now comes from one of them (or from what they run).
    bool nested() const noexcept { return path != nullptr; }
};

// Puts a frame on the thread's path for as long as it lives.
class OnPath {
public:
    OnPath(ThreadResolutions& thread, PathFrame frame) noexcept : thread_(thread), frame_(frame) {
        frame_.outer = thread.path;
// The frame leaves the path in the destructor, before it goes: GCC cannot see that.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
        thread.path = &frame_;
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    }
    OnPath(const OnPath&) = delete;
    OnPath& operator=(const OnPath&) = delete;
    ~OnPath() { thread_.path = frame_.outer; }

    PathFrame& frame() noexcept { return frame_; }

private:
    ThreadResolutions& thread_;
    PathFrame frame_;
};

// Drops the entries of `stack` from `base` up, last first, each after it has
// left the stack: dropping one may run a finalizer, which may resolve again
// and so use the stack above `base` for a while.
template <class Entry>
void truncate_stack(std::vector<Entry>& stack, std::size_t base) {
    while (stack.size() > base) {
        Entry dropped = std::move(stack.back());
        stack.pop_back();
    }
}

inline void release_values_from(std::vector<OwnedRef>& values, std::size_t base) { truncate_stack(values, base); }

namespace detail {
// The calling thread's, once it has resolved anything: a plain pointer, so
// that reaching it costs no check of a thread-local object's construction.
inline thread_local ThreadResolutions* this_thread_resolutions = nullptr;
ThreadResolutions& make_thread_resolutions();
}  // namespace detail

// The calling thread's; destroyed with the thread, when it holds nothing.
inline ThreadResolutions& thread_resolutions() {
    ThreadResolutions* resolutions = detail::this_thread_resolutions;
    return resolutions != nullptr ? *resolutions : detail::make_thread_resolutions();
}

}  // namespace quorix::core
