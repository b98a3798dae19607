// The methods of `Container`: bind and convert the arguments, run the core
// operation (under the container's lock, or core/resolution.hpp's way for a
// resolution), convert the result. What an operation lets go of is released
// once the lock is free.
#include <iterator>
#include <string_view>
#include <utility>

#include "python/argument_binder.hpp"
#include "python/container_object.hpp"
#include "python/conversions.hpp"
#include "python/entry_guard.hpp"
#include "python/key_batch.hpp"
#include "core/resolution.hpp"
#include "runtime/objects.hpp"

namespace quorix {
namespace {

using core::ContainerInner;
using core::KeyList;
using core::KeyText;
using core::RecordRef;
using core::Released;

constexpr const char* provider_names[] = {"key", "callable", "singleton", "is_async", "dep_keys"};
constexpr const char* key_names[] = {"key"};
constexpr const char* keys_names[] = {"keys"};
constexpr const char* set_cached_names[] = {"key", "value"};
// Methods with the same parameter names share their interned names.
PyObject* provider_interned[std::size(provider_names)];
PyObject* key_interned[std::size(key_names)];
PyObject* keys_interned[std::size(keys_names)];
PyObject* set_cached_interned[std::size(set_cached_names)];
KeywordNamesSeen provider_keywords_seen;
KeywordNamesSeen key_keywords_seen;
KeywordNamesSeen keys_keywords_seen;
KeywordNamesSeen set_cached_keywords_seen;

template <std::size_t N>
constexpr ParameterDescription describe(const char* method, const char* const (&names)[N], PyObject* (&interned)[N],
                                        KeywordNamesSeen& seen) {
    return {"Container", method, names, N, interned, &seen};
}

constexpr auto register_provider_description =
    describe("register_provider", provider_names, provider_interned, provider_keywords_seen);
constexpr auto set_override_description =
    describe("set_override", provider_names, provider_interned, provider_keywords_seen);
constexpr auto resolve_description = describe("resolve", key_names, key_interned, key_keywords_seen);
constexpr auto resolve_many_description = describe("resolve_many", keys_names, keys_interned, keys_keywords_seen);
constexpr auto resolve_many_plan_description =
    describe("resolve_many_plan", keys_names, keys_interned, keys_keywords_seen);
constexpr auto get_provider_info_description =
    describe("get_provider_info", key_names, key_interned, key_keywords_seen);
constexpr auto get_cached_description = describe("get_cached", key_names, key_interned, key_keywords_seen);
constexpr auto set_cached_description =
    describe("set_cached", set_cached_names, set_cached_interned, set_cached_keywords_seen);

OwnedRef none() { return OwnedRef::share(Py_None); }

Result<OwnedRef> none_or_error(Status status) {
    if (!status.ok()) {
        return std::move(status).error();
    }
    return none();
}

// A new list that takes over the values' references, unless they came as one.
OwnedRef list_of(core::BatchValues batch) {
    if (batch.list) {
        return std::move(batch.list);
    }
    std::vector<OwnedRef>& values = batch.values;
    OwnedRef list = new_list(static_cast<Py_ssize_t>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), values[i].release());
    }
    return list;
}

// Runs `change(ContainerInner&, Released&)` under the lock; then, with the
// lock free, releases what it let go of and what reads without the lock can
// no longer see.
template <class Change>
Result<OwnedRef> changed(PyObject* self, Change&& change) {
    core::Container& container = payload_of(self);
    Status status = [&] {
        Released released;  // released on the way out, after the lock
        return container.locked([&](ContainerInner& inner) -> Status { return change(inner, released); });
    }();
    if (status.ok()) {
        container.reclaim_retired();
    }
    return none_or_error(std::move(status));
}

// The converted arguments of register_provider and set_override.
struct NewRecord {
    KeyText key;
    RecordRef record;
};

Result<NewRecord> convert_new_record(const BoundArguments<5>& bound) {
    QUORIX_LET(key, convert_argument("key", bound[0], convert_text));
    OwnedRef callable = OwnedRef::share(bound[1]);
    QUORIX_LET(singleton, convert_argument("singleton", bound[2], convert_bool));
    QUORIX_LET(is_async, convert_argument("is_async", bound[3], convert_bool));
    QUORIX_LET(dep_keys, convert_argument("dep_keys", bound[4], convert_text_list));
    RecordRef record = core::make_record(key, std::move(callable), {std::move(dep_keys), singleton, is_async});
    return NewRecord{std::move(key), std::move(record)};
}

Result<OwnedRef> register_provider(PyObject* self, const BoundArguments<5>& bound) {
    QUORIX_LET(made, convert_new_record(bound));
    return changed(self, [&](ContainerInner& inner, Released& released) -> Status {
        inner.register_provider(std::move(made.key), std::move(made.record), released);
        return success();
    });
}

Result<OwnedRef> set_override(PyObject* self, const BoundArguments<5>& bound) {
    QUORIX_LET(made, convert_new_record(bound));
    return changed(self, [&](ContainerInner& inner, Released& released) -> Status {
        inner.set_override(std::move(made.key), std::move(made.record), released);
        return success();
    });
}

PyObject* begin_override_layer(PyObject* self, PyObject*) {
    return guard_entry([&]() -> Result<OwnedRef> {
        return changed(self, [](ContainerInner& inner, Released&) -> Status {
            inner.begin_override_layer();
            return success();
        });
    });
}

PyObject* end_override_layer(PyObject* self, PyObject*) {
    return guard_entry([&]() -> Result<OwnedRef> {
        return changed(self, [](ContainerInner& inner, Released& released) -> Status {
            inner.end_override_layer(released);
            return success();
        });
    });
}

// A key argument of `resolve` and `get_cached` as the core takes it: an exact
// `str` comes with what the key memo says of it, read without taking the
// container where that is sound, so that the core need not ask again.
core::RequestedKey requested_key(core::Container& container, PyObject* argument) noexcept {
    core::RequestedKey key;
    if (Py_TYPE(argument) == &PyUnicode_Type) {
        key.exact_str = argument;
        key.memo = container.read_memo(argument);
    }
    return key;
}

// The cached value the call answers at once, found without taking the
// container: the memo's record's where reads may skip the lock, else the one
// published for reads without it.
OwnedRef remembered_value(core::Container& container, const core::RequestedKey& key) noexcept {
    if constexpr (capability::reads_may_skip_container_lock) {
        const core::Provider* record = key.memo.record;
        return record != nullptr && !record->being_made() ? record->cached.clone() : OwnedRef();
    } else {
        return key.exact_str != nullptr ? container.read_published(key.exact_str) : OwnedRef();
    }
}

// Runs `work(const RequestedKey&)` with the key's text: lent by the argument
// itself where it can, else converted (with the conversion's errors, before
// the container is touched).
template <class Work>
Result<OwnedRef> with_key_text(PyObject* argument, core::RequestedKey& key, Work&& work) {
    if (key.exact_str != nullptr && lend_exact_key_text(argument, key.text)) {
        return work(key);
    }
    QUORIX_LET(converted, convert_argument("key", argument, convert_key));
    key.text = converted.text();
    return work(key);
}

Result<OwnedRef> resolve(PyObject* self, const BoundArguments<1>& bound) {
    core::Container& container = payload_of(self);
    core::RequestedKey key = requested_key(container, bound[0]);
    // A cached singleton answers at once.
    if (OwnedRef value = remembered_value(container, key)) {
        return value;
    }
    return with_key_text(bound[0], key,
                         [&](const core::RequestedKey& requested) { return core::resolve(container, requested); });
}

Result<OwnedRef> resolve_many(PyObject* self, const BoundArguments<1>& bound) {
    QUORIX_LET(batch, convert_argument("keys", bound[0], convert_key_batch));
    QUORIX_LET(values, core::resolve_many(payload_of(self), batch.keys()));
    return list_of(std::move(values));
}

Result<OwnedRef> resolve_many_plan(PyObject* self, const BoundArguments<1>& bound) {
    // A request made again of the same `str` objects finds its kept order by
    // their identity. The list is read only once the container is ours: while
    // this thread waited for it, the holder's providers could change the list.
    // From then on, reading an exact list or tuple runs no Python code, and
    // nothing else can run before the order is found, so the items read are
    // the items the request holds.
    PyObject* sequence = bound[0];
    const bool list = Py_TYPE(sequence) == &PyList_Type;
    if (capability::reads_may_skip_container_lock && (list || Py_TYPE(sequence) == &PyTuple_Type)) {
        auto item_at = [sequence, list](std::size_t i) {
            const auto index = static_cast<Py_ssize_t>(i);
            return list ? PyList_GetItem(sequence, index) : PyTuple_GetItem(sequence, index);
        };
        auto count = [sequence, list] {
            return static_cast<std::size_t>(list ? PyList_Size(sequence) : PyTuple_Size(sequence));
        };
        QUORIX_LET(kept, core::resolve_kept_plan(payload_of(self), count, item_at));
        if (kept) {
            return list_of(std::move(*kept));
        }
    }
    QUORIX_LET(batch, convert_argument("keys", bound[0], convert_key_batch));
    QUORIX_LET(values, core::resolve_many_plan(payload_of(self), batch.keys()));
    return list_of(std::move(values));
}

Result<OwnedRef> get_provider_info(PyObject* self, const BoundArguments<1>& bound) {
    QUORIX_LET(key, convert_argument("key", bound[0], convert_key));
    QUORIX_LET(provider,
               payload_of(self).locked([&](ContainerInner& inner) { return inner.get_provider_info(key.text()); }));
    // The Python objects are built after the lock is released.
    const KeyList& dep_keys = provider.meta.dep_keys;
    OwnedRef keys = new_list(static_cast<Py_ssize_t>(dep_keys.size()));
    for (std::size_t i = 0; i < dep_keys.size(); ++i) {
        PyList_SetItem(keys.get(), static_cast<Py_ssize_t>(i), new_str(dep_keys[i]).release());
    }
    OwnedRef info = new_tuple(4);
    PyTuple_SetItem(info.get(), 0, provider.callable.release());
    PyTuple_SetItem(info.get(), 1, OwnedRef::share(provider.meta.singleton ? Py_True : Py_False).release());
    PyTuple_SetItem(info.get(), 2, OwnedRef::share(provider.meta.is_async ? Py_True : Py_False).release());
    PyTuple_SetItem(info.get(), 3, keys.release());
    return info;
}

Result<OwnedRef> get_cached(PyObject* self, const BoundArguments<1>& bound) {
    core::Container& container = payload_of(self);
    core::RequestedKey key = requested_key(container, bound[0]);
    if (OwnedRef value = remembered_value(container, key)) {
        return value;
    }
    // Keys are found as `resolve` finds them, an exact `str` through the key memo.
    return with_key_text(bound[0], key, [&](const core::RequestedKey& requested) -> Result<OwnedRef> {
        QUORIX_LET(value, container.locked([&](ContainerInner& inner) -> Result<OwnedRef> {
            return inner.get_cached(requested);
        }));
        return value ? std::move(value) : none();
    });
}

Result<OwnedRef> set_cached(PyObject* self, const BoundArguments<2>& bound) {
    QUORIX_LET(key, convert_argument("key", bound[0], convert_key));
    OwnedRef value = OwnedRef::share(bound[1]);  // held for the call
    return changed(self, [&](ContainerInner& inner, Released& released) {
        return inner.set_cached(key.text(), value.borrow(), released);
    });
}

// The interpreter's entry for a method with parameters: bind, then run the
// method's body on the bound arguments, all inside the entry guard.
template <std::size_t N>
using MethodBody = Result<OwnedRef> (*)(PyObject* self, const BoundArguments<N>& bound);

constexpr int binding_flags = capability::keyword_method_flags;

// Where the level has fastcall methods: no argument tuple, and no keyword
// dictionary.
template <const ParameterDescription& description, std::size_t N, MethodBody<N> body>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static_assert(description.count == N);
    return guard_entry([&]() -> Result<OwnedRef> {
        BoundArguments<N> bound;
        QUORIX_TRY(bind_fastcall(description, args, nargs, kwnames, bound.slots.data()));
        return body(self, bound);
    });
}

template <const ParameterDescription& description, std::size_t N, MethodBody<N> body>
PyObject* tuple_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    static_assert(description.count == N);
    return guard_entry([&]() -> Result<OwnedRef> {
        OwnedRef keywords;  // what the slots may borrow from, kept until the body has returned
        BoundArguments<N> bound;
        QUORIX_TRY(bind_arguments(description, args, kwargs, bound.slots.data(), keywords));
        return body(self, bound);
    });
}

// The entry of the kind `binding_flags` tells the interpreter.
template <const ParameterDescription& description, std::size_t N, MethodBody<N> body>
constexpr auto entry = [] {
    if constexpr (capability::fastcall_methods) {
        return &fastcall_entry<description, N, body>;
    } else {
        return &tuple_entry<description, N, body>;
    }
}();

template <class Method>
PyCFunction as_function(Method method) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

}  // namespace

PyMethodDef container_methods[] = {
    {"register_provider", as_function(entry<register_provider_description, 5, register_provider>), binding_flags,
     "register_provider($self, key, callable, singleton, is_async, dep_keys)\n--\n\n"},
    {"resolve", as_function(entry<resolve_description, 1, resolve>), binding_flags, "resolve($self, key)\n--\n\n"},
    {"resolve_many", as_function(entry<resolve_many_description, 1, resolve_many>), binding_flags,
     "resolve_many($self, keys)\n--\n\n"},
    {"resolve_many_plan", as_function(entry<resolve_many_plan_description, 1, resolve_many_plan>), binding_flags,
     "resolve_many_plan($self, keys)\n--\n\n"},
    {"begin_override_layer", as_function(begin_override_layer), METH_NOARGS, "begin_override_layer($self)\n--\n\n"},
    {"set_override", as_function(entry<set_override_description, 5, set_override>), binding_flags,
     "set_override($self, key, callable, singleton, is_async, dep_keys)\n--\n\n"},
    {"get_provider_info", as_function(entry<get_provider_info_description, 1, get_provider_info>), binding_flags,
     "get_provider_info($self, key)\n--\n\n"},
    {"get_cached", as_function(entry<get_cached_description, 1, get_cached>), binding_flags,
     "get_cached($self, key)\n--\n\n"},
    {"set_cached", as_function(entry<set_cached_description, 2, set_cached>), binding_flags,
     "set_cached($self, key, value)\n--\n\n"},
    {"end_override_layer", as_function(end_override_layer), METH_NOARGS, "end_override_layer($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorix
