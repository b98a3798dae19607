// Calling a provider's callable: the dependency values as one tuple of
// positional arguments, no keyword arguments.
#pragma once

#include <vector>

#include "python/error_result.hpp"
#include "python/ref.hpp"

namespace quorix::core {

// The value the callable returned, or the very exception it raised.
Result<OwnedRef> call_provider(BorrowedRef callable, const std::vector<OwnedRef>& arguments);

}  // namespace quorix::core
