// When a resolution is compiled, and how its function is called.
#include "core/compiled_resolution.hpp"

#include <array>
#include <cstdlib>
#include <limits>
#include <string>

#include "core/container_inner.hpp"
#include "core/resolution_source.hpp"
#include "runtime/fault_injection.hpp"

namespace quorix::core {
namespace {

// Only from 3.13 does a call from Python code build a class instance inside
// the calling frame; before, the function would mostly add a frame of its own.
bool interpreter_builds_in_frame() noexcept {
    static const bool builds = [] {
        const char* version = Py_GetVersion();  // "3.13.0 (main, ..."
        char* end = nullptr;
        const long major = std::strtol(version, &end, 10);
        const long minor = *end == '.' ? std::strtol(end + 1, nullptr, 10) : 0;
        return major > 3 || (major == 3 && minor >= 13);
    }();
    return builds;
}

constexpr std::uint32_t never = std::numeric_limits<std::uint32_t>::max();

// How many uncompiled runs at one generation come before compiling: a request
// made once or twice is not worth the compiler.
std::uint32_t runs_before_compiling() noexcept {
    if (fault::armed("compile_never")) {
        return never;
    }
    if (fault::armed("compile_at_once")) {
        return 1;  // the test build's switch: the compiled form wherever it applies
    }
    return interpreter_builds_in_frame() ? 4 : never;
}

// Counts one more run; true once the compiler is due.
bool due(std::uint32_t& runs) noexcept {
    if (runs < std::numeric_limits<std::uint32_t>::max()) {
        ++runs;
    }
    return runs >= runs_before_compiling();
}

}  // namespace

bool compiles_resolutions() noexcept {
    return runs_before_compiling() != never;
}

Result<CompiledResolution*> ContainerInner::compile_when_due(Provider& record) {
    ResolutionLinks& links = record.links;
    if (links.compiled_generation != generation_) {
        links.compiled_generation = generation_;
        links.resolutions = 0;
        links.compiled = ResolutionLinks::not_compiled;
    }
    if (links.compiled == ResolutionLinks::not_compilable || !due(links.resolutions)) {
        if (!compiles_resolutions()) {
            links.compiled = ResolutionLinks::not_compilable;  // nothing to count here
        }
        return static_cast<CompiledResolution*>(nullptr);
    }
    links.compiled = ResolutionLinks::not_compilable;  // unless it is compiled below
    ResolutionSource source(*this);
    std::string value;
    // A singleton at the top is walked once, then answered from its cache; one
    // call alone gains nothing from a function around it.
    if (record.meta.singleton || compiled_.full() || !source.write_walk(record, value) || source.calls() < 2) {
        return static_cast<CompiledResolution*>(nullptr);
    }
    QUORIX_LET(function, source.define(value));
    if (!function) {
        return static_cast<CompiledResolution*>(nullptr);
    }
    const std::size_t index = compiled_.add(std::move(*function));
    links.compiled = static_cast<std::int32_t>(index);
    return &compiled_.at(index);
}

Result<CompiledResolution*> ContainerInner::compiled_batch(CompiledBatch& batch, RequestedKeys keys,
                                                          const CompiledOrder* order) {
    if (!batch.function) {
        if (batch.refused || !due(batch.runs)) {
            return static_cast<CompiledResolution*>(nullptr);
        }
        batch.refused = true;  // unless it is compiled below
        ResolutionSource source(*this);
        std::string values;
        if (!(order != nullptr ? source.write_order(*order, values) : source.write_walks(keys, values))) {
            return static_cast<CompiledResolution*>(nullptr);
        }
        QUORIX_LET(function, source.define(values));
        if (!function) {
            return static_cast<CompiledResolution*>(nullptr);
        }
        batch.function = std::move(function);
        batch.refused = false;
    }
    return &*batch.function;
}

bool ContainerInner::prepare_compiled(CompiledResolution& compiled, ThreadResolutions& thread,
                                      PreparedResolution& prepared) {
    // The function and the singletons' values are taken now: once the lock is
    // free, the function may be dropped and the values replaced.
    const std::size_t base = thread.values.size();
    for (Provider* singleton : compiled.singletons) {
        if (!singleton->cached) {
            release_values_from(thread.values, base);
            return false;  // only the walk knows what to call for it
        }
        thread.values.push_back(singleton->cached.clone());
    }
    prepared.function = GeneratedFunction{compiled.function.function.clone(), compiled.function.code.clone()};
    return true;
}

}  // namespace quorix::core
