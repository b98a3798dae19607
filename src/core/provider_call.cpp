#include "core/provider_call.hpp"

#include "python/forced_unwind.hpp"
#include "python/objects.hpp"

namespace quorix::core {

Result<OwnedRef> call_provider(BorrowedRef callable, PyObject* const* arguments, std::size_t count) {
    const auto size = static_cast<Py_ssize_t>(count);
    OwnedRef tuple = new_tuple(size);
    for (Py_ssize_t i = 0; i < size; ++i) {
        // The tuple takes references of its own; the caller keeps its values.
        PyTuple_SetItem(tuple.get(), i, OwnedRef::share(arguments[i]).release());
    }
    // The callable runs Python code, during which the thread may be ended.
    OwnedRef value =
        OwnedRef::steal(call_interpreter([&] { return PyObject_Call(callable.get(), tuple.get(), nullptr); }));
    tuple.reset();
    if (!value) {
        return take_current_exception();
    }
    return value;
}

}  // namespace quorix::core
