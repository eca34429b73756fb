// Muskingum routing of a hydrograph through a reach divided into sub-reaches.
//
// `muskingum_routing_rs` is the single-pass kernel: plain doubles, no
// interpreter. `muskingum_routing` is the driver called by the call binding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "binding/py_err.hpp"
#include "reach_routing/hydrograph.hpp"
#include "reach_routing/recurrence.hpp"
#include "reach_routing/routing_plan.hpp"

namespace brooklet::reach_routing {

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
