// A singleton record's cached value: one strong reference, or none.
//
// Written only under the container's lock. Where reads may not rely on an
// interpreter lock (free-threaded builds), a cached value is also read without
// the container's lock (core/published_reads.hpp), so the slot is an atomic
// pointer; with an interpreter lock its relaxed loads and stores are plain
// moves.
#pragma once

#include <atomic>

#include "runtime/ref.hpp"

namespace quorix::core {

class CachedSlot {
public:
    CachedSlot() noexcept = default;
    CachedSlot(const CachedSlot&) = delete;
    CachedSlot& operator=(const CachedSlot&) = delete;
    ~CachedSlot() { reset(); }

    PyObject* get() const noexcept { return value_.load(std::memory_order_relaxed); }
    explicit operator bool() const noexcept { return get() != nullptr; }
    OwnedRef clone() const noexcept { return OwnedRef::share(get()); }
    // For a reader that holds no lock: the value's publication happens before.
    PyObject* get_published() const noexcept { return value_.load(std::memory_order_acquire); }

    // Stores `value` and hands back the value it replaces (the caller lets go of it).
    [[nodiscard]] OwnedRef exchange(OwnedRef value) noexcept {
        return OwnedRef::steal(value_.exchange(value.release(), std::memory_order_acq_rel));
    }
    void reset() { OwnedRef released = exchange(OwnedRef()); }

private:
    std::atomic<PyObject*> value_{nullptr};
};

inline int visit_reference(const CachedSlot& slot, visitproc visit, void* arg) noexcept {
    PyObject* value = slot.get();
    return value != nullptr ? visit(value, arg) : 0;
}

}  // namespace quorix::core
