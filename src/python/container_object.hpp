// The Python object `Container`: the object header followed by the payload.
#pragma once

#include "core/container.hpp"
#include "python/error_result.hpp"

namespace quorix {

struct ContainerObject {
    PyObject_HEAD
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
