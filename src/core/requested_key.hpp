// One key of a batch request, as the core receives it.
#pragma once

#include <span>
#include <string_view>

#include "runtime/capabilities.hpp"

namespace quorix::core {

struct RequestedKey {
    // The key's UTF-8 text; valid for the whole request.
    std::string_view text;
    // The exact `str` the key was given as, kept alive by the caller for the
    // whole request so its record can be remembered by identity; null for any
    // other object (a subclass instance could carry anything).
    PyObject* exact_str = nullptr;
};

using RequestedKeys = std::span<const RequestedKey>;

}  // namespace quorix::core
