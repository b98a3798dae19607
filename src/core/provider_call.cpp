#include "core/provider_call.hpp"

#include "python/objects.hpp"

namespace quorix::core {

Result<OwnedRef> call_provider(BorrowedRef callable, const std::vector<OwnedRef>& arguments) {
    const auto count = static_cast<Py_ssize_t>(arguments.size());
    OwnedRef tuple = new_tuple(count);
    for (Py_ssize_t i = 0; i < count; ++i) {
        // The tuple takes references of its own; the caller keeps its values.
        PyTuple_SetItem(tuple.get(), i, arguments[static_cast<size_t>(i)].clone().release());
    }
    OwnedRef value = OwnedRef::steal(PyObject_Call(callable.get(), tuple.get(), nullptr));
    tuple.reset();
    if (!value) {
        return take_current_exception();
    }
    return value;
}

}  // namespace quorix::core
