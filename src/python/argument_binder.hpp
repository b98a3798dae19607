// Matching a call's positional and keyword arguments to a method's parameters.
// Every parameter is required and may be given by position or by keyword.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "python/error_result.hpp"

namespace quorix {

struct ParameterDescription {
    const char* class_name;
    const char* method_name;
    const char* const* names;  // positional-or-keyword, all required
    std::size_t count;
};

// Fills `slots[0..count)` with borrowed references, or fails with the binder's
// TypeError. `kwargs` may be null.
Status bind_arguments(const ParameterDescription& parameters, PyObject* args, PyObject* kwargs, PyObject** slots);

template <std::size_t N>
struct BoundArguments {
    std::array<PyObject*, N> slots{};
    PyObject* operator[](std::size_t index) const noexcept { return slots[index]; }
};

}  // namespace quorix
