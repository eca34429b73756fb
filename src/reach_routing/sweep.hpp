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

// The kernels of the sweep, each a shape of block built for one instruction
// set: vectors of eight doubles (AVX-512F), of four in the 32 registers of
// AVX-512 (its VL encodings), of four in the registers of AVX2, and of two.
enum class SweepKernel : std::uint8_t { avx512, avx512vl, avx2, two_double };

struct SweepKernelInfo {
    SweepKernel kernel;
    std::string_view name;
    std::size_t lanes;        // doubles per vector register
    std::size_t block_width;  // passes swept together at most
};

// The kernels built into this build for its architecture, widest vectors
// first, whether or not this processor runs them.
[[nodiscard]] std::span<const SweepKernelInfo> built_in_sweep_kernels() noexcept;

// The kernels built in and runnable here, widest vectors first.
[[nodiscard]] std::span<const SweepKernelInfo> sweep_kernels() noexcept;

// The kernel runnable here of that name, if any.
[[nodiscard]] const SweepKernelInfo* find_sweep_kernel(std::string_view name) noexcept;

// From now on routing uses `kernel` (runnable here) for every number of
// passes and length, or with none, the kernel it picks for each: for the
// sweep's check and benchmark programs, which force each kernel in turn. A
// build may force one from the start (CMake option BROOKLET_SWEEP_KERNEL).
void force_sweep_kernel(const SweepKernelInfo* kernel) noexcept;

// The kernel that routing uses for `passes` over `length` values: the forced
// one, or the one that is fastest here for that many.
[[nodiscard]] const SweepKernelInfo& routing_kernel(std::uint64_t passes, std::size_t length) noexcept;

// How many blocks `passes` are routed in with `kernel`.
[[nodiscard]] std::uint64_t sweep_blocks(std::uint64_t passes, SweepKernel kernel) noexcept;

// Routes `hydrograph` through `passes` sub-reaches one after another, in place,
// with `routing_kernel`; every pass starts from `first_outflow` (each later
// pass's initial outflow is its input's first value, which is the first
// pass's initial outflow).
void route_passes_in_place(std::span<double> hydrograph, std::uint64_t passes, const Coefficients& c,
                           double first_outflow) noexcept;

}  // namespace brooklet::reach_routing
