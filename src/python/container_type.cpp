// The `Container` type: its spec, construction and deallocation, and what the
// cyclic garbage collector and weak references need of it.
//
// Applications keep their container where their objects reach it (a singleton
// that holds it, a provider closing over it), so the collector must see through
// a container to free such a cycle.
#include <cstddef>
#include <new>

#include "python/argument_binder.hpp"
#include "python/container_object.hpp"
#include "python/entry_guard.hpp"
#include "runtime/fault_injection.hpp"
#include "runtime/once_cell.hpp"

// The member types' names the headers give at the module's stable-ABI level.
#if defined(Py_T_PYSSIZET)
#define QUORIX_MEMBER_SSIZE_T Py_T_PYSSIZET
#define QUORIX_MEMBER_READONLY Py_READONLY
#else
#include <structmember.h>
#define QUORIX_MEMBER_SSIZE_T T_PYSSIZET
#define QUORIX_MEMBER_READONLY READONLY
#endif

namespace quorix {
namespace {

OnceCell type_cell;

const ParameterDescription new_parameters{"Container", "__new__", nullptr, 0, nullptr};

PyObject* weak_references_of(PyObject* self) noexcept {
#ifdef Py_TARGET_ABI3T
    return container_data(self).head.weak_references;
#else
    return reinterpret_cast<ContainerObject*>(self)->head.weak_references;
#endif
}

PyObject* container_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return guard_entry([&]() -> Result<OwnedRef> {
        OwnedRef keywords;
        QUORIX_TRY(bind_arguments(new_parameters, args, kwargs, nullptr, keywords));
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
        if (alloc == nullptr) {
            alloc = PyType_GenericAlloc;
        }
        OwnedRef object = OwnedRef::steal(alloc(cls, 0));
        if (!object) {
            return take_current_exception();
        }
        // The allocator tracks the object at once; the collector may look at it
        // only once the payload exists.
        PyObject_GC_UnTrack(object.get());
        // An empty container: no records, no layers, the lock clear.
#ifdef Py_TARGET_ABI3T
        ContainerData& container = container_data(object.get());
        container.head.weak_references = nullptr;
        new (&container.payload) core::Container();
#else
        auto* container = reinterpret_cast<ContainerObject*>(object.get());
        container->head.weak_references = nullptr;
        new (&container->payload) core::Container();
#endif
        PyObject_GC_Track(object.get());
        return object;
    });
}

void container_dealloc(PyObject* self) {
    // First of all: an object whose deallocation fails is left as it is, and
    // the collector must never come upon it.
    PyObject_GC_UnTrack(self);
    guard_unraisable_entry([self] {
        if (fault::armed("dealloc")) {
            fail_internal("fault injected: container deallocation");
        }
        PyTypeObject* type = Py_TYPE(self);
        // Weak references die with the object, before anything it holds goes:
        // their callbacks may run Python code.
        if (weak_references_of(self) != nullptr) {
            PyObject_ClearWeakRefs(self);
        }
        // Releases every callable and kept value, without taking the lock:
        // nothing else can reach an object whose last reference is gone.
        payload_of(self).~Container();
        auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_object(self);
        Py_DecRef(reinterpret_cast<PyObject*>(type));  // the instance's reference to its heap type
    });
}

int container_traverse(PyObject* self, visitproc visit, void* arg) {
    // An instance holds a reference to its heap type.
    PyTypeObject* type = Py_TYPE(self);
    if (int stop = visit(reinterpret_cast<PyObject*>(type), arg)) {
        return stop;
    }
#ifdef Py_TARGET_ABI3T
    // The collector may have stopped every other thread here: only the
    // lookups made for that moment are safe.
    auto* data = static_cast<ContainerData*>(PyObject_GetTypeData_DuringGC(self, type));
    return data->payload.visit_references(visit, arg);
#else
    return payload_of(self).visit_references(visit, arg);
#endif
}

int container_clear(PyObject* self) {
    guard_unraisable_entry([self] { payload_of(self).clear_for_collector(); });
    return 0;
}

#ifdef Py_TARGET_ABI3T
// Relative to the type's data: the interpreter adds the header's size.
PyMemberDef container_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(ContainerDataHead, weak_references)),
     Py_READONLY | Py_RELATIVE_OFFSET, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
#else
PyMemberDef container_members[] = {
    {"__weaklistoffset__", QUORIX_MEMBER_SSIZE_T, static_cast<Py_ssize_t>(offsetof(ContainerHead, weak_references)),
     QUORIX_MEMBER_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
#endif

PyType_Slot container_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>("Container()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(container_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(container_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(container_clear)},
    {Py_tp_free, reinterpret_cast<void*>(PyObject_GC_Del)},
    {Py_tp_members, container_members},
    {Py_tp_methods, container_methods},
    {0, nullptr},
};

PyType_Spec container_spec = {
    "builtins.Container",
#ifdef Py_TARGET_ABI3T
    -static_cast<int>(sizeof(ContainerData)),  // this much beyond the header, whatever its size
#else
    static_cast<int>(sizeof(ContainerObject)),
#endif
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,  // not subclassable
    container_slots,
};

}  // namespace

Result<PyObject*> container_type() {
    return type_cell.get_or_fill([]() -> Result<OwnedRef> {
        OwnedRef type = OwnedRef::steal(fault::armed("type_create") ? fault::no_memory()
                                                                     : PyType_FromSpec(&container_spec));
        if (!type) {
            ErrorResult creation = take_current_exception();
            return ErrorResult::deferred(PyExc_RuntimeError, "An error occurred while initializing class Container",
                                         OwnedRef::share(creation.exception()));
        }
        return type;
    });
}

}  // namespace quorix
