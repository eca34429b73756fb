// The routing recurrence on plain doubles, shared by every loop that routes:
// the single-pass kernel, the multi-pass sweep and the one-pass loop without a
// buffer. No interpreter here, so that the sweep can be built and measured on
// its own.
#pragma once

#include <cstddef>
#include <optional>

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

}  // namespace brooklet::reach_routing
