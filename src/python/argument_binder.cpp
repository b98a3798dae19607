#include "python/argument_binder.hpp"

#include <atomic>
#include <string>
#include <vector>

#include "python/conversions.hpp"
#include "runtime/objects.hpp"

namespace quorix {
namespace {

std::string full_name(const ParameterDescription& parameters) {
    std::string name = parameters.class_name;
    name.append(".").append(parameters.method_name).append("()");
    return name;
}

ErrorResult binder_error(std::string message) {
    return ErrorResult::deferred(PyExc_TypeError, std::move(message));
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_name_list(const std::vector<const char*>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            list.append(names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", "));
        }
        list.append("'").append(names[i]).append("'");
    }
    return list;
}

// The parameter's interned name, made on first use; null if it cannot be made
// (then names are compared by value only).
PyObject* interned_name(const ParameterDescription& parameters, std::size_t index) {
    if (parameters.interned_names == nullptr) {
        return nullptr;
    }
    std::atomic_ref<PyObject*> slot(parameters.interned_names[index]);
    if (PyObject* name = slot.load(std::memory_order_acquire)) {
        return name;
    }
    OwnedRef made = OwnedRef::steal(PyUnicode_InternFromString(parameters.names[index]));
    if (!made) {
        PyErr_Clear();
        return nullptr;
    }
    // Kept for the life of the process, like the type that uses it. Threads
    // that make it at once (no GIL orders them) keep the first one stored.
    PyObject* stored = nullptr;
    if (slot.compare_exchange_strong(stored, made.get(), std::memory_order_acq_rel)) {
        return made.release();
    }
    return stored;
}

// The index of the parameter that `keyword` (a `str`) names, or -1.
Py_ssize_t parameter_index(const ParameterDescription& parameters, PyObject* keyword) {
    const auto count = static_cast<Py_ssize_t>(parameters.count);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (interned_name(parameters, static_cast<std::size_t>(i)) == keyword) {
            return i;
        }
    }
    // Parameter names are ASCII, so comparing code points is comparing the
    // UTF-8 bytes, without encoding the keyword.
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, parameters.names[i]) == 0) {
            return i;
        }
    }
    return -1;
}

// Step 1: more positional arguments than parameters fails before any keyword
// is looked at.
Status check_positional_count(const ParameterDescription& parameters, Py_ssize_t given) {
    const auto count = static_cast<Py_ssize_t>(parameters.count);
    if (given > count) {
        return binder_error(full_name(parameters) + " takes " + std::to_string(count) +
                            " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
                            " given");
    }
    return success();
}

ErrorResult unexpected_keyword_error(const ParameterDescription& parameters, PyObject* keyword) {
    // Built from the keyword object itself, so no code point is lost.
    OwnedRef name = str_object_of(keyword);
    if (!name) {
        return binder_error(full_name(parameters) + " got an unexpected keyword argument ''");
    }
    return ErrorResult::deferred(PyExc_TypeError,
                                 created_object(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'",
                                                                     full_name(parameters).c_str(), name.get())));
}

// Step 3, for one keyword in the caller's order.
Status bind_keyword(const ParameterDescription& parameters, PyObject* keyword, PyObject* value, PyObject** slots) {
    if (!is_str(keyword)) {
        return type_mismatch_error(keyword, "PyString");
    }
    const Py_ssize_t target = parameter_index(parameters, keyword);
    if (target < 0) {
        return unexpected_keyword_error(parameters, keyword);
    }
    if (slots[target] != nullptr) {
        return binder_error(full_name(parameters) + " got multiple values for argument '" + parameters.names[target] +
                            "'");
    }
    slots[target] = value;
    return success();
}

// Step 4: every required slot after the positional ones must be filled.
Status check_missing(const ParameterDescription& parameters, Py_ssize_t given, PyObject* const* slots) {
    std::vector<const char*> missing;
    for (auto i = static_cast<std::size_t>(given); i < parameters.count; ++i) {
        if (slots[i] == nullptr) {
            missing.push_back(parameters.names[i]);
        }
    }
    if (!missing.empty()) {
        return binder_error(full_name(parameters) + " missing " + std::to_string(missing.size()) +
                            " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                            quoted_name_list(missing));
    }
    return success();
}

// Step 2.
template <class Positional>
void place_positional(const ParameterDescription& parameters, Py_ssize_t given, PyObject** slots,
                      Positional positional) {
    for (Py_ssize_t i = 0; i < given; ++i) {
        slots[i] = positional(i);
    }
    for (auto i = static_cast<std::size_t>(given); i < parameters.count; ++i) {
        slots[i] = nullptr;
    }
}

}  // namespace

Status bind_arguments(const ParameterDescription& parameters, PyObject* args, PyObject* kwargs, PyObject** slots,
                      OwnedRef& keywords) {
    const Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
    QUORIX_TRY(check_positional_count(parameters, given));
    place_positional(parameters, given, slots, [args](Py_ssize_t i) { return PyTuple_GetItem(args, i); });
    if (kwargs != nullptr) {
        // A caller's own dictionary can reach here (a C call of the type), and
        // without the GIL another thread could drop a key while it is looked
        // at: walk a copy of our own, which the slots then borrow from.
        if constexpr (capability::dicts_change_while_walked) {
            keywords = OwnedRef::steal(PyDict_Copy(kwargs));
            if (!keywords) {
                return take_current_exception();
            }
            kwargs = keywords.get();
        }
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            QUORIX_TRY(bind_keyword(parameters, keyword, value, slots));
        }
    }
    return check_missing(parameters, given, slots);
}

Status bind_fastcall_arguments(const ParameterDescription& parameters, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames, PyObject** slots) {
    QUORIX_TRY(check_positional_count(parameters, nargs));
    place_positional(parameters, nargs, slots, [args](Py_ssize_t i) { return args[i]; });
    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_Size(kwnames);
        for (Py_ssize_t i = 0; i < keywords; ++i) {
            QUORIX_TRY(bind_keyword(parameters, PyTuple_GetItem(kwnames, i), args[nargs + i], slots));
        }
    }
    return check_missing(parameters, nargs, slots);
}

}  // namespace quorix
