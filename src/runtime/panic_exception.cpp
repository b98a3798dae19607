#include "runtime/panic_exception.hpp"

#include "runtime/fault_injection.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/once_cell.hpp"

namespace quorix {
namespace {

OnceCell panic_cell;

constexpr const char* panic_doc =
    "Raised when the native code of _quorix_core fails internally.\n"
    "\n"
    "Like SystemExit, this exception derives from BaseException, so that it will\n"
    "typically propagate all the way up the stack and end the interpreter.";

}  // namespace

PyObject* panic_exception_type_if_created() noexcept { return panic_cell.get(); }

PyObject* panic_exception_type() {
    Result<PyObject*> type = panic_cell.get_or_fill([]() -> Result<OwnedRef> {
        PyObject* created = fault::armed("panic_class")
                                ? fault::no_memory()
                                : PyErr_NewExceptionWithDoc("_quorix_core.PanicException", panic_doc,
                                                            PyExc_BaseException, nullptr);
        if (created == nullptr) {
            fail_python_api_call();
        }
        return OwnedRef::steal(created);
    });
    if (!type.ok()) {  // the filler fails internally rather than returning an error
        fail_internal("PanicException class unavailable");
    }
    return type.value();
}

}  // namespace quorix
