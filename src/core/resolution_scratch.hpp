// Scratch space of the walk's layout, kept by the container between calls so
// that laying out a walk in steady state allocates nothing.
//
// Only the lock holder touches it, and nothing that runs while a walk is laid
// out uses the container, so one layout uses it at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/provider.hpp"

namespace quorix::core {

// One key of the walk being laid out, whose closing step follows the steps of
// its dependencies.
struct Level {
    static constexpr std::size_t no_make = std::numeric_limits<std::size_t>::max();
    Provider* record;  // its effective record, marked as on the path
    std::size_t begin;  // the first step of its subtree
    std::size_t next_dependency;
    std::size_t make;  // a singleton's `make` step, or no_make
};

struct ResolutionScratch {
    std::vector<Level> levels;  // the open levels, innermost last
    std::uint64_t layouts = 0;  // how many walks were laid out
};

// Closes the innermost level: clears its path mark, as the end of a recursive
// call would.
inline void close_level(ResolutionScratch& scratch) noexcept {
    scratch.levels.back().record->links.on_path = false;
    scratch.levels.pop_back();
}

// Restores the scratch to where it stood when the frame was made, on every way
// out (a result, an error, an internal failure): the levels opened since are
// closed innermost first. It also gives back what an unusually deep walk made
// the scratch keep.
class ScratchFrame {
public:
    explicit ScratchFrame(ResolutionScratch& scratch) noexcept : scratch_(scratch) {}
    ScratchFrame(const ScratchFrame&) = delete;
    ScratchFrame& operator=(const ScratchFrame&) = delete;
    ~ScratchFrame() {
        while (!scratch_.levels.empty()) {
            close_level(scratch_);
        }
        if (scratch_.levels.capacity() > kept_levels) {
            std::vector<Level>().swap(scratch_.levels);
        }
    }

private:
    // Enough for any ordinary graph; deeper one-off walks give memory back.
    static constexpr std::size_t kept_levels = 4096;

    ResolutionScratch& scratch_;
};

}  // namespace quorix::core
