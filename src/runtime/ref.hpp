// Owned and borrowed references to Python objects.
//
// Every strong reference the module takes has exactly one owner: an OwnedRef.
// Dropping the owner releases the reference; the one other release is a dying
// instance's reference to its type (container_type.cpp). Below the 3.12 level
// the limited API counts references inline; from 3.12, where objects can be
// immortal, it calls into the interpreter.
// A thread being ended inside an interpreter call abandons its references
// instead (runtime/forced_unwind.hpp).
#pragma once

#include <type_traits>
#include <utility>

#include "runtime/capabilities.hpp"
#include "runtime/forced_unwind.hpp"

namespace quorix {

// A reference someone else keeps alive for as long as we look at it.
class BorrowedRef {
public:
    constexpr BorrowedRef() noexcept = default;
    constexpr explicit BorrowedRef(PyObject* object) noexcept : object_(object) {}
    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

class OwnedRef {
public:
    constexpr OwnedRef() noexcept = default;
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    // Not noexcept: the finalizer that a release runs may end the thread.
    OwnedRef& operator=(OwnedRef&& other) {
        // Take the new value before releasing the old one: the release may run
        // a finalizer, and the slot must already hold its final value then.
        PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
        release_reference(old);
        return *this;
    }
    ~OwnedRef() { reset(); }

    // Takes over a reference the caller already owns (a "new reference" result).
    static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
    // Takes a new strong reference to an object someone else keeps alive.
    static OwnedRef share(PyObject* object) noexcept {
        if (object != nullptr) {
            Py_INCREF(object);
        }
        return OwnedRef(object);
    }
    static OwnedRef share(BorrowedRef object) noexcept { return share(object.get()); }

    PyObject* get() const noexcept { return object_; }
    BorrowedRef borrow() const noexcept { return BorrowedRef(object_); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    OwnedRef clone() const noexcept { return share(object_); }

    // Hands the reference to a caller that takes ownership (the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    void reset() { release_reference(std::exchange(object_, nullptr)); }

private:
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
    static void release_reference(PyObject* object) {
        if (object != nullptr && !python_references_abandoned()) {
            Py_DECREF(object);
        }
    }
    PyObject* object_ = nullptr;
};

// Shows the cyclic garbage collector one strong reference, if the slot holds one.
inline int visit_reference(const OwnedRef& ref, visitproc visit, void* arg) noexcept {
    return ref ? visit(ref.get(), arg) : 0;
}

// A strong reference released through the interpreter's exported Py_DecRef,
// never by reading the object's header: for the code that runs before the
// module knows the interpreter's object layout is the one it was built for.
class ExportedCallRef {
public:
    explicit ExportedCallRef(PyObject* object) noexcept : object_(object) {}
    ExportedCallRef(const ExportedCallRef&) = delete;
    ExportedCallRef& operator=(const ExportedCallRef&) = delete;
    ~ExportedCallRef() {
        if (object_ != nullptr) {
            Py_DecRef(object_);
        }
    }
    PyObject* get() const noexcept { return object_; }

private:
    PyObject* object_;
};

// An array of owned references seen as the borrowed object pointers a call
// takes: an OwnedRef is exactly one object pointer.
static_assert(sizeof(OwnedRef) == sizeof(PyObject*) && std::is_standard_layout_v<OwnedRef>);
inline PyObject* const* object_pointers(const OwnedRef* refs) noexcept {
    return reinterpret_cast<PyObject* const*>(refs);
}

}  // namespace quorix
