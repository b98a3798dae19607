#include "python/conversions.hpp"

#include <algorithm>
#include <string>

#include "runtime/forced_unwind.hpp"
#include "runtime/objects.hpp"

namespace quorix {
namespace {

// Whether an attribute of `type` is the `str` `expected`; failures count as no.
bool type_attribute_is(PyObject* type, const char* attribute, std::initializer_list<const char*> expected) {
    OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(type, attribute));
    if (!value || !is_str(value.get())) {
        PyErr_Clear();
        return false;
    }
    for (const char* candidate : expected) {
        if (PyUnicode_CompareWithASCIIString(value.get(), candidate) == 0) {
            return true;
        }
    }
    PyErr_Clear();
    return false;
}

// numpy's boolean: its type's __bool__, bound to the object and called.
Result<bool> convert_numpy_bool(PyObject* object) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    OwnedRef method = OwnedRef::steal(PyObject_GetAttrString(type, "__bool__"));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return take_current_exception();
        }
        PyErr_Clear();
        OwnedRef type_text = str_object_of(type);
        if (!type_text) {
            return ErrorResult::deferred(PyExc_TypeError, "object of type '' does not define a '__bool__' conversion");
        }
        return ErrorResult::deferred(
            PyExc_TypeError, created_object(PyUnicode_FromFormat("object of type '%U' does not define a '__bool__' conversion",
                                                                 type_text.get())));
    }
    // A descriptor (a function, a slot wrapper) is bound to the object first.
    // Its type's __get__ is read as an attribute, since slots of static types
    // cannot be read directly on every supported interpreter.
    OwnedRef getter = OwnedRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(method.get())), "__get__"));
    if (getter) {
        OwnedRef bound = OwnedRef::steal(call_interpreter(
            [&] { return PyObject_CallFunctionObjArgs(getter.get(), method.get(), object, type, nullptr); }));
        if (!bound) {
            return take_current_exception();
        }
        method = std::move(bound);
    } else {
        PyErr_Clear();
    }
    OwnedRef result = OwnedRef::steal(call_interpreter([&] { return PyObject_CallObject(method.get(), nullptr); }));
    if (!result) {
        return take_current_exception();
    }
    if (Py_TYPE(result.get()) != &PyBool_Type) {
        return type_mismatch_error(result.get(), "PyBool");
    }
    return result.get() == Py_True;
}

}  // namespace

OwnedRef str_object_of(PyObject* object) {
    OwnedRef string = OwnedRef::steal(call_interpreter([object] { return PyObject_Str(object); }));
    if (!string) {
        PyErr_Clear();
    }
    return string;
}

bool str_of(PyObject* object, std::string& text) {
    OwnedRef string = str_object_of(object);
    if (!string) {
        return false;
    }
    OwnedRef bytes = OwnedRef::steal(PyUnicode_AsEncodedString(string.get(), "utf-8", "backslashreplace"));
    if (!bytes) {
        PyErr_Clear();
        return false;
    }
    text.assign(PyBytes_AsString(bytes.get()), static_cast<size_t>(PyBytes_Size(bytes.get())));
    return true;
}

ErrorResult type_mismatch_error(PyObject* object, const char* target) {
    OwnedRef qualname = OwnedRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (!qualname) {
        PyErr_Clear();
    } else if (is_str(qualname.get())) {
        return ErrorResult::deferred(PyExc_TypeError,
                                     created_object(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'",
                                                                         qualname.get(), target)));
    }
    std::string message = "'<failed to extract type name>' object cannot be converted to '";
    message.append(target).append("'");
    return ErrorResult::deferred(PyExc_TypeError, std::move(message));
}

ErrorResult argument_error(const char* name, ErrorResult error) {
    if (error.type() != PyExc_TypeError) {
        return error;
    }
    OwnedRef cause;
    OwnedRef text;  // the conversion's message as a `str`, when it is one
    if (error.is_deferred()) {
        cause = OwnedRef::share(error.cause());
        if (error.message_object() == nullptr) {
            // Plain text stays plain text: nothing is built before it is raised.
            std::string message = "argument '";
            message.append(name).append("': ").append(error.message());
            return ErrorResult::deferred(PyExc_TypeError, std::move(message), std::move(cause));
        }
        text = OwnedRef::share(error.message_object());
    } else {
        cause = OwnedRef::steal(PyException_GetCause(error.exception()));
        text = str_object_of(error.exception());
        if (!text) {
            return ErrorResult::deferred(PyExc_TypeError, std::string("argument '") + name + "': ", std::move(cause));
        }
    }
    return ErrorResult::deferred(PyExc_TypeError,
                                 created_object(PyUnicode_FromFormat("argument '%s': %U", name, text.get())),
                                 std::move(cause));
}

Result<core::KeyText> convert_text(PyObject* object) {
    QUORIX_LET(key, convert_key(object));
    return std::move(key).into_key_text();
}

Result<bool> convert_bool(PyObject* object) {
    if (Py_TYPE(object) == &PyBool_Type) {
        return object == Py_True;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    if (type_attribute_is(type, "__module__", {"numpy"}) && type_attribute_is(type, "__name__", {"bool_", "bool"})) {
        return convert_numpy_bool(object);
    }
    return type_mismatch_error(object, "PyBool");
}

Result<Py_ssize_t> detail::open_key_sequence(PyObject* object) {
    if (is_str(object)) {
        return ErrorResult::deferred(PyExc_TypeError, "Can't extract `str` to `Vec`");
    }
    if (!PySequence_Check(object)) {
        return type_mismatch_error(object, "Sequence");
    }
    // Its __len__ may be Python code, during which the thread may be ended.
    const Py_ssize_t hint = call_interpreter([object] { return PySequence_Size(object); });
    if (hint < 0) {
        PyErr_Clear();
    }
    return hint;
}

Result<core::KeyList> convert_text_list(PyObject* object) {
    core::KeyList keys;
    QUORIX_TRY(for_each_key_item(
        object, [&keys](std::size_t hint) { keys.reserve(hint); },
        [&keys](PyObject* item) -> Status {
            QUORIX_LET(key, convert_text(item));
            keys.push_back(std::move(key));
            return success();
        }));
    return keys;
}

}  // namespace quorix
