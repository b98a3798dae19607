#include "runtime/generated_function.hpp"

#include <string>

#include "runtime/internal_failure.hpp"
#include "runtime/objects.hpp"

namespace quorix {
namespace {

// Whether the first entry of `traceback` is a frame running `code`.
bool entry_runs(PyObject* traceback, PyObject* code) {
    OwnedRef frame = OwnedRef::steal(PyObject_GetAttrString(traceback, "tb_frame"));
    OwnedRef frame_code = frame ? OwnedRef::steal(PyObject_GetAttrString(frame.get(), "f_code")) : OwnedRef();
    if (!frame_code) {
        PyErr_Clear();  // an entry we cannot read is not ours to drop
        return false;
    }
    return frame_code.get() == code;
}

// Takes the exception that a call of the generated function raised, without
// that function's entry at the head of its traceback.
ErrorResult take_exception_raised_through(PyObject* code) {
    auto [type, value, traceback] = fetch_raised_exception();
    if (!type) {
        return no_exception_set_error();
    }
    if (traceback && entry_runs(traceback.get(), code)) {
        OwnedRef next = OwnedRef::steal(PyObject_GetAttrString(traceback.get(), "tb_next"));
        if (next) {
            traceback = next.get() == Py_None ? OwnedRef() : std::move(next);
            if (value) {
                // The exception carries its traceback too (and alone, from 3.12).
                PyException_SetTraceback(value.get(), traceback ? traceback.get() : Py_None);
            }
        } else {
            PyErr_Clear();
        }
    }
    PyErr_Restore(type.release(), value.release(), traceback.release());
    return take_current_exception();
}

// `code` made again with `flags` as its flags; null with the error set.
OwnedRef code_with_flags(PyObject* code, long flags) {
    OwnedRef replace = OwnedRef::steal(PyObject_GetAttrString(code, "replace"));
    OwnedRef changes = OwnedRef::steal(Py_BuildValue("{s:l}", "co_flags", flags));
    if (!replace || !changes) {
        return OwnedRef();
    }
    OwnedRef no_arguments = new_tuple(0);
    return OwnedRef::steal(PyObject_Call(replace.get(), no_arguments.get(), changes.get()));
}

// The code flag of a function defined inside another (inspect.CO_NESTED),
// which the limited API does not name.
constexpr long code_flag_nested = 0x0010;

// The function `name` of `module_code`, made straight from its code marked as
// nested, where top-level functions are freed late
// (capability::top_level_functions_freed_late): such a function would free
// the globals that hold the providers' callables only in a garbage
// collection, so they would outlive the records that dropped them; a nested
// function is freed by its last reference, as every function is with the GIL.
// Through the objects' Python attributes alone, which every build can read
// (abi3t cannot see inside a code object). Null with the error set.
OwnedRef nested_function(PyObject* module_code, const char* name, BorrowedRef globals) {
    OwnedRef constants = OwnedRef::steal(PyObject_GetAttrString(module_code, "co_consts"));
    if (!constants || !PyTuple_Check(constants.get())) {
        return OwnedRef();
    }
    PyTypeObject* code_type = Py_TYPE(module_code);
    OwnedRef code;
    const Py_ssize_t count = PyTuple_Size(constants.get());
    for (Py_ssize_t i = 0; i < count && !code; ++i) {
        PyObject* constant = PyTuple_GetItem(constants.get(), i);
        if (Py_TYPE(constant) != code_type) {
            continue;
        }
        OwnedRef code_name = OwnedRef::steal(PyObject_GetAttrString(constant, "co_name"));
        if (!code_name) {
            return OwnedRef();
        }
        if (PyUnicode_CompareWithASCIIString(code_name.get(), name) == 0) {
            code = OwnedRef::share(constant);
        }
    }
    if (!code) {
        fail_internal(std::string("generated code defines no function ") + name);
    }
    OwnedRef flags = OwnedRef::steal(PyObject_GetAttrString(code.get(), "co_flags"));
    const long flag_bits = flags ? PyLong_AsLong(flags.get()) : -1;
    if (flag_bits == -1) {
        return OwnedRef();  // the error is set
    }
    OwnedRef nested = code_with_flags(code.get(), flag_bits | code_flag_nested);
    if (!nested) {
        return OwnedRef();
    }
    // Importing may run the module's Python code the first time.
    OwnedRef types = OwnedRef::steal(call_interpreter([] { return PyImport_ImportModule("types"); }));
    OwnedRef function_type = types ? OwnedRef::steal(PyObject_GetAttrString(types.get(), "FunctionType")) : OwnedRef();
    if (!function_type) {
        return OwnedRef();
    }
    return OwnedRef::steal(PyObject_CallFunctionObjArgs(function_type.get(), nested.get(), globals.get(), nullptr));
}

}  // namespace

Result<std::optional<GeneratedFunction>> define_function(const std::string& source, const char* name,
                                                         BorrowedRef globals) {
    if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) != 0) {
        return take_current_exception();
    }
    OwnedRef module_code = OwnedRef::steal(Py_CompileString(source.c_str(), "<resolution>", Py_file_input));
    GeneratedFunction made;
    if (module_code && capability::top_level_functions_freed_late) {
        made.function = nested_function(module_code.get(), name, globals);
        if (made.function) {
            made.code = OwnedRef::steal(PyObject_GetAttrString(made.function.get(), "__code__"));
        }
    } else if (module_code) {
        // Runs one `def`; a pending signal handler may run on the way.
        OwnedRef done = OwnedRef::steal(
            call_interpreter([&] { return PyEval_EvalCode(module_code.get(), globals.get(), globals.get()); }));
        if (done) {
            made.function = OwnedRef::share(PyDict_GetItemString(globals.get(), name));
            // Out of its globals, so that no cycle keeps it (and what its globals
            // hold) alive once its owner lets go of it.
            if (made.function && PyDict_DelItemString(globals.get(), name) == 0) {
                made.code = OwnedRef::steal(PyObject_GetAttrString(made.function.get(), "__code__"));
            }
        }
    }
    if (!made.code) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError) || PyErr_ExceptionMatches(PyExc_RecursionError)) {
            PyErr_Clear();  // the caller does without the function
            return std::optional<GeneratedFunction>();
        }
        return take_current_exception();
    }
    return std::optional<GeneratedFunction>(std::move(made));
}

Result<OwnedRef> call_generated(const GeneratedFunction& function, PyObject* const* arguments, std::size_t count) {
    PyObject* callable = function.function.get();
    OwnedRef value = call_with_arguments(callable, arguments, count);
    if (!value) {
        return take_exception_raised_through(function.code.get());
    }
    return value;
}

}  // namespace quorix
