#include "runtime/error_result.hpp"

#include "runtime/fault_injection.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/panic_exception.hpp"

namespace quorix {

ErrorResult no_exception_set_error() {
    return ErrorResult::deferred(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void ErrorResult::raise() && {
    if (!is_deferred_) {
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());
        return;
    }
    OwnedRef message = std::move(message_object_);
    if (!message) {
        const auto size = static_cast<Py_ssize_t>(message_.size());
        PyObject* argument =
            fault::armed("raise_argument") ? fault::no_memory() : PyUnicode_FromStringAndSize(message_.data(), size);
        if (argument == nullptr) {
            fail_python_api_call();
        }
        message = OwnedRef::steal(argument);
    }
    PyErr_SetObject(type_.get(), message.get());
    // Normalise now, so that what the caller catches is an instance whose single
    // argument is the message, carrying its cause if one was given.
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && value_) {
        PyException_SetCause(value, value_.release());  // steals the cause
    }
    PyErr_Restore(type, value, traceback);
}

RaisedException fetch_raised_exception() {
    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_traceback = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
    if (raw_type != nullptr) {
        PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
    }
    return {OwnedRef::steal(raw_type), OwnedRef::steal(raw_value), OwnedRef::steal(raw_traceback)};
}

ErrorResult take_current_exception() {
    auto [type, value, traceback] = fetch_raised_exception();
    if (!type) {
        return no_exception_set_error();
    }

    PyObject* panic_type = panic_exception_type_if_created();
    if (panic_type == nullptr || type.get() != panic_type) {
        return ErrorResult::fetched(std::move(type), std::move(value), std::move(traceback));
    }

    // A PanicException raised by Python code we called: an internal failure of
    // ours that travelled through Python. Report it, then keep unwinding.
    std::string message = "Unwrapped panic from Python code";
    if (value) {
        if (OwnedRef text = OwnedRef::steal(PyObject_Str(value.get()))) {
            if (OwnedRef bytes = OwnedRef::steal(PyUnicode_AsUTF8String(text.get()))) {
                message.assign(PyBytes_AsString(bytes.get()), static_cast<size_t>(PyBytes_Size(bytes.get())));
            }
        }
        PyErr_Clear();
    }
    PySys_WriteStderr("_quorix_core: resuming an internal failure after a PanicException was fetched from Python code\n");
    PySys_WriteStderr("Python stack trace below:\n");
    PyErr_Restore(type.release(), value.release(), traceback.release());
    PyErr_PrintEx(0);
    resume_internal_failure(std::move(message));
}

}  // namespace quorix
