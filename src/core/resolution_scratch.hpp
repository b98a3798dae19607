// Scratch space of resolution, kept by the container between calls so that a
// resolution in steady state allocates nothing.
//
// Only the lock holder touches it, and a call that re-enters the container is
// refused before it reaches the lock, so one resolution (or one batch and the
// resolutions nested in it) uses it at a time. Nested users stack on top of
// each other and each unwinds back to where it began.
#pragma once

#include <cstddef>
#include <vector>

#include "core/provider.hpp"

namespace quorix::core {

// One key whose provider is called once its dependencies are resolved. The
// provider's callable is called as the record holds it: no record changes while
// the lock is held, and a call that re-enters the container is refused.
struct Level {
    Provider* record;         // its effective record, marked as on the path
    std::size_t values_base;  // its arguments are the value stack's entries from here up
    std::size_t next_dependency;
};

struct ResolutionScratch {
    std::vector<Level> levels;     // the open levels, innermost last
    std::vector<OwnedRef> values;  // the arguments of every open level, contiguous per level
};

// Releases the values from `base` up, first to last.
inline void release_values_from(std::vector<OwnedRef>& values, std::size_t base) noexcept {
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(base), values.end());
}

// Closes the innermost level: clears its path mark, then releases its
// arguments, as the end of a recursive call would.
inline void close_level(ResolutionScratch& scratch) noexcept {
    Level& level = scratch.levels.back();
    level.record->links.on_path = false;
    release_values_from(scratch.values, level.values_base);
    scratch.levels.pop_back();
}

// Restores the scratch to where it stood when the frame was made, on every way
// out (a result, an error, an internal failure, a thread-exit unwind): the
// levels opened since are closed innermost first and the values pushed since
// are released. The outermost frame also gives back what an unusually deep
// resolution made the scratch keep.
class ScratchFrame {
public:
    explicit ScratchFrame(ResolutionScratch& scratch) noexcept
        : scratch_(scratch), levels_base_(scratch.levels.size()), values_base_(scratch.values.size()) {}
    ScratchFrame(const ScratchFrame&) = delete;
    ScratchFrame& operator=(const ScratchFrame&) = delete;
    ~ScratchFrame() {
        while (scratch_.levels.size() > levels_base_) {
            close_level(scratch_);
        }
        release_values_from(scratch_.values, values_base_);
        if (levels_base_ == 0 && scratch_.levels.capacity() > kept_levels) {
            std::vector<Level>().swap(scratch_.levels);
        }
        if (values_base_ == 0 && scratch_.values.capacity() > kept_values) {
            std::vector<OwnedRef>().swap(scratch_.values);
        }
    }

    std::size_t values_base() const noexcept { return values_base_; }

private:
    // Enough for any ordinary graph; deeper one-off resolutions give memory back.
    static constexpr std::size_t kept_levels = 4096;
    static constexpr std::size_t kept_values = 16384;

    ResolutionScratch& scratch_;
    std::size_t levels_base_;
    std::size_t values_base_;
};

}  // namespace quorix::core
