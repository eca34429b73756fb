// What the sweep's kernels (one translation unit per instruction set, each
// built with that set's flags from sweep_blocks.inl) hand to the dispatch and
// the stream: a block of 1 to its widest number of passes as plain function
// pointers and sizes, so that no code built for one instruction set is
// shared with code built for another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "reach_routing/recurrence.hpp"
#include "reach_routing/sweep.hpp"

namespace brooklet::reach_routing {

// Takes the block's next `count` inputs from `in`, writes the outputs that
// they complete to `out` (which may be `in`) and returns how many.
using BlockAdvance = std::size_t (*)(void* state, const double* in, std::size_t count, double* out,
                                     const Coefficients& c, double first_outflow);

// One block size of one kernel, its state's type erased.
struct BlockKernel {
    BlockAdvance advance;
    void* (*start)(void* storage);  // makes a new state in storage of state_size bytes; returns it
    std::size_t delay;              // inputs taken before the first output
    std::size_t state_size;
};

// Block states are aligned for the widest vectors and fit in this many bytes.
inline constexpr std::size_t block_state_alignment = 64;
inline constexpr std::size_t max_block_state_size = 4096;

// Vector registers that the compiler allocates for SSE2 and AVX2 vectors: 8 in
// 32-bit x86 code, 16 in x86-64 code; AVX-512 has 32 (x86-64 only).
#ifdef __i386__
inline constexpr std::size_t sse_avx_registers = 8;
#else
inline constexpr std::size_t sse_avx_registers = 16;
#endif
inline constexpr std::size_t avx512_registers = 32;

// The widest block of each kernel, in passes. Two doubles a vector: four
// vectors keep the multiply and add units busy while each chain waits on its
// own last step, in twelve registers. Four doubles in the registers of AVX2:
// four vectors (two in 32-bit code). Four doubles in the 32 registers of
// AVX-512 (its VL encodings): nine vectors, which keep their state, the
// weights and the block's input in registers, and pad at most three lanes
// where eight-double vectors pad seven. Eight doubles: nine vectors. A wider
// block would spill and gain nothing.
inline constexpr std::size_t two_double_block_width = 8;
inline constexpr std::size_t avx2_block_width = sse_avx_registers == 8 ? 8 : 16;
inline constexpr std::size_t avx512vl_block_width = 36;
inline constexpr std::size_t avx512_block_width = 72;

// Each kernel's blocks for 1 to size() passes, from its own translation unit
// (only those that the build compiles for its architecture are defined).
namespace sweep_kernel_two_double {
extern const std::span<const BlockKernel> block_kernels;
}
namespace sweep_kernel_avx2 {
extern const std::span<const BlockKernel> block_kernels;
}
namespace sweep_kernel_avx512vl {
extern const std::span<const BlockKernel> block_kernels;
}
namespace sweep_kernel_avx512 {
extern const std::span<const BlockKernel> block_kernels;
}

// The blocks that route a number of passes with one kernel.
struct KernelSet {
    std::span<const BlockKernel> kernels;  // for 1 to kernels.size() passes
    std::size_t lanes;
};

// The blocks of `kernel`, which must be built in.
[[nodiscard]] KernelSet kernel_set(SweepKernel kernel) noexcept;

// Splits passes into blocks of at most the widest block with near-equal
// numbers of vectors (20 passes as 12 + 8, not 16 + 4: a block costs about the
// same per step however full its vectors are), as few vectors as the passes
// fill, in the order they route. The lanes left over pad the first block,
// which has the most vectors: 73 passes in blocks of 72 as 33 + 40, and 9 in
// blocks of two four-double vectors as 5 + 4, never 8 + 1 (a block of one
// pass waits on the recurrence alone).
class BlockSplit {
public:
    BlockSplit(std::uint64_t passes, const KernelSet& set) noexcept
        : lanes_(set.lanes),
          vectors_(ceiling_division(passes, set.lanes)),
          blocks_(ceiling_division(vectors_, set.kernels.size() / set.lanes)),
          padding_(vectors_ * set.lanes - passes) {}

    [[nodiscard]] std::uint64_t blocks() const noexcept { return blocks_; }

    // The passes of the next block.
    std::size_t next() noexcept {
        const std::uint64_t block_vectors = vectors_ / blocks_ + (block_ < vectors_ % blocks_ ? 1 : 0);
        const std::uint64_t padding = block_ == 0 ? padding_ : 0;
        ++block_;
        return static_cast<std::size_t>(block_vectors * lanes_ - padding);
    }

private:
    static std::uint64_t ceiling_division(std::uint64_t a, std::uint64_t b) noexcept {
        return a / b + (a % b != 0 ? 1 : 0);
    }

    std::uint64_t lanes_;
    std::uint64_t vectors_;
    std::uint64_t blocks_;
    std::uint64_t padding_;  // lanes of the blocks' vectors beyond the passes, fewer than lanes_
    std::uint64_t block_ = 0;
};

// Values before each input that two- and four-double windows may read: a
// buffer that blocks read from keeps this many readable before its start.
inline constexpr std::size_t window_pad = 8;

}  // namespace brooklet::reach_routing
