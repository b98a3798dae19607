// Creating the tuples, lists and strings the module hands to Python. The
// interpreter fails these only when memory is exhausted, where the module has no
// error path of its own: that is an internal failure ("Python API call failed").
#pragma once

#include <cstddef>
#include <string_view>

#include "runtime/capabilities.hpp"
#include "runtime/ref.hpp"

namespace quorix {

OwnedRef new_tuple(Py_ssize_t size);
OwnedRef new_list(Py_ssize_t size);
OwnedRef new_str(std::string_view utf8);
// What another creating call of the interpreter returned (a formatted `str`).
OwnedRef created_object(PyObject* object);

// `callable(*arguments)`, the arguments borrowed from the caller and
// contiguous: the value, or null with the exception set. The one way the
// module calls Python code with positional values (providers, generated
// functions). The callable runs Python code, during which the thread may be
// ended (runtime/forced_unwind.hpp).
inline OwnedRef call_with_arguments(PyObject* callable, PyObject* const* arguments, std::size_t count) {
    // Below the vectorcall level the values go into a tuple first, released
    // only once the call has returned (or left the thread's references alone).
    OwnedRef tuple;
    if constexpr (!capability::vectorcall) {
        const auto size = static_cast<Py_ssize_t>(count);
        tuple = new_tuple(size);
        for (Py_ssize_t i = 0; i < size; ++i) {
            // The tuple takes references of its own; the caller keeps its values.
            PyTuple_SetItem(tuple.get(), i, OwnedRef::share(arguments[i]).release());
        }
    }
    return OwnedRef::steal(call_interpreter([&] {
        if constexpr (capability::vectorcall) {
            // The values are already one contiguous array: no tuple to build.
            return capability::vectorcall_positional(callable, arguments, count);
        } else {
            return PyObject_Call(callable, tuple.get(), nullptr);
        }
    }));
}

}  // namespace quorix
