// Muskingum routing of a hydrograph through a reach divided into sub-reaches.
//
// `muskingum_routing_rs` is the single-pass kernel: plain doubles, no
// interpreter. `muskingum_routing` is the driver called by the call binding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "binding/entry_guard.hpp"
#include "reach_routing/hydrograph.hpp"

namespace brooklet::reach_routing {

// Weights of the current inflow (c0), the previous inflow (c1) and the
// previous outflow (c2). Every step is one rounded double operation, in this
// order, so results are reproducible bit for bit.
struct Coefficients {
    double c0;
    double c1;
    double c2;
};

[[nodiscard]] inline Coefficients coefficients(double time_step, double storage, double weighting) noexcept {
    const double twice_storage = storage + storage;
    const double a = (1.0 - weighting) * twice_storage;
    const double b = twice_storage * weighting;
    const double denominator = a + time_step;
    return Coefficients{(time_step - b) / denominator, (b + time_step) / denominator,
                        (a - time_step) / denominator};
}

// One step of the recurrence. The two inflow terms are summed first; another
// grouping changes the last bit.
[[nodiscard]] inline double next_outflow(const Coefficients& c, double previous_outflow,
                                         double previous_inflow, double inflow) noexcept {
    return c.c2 * previous_outflow + (c.c1 * previous_inflow + c.c0 * inflow);
}

// The storage constant of one of `sub_reaches` equal sub-reaches, in seconds.
// No check on the count: 0 gives an infinite or NaN storage, a negative count
// a negative one.
[[nodiscard]] inline double sub_reach_storage(const Duration& k, std::int64_t sub_reaches) noexcept {
    return k.as_seconds() / static_cast<double>(sub_reaches);
}

// One pass that reads each inflow value only when it needs it and hands each
// outflow on as soon as it is computed, for callers that keep no hydrograph:
// `inflow_at(t)` gives the inflow at t, or nothing to stop the pass there, and
// `emit(t, outflow)` takes the outflow at t. The operations and their order
// are those of `muskingum_routing_rs`. Returns whether the pass ran to the end.
template <class InflowAt, class Emit>
[[nodiscard]] bool route_one_pass(std::size_t length, const Coefficients& c, double first_outflow,
                                  const InflowAt& inflow_at, const Emit& emit) {
    std::optional<double> previous_inflow = inflow_at(0);
    if (!previous_inflow) {
        return false;
    }
    emit(0, first_outflow);
    double outflow = first_outflow;
    for (std::size_t t = 1; t < length; ++t) {
        const std::optional<double> inflow = inflow_at(t);
        if (!inflow) {
            return false;
        }
        outflow = next_outflow(c, outflow, *previous_inflow, *inflow);
        emit(t, outflow);
        previous_inflow = inflow;
    }
    return true;
}

// Routes `inflow` through one sub-reach with time step `time_step_seconds`,
// storage constant `storage_seconds` and weighting factor `weighting`. The
// first outflow is `initial_outflow`, or the first inflow when absent. An
// empty inflow is an internal failure.
[[nodiscard]] Hydrograph muskingum_routing_rs(Hydrograph inflow, double time_step_seconds,
                                              double storage_seconds, double weighting,
                                              std::optional<double> initial_outflow);

// Warns about a weighting factor outside [0.0, 0.5], converts the two
// timedeltas (time_step first), divides k over the sub-reaches and routes the
// inflow through each in turn. Releases time_step, k and the inflow whatever
// the outcome.
[[nodiscard]] binding::PyResult<Hydrograph> muskingum_routing(
    Hydrograph inflow, binding::OwnedRef k, double x, binding::OwnedRef time_step,
    std::int64_t sub_reaches, double initial_outflow);

}  // namespace brooklet::reach_routing
