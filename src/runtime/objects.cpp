#include "runtime/objects.hpp"

#include "runtime/fault_injection.hpp"
#include "runtime/internal_failure.hpp"

namespace quorix {
namespace {

OwnedRef created(PyObject* object) {
    if (object == nullptr) {
        fail_python_api_call();
    }
    return OwnedRef::steal(object);
}

}  // namespace

OwnedRef created_object(PyObject* object) {
    return created(object);
}

OwnedRef new_tuple(Py_ssize_t size) {
    return created(fault::armed("tuple_new") ? fault::no_memory() : PyTuple_New(size));
}

OwnedRef new_list(Py_ssize_t size) {
    return created(fault::armed("list_new") ? fault::no_memory() : PyList_New(size));
}

OwnedRef new_str(std::string_view utf8) {
    return created(fault::armed("str_new") ? fault::no_memory()
                                           : PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

}  // namespace quorix
