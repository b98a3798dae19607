// The Python source of a compiled resolution, and the function made from it.
//
// The providers are called in the order the uncompiled engine calls them. A
// walk uses each value once, so it is one nested call expression, evaluated
// depth first and left to right like the walk (and cheaper than a local per
// value); an order's values are locals, one statement per step. The
// callables are globals `c0`, `c1`, ... and the cached values of the
// singletons it stops at are its parameters `a0`, `a1`, ...
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/compiled_order.hpp"
#include "core/compiled_resolution.hpp"
#include "core/requested_key.hpp"

namespace quorix::core {

class ContainerInner;

class ResolutionSource {
public:
    explicit ResolutionSource(ContainerInner& inner) : inner_(inner) {}

    // Writes the expression of a walk from `record` into `value`; a singleton
    // below the top is a parameter.
    // False where it cannot be compiled: a missing, async or non-callable
    // provider, a cycle, too many calls or singletons.
    bool write_walk(Provider& record, std::string& value);
    // The same for a walk from each requested key in turn, a singleton at the
    // top being a parameter too; `values` is the list of their values.
    bool write_walks(RequestedKeys keys, std::string& values);
    // The statements of an order, one per step; `values` is the list of the
    // requested keys' values.
    bool write_order(const CompiledOrder& order, std::string& values);

    // How many provider calls the body makes.
    std::size_t calls() const noexcept { return calls_; }

    // Defines the function that returns the expression `value`. Nothing where the interpreter
    // could not compile it for want of memory or stack.
    Result<std::optional<CompiledResolution>> define(std::string_view value);

private:
    bool parameter(Provider& record, std::string& value);
    bool call(Provider& record, std::string& value, const std::vector<std::string>& arguments);
    void line(std::initializer_list<std::string_view> parts);

    ContainerInner& inner_;
    std::string body_;
    std::vector<Provider*> callables_;   // c0, c1, ...
    std::vector<Provider*> singletons_;  // a0, a1, ...
    std::vector<Provider*> path_;
    std::size_t calls_ = 0;
    std::size_t locals_ = 0;
};

}  // namespace quorix::core
