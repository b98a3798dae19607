// The methods of `Container`: bind and convert the arguments, run the core
// operation under the container's lock, convert the result.
#include <utility>

#include "python/argument_binder.hpp"
#include "python/container_object.hpp"
#include "python/conversions.hpp"
#include "python/entry_guard.hpp"
#include "python/objects.hpp"

namespace quorix {
namespace {

using core::ContainerInner;
using core::KeyList;
using core::KeyText;
using core::Provider;

template <std::size_t N>
struct Parameters {
    const char* names[N];
    ParameterDescription description(const char* method) const { return {"Container", method, names, N}; }
};

const Parameters<5> provider_parameters{{"key", "callable", "singleton", "is_async", "dep_keys"}};
const Parameters<1> key_parameter{{"key"}};
const Parameters<1> keys_parameter{{"keys"}};
const Parameters<2> set_cached_parameters{{"key", "value"}};

const ParameterDescription register_provider_description = provider_parameters.description("register_provider");
const ParameterDescription set_override_description = provider_parameters.description("set_override");
const ParameterDescription resolve_description = key_parameter.description("resolve");
const ParameterDescription resolve_many_description = keys_parameter.description("resolve_many");
const ParameterDescription resolve_many_plan_description = keys_parameter.description("resolve_many_plan");
const ParameterDescription get_provider_info_description = key_parameter.description("get_provider_info");
const ParameterDescription get_cached_description = key_parameter.description("get_cached");
const ParameterDescription set_cached_description = set_cached_parameters.description("set_cached");

OwnedRef none() { return OwnedRef::share(Py_None); }

Result<OwnedRef> none_or_error(Status status) {
    if (!status.ok()) {
        return std::move(status).error();
    }
    return none();
}

// A new list that takes over the values' references.
OwnedRef list_of(std::vector<OwnedRef> values) {
    OwnedRef list = new_list(static_cast<Py_ssize_t>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), values[i].release());
    }
    return list;
}

// The converted arguments of register_provider and set_override.
struct NewRecord {
    KeyText key;
    Provider record;
};

Result<NewRecord> convert_new_record(const ParameterDescription& description, PyObject* args, PyObject* kwargs) {
    BoundArguments<5> bound;
    QUORIX_TRY(bind_arguments(description, args, kwargs, bound.slots.data()));
    QUORIX_LET(key, convert_argument("key", bound[0], convert_text));
    OwnedRef callable = OwnedRef::share(bound[1]);
    QUORIX_LET(singleton, convert_argument("singleton", bound[2], convert_bool));
    QUORIX_LET(is_async, convert_argument("is_async", bound[3], convert_bool));
    QUORIX_LET(dep_keys, convert_argument("dep_keys", bound[4], convert_text_list));
    return NewRecord{std::move(key), Provider(std::move(callable), {std::move(dep_keys), singleton, is_async})};
}

Result<KeyText> convert_key_only(const ParameterDescription& description, PyObject* args, PyObject* kwargs) {
    BoundArguments<1> bound;
    QUORIX_TRY(bind_arguments(description, args, kwargs, bound.slots.data()));
    return convert_argument("key", bound[0], convert_text);
}

Result<KeyList> convert_keys_only(const ParameterDescription& description, PyObject* args, PyObject* kwargs) {
    BoundArguments<1> bound;
    QUORIX_TRY(bind_arguments(description, args, kwargs, bound.slots.data()));
    return convert_argument("keys", bound[0], convert_text_list);
}

PyObject* register_provider(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_entry([&]() -> Result<OwnedRef> {
        QUORIX_LET(made, convert_new_record(register_provider_description, args, kwargs));
        return none_or_error(payload_of(self).locked([&](ContainerInner& inner) -> Status {
            inner.register_provider(std::move(made.key), std::move(made.record));
            return success();
        }));
    });
}

PyObject* set_override(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_entry([&]() -> Result<OwnedRef> {
        QUORIX_LET(made, convert_new_record(set_override_description, args, kwargs));
        return none_or_error(payload_of(self).locked([&](ContainerInner& inner) -> Status {
            // Moved in, so a record dropped for want of a layer is released under the lock.
            inner.set_override(std::move(made.key), std::move(made.record));
            return success();
        }));
    });
}

PyObject* begin_override_layer(PyObject* self, PyObject*) {
    return guard_entry([&]() -> Result<OwnedRef> {
        return none_or_error(payload_of(self).locked([](ContainerInner& inner) -> Status {
            inner.begin_override_layer();
            return success();
        }));
    });
}

PyObject* end_override_layer(PyObject* self, PyObject*) {
    return guard_entry([&]() -> Result<OwnedRef> {
        return none_or_error(payload_of(self).locked([](ContainerInner& inner) -> Status {
            inner.end_override_layer();
            return success();
        }));
    });
}

PyObject* resolve(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_entry([&]() -> Result<OwnedRef> {
        QUORIX_LET(key, convert_key_only(resolve_description, args, kwargs));
        return payload_of(self).locked([&](ContainerInner& inner) { return inner.resolve_top_level(key); });
    });
}

PyObject* resolve_many(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_entry([&]() -> Result<OwnedRef> {
        QUORIX_LET(keys, convert_keys_only(resolve_many_description, args, kwargs));
        QUORIX_LET(values, payload_of(self).locked([&](ContainerInner& inner) { return inner.resolve_many(keys); }));
        return list_of(std::move(values));
    });
}

PyObject* resolve_many_plan(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_entry([&]() -> Result<OwnedRef> {
        QUORIX_LET(keys, convert_keys_only(resolve_many_plan_description, args, kwargs));
        QUORIX_LET(values,
                   payload_of(self).locked([&](ContainerInner& inner) { return inner.resolve_many_plan(keys); }));
        return list_of(std::move(values));
    });
}

PyObject* get_provider_info(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_entry([&]() -> Result<OwnedRef> {
        QUORIX_LET(key, convert_key_only(get_provider_info_description, args, kwargs));
        QUORIX_LET(provider,
                   payload_of(self).locked([&](ContainerInner& inner) { return inner.get_provider_info(key); }));
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
    });
}

PyObject* get_cached(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_entry([&]() -> Result<OwnedRef> {
        QUORIX_LET(key, convert_key_only(get_cached_description, args, kwargs));
        QUORIX_LET(value, payload_of(self).locked([&](ContainerInner& inner) -> Result<OwnedRef> {
            return inner.get_cached(key);
        }));
        return value ? std::move(value) : none();
    });
}

PyObject* set_cached(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_entry([&]() -> Result<OwnedRef> {
        BoundArguments<2> bound;
        QUORIX_TRY(bind_arguments(set_cached_description, args, kwargs, bound.slots.data()));
        QUORIX_LET(key, convert_argument("key", bound[0], convert_text));
        OwnedRef value = OwnedRef::share(bound[1]);  // held for the call
        return none_or_error(payload_of(self).locked(
            [&](ContainerInner& inner) { return inner.set_cached(key, value.borrow()); }));
    });
}

template <class Method>
PyCFunction as_function(Method method) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

}  // namespace

PyMethodDef container_methods[] = {
    {"register_provider", as_function(register_provider), METH_VARARGS | METH_KEYWORDS,
     "register_provider($self, key, callable, singleton, is_async, dep_keys)\n--\n\n"},
    {"resolve", as_function(resolve), METH_VARARGS | METH_KEYWORDS, "resolve($self, key)\n--\n\n"},
    {"resolve_many", as_function(resolve_many), METH_VARARGS | METH_KEYWORDS, "resolve_many($self, keys)\n--\n\n"},
    {"resolve_many_plan", as_function(resolve_many_plan), METH_VARARGS | METH_KEYWORDS,
     "resolve_many_plan($self, keys)\n--\n\n"},
    {"begin_override_layer", as_function(begin_override_layer), METH_NOARGS, "begin_override_layer($self)\n--\n\n"},
    {"set_override", as_function(set_override), METH_VARARGS | METH_KEYWORDS,
     "set_override($self, key, callable, singleton, is_async, dep_keys)\n--\n\n"},
    {"get_provider_info", as_function(get_provider_info), METH_VARARGS | METH_KEYWORDS,
     "get_provider_info($self, key)\n--\n\n"},
    {"get_cached", as_function(get_cached), METH_VARARGS | METH_KEYWORDS, "get_cached($self, key)\n--\n\n"},
    {"set_cached", as_function(set_cached), METH_VARARGS | METH_KEYWORDS, "set_cached($self, key, value)\n--\n\n"},
    {"end_override_layer", as_function(end_override_layer), METH_NOARGS, "end_override_layer($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorix
