// Resolutions compiled into one Python function each.
//
// Every call native code makes into a Python callable enters the interpreter
// afresh, which costs more than many a provider's own work; a call made by
// Python code does not pay it, and from 3.13 the interpreter even builds a
// class's instance inside the calling frame. So for a key resolved again and
// again, whose dependency closure is sound and small, the container writes a
// function whose body makes the provider calls the level walk would make, in
// the same order (depth first, dependencies left to right, a transient built
// once per use), and calls that one function instead of walking the levels.
//
// The walk stops at a singleton with a cached value, so the function stops at
// every singleton it reaches and takes their values as its arguments: it
// stands for the walk only while each of them holds one. Until then (after a
// re-registration, or a first resolution) the levels are walked, which fills
// them.
//
// A batch request is compiled the same way, into one function for the whole
// request: walks from each key in turn for `resolve_many`, the steps of its
// order for `resolve_many_plan`; either is kept with the request.
//
// What is kept: at most `capacity` functions for single keys per container,
// and one for each batch request kept (a plan cache's), each of at most
// `max_calls` provider calls and `max_singletons` parameters, holding
// references to the callables of the records it calls (never to cached
// values). A change of the registry generation drops them all at once, before
// any record is released, so a callable is released when its record is, as
// without them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/provider.hpp"
#include "runtime/generated_function.hpp"

namespace quorix::core {

// Whether this interpreter (or the test build's switch) has resolutions compiled.
bool compiles_resolutions() noexcept;

struct CompiledResolution {
    GeneratedFunction function;
    // The singleton records whose cached values are its arguments, in order.
    std::vector<Provider*> singletons;
};

// The compiled form of a batch request, kept with the request.
struct CompiledBatch {
    std::uint32_t runs = 0;  // uncompiled runs so far
    bool refused = false;    // it cannot be compiled at this generation
    std::optional<CompiledResolution> function;  // returns the list of the request's values
};

class CompiledResolutions {
public:
    static constexpr std::size_t capacity = 64;
    static constexpr std::size_t max_calls = 128;
    static constexpr std::size_t max_singletons = 16;

    bool full() const noexcept { return entries_.size() >= capacity; }
    CompiledResolution& at(std::size_t index) noexcept { return entries_[index]; }
    std::size_t add(CompiledResolution entry) {
        entries_.push_back(std::move(entry));
        return entries_.size() - 1;
    }
    // Releases every function and the references it holds.
    void clear() { std::vector<CompiledResolution>().swap(entries_); }

    int visit_references(visitproc visit, void* arg) const noexcept {
        for (const CompiledResolution& entry : entries_) {
            if (int stop = visit_references_of(entry.function, visit, arg)) {
                return stop;
            }
        }
        return 0;
    }
    void swap(CompiledResolutions& other) noexcept { entries_.swap(other.entries_); }

private:
    std::vector<CompiledResolution> entries_;
};

}  // namespace quorix::core
