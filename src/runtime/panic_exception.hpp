// PanicException: the Python class that carries an internal failure out of the
// module. It derives from BaseException so that `except Exception` lets it pass.
#pragma once

#include "runtime/capabilities.hpp"

namespace quorix {

// The class, or null if no internal failure has needed it yet.
PyObject* panic_exception_type_if_created() noexcept;

// The class, created on first use. Ends in an internal failure if it cannot be
// created.
PyObject* panic_exception_type();

}  // namespace quorix
