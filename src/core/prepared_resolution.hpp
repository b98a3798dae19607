// What a resolution takes from the locked state, to run once the lock is free.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "core/compiled_order.hpp"
#include "core/provider.hpp"
#include "runtime/generated_function.hpp"
#include "runtime/ref.hpp"

namespace quorix::core {

struct PreparedResolution {
    enum class Way : std::uint8_t {
        answered,        // `value` is the answer (a cached singleton)
        call,            // calls `record`'s callable, which takes no arguments
        compiled,        // calls `function` with the values put on the thread's value stack
        compiled_batch,  // the same, for a batch: it returns the list of the values
        walk,            // runs the steps laid out on the thread
        order,           // runs `order`
    };
    Way way = Way::answered;
    OwnedRef value;
    RecordRef record;  // call; compiled: the walk's top record
    GeneratedFunction function;
    std::shared_ptr<CompiledOrder> order;
};

}  // namespace quorix::core
