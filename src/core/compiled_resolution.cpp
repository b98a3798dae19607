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

std::optional<Result<BatchValues>> ContainerInner::run_compiled_batch(CompiledBatch& batch, RequestedKeys keys,
                                                                      const CompiledOrder* order) {
    if (!batch.function) {
        if (batch.refused || !due(batch.runs)) {
            return std::nullopt;
        }
        batch.refused = true;  // unless it is compiled below
        ResolutionSource source(*this);
        std::string values;
        if (!(order != nullptr ? source.write_order(*order, values) : source.write_walks(keys, values))) {
            return std::nullopt;
        }
        Result<std::optional<CompiledResolution>> function = source.define(values);
        if (!function.ok()) {
            return std::optional<Result<BatchValues>>(std::in_place, std::move(function).error());
        }
        if (!function.value()) {
            return std::nullopt;
        }
        batch.function = std::move(function).value();
        batch.refused = false;
    }
    std::optional<Result<OwnedRef>> list = call_compiled(*batch.function);
    if (!list) {
        return std::nullopt;
    }
    // Built in place in the optional: moving a finished result into it makes
    // GCC's flow analysis (under the sanitizers) take the move for a read of
    // an uninitialised error message.
    if (!list->ok()) {
        return std::optional<Result<BatchValues>>(std::in_place, std::move(*list).error());
    }
    // The function returns a fresh list of exactly the request's values.
    return std::optional<Result<BatchValues>>(std::in_place, BatchValues{{}, std::move(*list).value()});
}

std::optional<Result<OwnedRef>> ContainerInner::call_compiled(CompiledResolution& compiled) {
    // The records hold the values for the whole call: nothing can change them
    // while the lock is held, and a call back into the container is refused.
    std::array<PyObject*, CompiledResolutions::max_singletons> arguments{};
    const std::size_t count = compiled.singletons.size();
    for (std::size_t i = 0; i < count; ++i) {
        arguments[i] = compiled.singletons[i]->cached.get();
        if (arguments[i] == nullptr) {
            return std::nullopt;  // only the walk knows what to call for it
        }
    }
    return call_generated(compiled.function, arguments.data(), count);
}

}  // namespace quorix::core
