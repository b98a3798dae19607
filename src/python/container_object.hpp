// The Python object `Container`: the object header, the list of weak
// references to it, then the payload.
#pragma once

#include "core/container.hpp"
#include "python/error_result.hpp"

namespace quorix {

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

// The `Container` type, created on first use and kept for the life of the process.
Result<PyObject*> container_type();

// The method table (in the order the type carries it).
extern PyMethodDef container_methods[];

}  // namespace quorix
