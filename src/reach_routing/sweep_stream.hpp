// The multi-pass sweep for a hydrograph that arrives a chunk at a time, with
// no buffer for the whole of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "reach_routing/recurrence.hpp"
#include "reach_routing/sweep_kernel.hpp"

namespace brooklet::reach_routing {

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
    // overlaps that work in the processor with routing the next chunk,
    // although the routing alone costs more in short chunks (each chunk takes
    // up and sets down every block's state).
    static constexpr std::size_t short_chunk_values = 16;
    // Inflow values per chunk from `long_chunk_blocks` blocks on, where taking
    // up every block's state for each short chunk costs more than the overlap
    // gains (docs/performance.md has the runs behind both lengths).
    static constexpr std::size_t long_chunk_values = 256;
    static constexpr std::uint64_t long_chunk_blocks = 8;
    // The most passes streamed: their blocks' states take about a megabyte at
    // most. Routing in place keeps one block's state at a time.
    static constexpr std::uint64_t max_passes = 32768;

    // The chunk length that the stream picks for its blocks.
    static constexpr std::size_t own_chunk_values = 0;

    // For a hydrograph of `length` values (SIZE_MAX: of unknown length), with
    // the kernel that routing uses for that many (`routing_kernel`), in
    // chunks of `chunk_values` (at least 1) or of the length it picks for its
    // blocks; `passes` in [1, max_passes].
    SweepStream(std::uint64_t passes, const Coefficients& c, double first_outflow, std::size_t length,
                std::size_t chunk_values = own_chunk_values);
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

private:
    struct Block {
        BlockAdvance advance;
        void* state;
        std::size_t delay;  // inputs taken before its first output
    };
    // Block states are aligned for the widest vectors.
    struct alignas(block_state_alignment) StateUnit {
        std::byte bytes[block_state_alignment];
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
    std::size_t chunk_values_ = 0;
    std::size_t draining_block_ = 0;  // the block whose closing zeros come next
    std::size_t zeros_left_ = 0;      // of those
};

}  // namespace brooklet::reach_routing
