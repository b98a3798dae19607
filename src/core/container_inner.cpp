#include "core/container_inner.hpp"

#include <string>

namespace quorix::core {

ErrorResult missing_provider_error(std::string_view key) {
    std::string message = "No provider registered for key: ";
    message.append(key);
    return ErrorResult::deferred(PyExc_KeyError, std::move(message));
}

ErrorResult cycle_error(std::string_view key) {
    std::string message = "Dependency cycle detected at key: ";
    message.append(key);
    return ErrorResult::deferred(PyExc_RuntimeError, std::move(message));
}

ErrorResult async_provider_error(std::string_view key) {
    std::string message = "Provider for key '";
    message.append(key);
    message.append("' is async and requires async resolution");
    return ErrorResult::deferred(PyExc_RuntimeError, std::move(message));
}

}  // namespace quorix::core
