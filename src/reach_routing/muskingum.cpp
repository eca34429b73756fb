#include "reach_routing/muskingum.hpp"

#include <string>
#include <utility>

#include "binding/call_binding.hpp"
#include "binding/internal_failure.hpp"

namespace brooklet::reach_routing {

using binding::failure;
using binding::OwnedRef;
using binding::PyResult;

// ====================================================================== kernel

namespace {

[[noreturn]] void index_out_of_bounds(std::size_t length, std::size_t index,
                                      std::source_location where = std::source_location::current()) {
    binding::fail("index out of bounds: the len is " + std::to_string(length) + " but the index is " +
                      std::to_string(index),
                  where);
}

// Weights of the current inflow (c0), the previous inflow (c1) and the
// previous outflow (c2). Every step is one rounded double operation, in this
// order, so results are reproducible bit for bit.
struct Coefficients {
    double c0;
    double c1;
    double c2;
};

Coefficients coefficients(double time_step, double storage, double weighting) {
    const double twice_storage = storage + storage;
    const double a = (1.0 - weighting) * twice_storage;
    const double b = twice_storage * weighting;
    const double denominator = a + time_step;
    return Coefficients{(time_step - b) / denominator, (b + time_step) / denominator,
                        (a - time_step) / denominator};
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
        // The two inflow terms are summed first; changing the grouping changes the last bit.
        previous_outflow = c.c2 * previous_outflow + (c.c1 * inflow[t - 1] + c.c0 * inflow[t]);
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

    if (!(0.0 <= x && x <= 0.5)) {
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
    const double time_step_seconds = step->as_seconds();
    // No check on the count: 0 gives an infinite or NaN storage, a negative count a negative one.
    const double sub_reach_storage = storage->as_seconds() / static_cast<double>(sub_reaches);

    Hydrograph routed = muskingum_routing_rs(std::move(hydrograph), time_step_seconds, sub_reach_storage,
                                             x, initial_outflow);
    for (std::int64_t pass = 1; pass < sub_reaches; ++pass) {
        routed = muskingum_routing_rs(std::move(routed), time_step_seconds, sub_reach_storage, x,
                                      std::nullopt);
    }
    return routed;
}

}  // namespace brooklet::reach_routing
