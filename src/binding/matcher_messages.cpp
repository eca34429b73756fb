// The argument matcher's messages: the TypeErrors a Python function would
// give for the same call, worded from the parameter table.
#include "binding/call_binding.hpp"

#include <vector>

#include "binding/message_text.hpp"

namespace brooklet::binding {

namespace {

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
void push_parameter_list(std::string& out, std::span<const std::string_view> names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) {
                out += ',';
            }
            out += i + 1 == names.size() ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
}

}  // namespace

std::string FunctionDescription::full_name() const {
    std::string name;
    if (cls_name) {
        name += *cls_name;
        name += '.';
    }
    name += func_name;
    name += "()";
    return name;
}

PyErr FunctionDescription::too_many_positional_arguments(std::size_t given) const {
    const std::size_t total = positional_parameter_names.size();
    std::string message = full_name();
    if (required_positional_parameters == total) {
        message += " takes " + std::to_string(total);
    } else {
        message += " takes from " + std::to_string(required_positional_parameters) + " to " +
                   std::to_string(total);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
               " given";
    return type_error(std::move(message));
}

PyErr FunctionDescription::multiple_values_for_argument(std::string_view name) const {
    return type_error(full_name() + " got multiple values for argument '" + std::string(name) + "'");
}

PyErr FunctionDescription::unexpected_keyword_argument(PyObject* name) const {
    std::string message = full_name() + " got an unexpected keyword argument '";
    python_format(name, str_of(name), message);
    message += '\'';
    return type_error(std::move(message));
}

PyErr FunctionDescription::positional_only_keyword_arguments(std::span<const std::string_view> names) const {
    std::string message = full_name() + " got some positional-only arguments passed as keyword arguments: ";
    push_parameter_list(message, names);
    return type_error(std::move(message));
}

PyErr FunctionDescription::missing_required_positional_arguments(std::span<PyObject* const> slots) const {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < required_positional_parameters; ++i) {
        if (slots[i] == nullptr) {
            missing.push_back(positional_parameter_names[i]);
        }
    }
    return missing_required_arguments("positional", missing);
}

PyErr FunctionDescription::missing_required_keyword_arguments(std::span<PyObject* const> keyword_slots) const {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < keyword_only_parameters.size(); ++i) {
        if (keyword_only_parameters[i].required && keyword_slots[i] == nullptr) {
            missing.push_back(keyword_only_parameters[i].name);
        }
    }
    return missing_required_arguments("keyword", missing);
}

PyErr FunctionDescription::missing_required_arguments(std::string_view kind,
                                                      std::span<const std::string_view> names) const {
    std::string message = full_name() + " missing " + std::to_string(names.size()) + " required " +
                          std::string(kind) + (names.size() == 1 ? " argument: " : " arguments: ");
    push_parameter_list(message, names);
    return type_error(std::move(message));
}

}  // namespace brooklet::binding
