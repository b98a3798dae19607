// The one place that includes the interpreter's headers, so every file of the
// module sees the same API setting.
//
// A stable-ABI build (Py_LIMITED_API set by the build) uses the limited API of
// its level. A free-threaded CPython (3.13t, 3.14t) has no stable ABI of that
// kind, so there the module is built for the one interpreter, with its full API
// and the object layout its own headers give (Py_GIL_DISABLED).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if defined(Py_LIMITED_API)
// What the code may use: the limited API of the level it targets.
#define QUORIX_API_LEVEL Py_LIMITED_API
#elif defined(Py_GIL_DISABLED)
#define QUORIX_API_LEVEL PY_VERSION_HEX
#else
#error "the module is built against the limited C API, or the full API of a free-threaded CPython"
#endif
