// The one place that includes the interpreter's headers, so every file of the
// module sees the same limited-API setting.
#pragma once

#ifndef Py_LIMITED_API
#error "the module is built against the limited C API only"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>
