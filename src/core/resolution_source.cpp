#include "core/resolution_source.hpp"

#include <algorithm>

#include "core/container_inner.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/objects.hpp"

namespace quorix::core {
namespace {

std::string numbered(const char* prefix, std::size_t number) {
    std::string name(prefix);
    name += std::to_string(number);
    return name;
}

std::size_t index_of(std::vector<Provider*>& records, Provider& record) {
    auto found = std::find(records.begin(), records.end(), &record);
    if (found != records.end()) {
        return static_cast<std::size_t>(found - records.begin());
    }
    records.push_back(&record);
    return records.size() - 1;
}

std::string list_of(const std::vector<std::string>& names) {
    std::string list = "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            list += ", ";
        }
        list += names[i];
    }
    list += ']';
    return list;
}

void set_item(BorrowedRef dict, const std::string& name, BorrowedRef value) {
    if (PyDict_SetItemString(dict.get(), name.c_str(), value.get()) != 0) {
        fail_python_api_call();
    }
}

}  // namespace

bool ResolutionSource::parameter(Provider& record, std::string& value) {
    value = numbered("a", index_of(singletons_, record));
    return singletons_.size() <= CompiledResolutions::max_singletons;
}

bool ResolutionSource::call(Provider& record, std::string& value, const std::vector<std::string>& arguments) {
    if (++calls_ > CompiledResolutions::max_calls || PyCallable_Check(record.callable.get()) == 0) {
        return false;  // a non-callable fails inside the walk, with its own error
    }
    value = numbered("c", index_of(callables_, record));
    value += '(';
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (i != 0) {
            value += ", ";
        }
        value += arguments[i];
    }
    value += ')';
    return true;
}

bool ResolutionSource::write_walk(Provider& record, std::string& value) {
    if (record.meta.singleton && !path_.empty()) {
        return parameter(record, value);
    }
    // Every record on the path is called once its dependencies are written,
    // so the path is bounded by the calls too, and so is this recursion.
    if (record.meta.is_async || calls_ + path_.size() >= CompiledResolutions::max_calls ||
        std::find(path_.begin(), path_.end(), &record) != path_.end()) {
        return false;
    }
    path_.push_back(&record);
    const std::vector<Provider*>& dependencies = inner_.dependency_records(record);
    std::vector<std::string> arguments(dependencies.size());
    for (std::size_t i = 0; i < dependencies.size(); ++i) {
        if (dependencies[i] == nullptr || !write_walk(*dependencies[i], arguments[i])) {
            return false;
        }
    }
    path_.pop_back();
    return call(record, value, arguments);
}

bool ResolutionSource::write_walks(RequestedKeys keys, std::string& values) {
    std::vector<std::string> names(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        Provider* record = inner_.effective_provider(keys[i].text);
        if (record == nullptr) {
            return false;
        }
        if (!(record->meta.singleton ? parameter(*record, names[i]) : write_walk(*record, names[i]))) {
            return false;
        }
    }
    values = list_of(names);
    return true;
}

bool ResolutionSource::write_order(const CompiledOrder& order, std::string& values) {
    std::vector<std::string> names(order.steps.size());
    for (std::size_t index = 0; index < order.steps.size(); ++index) {
        const CompiledOrder::Step& step = order.steps[index];
        Provider& record = *step.record;
        if (record.meta.singleton) {
            // Its dependencies are steps of their own, called all the same.
            if (!parameter(record, names[index])) {
                return false;
            }
            continue;
        }
        std::vector<std::string> arguments(record.meta.dep_keys.size());
        for (std::size_t d = 0; d < arguments.size(); ++d) {
            const std::size_t placed = order.argument_steps[step.first_argument + d];
            if (placed == CompiledOrder::not_placed) {
                return false;
            }
            arguments[d] = names[placed];
        }
        std::string expression;
        if (!call(record, expression, arguments)) {
            return false;
        }
        names[index] = numbered("t", locals_++);
        line({names[index], " = ", expression});
    }
    std::vector<std::string> requested(order.requested_steps.size());
    for (std::size_t i = 0; i < requested.size(); ++i) {
        if (order.requested_steps[i] == CompiledOrder::not_placed) {
            return false;
        }
        requested[i] = names[order.requested_steps[i]];
    }
    values = list_of(requested);
    return true;
}

void ResolutionSource::line(std::initializer_list<std::string_view> parts) {
    body_ += ' ';
    for (std::string_view part : parts) {
        body_ += part;
    }
    body_ += '\n';
}

Result<std::optional<CompiledResolution>> ResolutionSource::define(std::string_view value) {
    line({"return ", value});
    std::string source = "def resolve(";
    for (std::size_t i = 0; i < singletons_.size(); ++i) {
        source += numbered(i == 0 ? "a" : ", a", i);
    }
    source += "):\n";
    source += body_;
    OwnedRef globals = created_object(PyDict_New());
    for (std::size_t i = 0; i < callables_.size(); ++i) {
        set_item(globals.borrow(), numbered("c", i), callables_[i]->callable.borrow());
    }
    QUORIX_LET(function, define_function(source, "resolve", globals.borrow()));
    if (!function) {
        return std::optional<CompiledResolution>();
    }
    return std::optional<CompiledResolution>(CompiledResolution{std::move(*function), std::move(singletons_)});
}

}  // namespace quorix::core
