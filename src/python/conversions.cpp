#include "python/conversions.hpp"

#include <algorithm>
#include <string>

namespace quorix {
namespace {

bool is_str(PyObject* object) noexcept {
    return (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

// The UTF-8 text of a `str`, copied whole; fails on lone surrogates.
Result<std::string> utf8_of(PyObject* text) {
    OwnedRef bytes = OwnedRef::steal(PyUnicode_AsUTF8String(text));
    if (!bytes) {
        return take_current_exception();
    }
    const char* data = PyBytes_AsString(bytes.get());
    const Py_ssize_t size = PyBytes_Size(bytes.get());
    if (data == nullptr || size < 0) {
        return take_current_exception();
    }
    return std::string(data, static_cast<size_t>(size));
}

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
        std::string type_text;
        str_of(type, type_text);
        return ErrorResult::deferred(PyExc_TypeError,
                                     "object of type '" + type_text + "' does not define a '__bool__' conversion");
    }
    // A descriptor (a function, a slot wrapper) is bound to the object first.
    // Its type's __get__ is read as an attribute, since slots of static types
    // cannot be read directly on every supported interpreter.
    OwnedRef getter = OwnedRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(method.get())), "__get__"));
    if (getter) {
        OwnedRef bound = OwnedRef::steal(PyObject_CallFunctionObjArgs(getter.get(), method.get(), object, type, nullptr));
        if (!bound) {
            return take_current_exception();
        }
        method = std::move(bound);
    } else {
        PyErr_Clear();
    }
    OwnedRef result = OwnedRef::steal(PyObject_CallObject(method.get(), nullptr));
    if (!result) {
        return take_current_exception();
    }
    if (Py_TYPE(result.get()) != &PyBool_Type) {
        return type_mismatch_error(result.get(), "PyBool");
    }
    return result.get() == Py_True;
}

}  // namespace

bool str_of(PyObject* object, std::string& text) {
    OwnedRef string = OwnedRef::steal(PyObject_Str(object));
    if (!string) {
        PyErr_Clear();
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

ErrorResult type_mismatch_error(PyObject* object, std::string_view target) {
    std::string type_name = "<failed to extract type name>";
    OwnedRef qualname = OwnedRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (qualname && is_str(qualname.get())) {
        Result<std::string> text = utf8_of(qualname.get());
        if (text.ok()) {
            type_name = std::move(text).value();
        }
    } else {
        PyErr_Clear();
    }
    std::string message = "'";
    message.append(type_name).append("' object cannot be converted to '").append(target).append("'");
    return ErrorResult::deferred(PyExc_TypeError, std::move(message));
}

ErrorResult argument_error(std::string_view name, ErrorResult error) {
    if (error.type() != PyExc_TypeError) {
        return error;
    }
    std::string message = "argument '";
    message.append(name).append("': ");
    OwnedRef cause;
    if (error.is_deferred()) {
        message.append(error.message());
        cause = OwnedRef::share(error.cause());
    } else {
        std::string text;
        str_of(error.exception(), text);
        message.append(text);
        cause = OwnedRef::steal(PyException_GetCause(error.exception()));
    }
    return ErrorResult::deferred(PyExc_TypeError, std::move(message), std::move(cause));
}

Result<core::KeyText> convert_text(PyObject* object) {
    if (!is_str(object)) {
        return type_mismatch_error(object, "PyString");
    }
    return utf8_of(object);
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

Result<core::KeyList> convert_text_list(PyObject* object) {
    if (is_str(object)) {
        return ErrorResult::deferred(PyExc_TypeError, "Can't extract `str` to `Vec`");
    }
    if (!PySequence_Check(object)) {
        return type_mismatch_error(object, "Sequence");
    }
    core::KeyList keys;
    const Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        // Only a hint: a sequence may report any length, so never trust it far.
        constexpr Py_ssize_t largest_reservation = 1 << 16;
        keys.reserve(static_cast<size_t>(std::min(hint, largest_reservation)));
    }
    OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(object));
    if (!iterator) {
        return take_current_exception();
    }
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
        Result<core::KeyText> key = convert_text(item.get());
        if (!key.ok()) {
            return std::move(key).error();
        }
        keys.push_back(std::move(key).value());
    }
    if (PyErr_Occurred() != nullptr) {
        return take_current_exception();
    }
    return keys;
}

}  // namespace quorix
