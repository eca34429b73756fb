// Binding of Python calls to the routing function: the parameter table and
// argument matcher, the conversions of each argument (and of the routed
// hydrograph back into a Python list), and the function record.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "binding/py_err.hpp"
#include "binding/references.hpp"
#include "reach_routing/hydrograph.hpp"

namespace brooklet::binding {

// ============================================================ parameter table

struct KeywordOnlyParameter {
    std::string_view name;
    bool required;
};

// The static signature of one callable function.
struct FunctionDescription {
    std::string_view func_name;
    std::span<const std::string_view> positional_parameter_names;
    std::span<const KeywordOnlyParameter> keyword_only_parameters;
    std::optional<std::string_view> cls_name;
    std::size_t positional_only_parameters;
    std::size_t required_positional_parameters;

    // "name()" or "Class.name()", as messages show it.
    [[nodiscard]] std::string full_name() const;

    [[nodiscard]] PyErr too_many_positional_arguments(std::size_t given) const;
    [[nodiscard]] PyErr multiple_values_for_argument(std::string_view name) const;
    [[nodiscard]] PyErr unexpected_keyword_argument(PyObject* name) const;
    [[nodiscard]] PyErr positional_only_keyword_arguments(std::span<const std::string_view> names) const;
    [[nodiscard]] PyErr missing_required_positional_arguments(std::span<PyObject* const> slots) const;
    [[nodiscard]] PyErr missing_required_keyword_arguments(std::span<PyObject* const> keyword_slots) const;
    [[nodiscard]] PyErr missing_required_arguments(std::string_view kind,
                                                   std::span<const std::string_view> names) const;
};

// Places the positional and keyword arguments of a vectorcall into `slots`
// (one per positional parameter, then one per keyword-only parameter) as
// borrowed references, or fails with the TypeError a Python function would give.
[[nodiscard]] PyResult<void> extract_arguments_fastcall(const FunctionDescription& description,
                                                        PyObject* const* args, Py_ssize_t nargs,
                                                        PyObject* kwnames, std::span<PyObject*> slots);

// Names the parameter in a conversion's TypeError (exact class only).
[[nodiscard]] PyErr argument_extraction_error(std::string_view parameter, PyErr error);

// ================================================================ conversions

// A lazy TypeError with `message`.
[[nodiscard]] inline PyErr type_error(std::string message) {
    return PyErr::lazy(PyExc_TypeError, std::move(message));
}

// An object that failed a type test, and the type it should have had.
struct DowncastError {
    PyObject* from;  // borrowed
    const char* to;

    [[nodiscard]] PyErr into_pyerr() const;
};

[[nodiscard]] PyResult<double> extract_float(PyObject* object);
[[nodiscard]] PyResult<std::int64_t> extract_i64(PyObject* object);
[[nodiscard]] PyResult<reach_routing::Hydrograph> extract_float_sequence(PyObject* object);
[[nodiscard]] bool is_timedelta(PyObject* object);
[[nodiscard]] PyResult<reach_routing::Duration> duration_from_timedelta(PyObject* object);

// A new list with one float per value.
[[nodiscard]] OwnedRef owned_sequence_into_pyobject(reach_routing::Hydrograph values);

// The span of a non-negative timedelta, or of an instance of a subclass,
// once the datetime API is loaded: read from its fields, as the duration
// conversion does, whatever the subclass defines in Python. Nothing
// otherwise; it runs no Python code.
[[nodiscard]] std::optional<reach_routing::Duration> plain_duration(PyObject* object);

// ================================================================ the function

// The method record behind every `muskingum_routing` function object; it lives
// for the whole process.
PyMethodDef* muskingum_routing_method();

}  // namespace brooklet::binding
