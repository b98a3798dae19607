// The text of a single key argument (resolve, get_cached, set_cached,
// get_provider_info), held for the length of one call.
//
// From 3.10 the limited API reaches the UTF-8 text a `str` caches in itself, so
// the key is a view into the argument object, which the caller keeps alive for
// the whole call. The 3.9 limited API offers only an encoded copy, which the
// holder then owns.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/provider.hpp"
#include "runtime/error_result.hpp"

namespace quorix {

inline bool is_str(PyObject* object) noexcept {
    // An exact `str` needs no call into the interpreter to tell.
    return Py_TYPE(object) == &PyUnicode_Type || (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

class KeyArgument {
public:
    // A view into the `str`'s own cached UTF-8 where it lends it, else an
    // encoded copy.
    using Text = std::conditional_t<capability::str_lends_utf8, std::string_view, std::string>;

    explicit KeyArgument(Text text) noexcept : text_(std::move(text)) {}
    std::string_view text() const noexcept { return text_; }
    core::KeyText into_key_text() && { return core::KeyText(std::move(text_)); }

private:
    Text text_;
};

// A `str` (or subclass) as its whole UTF-8 text, NUL characters included. Not
// a `str`: the type-mismatch TypeError for "PyString"; lone surrogates: the
// interpreter's UnicodeEncodeError.
Result<KeyArgument> convert_key(PyObject* object);

// The common case of `convert_key`, for the hottest entries: an exact `str`
// whose UTF-8 the limited API can lend (3.10 on). True with `text` set; false
// where `convert_key` must run (it then reports any error itself).
inline bool lend_exact_key_text([[maybe_unused]] PyObject* object, [[maybe_unused]] std::string_view& text) noexcept {
    if constexpr (capability::str_lends_utf8) {
        if (Py_TYPE(object) == &PyUnicode_Type) {
            Py_ssize_t size = 0;
            if (const char* data = capability::lent_utf8(object, &size); data != nullptr) {
                text = std::string_view(data, static_cast<std::size_t>(size));
                return true;
            }
            PyErr_Clear();  // lone surrogates: `convert_key` raises the error again
        }
    }
    return false;
}

}  // namespace quorix
