#include "core/provider_call.hpp"

#include "runtime/fault_injection.hpp"
#include "runtime/forced_unwind.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/objects.hpp"

namespace quorix::core {

Result<OwnedRef> call_provider(BorrowedRef callable, PyObject* const* arguments, std::size_t count) {
    if (fault::armed("provider_call")) {
        // As if the interpreter could not set up the call, on every level.
        fault::no_memory();
        fail_python_api_call();
    }
    // The callable runs Python code, during which the thread may be ended.
#if QUORIX_API_LEVEL >= 0x030C0000
    // The values are already one contiguous array: call without building a tuple.
    OwnedRef value = OwnedRef::steal(
        call_interpreter([&] { return PyObject_Vectorcall(callable.get(), arguments, count, nullptr); }));
#else
    const auto size = static_cast<Py_ssize_t>(count);
    OwnedRef tuple = new_tuple(size);
    for (Py_ssize_t i = 0; i < size; ++i) {
        // The tuple takes references of its own; the caller keeps its values.
        PyTuple_SetItem(tuple.get(), i, OwnedRef::share(arguments[i]).release());
    }
    OwnedRef value =
        OwnedRef::steal(call_interpreter([&] { return PyObject_Call(callable.get(), tuple.get(), nullptr); }));
    tuple.reset();
#endif
    if (!value) {
        return take_current_exception();
    }
    return value;
}

}  // namespace quorix::core
