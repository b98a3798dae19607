// A key as the core receives it from a caller: its text, the object it came
// as, and what the key memo already said of that object. The binding makes it
// once per key; the core reads it and never goes back to the argument.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "runtime/capabilities.hpp"

namespace quorix::core {

class Provider;

// The key memo's answer for an exact `str`, looked up before the container was
// taken. It stands only while the registry's generation is still `generation`
// (records are released only by changes that move it); generation 0 (never a
// registry's) means the memo was not asked.
struct MemoAnswer {
    Provider* record = nullptr;  // null: the memo did not know the object
    std::uint64_t generation = 0;
};

struct RequestedKey {
    // The key's UTF-8 text; valid for the whole request.
    std::string_view text;
    // The exact `str` the key was given as, kept alive by the caller for the
    // whole request so its record can be remembered by identity; null for any
    // other object (a subclass instance could carry anything).
    PyObject* exact_str = nullptr;
    MemoAnswer memo;
};

using RequestedKeys = std::span<const RequestedKey>;

}  // namespace quorix::core
