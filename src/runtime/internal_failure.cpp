#include "runtime/internal_failure.hpp"

#include <cstdio>
#include <cstdlib>

#include "runtime/capabilities.hpp"

namespace quorix {

void fail_internal(std::string message) {
    // PySys_FormatStderr keeps any pending exception and does not truncate.
    PySys_FormatStderr("_quorix_core: internal failure: %s\n", message.c_str());
    throw InternalFailure(std::move(message));
}

void resume_internal_failure(std::string message) {
    throw InternalFailure(std::move(message));
}

void fail_python_api_call() {
    if (PyErr_Occurred() != nullptr) {
        PyErr_Print();
    }
    fail_internal("Python API call failed");
}

void abort_uncaught_panic() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace quorix
