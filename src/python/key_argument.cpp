#include "python/key_argument.hpp"

#include "python/conversions.hpp"

namespace quorix {

Result<KeyArgument> convert_key(PyObject* object) {
    if (!is_str(object)) {
        return type_mismatch_error(object, "PyString");
    }
    if constexpr (capability::str_lends_utf8) {
        Py_ssize_t size = 0;
        const char* data = capability::lent_utf8(object, &size);
        if (data == nullptr) {
            return take_current_exception();
        }
        return KeyArgument(KeyArgument::Text(data, static_cast<std::size_t>(size)));
    } else {
        OwnedRef bytes = OwnedRef::steal(PyUnicode_AsUTF8String(object));
        if (!bytes) {
            return take_current_exception();
        }
        const char* data = PyBytes_AsString(bytes.get());
        const Py_ssize_t size = PyBytes_Size(bytes.get());
        if (data == nullptr || size < 0) {
            return take_current_exception();
        }
        return KeyArgument(KeyArgument::Text(data, static_cast<std::size_t>(size)));
    }
}

}  // namespace quorix
