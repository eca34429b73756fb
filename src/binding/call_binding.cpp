// Binding of Python calls to the routing function: the parameter table and
// argument matcher, the conversion of each argument, and the function record
// whose calls match, convert and route.
#include "binding/call_binding.hpp"

#include <datetime.h>

#include <array>
#include <utility>
#include <vector>

#include "binding/entry_guard.hpp"
#include "binding/float_list.hpp"
#include "binding/inflow_readers.hpp"
#include "binding/message_text.hpp"
#include "binding/route_without_buffer.hpp"
#include "binding/safe_points.hpp"
#include "reach_routing/muskingum.hpp"

namespace brooklet::binding {

using reach_routing::Duration;
using reach_routing::Hydrograph;

// ============================================================= argument matcher
//
// Matching runs in these steps; the first failure ends it.
//   1. Positionals fill the first slots in order; more than the parameters fail.
//   2. Each keyword fills the slot of the parameter it names (compared by length
//      and bytes); an unknown name or a second value fails, and positional-only
//      parameters named by keyword are collected.
//   3. Positional-only parameters given by keyword fail, all named at once.
//   4. Required positional parameters left empty fail, all named at once.
//   5. Required keyword-only parameters left empty fail, all named at once.

namespace {

std::optional<std::size_t> find_name(std::string_view name, auto&& names, auto&& name_of) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (name_of(names[i]) == name) {  // same length and bytes
            return i;
        }
    }
    return std::nullopt;
}

// Step 1.
PyResult<void> place_positionals(const FunctionDescription& description, PyObject* const* args,
                                 std::size_t given, std::span<PyObject*> slots) {
    const std::size_t positional_count = description.positional_parameter_names.size();
    for (std::size_t i = 0; i < given && i < positional_count; ++i) {
        slots[i] = args[i];
    }
    if (given > positional_count) {
        return failure(description.too_many_positional_arguments(given));
    }
    return {};
}

// Step 2, for the keyword `name_object` with `value`.
PyResult<void> place_keyword(const FunctionDescription& description, PyObject* name_object, PyObject* value,
                             std::span<PyObject*> slots,
                             std::vector<std::string_view>& positional_only_by_keyword) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name_object, &size);
    if (utf8 == nullptr) {
        (void)take();  // a name that is not UTF-8 names no parameter
        return failure(description.unexpected_keyword_argument(name_object));
    }
    const std::string_view name(utf8, static_cast<std::size_t>(size));
    const auto fill = [&](PyObject*& slot) -> PyResult<void> {
        if (slot != nullptr) {
            return failure(description.multiple_values_for_argument(name));
        }
        slot = value;
        return {};
    };
    const std::size_t positional_count = description.positional_parameter_names.size();
    if (auto keyword_only = find_name(name, description.keyword_only_parameters,
                                      [](const KeywordOnlyParameter& p) { return p.name; })) {
        return fill(slots[positional_count + *keyword_only]);
    }
    if (auto positional =
            find_name(name, description.positional_parameter_names, [](std::string_view p) { return p; })) {
        if (*positional < description.positional_only_parameters) {
            positional_only_by_keyword.push_back(description.positional_parameter_names[*positional]);
            return {};
        }
        return fill(slots[*positional]);
    }
    return failure(description.unexpected_keyword_argument(name_object));
}

// Step 4: true when a required positional parameter has no value.
bool any_required_positional_missing(const FunctionDescription& description, std::size_t given,
                                     std::span<PyObject* const> slots) {
    for (std::size_t i = given; i < description.required_positional_parameters; ++i) {
        if (slots[i] == nullptr) {
            return true;
        }
    }
    return false;
}

// Step 5: true when a required keyword-only parameter has no value.
bool any_required_keyword_missing(const FunctionDescription& description,
                                  std::span<PyObject* const> keyword_slots) {
    for (std::size_t i = 0; i < description.keyword_only_parameters.size(); ++i) {
        if (description.keyword_only_parameters[i].required && keyword_slots[i] == nullptr) {
            return true;
        }
    }
    return false;
}

}  // namespace

PyResult<void> extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
    const auto given = static_cast<std::size_t>(nargs);
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (args == nullptr && (given > 0 || keyword_count > 0)) {
        // Only a C caller that breaks the calling convention gets here; fail rather than read null.
        fail_fixed(keyword_count > 0 ? "keyword names given without an argument vector"
                                     : "arguments counted without an argument vector");
    }
    if (PyResult<void> placed = place_positionals(description, args, given, slots); !placed) {
        return placed;
    }
    std::vector<std::string_view> positional_only_by_keyword;
    for (Py_ssize_t j = 0; j < keyword_count; ++j) {
        if (PyResult<void> placed = place_keyword(description, PyTuple_GET_ITEM(kwnames, j), args[nargs + j],
                                                  slots, positional_only_by_keyword);
            !placed) {
            return placed;
        }
    }
    if (!positional_only_by_keyword.empty()) {
        return failure(description.positional_only_keyword_arguments(positional_only_by_keyword));
    }
    if (any_required_positional_missing(description, given, slots)) {
        return failure(description.missing_required_positional_arguments(slots));
    }
    const auto keyword_slots = slots.subspan(description.positional_parameter_names.size());
    if (any_required_keyword_missing(description, keyword_slots)) {
        return failure(description.missing_required_keyword_arguments(keyword_slots));
    }
    return {};
}

PyErr argument_extraction_error(std::string_view parameter, PyErr error) {
    PyObject* exception = make_normalized(error);
    if (Py_TYPE(exception) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        return error;
    }
    std::string message = "argument '" + std::string(parameter) + "': ";
    python_format(exception, str_of(exception), message);
    PyErr reworded = type_error(std::move(message));
    set_cause(reworded, cause(error));
    return reworded;
}

// ================================================================= conversions

PyErr DowncastError::into_pyerr() const {
    std::string message = "'";
    OwnedRef qualified_name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(from)));
    const char* utf8 = nullptr;
    Py_ssize_t size = 0;
    if (qualified_name) {
        utf8 = PyUnicode_AsUTF8AndSize(qualified_name.get(), &size);
    }
    if (utf8 != nullptr) {
        message.append(utf8, static_cast<std::size_t>(size));
    } else {
        (void)take();
        message += "<failed to extract type name>";
    }
    message += "' object cannot be converted to '";
    message += to;
    message += '\'';
    return type_error(std::move(message));
}

PyResult<double> extract_float(PyObject* object) {
    if (Py_IS_TYPE(object, &PyFloat_Type)) {
        return PyFloat_AS_DOUBLE(object);
    }
    // An exact int's __float__ is PyLong_AsDouble and a new float holding its
    // result; reading the int directly gives the same value, or the same
    // OverflowError, without the float.
    const double value = Py_IS_TYPE(object, &PyLong_Type) ? PyLong_AsDouble(object) : PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        return failure(fetch_error());
    }
    return value;
}

PyResult<std::int64_t> extract_i64(PyObject* object) {
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred() != nullptr) {
        return failure(fetch_error());
    }
    return static_cast<std::int64_t>(value);
}

PyResult<Hydrograph> extract_float_sequence(PyObject* object) {
    if (Py_IS_TYPE(object, &PyUnicode_Type) || PyType_IsSubtype(Py_TYPE(object), &PyUnicode_Type) != 0) {
        return failure(type_error("Can't extract `str` to `Vec`"));
    }
    if (PySequence_Check(object) == 0) {
        return failure(DowncastError{object, "Sequence"}.into_pyerr());
    }
    if (PyList_CheckExact(object)) {
        return read_list_items(object);
    }
    if (PyTuple_CheckExact(object)) {
        return read_tuple_items(object);
    }
    if (const std::optional<BufferExporter> exporter = buffer_exporter(object)) {
        if (std::optional<Hydrograph> values = read_numeric_buffer(object, *exporter)) {
            return std::move(*values);
        }
    }
    return read_by_iteration(object);
}

namespace {

OnceCell<PyDateTime_CAPI> datetime_api_cell;

PyDateTime_CAPI* expect_datetime_api() {
    if (PyDateTime_CAPI* api = datetime_api_cell.get_or_init([] {
            return static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 1));
        })) {
        return api;
    }
    fail_with_error("failed to import `datetime` C API", fetch_error());
}

// True when `object` is an instance of `delta_type` (the timedelta class) or of a subclass.
bool is_delta(PyObject* object, PyTypeObject* delta_type) {
    return Py_IS_TYPE(object, delta_type) || PyType_IsSubtype(Py_TYPE(object), delta_type) != 0;
}

// `object` when it is a timedelta, else the TypeError of a failed conversion to one.
PyResult<PyObject*> checked_timedelta(PyObject* object) {
    if (!is_timedelta(object)) {
        return failure(DowncastError{object, "PyDelta"}.into_pyerr());
    }
    return object;
}

// The span of a timedelta, or nothing when it is negative. Only days carry a
// sign, so every span below zero has negative days.
std::optional<Duration> duration_of(PyObject* timedelta) {
    const int days = PyDateTime_DELTA_GET_DAYS(timedelta);
    const int seconds = PyDateTime_DELTA_GET_SECONDS(timedelta);
    const int microseconds = PyDateTime_DELTA_GET_MICROSECONDS(timedelta);
    if (days < 0) {
        return std::nullopt;
    }
    return Duration{static_cast<std::uint64_t>(days) * 86400U + static_cast<std::uint64_t>(seconds),
                    static_cast<std::uint32_t>(microseconds) * 1000U};
}

// A new reference to a timedelta.
PyResult<OwnedRef> extract_timedelta(PyObject* object) {
    PyResult<PyObject*> timedelta = checked_timedelta(object);
    if (!timedelta) {
        return failure(std::move(timedelta.error()));
    }
    return OwnedRef::borrow(*timedelta);
}

}  // namespace

bool is_timedelta(PyObject* object) { return is_delta(object, expect_datetime_api()->DeltaType); }

PyResult<Duration> duration_from_timedelta(PyObject* object) {
    PyResult<PyObject*> timedelta = checked_timedelta(object);
    if (!timedelta) {
        return failure(std::move(timedelta.error()));
    }
    if (std::optional<Duration> duration = duration_of(*timedelta)) {
        return *duration;
    }
    return failure(PyErr::lazy(PyExc_ValueError, "cannot convert a negative timedelta to a duration"));
}

std::optional<Duration> plain_duration(PyObject* object) {
    PyDateTime_CAPI* api = datetime_api_cell.get();
    if (api == nullptr || !is_delta(object, api->DeltaType)) {
        return std::nullopt;
    }
    return duration_of(object);
}

OwnedRef owned_sequence_into_pyobject(Hydrograph values) {
    OwnedRef list = new_list(values.size());
    SafePoints safe_points;
    for (std::size_t i = 0; i < values.size(); ++i) {
        set_float_item(list.get(), i, values[i]);
        (void)safe_points.passed(SafePoints::float_units);
    }
    return filled(std::move(list));
}

// ================================================================ the function

namespace {

constexpr std::array<std::string_view, 6> muskingum_parameters = {
    "inflow", "k", "x", "time_step", "sub_reaches", "initial_outflow"};

const FunctionDescription muskingum_description{
    .func_name = "muskingum_routing",
    .positional_parameter_names = muskingum_parameters,
    .keyword_only_parameters = {},
    .cls_name = std::nullopt,
    .positional_only_parameters = 0,
    .required_positional_parameters = 6,
};

// Converts the argument in `slot` into `target`; a TypeError of the
// conversion is re-worded to name the parameter. Out of line, so that only
// the conversion under way holds stack while it runs Python code.
template <class T>
[[gnu::noinline]] PyResult<void> convert_argument(PyObject* slot, std::string_view parameter,
                                                  PyResult<T> (*convert)(PyObject*), T& target) {
    PyResult<T> converted = convert(slot);
    if (!converted) {
        return failure(argument_extraction_error(parameter, std::move(converted.error())));
    }
    target = std::move(*converted);
    return {};
}

// Conversions run one after another until one fails; the first failure is
// the outcome.
class Conversions {
public:
    template <class T>
    Conversions& convert(PyObject* slot, std::string_view parameter, PyResult<T> (*conversion)(PyObject*),
                         T& target) {
        if (outcome_) {
            outcome_ = convert_argument(slot, parameter, conversion, target);
        }
        return *this;
    }

    [[nodiscard]] PyResult<void> outcome() { return std::move(outcome_); }

private:
    PyResult<void> outcome_;
};

// The converted arguments, in parameter order, so that a call that fails
// part-way releases time_step, then k, then the inflow.
struct MuskingumArguments {
    Hydrograph inflow;
    OwnedRef k;
    double x = 0.0;
    OwnedRef time_step;
    std::int64_t sub_reaches = 0;
    double initial_outflow = 0.0;
};

// The six conversions, in parameter order; the first failure ends them.
[[gnu::noinline]] PyResult<void> convert_arguments(std::span<PyObject* const> slots, MuskingumArguments& converted) {
    return Conversions()
        .convert(slots[0], "inflow", extract_float_sequence, converted.inflow)
        .convert(slots[1], "k", extract_timedelta, converted.k)
        .convert(slots[2], "x", extract_float, converted.x)
        .convert(slots[3], "time_step", extract_timedelta, converted.time_step)
        .convert(slots[4], "sub_reaches", extract_i64, converted.sub_reaches)
        .convert(slots[5], "initial_outflow", extract_float, converted.initial_outflow)
        .outcome();
}

// Matches and converts the arguments, routes, and converts the result.
[[gnu::noinline]] PyResult<OwnedRef> match_convert_and_route(PyObject* const* args, Py_ssize_t nargs,
                                                             PyObject* kwnames) {
    std::array<PyObject*, muskingum_parameters.size()> slots{};
    if (PyResult<void> matched = extract_arguments_fastcall(muskingum_description, args, nargs, kwnames, slots);
        !matched) {
        return failure(std::move(matched.error()));
    }
    if (std::optional<OwnedRef> routed = route_without_buffer(slots)) {
        return std::move(*routed);
    }
    MuskingumArguments arguments;
    if (PyResult<void> converted = convert_arguments(slots, arguments); !converted) {
        return failure(std::move(converted.error()));
    }
    PyResult<Hydrograph> routed = reach_routing::muskingum_routing(
        std::move(arguments.inflow), std::move(arguments.k), arguments.x, std::move(arguments.time_step),
        arguments.sub_reaches, arguments.initial_outflow);
    if (!routed) {
        return failure(std::move(routed.error()));
    }
    return owned_sequence_into_pyobject(std::move(*routed));
}

// Leaves the interpreter's recursion guard, entered for one call, on every path.
class LeaveRecursiveCall {
public:
    LeaveRecursiveCall() noexcept = default;
    LeaveRecursiveCall(const LeaveRecursiveCall&) = delete;
    LeaveRecursiveCall& operator=(const LeaveRecursiveCall&) = delete;
    LeaveRecursiveCall(LeaveRecursiveCall&&) = delete;
    LeaveRecursiveCall& operator=(LeaveRecursiveCall&&) = delete;
    ~LeaveRecursiveCall() { Py_LeaveRecursiveCall(); }
};

// The interpreter's own guard against unbounded re-entry: an argument whose
// conversion calls `muskingum_routing` again, without end, ends the calls in
// RecursionError, whatever recursion limit the program set, before the C
// stack runs out.
PyResult<OwnedRef> call_muskingum_routing(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (Py_EnterRecursiveCall(" while calling muskingum_routing") != 0) {
        return failure(fetch_error());
    }
    const LeaveRecursiveCall leave;
    return match_convert_and_route(args, nargs, kwnames);
}

PyObject* trampoline(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_guard([&] { return call_muskingum_routing(args, nargs, kwnames); });
}

PyMethodDef muskingum_routing_definition{
    "muskingum_routing",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(trampoline)),
    METH_FASTCALL | METH_KEYWORDS,
    "muskingum_routing(inflow, k, x, time_step, sub_reaches, initial_outflow)\n--\n\n",
};

}  // namespace

PyMethodDef* muskingum_routing_method() { return &muskingum_routing_definition; }

}  // namespace brooklet::binding
