#include "runtime/fault_injection.hpp"

#ifdef QUORIX_FAULT_INJECTION

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quorix::fault {
namespace {

// Every fault point of the code base. A name in QUORIX_FAULTS that is not here
// ends the process: a misspelt name would otherwise arm nothing, and the test
// that meant to arm it would pass without its fault.
constexpr const char* known[] = {
    "all_append", "calls_under_lock", "compile_at_once", "compile_never", "dealloc", "layer_alloc", "level_alloc", "list_new",
    "native_exception", "panic_class", "provider_call", "raise_argument", "str_new", "tuple_new", "type_create",
};

bool is_known(const char* item, size_t length) noexcept {
    for (const char* name : known) {
        if (std::strlen(name) == length && std::strncmp(item, name, length) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool armed(const char* name) noexcept {
    // Read on every call so a test can arm and disarm faults while it runs.
    const char* faults = std::getenv("QUORIX_FAULTS");
    if (faults == nullptr) {
        return false;
    }
    const size_t length = std::strlen(name);
    bool found = false;
    for (const char* item = faults; *item != '\0';) {
        const char* end = std::strchr(item, ',');
        const size_t item_length = end != nullptr ? static_cast<size_t>(end - item) : std::strlen(item);
        if (item_length != 0 && !is_known(item, item_length)) {
            std::fprintf(stderr, "QUORIX_FAULTS names an unknown fault point: %.*s\n", static_cast<int>(item_length),
                         item);
            std::abort();
        }
        found = found || (item_length == length && std::strncmp(item, name, length) == 0);
        if (end == nullptr) {
            break;
        }
        item = end + 1;
    }
    return found;
}

}  // namespace quorix::fault

#endif
