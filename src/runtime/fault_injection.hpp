// Fault points for the test build only.
//
// Some failure paths (the interpreter running out of memory at one precise call,
// a failing __all__ append, an internal failure during deallocation) cannot be
// provoked from Python code. A build configured with QUORIX_FAULT_INJECTION lets
// the test suite arm named faults through the QUORIX_FAULTS environment variable
// (a comma-separated list); the point then behaves as if that call had failed.
// In every other build `armed` is a constant false and the points vanish.
#pragma once

#include "runtime/capabilities.hpp"

namespace quorix::fault {

#ifdef QUORIX_FAULT_INJECTION
bool armed(const char* name) noexcept;
#else
constexpr bool armed(const char*) noexcept { return false; }
#endif

// What a failed allocation leaves behind: MemoryError set, null returned.
inline PyObject* no_memory() noexcept { return PyErr_NoMemory(); }

}  // namespace quorix::fault
