// The routing recurrence on plain doubles, shared by every loop that routes: the
// single-pass kernel and the multi-pass sweep. No interpreter here, so that the
// sweep can be built and measured on its own.
#pragma once

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

}  // namespace brooklet::reach_routing
