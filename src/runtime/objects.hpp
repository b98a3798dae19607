// Creating the tuples, lists and strings the module hands to Python. The
// interpreter fails these only when memory is exhausted, where the module has no
// error path of its own: that is an internal failure ("Python API call failed").
#pragma once

#include <string_view>

#include "runtime/ref.hpp"

namespace quorix {

OwnedRef new_tuple(Py_ssize_t size);
OwnedRef new_list(Py_ssize_t size);
OwnedRef new_str(std::string_view utf8);
// What another creating call of the interpreter returned (a formatted `str`).
OwnedRef created_object(PyObject* object);

}  // namespace quorix
