// The keys of a batch request (resolve_many, resolve_many_plan), converted
// before the container's lock is taken.
//
// The batch holds a reference to every item it was given, so each key's text
// and each remembered `str` stay valid while providers run Python code that may
// change or drop the caller's sequence. From 3.10 a key's text is the UTF-8 the
// item caches in itself; the 3.9 limited API offers only encoded copies, which
// the batch then owns.
#pragma once

#include <vector>

#include "core/provider.hpp"
#include "core/requested_key.hpp"
#include "python/key_argument.hpp"
#include "runtime/error_result.hpp"
#include "runtime/ref.hpp"

namespace quorix {

class KeyBatch {
public:
    core::RequestedKeys keys() const noexcept { return keys_; }

private:
    friend Result<KeyBatch> convert_key_batch(PyObject* object);
    void reserve(std::size_t count);
    void add(PyObject* item, KeyArgument key);
    void finish() noexcept;

    std::vector<OwnedRef> items_;
    core::KeyList copies_;  // the texts, where a `str` does not lend its own
    std::vector<core::RequestedKey> keys_;
};

// A sequence of `str` (but not a `str` itself), with the errors and in the
// order of the conversion to a list of key texts.
Result<KeyBatch> convert_key_batch(PyObject* object);

}  // namespace quorix
