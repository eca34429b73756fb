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
constexpr std::size_t widest_block = 16;  // extra memory is O(block), not O(passes)

using Lanes = double __attribute__((vector_size(vector_width * sizeof(double))));
using LaneIndices = std::int64_t __attribute__((vector_size(vector_width * sizeof(std::int64_t))));

// Pass j of a block (1..Width) lives in lane (j - 1) % 4 of vector (j - 1) / 4;
// the block's input hydrograph acts as pass 0.
template <std::size_t Width>
using PassVectors = std::array<Lanes, Width / vector_width>;

// Routes `input` through `passes` (1..Width) sub-reaches into `output`;
// every pass starts from `first_outflow`. At sweep step s pass j computes
// O_j[t] for t = s - j from its own O_j[t-1] and its input's values at t-1
// and t, which pass j - 1 computed in the two steps before.
template <std::size_t Width>
[[gnu::always_inline]] inline void route_block(const Hydrograph& input, Hydrograph& output, std::size_t passes,
                                               const Coefficients& c, double first_outflow) {
    constexpr std::size_t groups = Width / vector_width;
    // Lanes are filled element by element: adding a value to zeros would turn -0.0 into +0.0.
    const Lanes c0 = {c.c0, c.c0, c.c0, c.c0};
    const Lanes c1 = {c.c1, c.c1, c.c1, c.c1};
    const Lanes c2 = {c.c2, c.c2, c.c2, c.c2};
    const std::size_t length = input.size();
    PassVectors<Width> outflow{};          // O_j at the last step
    PassVectors<Width> previous_inflow{};  // each pass's input one step earlier
    double input_value = 0.0;              // pass 0 at the last step
    for (std::size_t s = 0; s < length + passes; ++s) {
        PassVectors<Width> current_inflow;
        // Lane 3 is what the next vector's lane 0 reads.
        Lanes carried = {input_value, input_value, input_value, input_value};
        for (std::size_t g = 0; g < groups; ++g) {
#ifdef __clang__
            current_inflow[g] = __builtin_shufflevector(carried, outflow[g], 3, 4, 5, 6);
#else
            current_inflow[g] = __builtin_shuffle(carried, outflow[g], LaneIndices{3, 4, 5, 6});
#endif
            carried = outflow[g];
        }
        for (std::size_t g = 0; g < groups; ++g) {
            outflow[g] = c2 * outflow[g] + (c1 * previous_inflow[g] + c0 * current_inflow[g]);
        }
        previous_inflow = current_inflow;
        if (s >= 1 && s <= Width) {
            outflow[(s - 1) / vector_width][(s - 1) % vector_width] = first_outflow;  // t = 0 of pass s
        }
        if (s >= passes) {
            output[s - passes] = outflow[(passes - 1) / vector_width][(passes - 1) % vector_width];
        }
        input_value = s < length ? input[s] : 0.0;
    }
}

// Wider vector units where the processor has them, chosen once at load time;
// the operations and their order are the same in every version. A build with
// BROOKLET_BASELINE_VECTORS keeps only the baseline version, so that it can be
// tested on processors that would pick a wider one.
#if (defined(__x86_64__) || defined(__i386__)) && !defined(BROOKLET_BASELINE_VECTORS)
#define BROOKLET_VECTOR_CLONES [[gnu::target_clones("avx2", "default")]]
#else
#define BROOKLET_VECTOR_CLONES
#endif

BROOKLET_VECTOR_CLONES
void route_block_of_4(const Hydrograph& input, Hydrograph& output, std::size_t passes, const Coefficients& c,
                      double first_outflow) {
    route_block<4>(input, output, passes, c, first_outflow);
}

BROOKLET_VECTOR_CLONES
void route_block_of_8(const Hydrograph& input, Hydrograph& output, std::size_t passes, const Coefficients& c,
                      double first_outflow) {
    route_block<8>(input, output, passes, c, first_outflow);
}

BROOKLET_VECTOR_CLONES
void route_block_of_16(const Hydrograph& input, Hydrograph& output, std::size_t passes, const Coefficients& c,
                       double first_outflow) {
    route_block<widest_block>(input, output, passes, c, first_outflow);
}

// Routes a non-empty `inflow` through `passes` sub-reaches in blocks, the
// narrowest block that holds the passes left, alternating between two buffers.
Hydrograph route_passes(Hydrograph inflow, std::uint64_t passes, const Coefficients& c,
                        double first_outflow) {
    Hydrograph other(inflow.size());
    for (std::uint64_t remaining = passes; remaining > 0;) {
        const auto block = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, widest_block));
        if (block <= 4) {
            route_block_of_4(inflow, other, block, c, first_outflow);
        } else if (block <= 8) {
            route_block_of_8(inflow, other, block, c, first_outflow);
        } else {
            route_block_of_16(inflow, other, block, c, first_outflow);
        }
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
    const double storage_seconds = sub_reach_storage(*storage, sub_reaches);

    // A count of 1 or less makes one pass; an empty inflow fails in the kernel.
    if (sub_reaches <= 1 || hydrograph.size() <= 1) {
        return muskingum_routing_rs(std::move(hydrograph), time_step_seconds, storage_seconds, x,
                                    initial_outflow);
    }
    // Every later pass starts from its input's first value, which is the
    // first pass's initial outflow, so all passes start from it.
    return route_passes(std::move(hydrograph), static_cast<std::uint64_t>(sub_reaches),
                        coefficients(time_step_seconds, storage_seconds, x), initial_outflow);
}

}  // namespace brooklet::reach_routing
