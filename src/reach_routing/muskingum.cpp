// The single-pass kernel, and the routing driver that the general call path
// runs: the weighting-factor warning, the two durations, the plan and the
// routing in place.
#include "reach_routing/muskingum.hpp"

#include <string>
#include <utility>

#include "binding/call_binding.hpp"
#include "binding/failure_exception.hpp"
#include "binding/safe_points.hpp"
#include "internal_failure.hpp"

namespace brooklet::reach_routing {

using binding::failure;
using binding::OwnedRef;
using binding::PyResult;

// ====================================================================== kernel

namespace {

[[noreturn]] void index_out_of_bounds(std::size_t length, std::size_t index,
                                      std::source_location where = std::source_location::current()) {
    internal_failure::fail(
        "index out of bounds: the len is " + std::to_string(length) + " but the index is " + std::to_string(index),
        where);
}

}  // namespace

Hydrograph muskingum_routing_rs(Hydrograph inflow, double time_step_seconds, double storage_seconds,
                                double weighting, std::optional<double> initial_outflow) {
    const std::size_t length = inflow.size();
    if (length == 0) {
        index_out_of_bounds(length, 0);
    }
    const double first_outflow = initial_outflow.value_or(inflow[0]);
    Hydrograph outflow;
    outflow.reserve(length);
    outflow.push_back(first_outflow);
    if (length == 1) {
        return outflow;
    }
    const Coefficients c = coefficients(time_step_seconds, storage_seconds, weighting);
    double previous_outflow = first_outflow;
    for (std::size_t t = 1; t < length; ++t) {
        previous_outflow = next_outflow(c, previous_outflow, inflow[t - 1], inflow[t]);
        outflow.push_back(previous_outflow);
    }
    return outflow;
}

// ====================================================================== driver

namespace {

binding::InternedString warnings_name("warnings");
binding::InternedString warn_name("warn");
constexpr std::string_view weighting_warning = "`x` is outside the recommended range [0.0, 0.5].";

// warnings.warn(message), imported anew each time so that a replaced or
// reconfigured warnings module is honoured.
PyResult<void> warn_weighting_factor_outside_range() {
    OwnedRef warnings = OwnedRef::steal(PyImport_Import(warnings_name.get()));
    if (!warnings) {
        return failure(binding::fetch_error());
    }
    OwnedRef message = OwnedRef::steal(PyUnicode_FromStringAndSize(
        weighting_warning.data(), static_cast<Py_ssize_t>(weighting_warning.size())));
    if (!message) {
        binding::fail_after_error();
    }
    PyObject* arguments[] = {warnings.get(), message.get()};
    OwnedRef result = OwnedRef::steal(PyObject_VectorcallMethod(warn_name.get(), arguments, 2, nullptr));
    if (!result) {
        return failure(binding::fetch_error());
    }
    return {};
}

}  // namespace

PyResult<Hydrograph> muskingum_routing(Hydrograph inflow, OwnedRef k, double x, OwnedRef time_step,
                                       std::int64_t sub_reaches, double initial_outflow) {
    // Declared in this order so that time_step, then k, then the inflow are released.
    Hydrograph hydrograph = std::move(inflow);
    OwnedRef storage_constant = std::move(k);
    OwnedRef routing_interval = std::move(time_step);

    if (!weighting_in_recommended_range(x)) {
        if (PyResult<void> warned = warn_weighting_factor_outside_range(); !warned) {
            return failure(std::move(warned.error()));
        }
    }
    PyResult<Duration> step = binding::duration_from_timedelta(routing_interval.get());
    if (!step) {
        return failure(std::move(step.error()));
    }
    PyResult<Duration> storage = binding::duration_from_timedelta(storage_constant.get());
    if (!storage) {
        return failure(std::move(storage.error()));
    }
    const RoutingPlan plan = plan_routing(*step, *storage, x, sub_reaches, initial_outflow);

    // The reference kernel takes an empty inflow (an internal failure) and a single value.
    if (hydrograph.size() <= 1) {
        return muskingum_routing_rs(std::move(hydrograph), step->as_seconds(), sub_reach_storage(*storage, sub_reaches),
                                    x, initial_outflow);
    }
    // The passes route in place: the inflow buffer becomes the result. They
    // touch no Python object, so with the GIL off a long routing runs
    // detached, and other threads collect garbage meanwhile.
    const binding::DetachedThread detached(binding::detaches_for(hydrograph.size(), plan.passes));
    route_in_place(hydrograph, plan);
    return hydrograph;
}

}  // namespace brooklet::reach_routing
