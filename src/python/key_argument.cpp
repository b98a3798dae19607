#include "python/key_argument.hpp"

#include "python/conversions.hpp"

namespace quorix {

Result<KeyArgument> convert_key(PyObject* object) {
    if (!is_str(object)) {
        return type_mismatch_error(object, "PyString");
    }
#if QUORIX_API_LEVEL >= 0x030A0000
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) {
        return take_current_exception();
    }
    return KeyArgument(std::string_view(data, static_cast<std::size_t>(size)));
#else
    OwnedRef bytes = OwnedRef::steal(PyUnicode_AsUTF8String(object));
    if (!bytes) {
        return take_current_exception();
    }
    const char* data = PyBytes_AsString(bytes.get());
    const Py_ssize_t size = PyBytes_Size(bytes.get());
    if (data == nullptr || size < 0) {
        return take_current_exception();
    }
    return KeyArgument(std::string(data, static_cast<std::size_t>(size)));
#endif
}

}  // namespace quorix
