#include "core/provider_call.hpp"

#include "runtime/fault_injection.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/objects.hpp"

namespace quorix::core {

Result<OwnedRef> call_provider(BorrowedRef callable, PyObject* const* arguments, std::size_t count) {
    if (fault::armed("provider_call")) {
        // As if the interpreter could not set up the call, on every level.
        fault::no_memory();
        fail_python_api_call();
    }
    OwnedRef value = call_with_arguments(callable.get(), arguments, count);
    if (!value) {
        return take_current_exception();
    }
    return value;
}

}  // namespace quorix::core
