#include "python/argument_binder.hpp"

#include "python/conversions.hpp"

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

}  // namespace

Status bind_arguments(const ParameterDescription& parameters, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
    const auto count = static_cast<Py_ssize_t>(parameters.count);
    if (given > count) {
        return binder_error(full_name(parameters) + " takes " + std::to_string(count) +
                            " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
                            " given");
    }
    for (Py_ssize_t i = 0; i < given; ++i) {
        slots[i] = PyTuple_GetItem(args, i);
    }
    for (Py_ssize_t i = given; i < count; ++i) {
        slots[i] = nullptr;
    }

    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            if ((PyType_GetFlags(Py_TYPE(keyword)) & Py_TPFLAGS_UNICODE_SUBCLASS) == 0) {
                return type_mismatch_error(keyword, "PyString");
            }
            // Parameter names are ASCII, so comparing code points is comparing
            // the UTF-8 bytes, without encoding the keyword.
            Py_ssize_t target = -1;
            for (Py_ssize_t i = 0; i < count; ++i) {
                if (PyUnicode_CompareWithASCIIString(keyword, parameters.names[i]) == 0) {
                    target = i;
                    break;
                }
            }
            if (target >= 0 && slots[target] != nullptr) {
                return binder_error(full_name(parameters) + " got multiple values for argument '" +
                                    parameters.names[target] + "'");
            }
            if (target < 0) {
                std::string name;
                str_of(keyword, name);
                return binder_error(full_name(parameters) + " got an unexpected keyword argument '" + name + "'");
            }
            slots[target] = value;
        }
    }

    std::vector<const char*> missing;
    for (Py_ssize_t i = given; i < count; ++i) {
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

}  // namespace quorix
