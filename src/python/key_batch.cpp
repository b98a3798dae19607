#include "python/key_batch.hpp"

#include "python/conversions.hpp"

namespace quorix {

void KeyBatch::reserve(std::size_t count) {
    items_.reserve(count);
    keys_.reserve(count);
}

void KeyBatch::add(PyObject* item, KeyArgument key) {
    PyObject* exact_str = Py_TYPE(item) == &PyUnicode_Type ? item : nullptr;
    items_.push_back(OwnedRef::share(item));
    if constexpr (capability::str_lends_utf8) {
        keys_.push_back(core::RequestedKey{key.text(), exact_str, {}});
    } else {
        copies_.push_back(std::move(key).into_key_text());
        keys_.push_back(core::RequestedKey{{}, exact_str, {}});
    }
}

void KeyBatch::finish() noexcept {
    if constexpr (!capability::str_lends_utf8) {
        // Only now: a copy's text may move while the copies grow.
        for (std::size_t i = 0; i < keys_.size(); ++i) {
            keys_[i].text = copies_[i];
        }
    }
}

Result<KeyBatch> convert_key_batch(PyObject* object) {
    KeyBatch batch;
    QUORIX_TRY(for_each_key_item(
        object, [&batch](std::size_t hint) { batch.reserve(hint); },
        [&batch](PyObject* item) -> Status {
            QUORIX_LET(key, convert_key(item));
            batch.add(item, std::move(key));
            return success();
        }));
    batch.finish();
    return batch;
}

}  // namespace quorix
