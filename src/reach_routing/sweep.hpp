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
#include <vector>

#include "reach_routing/recurrence.hpp"

namespace brooklet::reach_routing {

// Routes `hydrograph` through one sub-reach, replacing each inflow value by the
// outflow at the same time; the first outflow is `first_outflow`.
void route_pass_in_place(std::span<double> hydrograph, const Coefficients& c, double first_outflow) noexcept;

// Routes `hydrograph` through `passes` sub-reaches one after another, in place;
// every pass starts from `first_outflow` (each later pass's initial outflow is
// its input's first value, which is the first pass's initial outflow).
// The shape of block depends on the passes, and for a few on the length.
void route_passes_in_place(std::span<double> hydrograph, std::uint64_t passes, const Coefficients& c,
                           double first_outflow) noexcept;

// The vector versions of the sweep. Routing uses the widest one the processor
// runs; the benchmark measures each, and its check mode checks each.
enum class SweepVersion : std::uint8_t { baseline, avx2, avx512 };

struct SweepVersionInfo {
    SweepVersion version;
    std::string_view name;
    std::size_t lanes;        // doubles per vector register, at most
    std::size_t block_width;  // passes swept together, at most
};

// The versions built into this build for its architecture, widest first,
// whether or not this processor runs them.
[[nodiscard]] std::span<const SweepVersionInfo> built_in_sweep_versions() noexcept;

// The versions built in and runnable here, the one routing uses first.
[[nodiscard]] std::span<const SweepVersionInfo> sweep_versions() noexcept;

// `route_passes_in_place` with the given version, which must be runnable here.
void route_passes_in_place(std::span<double> hydrograph, std::uint64_t passes, const Coefficients& c,
                           double first_outflow, SweepVersion version) noexcept;

// The shapes of block that the versions route with: vectors of two doubles,
// of four in the 16 registers of AVX2, of four in the 32 registers of AVX-512
// and of eight. Each version picks one per number of passes.
enum class SweepShape : std::uint8_t { two_double, avx2, avx512vl, avx512 };

struct SweepShapeInfo {
    SweepShape shape;
    std::string_view name;
    std::size_t lanes;        // doubles per vector register
    std::size_t block_width;  // passes swept together at most
};

// The shapes built into this build for its architecture, widest vectors
// first, whether or not this processor runs them.
[[nodiscard]] std::span<const SweepShapeInfo> built_in_sweep_shapes() noexcept;

// The shapes built in and runnable here, widest vectors first.
[[nodiscard]] std::span<const SweepShapeInfo> sweep_shapes() noexcept;

// The shape that `version` routes `passes` with.
[[nodiscard]] SweepShape sweep_shape(SweepVersion version, std::uint64_t passes) noexcept;

// How many blocks `passes` are routed in with `shape`.
[[nodiscard]] std::uint64_t sweep_blocks(std::uint64_t passes, SweepShape shape) noexcept;

// `route_passes_in_place` with the given shape, which must be runnable here.
void route_passes_in_place(std::span<double> hydrograph, std::uint64_t passes, const Coefficients& c,
                           double first_outflow, SweepShape shape) noexcept;

// Routes a hydrograph that arrives a chunk at a time through `passes`
// sub-reaches, all starting from `first_outflow`, with no buffer for the whole
// hydrograph: each block of the sweep (the same blocks as in place) keeps its
// passes' state between chunks and hands its outflows on to the next block
// as they come, `delay` values behind its inflow. The outflows come out in
// time order, bit for bit those of `route_passes_in_place`.
//
//     SweepStream stream(passes, c, first_outflow);
//     for each chunk: write up to inflow_space().size() values to inflow_space(),
//                     take the outflows of route(count)
//     then: take drain() until it is empty
class SweepStream {
public:
    // Inflow values per chunk, unless the blocks are many. Few, so that a
    // caller that works on each chunk of outflows (making result floats)
    // overlaps that work in the processor with routing the next chunk: a list
    // of 10^6 values through 16 passes costs about a fifth less than in chunks
    // of 1024, and chunks of 32 lose most of that, although the routing alone
    // costs more in short chunks (each chunk takes up and sets down every
    // block's state).
    static constexpr std::size_t short_chunk_values = 16;
    // Inflow values per chunk from `long_chunk_blocks` blocks on, where taking
    // up every block's state for each short chunk costs more than the overlap
    // gains. Measured on Zen 4 with lists of 10^6 values, 256-value chunks
    // against 16-value ones: 1.04-1.06x the time through 2 to 4 blocks, 1.00x
    // through 8, 0.96x through 15; the sweep alone streams 1,024 passes at
    // 1.03x its time in place (1.25x in 16-value chunks).
    static constexpr std::size_t long_chunk_values = 256;
    static constexpr std::uint64_t long_chunk_blocks = 8;
    // The most passes streamed: their blocks' states take about a megabyte at
    // most. Routing in place keeps one block's state at a time.
    static constexpr std::uint64_t max_passes = 32768;

    // With the version that routing uses and the chunk length for its blocks;
    // `passes` in [1, max_passes].
    SweepStream(std::uint64_t passes, const Coefficients& c, double first_outflow);
    // For a hydrograph of `length` values: with the version, shape and chunk
    // length that routing picks for that many (see `route_passes_in_place`).
    SweepStream(std::uint64_t passes, const Coefficients& c, double first_outflow, std::size_t length);
    // With the given version or shape, which must be runnable here.
    SweepStream(std::uint64_t passes, const Coefficients& c, double first_outflow, SweepVersion version,
                std::size_t chunk_values);
    SweepStream(std::uint64_t passes, const Coefficients& c, double first_outflow, SweepShape shape,
                std::size_t chunk_values);
    SweepStream(const SweepStream&) = delete;
    SweepStream& operator=(const SweepStream&) = delete;
    SweepStream(SweepStream&&) = delete;
    SweepStream& operator=(SweepStream&&) = delete;
    ~SweepStream() = default;

    // Where the next inflow values go: a chunk's worth at most.
    [[nodiscard]] std::span<double> inflow_space() noexcept;
    // Routes the first `count` values written to `inflow_space()` and returns
    // the outflows that they complete, following those returned before; valid
    // until the next inflow is written or the next call. The first outflows
    // come once the inflow has passed every block's delay.
    [[nodiscard]] std::span<const double> route(std::size_t count) noexcept;
    // After the last inflow value: the next outflows still to come, empty once
    // every outflow has come. Valid until the next call.
    [[nodiscard]] std::span<const double> drain() noexcept;

    // Takes the block's next `count` inputs from `in`, writes the outputs that
    // they complete to `out` (which may be `in`) and returns how many.
    using BlockAdvance = std::size_t (*)(void* state, const double* in, std::size_t count, double* out,
                                         const Coefficients& c, double first_outflow);

private:
    struct Block {
        BlockAdvance advance;
        void* state;
        std::size_t delay;  // inputs taken before its first output
    };
    // Block states are aligned for the widest vectors.
    struct alignas(64) StateUnit {
        std::byte bytes[64];
    };

    // Chunk 0 or 1: each block reads one and writes the other, so that no
    // window it reads overlaps an output it has just written.
    [[nodiscard]] std::span<double> chunk(std::size_t which) noexcept;
    // Passes `part` (in chunk 0) through the blocks from `first` on; returns
    // the last block's outputs.
    std::span<double> through_blocks(std::size_t first, std::span<double> part) noexcept;

    std::vector<Block> blocks_;
    std::vector<StateUnit> states_;
    std::vector<double> buffer_;  // two chunks, each after a pad that windows read
    Coefficients coefficients_;
    double first_outflow_;
    std::size_t chunk_values_;
    std::size_t draining_block_ = 0;  // the block whose closing zeros come next
    std::size_t zeros_left_ = 0;      // of those
};

}  // namespace brooklet::reach_routing
