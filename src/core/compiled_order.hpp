// A compiled request: the dependency-first order of its closure, with every
// dependency edge and every requested key already turned into a position in
// that order, so executing it needs no key lookups.
#pragma once

#include <cstddef>
#include <limits>
#include <vector>

#include "core/compiled_resolution.hpp"
#include "core/provider.hpp"

namespace quorix::core {

struct CompiledOrder {
    // A dependency or requested key with no earlier step holding its value.
    static constexpr std::size_t not_placed = std::numeric_limits<std::size_t>::max();

    struct Step {
        RecordRef record;            // the key's effective record when compiled, held for the runs
        std::size_t first_argument;  // where its entries of `argument_steps` begin
    };

    // In order; each record's dependencies stand before it.
    std::vector<Step> steps;
    // For each step, one entry per key of its record's `dep_keys`: the step whose
    // value that argument takes, or not_placed.
    std::vector<std::size_t> argument_steps;
    // For each requested key, in request order, the step holding its value.
    std::vector<std::size_t> requested_steps;
    // The request compiled into one function, once it has run a few times.
    CompiledBatch compiled;
};

}  // namespace quorix::core
