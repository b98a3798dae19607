// Calling a provider's callable: the dependency values as positional
// arguments, no keyword arguments.
#pragma once

#include <cstddef>

#include "runtime/error_result.hpp"
#include "runtime/ref.hpp"

namespace quorix::core {

// The value the callable returned, or the very exception it raised. The
// arguments are borrowed from the caller, contiguous, in dependency order.
Result<OwnedRef> call_provider(BorrowedRef callable, PyObject* const* arguments, std::size_t count);

}  // namespace quorix::core
