#include "runtime/fault_injection.hpp"

#ifdef QUORIX_FAULT_INJECTION

#include <cstdlib>
#include <cstring>

namespace quorix::fault {

bool armed(const char* name) noexcept {
    // Read on every call so a test can arm and disarm faults while it runs.
    const char* faults = std::getenv("QUORIX_FAULTS");
    if (faults == nullptr) {
        return false;
    }
    const size_t length = std::strlen(name);
    for (const char* item = faults; *item != '\0';) {
        const char* end = std::strchr(item, ',');
        const size_t item_length = end != nullptr ? static_cast<size_t>(end - item) : std::strlen(item);
        if (item_length == length && std::strncmp(item, name, length) == 0) {
            return true;
        }
        if (end == nullptr) {
            break;
        }
        item = end + 1;
    }
    return false;
}

}  // namespace quorix::fault

#endif
