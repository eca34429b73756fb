// How a call routes: the plan that the converted arguments make (coefficients,
// pass count, first outflow), and the ways a hydrograph is routed by it: in
// place in an owned buffer, or from an inflow source to an outflow sink with
// no buffer for the whole hydrograph (one pass in one loop, several through
// the sweep's stream). The routing driver and the call binding's shortcut
// both plan here, so that the two cannot route by different rules.
//
// Free of the interpreter: sources and sinks that touch Python objects are
// the binding's.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "internal_failure.hpp"
#include "reach_routing/hydrograph.hpp"
#include "reach_routing/recurrence.hpp"
#include "reach_routing/sweep.hpp"
#include "reach_routing/sweep_stream.hpp"

namespace brooklet::reach_routing {

struct RoutingPlan {
    Coefficients coefficients;
    std::uint64_t passes;  // one for a sub-reach count of one or less
    // Every pass starts from it: a later pass's initial outflow is its input's
    // first value, which is the first pass's initial outflow.
    double first_outflow;
};

// The storage constant of one of `sub_reaches` equal sub-reaches, in seconds.
// No check on the count: 0 gives an infinite or NaN storage, a negative count
// a negative one.
[[nodiscard]] inline double sub_reach_storage(const Duration& k, std::int64_t sub_reaches) noexcept {
    return k.as_seconds() / static_cast<double>(sub_reaches);
}

// True when the weighting factor lies in [0.0, 0.5], where a call routes
// without a warning; false for NaN.
[[nodiscard]] inline bool weighting_in_recommended_range(double x) noexcept { return 0.0 <= x && x <= 0.5; }

// The plan for `sub_reaches` sub-reaches of `k` each, at `time_step`, with
// weighting factor `x`, starting from `initial_outflow`.
[[nodiscard]] inline RoutingPlan plan_routing(const Duration& time_step, const Duration& k, double x,
                                              std::int64_t sub_reaches, double initial_outflow) noexcept {
    return RoutingPlan{coefficients(time_step.as_seconds(), sub_reach_storage(k, sub_reaches), x),
                       sub_reaches <= 1 ? 1 : static_cast<std::uint64_t>(sub_reaches), initial_outflow};
}

// Routes an owned hydrograph of at least two values in place: it becomes the outflow.
inline void route_in_place(Hydrograph& hydrograph, const RoutingPlan& plan) noexcept {
    route_passes_in_place(hydrograph, plan.passes, plan.coefficients, plan.first_outflow);
}

// Gives the inflow value at t (times asked in order, each once), or nothing
// to give up the routing: the caller then routes another way.
template <class Source>
concept InflowSource = requires(const Source& source, std::size_t t) {
    { source(t) } -> std::same_as<std::optional<double>>;
};

// Takes the outflow at t, in time order.
template <class Sink>
concept OutflowSink = requires(const Sink& sink, std::size_t t, double outflow) { sink(t, outflow); };

// The most passes that `route_streamed` takes. The stream keeps every block's
// state at once, and after the last inflow it drains block after block, each
// through every block behind it: with many blocks that drain is a long
// stretch during which a call that makes floats as it goes cannot step aside
// for the collector. More passes than this route in place, where routing is
// one detachable stretch and reading the inflow into a buffer costs little
// beside routing that many passes.
inline constexpr std::uint64_t max_streamed_passes = 4096;
static_assert(max_streamed_passes <= SweepStream::max_passes);

// Whether `route_streamed` takes the plan.
[[nodiscard]] inline bool streams(const RoutingPlan& plan) noexcept {
    return plan.passes <= max_streamed_passes;
}

namespace detail {

// Several passes, the inflow read a chunk at a time into the sweep's stream
// and each chunk of outflows handed on as it comes.
template <InflowSource Source, OutflowSink Sink>
bool route_through_stream(const RoutingPlan& plan, std::size_t length, const Source& inflow, const Sink& outflow) {
    SweepStream stream(plan.passes, plan.coefficients, plan.first_outflow, length);
    std::size_t made = 0;
    const auto hand_on = [&](std::span<const double> outflows) {
        if (outflows.size() > length - made) {
            internal_failure::fail_fixed("the sweep's stream gave more outflows than inflows");
        }
        for (const double value : outflows) {
            outflow(made++, value);
        }
    };
    for (std::size_t taken = 0; taken < length;) {
        const std::span<double> space = stream.inflow_space();
        const std::span<double> chunk = space.first(std::min(space.size(), length - taken));
        for (std::size_t i = 0; i < chunk.size(); ++i) {
            const std::optional<double> value = inflow(taken + i);
            if (!value) {
                return false;
            }
            chunk[i] = *value;
        }
        taken += chunk.size();
        hand_on(stream.route(chunk.size()));
    }
    for (std::span<const double> outflows = stream.drain(); !outflows.empty(); outflows = stream.drain()) {
        hand_on(outflows);
    }
    if (made != length) {
        internal_failure::fail_fixed("the sweep's stream gave fewer outflows than inflows");  // the sink is short
    }
    return true;
}

}  // namespace detail

// Routes `length` (at least one) inflow values from `inflow` to `outflow` by
// a plan that `streams`, with no buffer for the whole hydrograph. Returns
// false when the source gave up; the sink has then taken some outflows.
template <InflowSource Source, OutflowSink Sink>
bool route_streamed(const RoutingPlan& plan, std::size_t length, const Source& inflow, const Sink& outflow) {
    if (plan.passes == 1) {
        return route_one_pass(length, plan.coefficients, plan.first_outflow, inflow, outflow);
    }
    return detail::route_through_stream(plan, length, inflow, outflow);
}

}  // namespace brooklet::reach_routing
