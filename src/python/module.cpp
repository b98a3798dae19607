// The module's entry point and its once-per-process module object.
#include <atomic>
#include <cstdint>
#include <string>

#include "python/container_object.hpp"
#include "python/conversions.hpp"
#include "python/entry_guard.hpp"
#include "runtime/fault_injection.hpp"
#include "runtime/objects.hpp"
#include "runtime/once_cell.hpp"

namespace quorix {
namespace {

constexpr const char* module_name = "_quorix_core";

#ifndef Py_TARGET_ABI3T
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    module_name,
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};
#endif

// The interpreter that first imported the module; -1 until then.
std::atomic<std::int64_t> owner_interpreter{-1};
OnceCell module_cell;

// The module's `__all__` list, made if the module has none yet.
Result<OwnedRef> all_list(PyObject* module) {
    OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return take_current_exception();
        }
        PyErr_Clear();
        all = new_list(0);
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return take_current_exception();
        }
        return all;
    }
    if (!PyList_Check(all.get())) {
        return type_mismatch_error(all.get(), "PyList");
    }
    return all;
}

Status add_container_class(PyObject* module) {
    Result<PyObject*> type = container_type();
    if (!type.ok()) {
        return std::move(type).error();
    }
    Result<OwnedRef> all = all_list(module);
    if (!all.ok()) {
        return std::move(all).error();
    }
    OwnedRef name = new_str("Container");
    const int appended = fault::armed("all_append") ? (fault::no_memory(), -1) : PyList_Append(all.value().get(), name.get());
    if (appended < 0) {
        ErrorResult cause = take_current_exception();
        std::string description = "unknown error";
        if (cause.exception() != nullptr) {
            std::string text;
            str_of(cause.exception(), text);
            std::string type_name;
            str_of(cause.type(), type_name);
            description = type_name + ": " + text;
        }
        fail_internal("could not append __name__ to __all__: " + description);
    }
    if (PyObject_SetAttrString(module, "Container", type.value()) < 0) {
        return take_current_exception();
    }
    return success();
}

Result<OwnedRef> create_module() {
#ifdef Py_TARGET_ABI3T
    // A module definition is an object of its own, which this build cannot
    // lay out: the module is made from its name, and the interpreter learns
    // the rest (no GIL needed) from the slots the module exports.
    OwnedRef module = OwnedRef::steal(PyModule_New(module_name));
    if (!module || PyModule_SetDocString(module.get(), "") < 0) {
        return take_current_exception();
    }
#else
    OwnedRef module = OwnedRef::steal(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
    if (!module) {
        return take_current_exception();
    }
#endif
#if defined(Py_GIL_DISABLED) && !defined(Py_TARGET_ABI3T)
    // Nothing of the module leans on the GIL: each container has its own lock,
    // and the process-wide state its own atomics and mutexes.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) {
        return take_current_exception();
    }
#endif
    QUORIX_TRY(add_container_class(module.get()));
    return module;
}

Result<OwnedRef> initialise() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        return take_current_exception();
    }
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
        return ErrorResult::deferred(PyExc_ImportError,
                                     "_quorix_core does not support sub-interpreters: it can only be used from the "
                                     "one interpreter that first imported it");
    }
    // A repeated import in the same interpreter gets the very same module.
    Result<PyObject*> module = module_cell.get_or_fill(create_module);
    if (!module.ok()) {
        return std::move(module).error();
    }
    return OwnedRef::share(module.value());
}

#if defined(Py_LIMITED_API) && !defined(Py_TARGET_ABI3T)
// 1 if the running CPython is a free-threaded build, 0 if not, -1 with an
// exception set if that cannot be told. A free-threaded CPython lays out
// every object header differently from the GIL builds this stable-ABI module
// is compiled for, so this calls exported functions only: no Py_TYPE, and no
// inline reference counting, which the 3.9 and 3.10 levels would do.
int running_free_threaded() noexcept {
    if (PyObject* flags = PySys_GetObject("abiflags")) {  // borrowed; not on Windows before 3.14
        const Py_ssize_t length = PyUnicode_GetLength(flags);
        if (length >= 0) {
            const Py_ssize_t found = PyUnicode_FindChar(flags, 't', 0, length, 1);
            if (found >= -1) {
                return found >= 0 ? 1 : 0;
            }
        }
        PyErr_Clear();
    }
    const ExportedCallRef sysconfig(PyImport_ImportModule("sysconfig"));
    if (sysconfig.get() == nullptr) {
        return -1;
    }
    const ExportedCallRef disabled(PyObject_CallMethod(sysconfig.get(), "get_config_var", "s", "Py_GIL_DISABLED"));
    if (disabled.get() == nullptr) {
        return -1;
    }
    return PyObject_IsTrue(disabled.get());
}
#endif

}  // namespace
}  // namespace quorix

#ifdef Py_TARGET_ABI3T
namespace quorix {
namespace {

// The interpreter calls this on every import, and takes whatever it returns
// as the module: the one module object of the process, as a repeated import
// gets it on the other builds. There is no exec slot, since a reload would
// run it again on that same module.
PyObject* create_module_for_spec(PyObject*, PyModuleDef*) {
    return guard_entry(initialise);
}

PyABIInfo_VAR(abi_info);

// Without Py_mod_multiple_interpreters the interpreter leaves the refusal of
// a second interpreter to initialise(), which names the reason.
PySlot module_slots[] = {
    PySlot_PTR(Py_mod_abi, &abi_info),
    PySlot_PTR(Py_mod_name, module_name),
    PySlot_PTR(Py_mod_create, create_module_for_spec),
    // Nothing leans on the GIL: each container has its own lock, and the
    // process-wide state its own atomics and mutexes.
    PySlot_PTR(Py_mod_gil, Py_MOD_GIL_NOT_USED),
    {},  // the end (Py_slot_end, all zero)
};

}  // namespace
}  // namespace quorix

PyMODEXPORT_FUNC PyModExport__quorix_core(void) {
    return quorix::module_slots;
}
#else
PyMODINIT_FUNC PyInit__quorix_core(void) {
#ifdef Py_LIMITED_API
    // Refused before anything reads an object: on a free-threaded CPython the
    // first reference count this build touched would be at the wrong offset.
    if (const int free_threaded = quorix::running_free_threaded(); free_threaded != 0) {
        if (free_threaded > 0) {
            PyErr_SetString(PyExc_ImportError,
                            "this build of _quorix_core (_quorix_core.abi3.so, for the stable ABI of CPython with "
                            "the GIL) cannot be loaded by a free-threaded CPython: install the free-threaded build "
                            "instead, a wheel for this interpreter's own tag (cp313t, cp314t) or built from the "
                            "sdist: pip install --force-reinstall --no-binary quorix-core quorix-core");
        }
        return nullptr;
    }
#endif
    return quorix::guard_entry(quorix::initialise);
}
#endif
