// The `Container` type: its spec, construction and deallocation.
#include <new>

#include "python/argument_binder.hpp"
#include "python/container_object.hpp"
#include "python/entry_guard.hpp"
#include "python/fault_injection.hpp"
#include "python/once_cell.hpp"

namespace quorix {
namespace {

OnceCell type_cell;

const ParameterDescription new_parameters{"Container", "__new__", nullptr, 0, nullptr};

PyObject* container_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return guard_entry([&]() -> Result<OwnedRef> {
        QUORIX_TRY(bind_arguments(new_parameters, args, kwargs, nullptr));
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
        if (alloc == nullptr) {
            alloc = PyType_GenericAlloc;
        }
        OwnedRef object = OwnedRef::steal(alloc(cls, 0));
        if (!object) {
            return take_current_exception();
        }
        // An empty container: no records, no layers, the lock clear.
        new (&reinterpret_cast<ContainerObject*>(object.get())->payload) core::Container();
        return object;
    });
}

void container_dealloc(PyObject* self) {
    guard_unraisable_entry([self] {
        if (fault::armed("dealloc")) {
            fail_internal("fault injected: container deallocation");
        }
        PyTypeObject* type = Py_TYPE(self);
        // Releases every callable and kept value, without taking the lock:
        // nothing else can reach an object whose last reference is gone.
        payload_of(self).~Container();
        auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_object(self);
        Py_DecRef(reinterpret_cast<PyObject*>(type));  // the instance's reference to its heap type
    });
}

PyType_Slot container_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>("Container()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(container_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
    {Py_tp_methods, container_methods},
    {0, nullptr},
};

PyType_Spec container_spec = {
    "builtins.Container",
    static_cast<int>(sizeof(ContainerObject)),
    0,
    Py_TPFLAGS_DEFAULT,  // not subclassable, not tracked by the cyclic collector
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
