// Python functions made from source the module writes itself. Their frame is
// the module's business: it is kept out of the tracebacks of the exceptions
// that pass through it, so callers see the frames they would see without it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "runtime/error_result.hpp"
#include "runtime/ref.hpp"

namespace quorix {

struct GeneratedFunction {
    OwnedRef function;
    OwnedRef code;  // the function's code object, which tells its frame apart
};

inline int visit_references_of(const GeneratedFunction& generated, visitproc visit, void* arg) noexcept {
    if (int stop = visit_reference(generated.function, visit, arg)) {
        return stop;
    }
    return visit_reference(generated.code, visit, arg);
}

// Runs `source`, which defines the function `name`, with `globals` (a dict the
// caller filled; the builtins are added) and returns that function. Nothing
// when the interpreter had no memory or stack left for it; any other exception
// raised meanwhile (a signal handler's) is the error.
Result<std::optional<GeneratedFunction>> define_function(const std::string& source, const char* name,
                                                         BorrowedRef globals);

// Calls the function with the positional arguments given, borrowed. An
// exception it raises loses the function's own traceback entry.
Result<OwnedRef> call_generated(const GeneratedFunction& function, PyObject* const* arguments, std::size_t count);

}  // namespace quorix
