// Conversions of Python argument objects into the core's values, and the
// TypeErrors they raise.
#pragma once

#include <string>

#include "core/provider.hpp"
#include "python/error_result.hpp"
#include "python/key_argument.hpp"

namespace quorix {

// A `str` (or subclass) as owned UTF-8 key text; any character, NUL included.
Result<core::KeyText> convert_text(PyObject* object);
// Exactly `bool`, or numpy's boolean through its type's __bool__; no truth testing.
Result<bool> convert_bool(PyObject* object);
// A sequence of `str` (but not a `str` itself) as a list of key texts.
Result<core::KeyList> convert_text_list(PyObject* object);

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
