// The one place that includes the interpreter's headers, and the one place
// that reads which kind of build this is: every other file asks the named
// facts below, so each flavour's difference is stated once, with its reason.
//
// A stable-ABI build (Py_LIMITED_API set by the build) uses the limited API of
// its level. A free-threaded CPython (3.13t, 3.14t) has no stable ABI of that
// kind, so there the module is built for the one interpreter, with its full API
// and the object layout its own headers give (Py_GIL_DISABLED). The abi3t
// build (Py_TARGET_ABI3T) is one file for CPython 3.15 and newer, with or
// without the GIL: the 3.15 limited API, no object's layout, and the paths
// that are safe without the GIL.
//
// Code that compiles on every flavour branches with `if constexpr` on a fact.
// A function some API level lacks is wrapped here: where the level has it the
// wrapper calls it; elsewhere the wrapper is a template that fails to compile
// once called anywhere but in the discarded branch of its fact's `if
// constexpr` (which instantiates nothing).
#pragma once

#include <cstddef>
#include <type_traits>

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

// Whether the layout of objects (the object header a type's instances start
// with) may be written into the module: not in abi3t, whose one file serves
// two different layouts. A macro, since the declarations that need it do not
// compile without it.
#if defined(Py_TARGET_ABI3T)
#define QUORIX_OBJECT_LAYOUT_READABLE 0
#else
#define QUORIX_OBJECT_LAYOUT_READABLE 1
#endif

namespace quorix::capability {

// Every call into the module holds the interpreter lock, so no other thread
// runs Python code (or changes a list, a dict, a cached keyword tuple) while
// the module reads without calling back into the interpreter: not on a
// free-threaded build, nor in a build meant for both kinds (abi3t defines
// Py_GIL_DISABLED, checked above).
#if defined(Py_GIL_DISABLED)
inline constexpr bool calls_hold_interpreter_lock = false;
#else
inline constexpr bool calls_hold_interpreter_lock = true;
#endif

// A read of a container's remembered value may skip the container's lock: with
// the interpreter lock held and the lock word free, no thread can take the
// container before this one lets go of the interpreter lock.
inline constexpr bool reads_may_skip_container_lock = calls_hold_interpreter_lock;

// A thread that finds a container's lock taken spins a little before it
// sleeps: where the interpreter may have no lock, so the holder runs on
// another core meanwhile. Under an interpreter lock the holder may need the
// very lock the spinning thread holds, so GIL-only builds never spin; a build
// for both kinds (abi3t) spins on a GIL interpreter too, which costs a bounded
// few microseconds per contended wait and measured as nothing.
inline constexpr bool spins_before_sleeping = !calls_hold_interpreter_lock;

// The keyword names tuple of the last fastcall may be kept to compare the next
// one by identity: without the GIL another thread could replace it, and its
// count, between reading one and the other.
inline constexpr bool keyword_names_cache = calls_hold_interpreter_lock;

// A list's items must be read by references of the module's own: without the
// GIL another thread may change the list while it is read.
inline constexpr bool lists_change_while_read = !calls_hold_interpreter_lock;

// A dictionary given by a caller may change while it is walked (a C call of the
// type with its own dictionary, another thread dropping a key).
inline constexpr bool dicts_change_while_walked = !calls_hold_interpreter_lock;

// A free-threaded CPython frees a function defined at the top level of its
// code only in a garbage collection (deferred reference counting), and with it
// the globals it holds; a function made from nested code is freed by its last
// reference, as every function is with the GIL.
inline constexpr bool top_level_functions_freed_late = !calls_hold_interpreter_lock;

// Calls with an array of arguments and no tuple (the limited API from 3.12).
inline constexpr bool vectorcall = QUORIX_API_LEVEL >= 0x030C0000;

// Methods may take their arguments as an array with the keyword names apart
// (METH_FASTCALL, in the limited API from 3.10).
inline constexpr bool fastcall_methods = QUORIX_API_LEVEL >= 0x030A0000;

// A `str` lends the UTF-8 text it caches in itself (the limited API from
// 3.10); below, only an encoded copy is offered.
inline constexpr bool str_lends_utf8 = QUORIX_API_LEVEL >= 0x030A0000;

// The flags of a method with positional and keyword parameters: fastcall
// where the level has it, else an argument tuple and a keyword dictionary.
#if QUORIX_API_LEVEL >= 0x030A0000
inline constexpr int keyword_method_flags = METH_FASTCALL | METH_KEYWORDS;
#else
inline constexpr int keyword_method_flags = METH_VARARGS | METH_KEYWORDS;
#endif

// Wrappers of functions some API level lacks (see the top of this file).

template <class Never>
inline constexpr bool absent_from_this_level = !std::is_same_v<Never, Never>;

// `callable(*arguments)`: the value, or null with the exception set.
// Only where `vectorcall`.
#if QUORIX_API_LEVEL >= 0x030C0000
inline PyObject* vectorcall_positional(PyObject* callable, PyObject* const* arguments, std::size_t count) {
    return PyObject_Vectorcall(callable, arguments, count, nullptr);
}
#else
template <class Never = void>
PyObject* vectorcall_positional(PyObject*, PyObject* const*, std::size_t) {
    static_assert(absent_from_this_level<Never>, "PyObject_Vectorcall: only where capability::vectorcall");
    return nullptr;
}
#endif

// The UTF-8 text `text` caches in itself, or null with the exception set.
// Only where `str_lends_utf8`.
#if QUORIX_API_LEVEL >= 0x030A0000
inline const char* lent_utf8(PyObject* text, Py_ssize_t* size) noexcept { return PyUnicode_AsUTF8AndSize(text, size); }
#else
template <class Never = void>
const char* lent_utf8(PyObject*, Py_ssize_t*) noexcept {
    static_assert(absent_from_this_level<Never>, "PyUnicode_AsUTF8AndSize: only where capability::str_lends_utf8");
    return nullptr;
}
#endif

// A new reference to item `index` of `list`, or null with IndexError set.
// Only where `lists_change_while_read` (every such build has 3.13's API).
#if QUORIX_API_LEVEL >= 0x030D0000
inline PyObject* list_item_ref(PyObject* list, Py_ssize_t index) noexcept { return PyList_GetItemRef(list, index); }
#else
template <class Never = void>
PyObject* list_item_ref(PyObject*, Py_ssize_t) noexcept {
    static_assert(absent_from_this_level<Never>, "PyList_GetItemRef: only where capability::lists_change_while_read");
    return nullptr;
}
#endif

static_assert(!lists_change_while_read || QUORIX_API_LEVEL >= 0x030D0000,
              "a build without the GIL reads lists with PyList_GetItemRef");

}  // namespace quorix::capability
