// The Python object `Container`: the object header, the list of weak
// references to it, then the payload.
#pragma once

#include <cstddef>

#include "core/container.hpp"
#include "runtime/error_result.hpp"

namespace quorix {

#if !QUORIX_OBJECT_LAYOUT_READABLE
// The object header is the interpreter's own business here (its size differs
// between the GIL and free-threaded builds that load this one file): the
// container keeps its fields as the type's own data, found through the
// interpreter, with offsets relative to that data.
struct ContainerDataHead {
    PyObject* weak_references;  // the interpreter's; null while there are none
};

struct ContainerData {
    ContainerDataHead head;
    core::Container payload;
};
static_assert(alignof(ContainerData) <= alignof(std::max_align_t), "type data is aligned for max_align_t only");

inline ContainerData& container_data(PyObject* self) noexcept {
    return *static_cast<ContainerData*>(PyObject_GetTypeData(self, Py_TYPE(self)));
}

inline core::Container& payload_of(PyObject* self) noexcept {
    return container_data(self).payload;
}
#else
// The plain part, whose field offsets the interpreter is told.
struct ContainerHead {
    PyObject_HEAD
    PyObject* weak_references;  // the interpreter's; null while there are none
};

struct ContainerObject {
    ContainerHead head;
    core::Container payload;
};

inline core::Container& payload_of(PyObject* self) noexcept {
    return reinterpret_cast<ContainerObject*>(self)->payload;
}
#endif

// The `Container` type, created on first use and kept for the life of the process.
Result<PyObject*> container_type();

// The method table (in the order the type carries it).
extern PyMethodDef container_methods[];

}  // namespace quorix
