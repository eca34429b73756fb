// The multi-pass sweep's stream: each block keeps its passes' state between
// chunks and hands its outflows on to the next block.
#include "reach_routing/sweep_stream.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "reach_routing/sweep.hpp"
#include "reach_routing/sweep_kernel.hpp"

namespace brooklet::reach_routing {

namespace {

std::size_t chunk_values_for(std::uint64_t passes, SweepKernel kernel) noexcept {
    return sweep_blocks(passes, kernel) >= SweepStream::long_chunk_blocks ? SweepStream::long_chunk_values
                                                                          : SweepStream::short_chunk_values;
}

}  // namespace

SweepStream::SweepStream(std::uint64_t passes, const Coefficients& c, double first_outflow, std::size_t length,
                         std::size_t chunk_values)
    : coefficients_(c), first_outflow_(first_outflow) {
    const SweepKernel routing = routing_kernel(passes, length).kernel;
    chunk_values_ = chunk_values == own_chunk_values ? chunk_values_for(passes, routing) : chunk_values;
    buffer_.resize(2 * (window_pad + chunk_values_));
    const KernelSet set = kernel_set(routing);
    BlockSplit split(passes, set);
    std::vector<const BlockKernel*> kernels;
    std::size_t units = 0;
    for (std::uint64_t block = 0; block < split.blocks(); ++block) {
        kernels.push_back(&set.kernels[split.next() - 1]);
        units += (kernels.back()->state_size + sizeof(StateUnit) - 1) / sizeof(StateUnit);
    }
    states_.resize(units);
    StateUnit* storage = states_.data();
    for (const BlockKernel* kernel : kernels) {
        blocks_.push_back(Block{kernel->advance, kernel->start(storage), kernel->delay});
        storage += (kernel->state_size + sizeof(StateUnit) - 1) / sizeof(StateUnit);
    }
    zeros_left_ = blocks_.empty() ? 0 : blocks_.front().delay;
}

std::span<double> SweepStream::chunk(std::size_t which) noexcept {
    return std::span(buffer_).subspan(window_pad + which * (window_pad + chunk_values_), chunk_values_);
}

std::span<double> SweepStream::inflow_space() noexcept { return chunk(0); }

std::span<double> SweepStream::through_blocks(std::size_t first, std::span<double> part) noexcept {
    std::size_t which = 0;
    for (std::size_t b = first; b < blocks_.size(); ++b) {
        const Block& block = blocks_[b];
        which = 1 - which;
        double* out = chunk(which).data();
        part = std::span(out, block.advance(block.state, part.data(), part.size(), out, coefficients_,
                                            first_outflow_));
    }
    return part;
}

std::span<const double> SweepStream::route(std::size_t count) noexcept {
    return through_blocks(0, inflow_space().first(count));
}

std::span<const double> SweepStream::drain() noexcept {
    while (draining_block_ < blocks_.size()) {
        const std::span<double> zeros = inflow_space().first(std::min(zeros_left_, chunk_values_));
        std::ranges::fill(zeros, 0.0);
        const std::size_t from = draining_block_;
        zeros_left_ -= zeros.size();
        if (zeros_left_ == 0 && ++draining_block_ < blocks_.size()) {
            zeros_left_ = blocks_[draining_block_].delay;
        }
        if (const std::span<double> outflows = through_blocks(from, zeros); !outflows.empty()) {
            return outflows;
        }
    }
    return {};
}

}  // namespace brooklet::reach_routing
