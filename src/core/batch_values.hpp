// The values of a batch request, in request order: gathered one by one, or
// already in the list that the request's compiled function returned.
#pragma once

#include <vector>

#include "runtime/ref.hpp"

namespace quorix::core {

struct BatchValues {
    std::vector<OwnedRef> values;
    OwnedRef list;  // when set, it holds them all and `values` is empty
};

}  // namespace quorix::core
