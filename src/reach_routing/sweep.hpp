// Routing through one or many sub-reaches in place, on plain doubles: no
// interpreter, so that the loops can be built into a stand-alone benchmark.
//
// Every routed value is what `next_outflow` gives, pass after pass, bit for bit
// (NaN payloads aside): the multi-pass sweep only reorders independent steps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "reach_routing/recurrence.hpp"

namespace brooklet::reach_routing {

// Routes `hydrograph` through one sub-reach, replacing each inflow value by the
// outflow at the same time; the first outflow is `first_outflow`.
void route_pass_in_place(std::span<double> hydrograph, const Coefficients& c, double first_outflow) noexcept;

// Routes `hydrograph` through `passes` sub-reaches one after another, in place;
// every pass starts from `first_outflow` (each later pass's initial outflow is
// its input's first value, which is the first pass's initial outflow).
void route_passes_in_place(std::span<double> hydrograph, std::uint64_t passes, const Coefficients& c,
                           double first_outflow) noexcept;

// The vector versions of the sweep. Routing uses the widest one the processor
// runs; the benchmark measures each, and its check mode checks each.
enum class SweepVersion : std::uint8_t { baseline, avx2, avx512 };

struct SweepVersionInfo {
    SweepVersion version;
    std::string_view name;
    std::size_t lanes;        // doubles per vector register
    std::size_t block_width;  // passes swept together at most
};

// The versions built into this build for its architecture, widest first,
// whether or not this processor runs them.
[[nodiscard]] std::span<const SweepVersionInfo> built_in_sweep_versions() noexcept;

// The versions built in and runnable here, the one routing uses first.
[[nodiscard]] std::span<const SweepVersionInfo> sweep_versions() noexcept;

// `route_passes_in_place` with the given version, which must be runnable here.
void route_passes_in_place(std::span<double> hydrograph, std::uint64_t passes, const Coefficients& c,
                           double first_outflow, SweepVersion version) noexcept;

}  // namespace brooklet::reach_routing
