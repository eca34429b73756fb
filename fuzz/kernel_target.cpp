// libFuzzer target for the multi-pass sweep, without the interpreter: every
// sweep kernel this processor runs, forced, in place and streamed
// (SweepStream, in chunks of drawn sizes), must give what chained single passes give, bit for
// bit (any NaN matches any NaN: payloads may differ). The input draws the
// length, the pass count, the coefficients (from time quantities and a
// weighting, or directly), the initial outflow, the inflow values, the
// stream's chunk length and the size of each chunk written; doubles come from
// a list of awkward values (NaN, infinities, signed zeros, subnormals, the
// extremes) or from raw bits. A mismatch prints the case and aborts.
//
//     build/fuzz/kernel_target -max_total_time=60 build/fuzz/corpus-kernel fuzz/corpus/kernel
#include <algorithm>
#include <array>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <span>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "reach_routing/recurrence.hpp"
#include "reach_routing/sweep.hpp"
#include "reach_routing/sweep_stream.hpp"
#include "sweep_programs.hpp"

namespace {

using brooklet::reach_routing::Coefficients;
using brooklet::reach_routing::SweepKernelInfo;
using brooklet::reach_routing::SweepStream;
using brooklet::sweep_programs::same_bits;

// Values routed per input at most (length times passes), so that one input
// takes milliseconds and the fuzzer tries many.
constexpr std::uint64_t work_per_input = std::uint64_t{1} << 16;
constexpr std::size_t longest_hydrograph = 4000;

double awkward_double(FuzzedDataProvider& data) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    static constexpr std::array awkward = {
        0.0, -0.0, 1.0, -1.0, 0.5, 100.0, 3600.0, 1e300, -1e300, inf, -inf,
        std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(), 2.5e-310,
        std::numeric_limits<double>::min(), std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
        std::numeric_limits<double>::epsilon(),
    };
    switch (data.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: return awkward[data.ConsumeIntegralInRange<std::size_t>(0, awkward.size() - 1)];
        case 1: return std::bit_cast<double>(data.ConsumeIntegral<std::uint64_t>());
        case 2: return static_cast<double>(data.ConsumeIntegralInRange<int>(-1000, 1000));
        default: return data.ConsumeFloatingPointInRange<double>(-1e4, 1e4);
    }
}

Coefficients drawn_coefficients(FuzzedDataProvider& data) {
    if (data.ConsumeBool()) {
        const double time_step = awkward_double(data);
        const double storage = awkward_double(data);
        const double weighting = awkward_double(data);
        return brooklet::reach_routing::coefficients(time_step, storage, weighting);
    }
    const double c0 = awkward_double(data);
    const double c1 = awkward_double(data);
    const double c2 = awkward_double(data);
    return Coefficients{c0, c1, c2};
}

[[noreturn]] void mismatch(const char* how, const SweepKernelInfo& kernel, std::size_t length,
                           std::uint64_t passes, const Coefficients& c, double first, std::size_t chunk_values) {
    std::fprintf(stderr,
                 "kernel_target: %s (%s) differs from chained single passes: %zu values, %" PRIu64
                 " passes, coefficients %a %a %a, first outflow %a, chunk length %zu\n",
                 how, kernel.name.data(), length, passes, c.c0, c.c1, c.c2, first, chunk_values);
    std::abort();
}

// Streams `input` in chunks whose sizes the input draws (the last size repeats
// once the input is used up).
std::vector<double> streamed(std::span<const double> input, SweepStream& stream, std::span<const std::size_t> sizes) {
    std::vector<double> output;
    output.reserve(input.size());
    std::size_t next_size = 0;
    brooklet::sweep_programs::stream_through(
        input, stream,
        [&](std::size_t space) { return sizes.empty() ? space : sizes[std::min(next_size++, sizes.size() - 1)]; },
        [&](std::span<const double> part) { std::ranges::copy(part, std::back_inserter(output)); });
    return output;
}

// Block advances a stream makes at most: each chunk goes through every block, and draining sends
// each block's closing values through the blocks after it, in chunks. Tiny chunks through
// thousands of passes take minutes under the sanitizers, so such cases are routed in place only.
constexpr std::uint64_t stream_advances_per_input = std::uint64_t{1} << 20;

std::uint64_t stream_advances(std::size_t length, std::uint64_t passes, const SweepKernelInfo& kernel,
                              std::size_t chunk_values, std::span<const std::size_t> sizes) {
    const std::size_t smallest = sizes.empty() ? chunk_values : std::ranges::min(sizes);
    const std::uint64_t blocks = passes / kernel.block_width + 1;
    const std::uint64_t closing_chunks = 2 * kernel.block_width / chunk_values + 1;
    return blocks * (length / smallest + 1) + blocks * blocks * closing_chunks;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider data(bytes, size);
    // Mostly short hydrographs, which cover every block's start and delay; sometimes long ones.
    const std::size_t length = data.ConsumeIntegralInRange<std::size_t>(0, data.ConsumeBool() ? 80 : longest_hydrograph);
    // Mostly few passes (one to a few blocks, every remainder), sometimes up to the stream's most.
    const std::uint64_t most_passes =
        std::clamp<std::uint64_t>(work_per_input / std::max<std::size_t>(length, 1), 1, SweepStream::max_passes);
    const std::uint64_t passes = data.ConsumeBool()
                                     ? data.ConsumeIntegralInRange<std::uint64_t>(0, std::min<std::uint64_t>(most_passes, 70))
                                     : data.ConsumeIntegralInRange<std::uint64_t>(0, most_passes);
    const Coefficients c = drawn_coefficients(data);
    const double first = awkward_double(data);
    const std::size_t chunk_values = data.ConsumeIntegralInRange<std::size_t>(1, 2048);
    std::vector<std::size_t> sizes(data.ConsumeIntegralInRange<std::size_t>(0, 64));
    for (std::size_t& chunk_size : sizes) {
        chunk_size = data.ConsumeIntegralInRange<std::size_t>(1, chunk_values);
    }
    std::vector<double> input(length);
    // Values are drawn while the input lasts; the rest repeat them, so short inputs still make long hydrographs.
    std::size_t drawn = 0;
    for (; drawn < length && data.remaining_bytes() > 0; ++drawn) {
        input[drawn] = awkward_double(data);
    }
    for (std::size_t t = drawn; t < length; ++t) {
        input[t] = drawn == 0 ? static_cast<double>(t % 97) : input[t % drawn];
    }

    std::vector<double> expected = input;
    for (std::uint64_t pass = 0; pass < passes; ++pass) {
        brooklet::reach_routing::route_pass_in_place(expected, c, first);
    }
    for (const SweepKernelInfo& kernel : brooklet::reach_routing::sweep_kernels()) {
        brooklet::reach_routing::force_sweep_kernel(&kernel);
        std::vector<double> swept = input;
        brooklet::reach_routing::route_passes_in_place(swept, passes, c, first);
        if (!same_bits(expected, swept)) {
            mismatch("in place", kernel, length, passes, c, first, 0);
        }
        if (passes == 0 || stream_advances(length, passes, kernel, chunk_values, sizes) > stream_advances_per_input) {
            continue;
        }
        SweepStream stream(passes, c, first, length, chunk_values);
        if (!same_bits(expected, streamed(input, stream, sizes))) {
            mismatch("streamed", kernel, length, passes, c, first, chunk_values);
        }
    }
    return 0;
}
