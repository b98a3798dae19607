// What an operation lets go of while it holds the container's lock, released
// once the lock is free: a release can run a finalizer, and a finalizer may
// use the container like any other code.
#pragma once

#include <vector>

#include "core/provider.hpp"
#include "runtime/ref.hpp"

namespace quorix::core {

struct Released {
    // Released from the last member up: records, then layers, then the value.
    OwnedRef value;                  // a cached value replaced
    std::vector<ProviderMap> layers;  // ended layers, each with its records
    std::vector<RecordRef> records;   // displaced or dropped records
};

}  // namespace quorix::core
