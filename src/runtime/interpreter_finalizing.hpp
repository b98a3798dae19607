// Whether the interpreter has begun to finalize.
//
// From then on every thread but the finalizing one is ended (up to 3.13.7) or
// parked for good (later, and free-threaded builds) as soon as it tries to run
// Python again. The runtime stops counting as initialized at the moment it
// starts refusing those threads, which every version of the stable ABI can ask.
#pragma once

#include "runtime/capabilities.hpp"

namespace quorix {

inline bool interpreter_finalizing() noexcept { return Py_IsInitialized() == 0; }

}  // namespace quorix
