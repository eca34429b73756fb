#include "reach_routing/muskingum.hpp"

#include <algorithm>
#include <array>
#include <cstring>
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

// ============================================================ multi-pass sweep
//
// Routing through several sub-reaches one pass after another walks the
// hydrograph once per pass, each step waiting on the previous one. Here a
// block of passes is swept over time together as a wavefront: pass j of the
// block works on time t = s - j at sweep step s, so within a step the passes
// are independent and are computed side by side in vector lanes. Each value
// is still the same operations on the same operands as in
// `muskingum_routing_rs`, so the results are identical bit for bit.

namespace {

constexpr std::size_t vector_width = 4;
constexpr std::size_t passes_per_block = 16;  // extra memory is O(block), not O(passes)

using Lanes = double __attribute__((vector_size(vector_width * sizeof(double))));

// Lane 0 holds the block's input hydrograph, lane j (1..passes_per_block)
// pass j of the block. Each array holds the values of every lane at one step.
using StepValues = std::array<double, passes_per_block + 1>;

// One sweep step for all passes of the block: newest = c2 * O_j[t-1] +
// (c1 * O_{j-1}[t-1] + c0 * O_{j-1}[t]), read from the two previous steps.
void advance_lanes(const Coefficients& c, const StepValues& before_last, const StepValues& last,
                   StepValues& newest) {
    const Lanes c0 = Lanes{} + c.c0;
    const Lanes c1 = Lanes{} + c.c1;
    const Lanes c2 = Lanes{} + c.c2;
    for (std::size_t j = 0; j < passes_per_block; j += vector_width) {
        Lanes previous_outflow, previous_inflow, current_inflow;
        std::memcpy(&previous_outflow, &last[j + 1], sizeof(Lanes));
        std::memcpy(&previous_inflow, &before_last[j], sizeof(Lanes));
        std::memcpy(&current_inflow, &last[j], sizeof(Lanes));
        const Lanes routed = c2 * previous_outflow + (c1 * previous_inflow + c0 * current_inflow);
        std::memcpy(&newest[j + 1], &routed, sizeof(Lanes));
    }
}

// Routes `input` through `passes` (1..passes_per_block) sub-reaches into
// `output`; every pass starts from `first_outflow`.
void route_block(const Hydrograph& input, Hydrograph& output, std::size_t passes, const Coefficients& c,
                 double first_outflow) {
    const std::size_t length = input.size();
    std::array<StepValues, 3> steps{};  // rotating: before last, last, newest
    std::size_t before_last = 0, last = 1, newest = 2;
    for (std::size_t s = 0; s < length + passes; ++s) {
        StepValues& values = steps[newest];
        advance_lanes(c, steps[before_last], steps[last], values);
        values[0] = s < length ? input[s] : 0.0;
        if (s <= passes_per_block && s >= 1) {
            values[s] = first_outflow;  // pass s starts at this step (t = 0)
        }
        if (s >= passes) {
            output[s - passes] = values[passes];
        }
        before_last = std::exchange(last, std::exchange(newest, before_last));
    }
}

// Routes a non-empty `inflow` through `passes` sub-reaches in blocks,
// alternating between two buffers.
Hydrograph route_passes(Hydrograph inflow, std::uint64_t passes, const Coefficients& c,
                        double first_outflow) {
    Hydrograph other(inflow.size());
    for (std::uint64_t remaining = passes; remaining > 0;) {
        const auto block = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, passes_per_block));
        route_block(inflow, other, block, c, first_outflow);
        std::swap(inflow, other);
        remaining -= block;
    }
    return inflow;
}

}  // namespace

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

    // A count of 1 or less makes one pass; an empty inflow fails in the kernel.
    if (sub_reaches <= 1 || hydrograph.size() <= 1) {
        return muskingum_routing_rs(std::move(hydrograph), time_step_seconds, sub_reach_storage, x,
                                    initial_outflow);
    }
    // Every later pass starts from its input's first value, which is the
    // first pass's initial outflow, so all passes start from it.
    return route_passes(std::move(hydrograph), static_cast<std::uint64_t>(sub_reaches),
                        coefficients(time_step_seconds, sub_reach_storage, x), initial_outflow);
}

}  // namespace brooklet::reach_routing
