// Conversions of Python argument objects into the core's values, and the
// TypeErrors they raise.
#pragma once

#include <string>

#include "core/provider.hpp"
#include "python/key_argument.hpp"
#include "runtime/error_result.hpp"
#include "runtime/forced_unwind.hpp"

namespace quorix {

// A `str` (or subclass) as owned UTF-8 key text; any character, NUL included.
Result<core::KeyText> convert_text(PyObject* object);
// Exactly `bool`, or numpy's boolean through its type's __bool__; no truth testing.
Result<bool> convert_bool(PyObject* object);
// A sequence of `str` (but not a `str` itself) as a list of key texts.
Result<core::KeyList> convert_text_list(PyObject* object);

namespace detail {
// The checks a sequence of keys passes before any item is read, then its
// length as a hint for reserving (negative when it has none).
Result<Py_ssize_t> open_key_sequence(PyObject* object);
// The items of any other sequence, through its iterator.
template <class Visit>
Status visit_iterated_items(PyObject* object, Visit& visit);
}  // namespace detail

// Calls `reserve(hint)` with a bounded length hint, if there is one, then
// `visit(item)` (a borrowed item, returning a Status) for each item of a
// sequence of keys in order, stopping at the first error.
template <class Reserve, class Visit>
Status for_each_key_item(PyObject* object, Reserve&& reserve, Visit&& visit) {
    QUORIX_LET(hint, detail::open_key_sequence(object));
    if (hint >= 0) {
        // Only a hint: a sequence may report any length, so never trust it far.
        constexpr Py_ssize_t largest_reservation = 1 << 16;
        reserve(static_cast<std::size_t>(hint < largest_reservation ? hint : largest_reservation));
    }
    const bool list = Py_TYPE(object) == &PyList_Type;
    if constexpr (capability::lists_change_while_read) {
        if (list) {
            // Another thread may change the list while it is read:
            // each item is held by a reference of our own while it is visited, and
            // the walk ends where the list ends by then.
            for (Py_ssize_t i = 0;; ++i) {
                OwnedRef item = OwnedRef::steal(capability::list_item_ref(object, i));
                if (!item) {
                    PyErr_Clear();  // the IndexError past the end
                    return success();
                }
                QUORIX_TRY(visit(item.get()));
            }
        }
    }
    if (list || Py_TYPE(object) == &PyTuple_Type) {
        // Visiting an item runs no Python code (a key is converted, or refused
        // and the walk ends), so an exact list or tuple cannot change while it
        // is read: reading it by index reads what its iterator would.
        for (Py_ssize_t i = 0; i < hint; ++i) {
            QUORIX_TRY(visit(list ? PyList_GetItem(object, i) : PyTuple_GetItem(object, i)));
        }
        return success();
    }
    return detail::visit_iterated_items(object, visit);
}

template <class Visit>
Status detail::visit_iterated_items(PyObject* object, Visit& visit) {
    // Its __iter__ and __next__ may be Python code, during which the thread
    // may be ended.
    OwnedRef iterator = OwnedRef::steal(call_interpreter([object] { return PyObject_GetIter(object); }));
    if (!iterator) {
        return take_current_exception();
    }
    while (OwnedRef item = OwnedRef::steal(call_interpreter([&iterator] { return PyIter_Next(iterator.get()); }))) {
        QUORIX_TRY(visit(item.get()));
    }
    if (PyErr_Occurred() != nullptr) {
        return take_current_exception();
    }
    return success();
}

// "'<type qualname>' object cannot be converted to '<target>'", keeping every
// code point of the qualified name.
ErrorResult type_mismatch_error(PyObject* object, const char* target);

// A conversion error for the parameter `name`: an exact TypeError is replaced by
// "argument '<name>': <message>" keeping its cause; anything else passes.
ErrorResult argument_error(const char* name, ErrorResult error);

// Applies `convert` to an argument, with the argument-error rule on failure.
template <class Convert>
auto convert_argument(const char* name, PyObject* object, Convert&& convert) -> decltype(convert(object)) {
    auto converted = convert(object);
    if (!converted.ok()) {
        return argument_error(name, std::move(converted).error());
    }
    return converted;
}

// `str(object)`, or null if that fails (the error is cleared).
OwnedRef str_object_of(PyObject* object);

// UTF-8 text of `str(object)`, lone surrogates escaped, or nothing if that
// fails (the error is cleared). For reports on standard error only: messages
// raised to Python keep the `str` itself.
bool str_of(PyObject* object, std::string& text);

}  // namespace quorix
