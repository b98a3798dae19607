// The one place that includes the interpreter's headers, so every file of the
// module sees the same API setting.
//
// A stable-ABI build (Py_LIMITED_API set by the build) uses the limited API of
// its level. A free-threaded CPython (3.13t, 3.14t) has no stable ABI of that
// kind, so there the module is built for the one interpreter, with its full API
// and the object layout its own headers give (Py_GIL_DISABLED). The abi3t
// build (Py_TARGET_ABI3T) is one file for CPython 3.15 and newer, with or
// without the GIL: the 3.15 limited API, no object's layout, and the paths
// that are safe without the GIL.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The headers define Py_GIL_DISABLED for an abi3t build, and the module's
// paths that are safe without the GIL are chosen by it: a build that lacked
// it could run the paths that assume the GIL where there is none.
#if defined(Py_TARGET_ABI3T) && (!defined(Py_GIL_DISABLED) || !defined(Py_LIMITED_API))
#error "an abi3t build must take the paths that are safe without the GIL"
#endif

#if defined(Py_LIMITED_API)
// What the code may use: the limited API of the level it targets.
#define QUORIX_API_LEVEL Py_LIMITED_API
#elif defined(Py_GIL_DISABLED)
#define QUORIX_API_LEVEL PY_VERSION_HEX
#else
#error "the module is built against the limited C API, or the full API of a free-threaded CPython"
#endif
