// Matching a call's positional and keyword arguments to a method's parameters.
// Every parameter is required and may be given by position or by keyword.
//
// Two front ends feed the same checks, in the same order, with the same
// messages: the tuple-and-dict convention (METH_VARARGS) and, where the limited
// API has it, the fastcall convention (an argument array and a tuple of keyword
// names).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>

#include "runtime/error_result.hpp"
#include "runtime/ref.hpp"

namespace quorix {

// The keyword-names tuple of the last fastcall whose keywords were exactly the
// trailing parameters in order. A call site passes the same constant tuple on
// every call, so a repeated call is recognised by identity alone; the strong
// reference keeps the tuple (immutable) from being replaced by another at the
// same address. Lives as long as the process: at exit the interpreter may be
// gone, so the tuple is abandoned rather than released.
struct KeywordNamesSeen {
    OwnedRef names;
    std::size_t count = 0;
    KeywordNamesSeen() = default;
    KeywordNamesSeen(const KeywordNamesSeen&) = delete;
    KeywordNamesSeen& operator=(const KeywordNamesSeen&) = delete;
    ~KeywordNamesSeen() { (void)names.release(); }
};

struct ParameterDescription {
    const char* class_name;
    const char* method_name;
    const char* const* names;  // positional-or-keyword, all required
    std::size_t count;
    // One slot per name, filled on first use with the interned name, so that a
    // keyword written in source (interned too) matches by identity. May be null.
    PyObject** interned_names;
    // Shared by the methods with the same parameter names. May be null.
    KeywordNamesSeen* keywords_seen = nullptr;
};

template <std::size_t N>
struct BoundArguments {
    std::array<PyObject*, N> slots{};
    PyObject* operator[](std::size_t index) const noexcept { return slots[index]; }
};

// Fills `slots[0..count)` with borrowed references, or fails with the binder's
// TypeError. `kwargs` may be null. Where the keywords must be read from a copy,
// the copy is left in `keywords`, which the caller keeps as long as the slots.
Status bind_arguments(const ParameterDescription& parameters, PyObject* args, PyObject* kwargs, PyObject** slots,
                      OwnedRef& keywords);

// The same for a fastcall entry (where capability::fastcall_methods): `args`
// holds the `nargs` positional values, then one value per name in `kwnames`
// (null when there are no keywords).
Status bind_fastcall_arguments(const ParameterDescription& parameters, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames, PyObject** slots);

// The common calls take a short way through the same checks: every parameter
// given by position, or the trailing ones by keywords written in parameter order
// (matched by identity with the interned names, as source keywords are).
// Anything else takes the full way, which reports the errors.
inline Status bind_fastcall(const ParameterDescription& parameters, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, PyObject** slots) {
    const auto given = static_cast<std::size_t>(nargs);
    if (kwnames != nullptr) {
        // Without the GIL the tuple seen and its count could be replaced by
        // another thread between reading one and the other: compare every time.
        KeywordNamesSeen* seen = capability::keyword_names_cache ? parameters.keywords_seen : nullptr;
        if (seen == nullptr || seen->names.get() != kwnames || given + seen->count != parameters.count) {
            const Py_ssize_t keywords = PyTuple_Size(kwnames);
            if (given + static_cast<std::size_t>(keywords) != parameters.count || parameters.interned_names == nullptr) {
                return bind_fastcall_arguments(parameters, args, nargs, kwnames, slots);
            }
            for (Py_ssize_t i = 0; i < keywords; ++i) {
                PyObject* expected = std::atomic_ref<PyObject*>(parameters.interned_names[given + static_cast<std::size_t>(i)])
                                         .load(std::memory_order_acquire);
                if (expected == nullptr || PyTuple_GetItem(kwnames, i) != expected) {
                    return bind_fastcall_arguments(parameters, args, nargs, kwnames, slots);
                }
            }
            if (seen != nullptr) {
                // Releasing the tuple seen before runs no Python code: it holds
                // only interned names.
                seen->names = OwnedRef::share(kwnames);
                seen->count = static_cast<std::size_t>(keywords);
            }
        }
    } else if (given != parameters.count) {
        return bind_fastcall_arguments(parameters, args, nargs, kwnames, slots);
    }
    for (std::size_t i = 0; i < parameters.count; ++i) {
        slots[i] = args[i];
    }
    return success();
}

}  // namespace quorix
