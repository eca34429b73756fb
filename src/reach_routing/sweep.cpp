// The multi-pass sweep's dispatch: the ordered list of kernels built in, which
// of them this processor runs, which one routes a number of passes, and
// routing in place block after block. The kernels themselves are
// sweep_kernel_*.cpp, one per instruction set; the stream is sweep_stream.cpp.
#include "reach_routing/sweep.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "reach_routing/sweep_kernel.hpp"

namespace brooklet::reach_routing {

void route_pass_in_place(std::span<double> hydrograph, const Coefficients& c, double first_outflow) noexcept {
    if (hydrograph.empty()) {
        return;
    }
    double previous_inflow = hydrograph[0];
    double outflow = first_outflow;
    hydrograph[0] = first_outflow;
    for (std::size_t t = 1; t < hydrograph.size(); ++t) {
        const double inflow = hydrograph[t];
        outflow = next_outflow(c, outflow, previous_inflow, inflow);
        hydrograph[t] = outflow;
        previous_inflow = inflow;
    }
}

namespace {

struct BuiltKernel {
    SweepKernelInfo info;
    const std::span<const BlockKernel>* blocks = nullptr;  // for 1 to block_width passes
};

// Every kernel built in (CMakeLists.txt compiles one source per instruction
// set that the architecture has), widest vectors first.
constexpr std::array built_in_kernels = {
#ifdef BROOKLET_SWEEP_AVX512
    BuiltKernel{{SweepKernel::avx512, "avx512", 8, avx512_block_width}, &sweep_kernel_avx512::block_kernels},
    BuiltKernel{{SweepKernel::avx512vl, "avx512vl", 4, avx512vl_block_width}, &sweep_kernel_avx512vl::block_kernels},
#endif
#ifdef BROOKLET_SWEEP_AVX2
    BuiltKernel{{SweepKernel::avx2, "avx2", 4, avx2_block_width}, &sweep_kernel_avx2::block_kernels},
#endif
    BuiltKernel{{SweepKernel::two_double, "two-double", 2, two_double_block_width},
                &sweep_kernel_two_double::block_kernels},
};

constexpr std::array built_in_infos = [] {
    std::array<SweepKernelInfo, built_in_kernels.size()> infos{};
    std::ranges::transform(built_in_kernels, infos.begin(), &BuiltKernel::info);
    return infos;
}();

const BuiltKernel& built_kernel(SweepKernel kernel) noexcept {
    for (const BuiltKernel& built : built_in_kernels) {
        if (built.info.kernel == kernel) {
            return built;
        }
    }
    return built_in_kernels.back();  // the two-double kernel, which every build has
}

const SweepKernelInfo& info_of(SweepKernel kernel) noexcept { return built_kernel(kernel).info; }

bool runs_here(SweepKernel kernel) noexcept {
    __builtin_cpu_init();
    switch (kernel) {
    case SweepKernel::avx512:
        return __builtin_cpu_supports("avx512f");
    case SweepKernel::avx512vl:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    case SweepKernel::avx2:
        return __builtin_cpu_supports("avx2");
    case SweepKernel::two_double:
        return true;
    }
    return false;
}

// The kernels that this processor runs, found once; the widest instruction
// set among them that routing picks from (AVX-512 only with every kernel,
// AVX2, or SSE2); and the kernel forced, if any.
class KernelsHere {
public:
    KernelsHere() noexcept {
        for (const SweepKernelInfo& info : built_in_infos) {
            if (runs_here(info.kernel)) {
                runnable_[count_++] = info;
            }
        }
        if (runs(SweepKernel::avx512) && runs(SweepKernel::avx512vl) && runs(SweepKernel::avx2)) {
            widest_ = SweepKernel::avx512;
        } else if (runs(SweepKernel::avx2)) {
            widest_ = SweepKernel::avx2;
        }
#ifdef BROOKLET_FORCED_SWEEP_KERNEL
        if (runs(SweepKernel::BROOKLET_FORCED_SWEEP_KERNEL)) {
            forced_.store(&info_of(SweepKernel::BROOKLET_FORCED_SWEEP_KERNEL), std::memory_order_relaxed);
        }
#endif
    }

    [[nodiscard]] std::span<const SweepKernelInfo> runnable() const noexcept {
        return std::span(runnable_).first(count_);
    }

    [[nodiscard]] bool runs(SweepKernel kernel) const noexcept {
        return std::ranges::any_of(runnable(), [&](const SweepKernelInfo& info) { return info.kernel == kernel; });
    }

    [[nodiscard]] SweepKernel widest() const noexcept { return widest_; }

    [[nodiscard]] const SweepKernelInfo* forced() const noexcept { return forced_.load(std::memory_order_relaxed); }
    void force(const SweepKernelInfo* kernel) noexcept { forced_.store(kernel, std::memory_order_relaxed); }

private:
    std::array<SweepKernelInfo, built_in_infos.size()> runnable_{};
    std::size_t count_ = 0;
    SweepKernel widest_ = SweepKernel::two_double;
    std::atomic<const SweepKernelInfo*> forced_{nullptr};
};

KernelsHere& kernels_here() noexcept {
    static KernelsHere here;
    return here;
}

// Beyond one block of 256-bit vectors in 32 registers, the eight-double
// blocks route unless they would leave four lanes or more empty, up to this
// many passes, where the 256-bit blocks (two or more) route instead: closer
// to their bound there, and no further from it beyond.
constexpr std::uint64_t padded_passes_in_256_bit_blocks = 144;

bool pads_eight_double_blocks(std::uint64_t passes) noexcept {
    return passes > avx512vl_block_width && passes <= padded_passes_in_256_bit_blocks && passes % 8 != 0 &&
           passes % 8 <= 4;
}

// Hydrographs shorter than this route without the blocks of three or more
// 256-bit vectors in 32 registers, which take their input through memory with
// a lag longer by 24 steps a block (see BlockLayout::through_memory in
// sweep_blocks.inl): 9 to 16 passes in one AVX2 block, and beyond 36 in
// eight-double blocks.
constexpr std::size_t short_hydrograph = 256;

// The kernel that routes `passes` over `length` values fastest, given what
// the processor runs (docs/performance.md has the runs behind each rule). Up
// to 3 passes a step waits on the recurrence itself, and the two-double
// blocks, whose shuffle stays within 128 bits, are the fastest; from 4 to 6
// passes the AVX2 blocks of one or two vectors reach the latency bound; from
// 7 to 36 one block of 256-bit vectors in 32 registers routes them all with at
// most three padded lanes; beyond, the eight-double blocks are as fast per lane
// and need half as many blocks. In 32-bit code, where the two-double blocks
// keep their terms in memory, the AVX2 blocks route 2 and 3 passes too.
SweepKernel fastest_kernel(SweepKernel widest, std::uint64_t passes, std::size_t length) noexcept {
    switch (widest) {
    case SweepKernel::avx512:
        if (passes <= 3) {
            return SweepKernel::two_double;
        }
        if (passes <= 6) {
            return SweepKernel::avx2;
        }
        if (passes <= avx512vl_block_width) {
            return length < short_hydrograph && passes > 8 && passes <= avx2_block_width ? SweepKernel::avx2
                                                                                          : SweepKernel::avx512vl;
        }
        return pads_eight_double_blocks(passes) && length >= short_hydrograph ? SweepKernel::avx512vl
                                                                               : SweepKernel::avx512;
    case SweepKernel::avx2:
#ifndef __i386__
        if (passes <= 3) {
            return SweepKernel::two_double;
        }
#endif
        return SweepKernel::avx2;
    case SweepKernel::avx512vl:
    case SweepKernel::two_double:
        break;
    }
    return SweepKernel::two_double;
}

// Zeros that close a block routed in place, after a pad that windows may read.
constexpr std::array<double, window_pad + 256> closing_zeros{};

// Routes `values` in place through one block: all of them, then the zeros
// that complete the last `delay` outputs.
void route_block_in_place(const BlockKernel& kernel, std::span<double> values, const Coefficients& c,
                          double first_outflow) noexcept {
    alignas(block_state_alignment) std::byte storage[max_block_state_size];
    void* state = kernel.start(storage);
    std::size_t written = kernel.advance(state, values.data(), values.size(), values.data(), c, first_outflow);
    for (std::size_t left = kernel.delay; left > 0;) {
        const std::size_t count = std::min(left, closing_zeros.size() - window_pad);
        written += kernel.advance(state, closing_zeros.data() + window_pad, count, values.data() + written, c,
                                  first_outflow);
        left -= count;
    }
}

}  // namespace

KernelSet kernel_set(SweepKernel kernel) noexcept {
    const BuiltKernel& built = built_kernel(kernel);
    return {*built.blocks, built.info.lanes};
}

std::span<const SweepKernelInfo> built_in_sweep_kernels() noexcept { return built_in_infos; }

std::span<const SweepKernelInfo> sweep_kernels() noexcept { return kernels_here().runnable(); }

const SweepKernelInfo* find_sweep_kernel(std::string_view name) noexcept {
    const auto runnable = kernels_here().runnable();
    const auto found = std::ranges::find(runnable, name, &SweepKernelInfo::name);
    return found == runnable.end() ? nullptr : &*found;
}

void force_sweep_kernel(const SweepKernelInfo* kernel) noexcept {
    kernels_here().force(kernel == nullptr ? nullptr : &info_of(kernel->kernel));
}

const SweepKernelInfo& routing_kernel(std::uint64_t passes, std::size_t length) noexcept {
    const KernelsHere& here = kernels_here();
    if (const SweepKernelInfo* forced = here.forced()) {
        return *forced;
    }
    return info_of(fastest_kernel(here.widest(), passes, length));
}

std::uint64_t sweep_blocks(std::uint64_t passes, SweepKernel kernel) noexcept {
    return BlockSplit(passes, kernel_set(kernel)).blocks();
}

void route_passes_in_place(std::span<double> hydrograph, std::uint64_t passes, const Coefficients& c,
                           double first_outflow) noexcept {
    if (hydrograph.empty() || passes == 0) {
        return;
    }
    if (passes == 1) {
        route_pass_in_place(hydrograph, c, first_outflow);
        return;
    }
    const KernelSet set = kernel_set(routing_kernel(passes, hydrograph.size()).kernel);
    BlockSplit split(passes, set);
    for (std::uint64_t block = 0; block < split.blocks(); ++block) {
        route_block_in_place(set.kernels[split.next() - 1], hydrograph, c, first_outflow);
    }
}

}  // namespace brooklet::reach_routing
