// The multi-pass sweep's check: every kernel built in that this processor
// runs, forced for every pass count, against chained single passes, bit for
// bit (any NaN matches any NaN: payloads may differ), over lengths 1 to 3001,
// pass counts 1 to 300 (every remainder of the split into blocks, one to
// several blocks), weights of either sign, and inflows and initial outflows
// that include NaN, infinities, signed zeros and subnormals; each case routed
// in place and streamed, in chunks of one value (a chunk boundary at every
// offset from every block's start and delay) and in chunks of drawn sizes up
// to a drawn capacity. A kernel the processor cannot run is reported as
// skipped. scripts/check-sweep.sh runs it through ctest for `make test`.
//
//     sweep_check [--kernel NAME]
#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "reach_routing/recurrence.hpp"
#include "reach_routing/sweep.hpp"
#include "reach_routing/sweep_stream.hpp"
#include "sweep_programs.hpp"

namespace {

using brooklet::reach_routing::Coefficients;
using brooklet::reach_routing::SweepKernelInfo;
using brooklet::reach_routing::SweepStream;
using brooklet::sweep_programs::next_random;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double smallest_subnormal = std::numeric_limits<double>::denorm_min();
constexpr double smallest_normal = std::numeric_limits<double>::min();

constexpr std::uint64_t checked_passes = 300;

// time step, storage, weighting: typical; no storage (c2 = -1, c0 = c1 = 1);
// a long storage with x = 0.5 (c0 < 0); x outside its range.
const std::array check_weights = {
    brooklet::reach_routing::coefficients(3600.0, 900.0, 0.2),
    brooklet::reach_routing::coefficients(3600.0, 0.0, 0.0),
    brooklet::reach_routing::coefficients(60.0, 86400.0, 0.5),
    brooklet::reach_routing::coefficients(600.0, 7200.0, 0.7),
};

const std::array check_first_outflows = {10.0, -0.0, 0.0, smallest_subnormal, -2.5e-310, nan, infinity, -1e300};

enum class Inflow : std::uint8_t { finite, with_specials, zeros_and_subnormals };
constexpr std::array check_inflows = {Inflow::finite, Inflow::with_specials, Inflow::zeros_and_subnormals};

std::vector<double> check_values(Inflow kind, std::size_t length, std::uint64_t seed) {
    std::vector<double> values = brooklet::sweep_programs::random_values(length, seed);
    if (kind == Inflow::with_specials) {  // a few, late enough that most of the series stays finite
        constexpr std::array specials = {nan, infinity, -infinity, -0.0, smallest_subnormal, 1e300, -1e300};
        for (std::size_t k = 0; k < specials.size() && k < length; ++k) {
            values[length - 1 - next_random(seed) % (length / 4 + 1)] = specials[k];
        }
        values[next_random(seed) % length] = specials[next_random(seed) % specials.size()];
    } else if (kind == Inflow::zeros_and_subnormals) {
        constexpr std::array tiny = {0.0, -0.0, smallest_subnormal, -smallest_subnormal, 2.5e-310, -2.5e-310,
                                     smallest_normal, -smallest_normal};
        for (double& v : values) {
            v = tiny[next_random(seed) % tiny.size()];
        }
    }
    return values;
}

// One pass of the recurrence in place, as the reference kernel computes it:
// chained, these are what the sweep must give.
void reference_pass(std::vector<double>& values, const Coefficients& c, double first) {
    double previous_inflow = values[0];
    double outflow = first;
    values[0] = first;
    for (std::size_t t = 1; t < values.size(); ++t) {
        const double inflow = values[t];
        outflow = brooklet::reach_routing::next_outflow(c, outflow, previous_inflow, inflow);
        values[t] = outflow;
        previous_inflow = inflow;
    }
}

std::vector<std::size_t> check_lengths() {
    std::vector<std::size_t> lengths;
    for (std::size_t length = 1; length <= 40; ++length) {
        lengths.push_back(length);
    }
    for (const std::size_t length : {63, 64, 65, 127, 129, 256, 511, 1000, 3001}) {
        lengths.push_back(length);
    }
    return lengths;
}

// Arithmetic on subnormals is slow (microcode assists on many cores): inflows
// made of them are checked on short hydrographs, through up to two blocks and
// a few passes more.
std::uint64_t passes_checked(Inflow inflow, std::size_t length, const SweepKernelInfo& kernel) {
    if (inflow != Inflow::zeros_and_subnormals) {
        return checked_passes;
    }
    return length > 40 ? 0 : std::min<std::uint64_t>(checked_passes, 2 * kernel.block_width + kernel.lanes + 1);
}

// The routing of `input` by a stream (of the forced kernel) that takes chunks
// of at most `capacity` values, each of a size drawn from [1, capacity], and
// drains in chunks of `capacity`; with SweepStream::own_chunk_values, by the
// stream with the chunk length that it picks.
std::vector<double> streamed(const std::vector<double>& input, std::uint64_t passes, const Coefficients& c,
                             double first, std::size_t capacity, std::uint64_t seed) {
    SweepStream stream(passes, c, first, SIZE_MAX, capacity);
    std::vector<double> output;
    output.reserve(input.size());
    brooklet::sweep_programs::stream_through(
        input, stream, [&](std::size_t space) { return 1 + next_random(seed) % space; },
        [&](std::span<const double> part) { std::ranges::copy(part, std::back_inserter(output)); });
    return output;
}

// Chunk capacities of the streamed form besides 1, which puts a chunk boundary
// at every offset from every block's start and delay.
constexpr std::array stream_capacities = {std::size_t{2}, std::size_t{5}, std::size_t{16}, std::size_t{150},
                                          std::size_t{256}, std::size_t{1024}};

// Cases checked with `kernel`, which is forced (one per length, inflow,
// weights and pass count, each routed in place and streamed in chunks of one
// value and of a drawn capacity, and, for pass counts that routing gives
// this kernel, by the stream with the chunk length it picks), or nothing
// after the first mismatch, which is printed.
std::optional<std::uint64_t> check_kernel(const SweepKernelInfo& kernel, std::span<const bool> routed_here) {
    std::uint64_t cases = 0;
    for (const std::size_t length : check_lengths()) {
        for (const Inflow inflow : check_inflows) {
            const std::uint64_t seed = length * 7 + static_cast<std::uint64_t>(inflow);
            const Coefficients& c = check_weights[seed % check_weights.size()];
            const double first = check_first_outflows[seed % check_first_outflows.size()];
            const std::vector<double> input = check_values(inflow, length, seed);
            std::vector<double> expected = input;
            for (std::uint64_t passes = 1; passes <= passes_checked(inflow, length, kernel); ++passes) {
                reference_pass(expected, c, first);
                std::vector<double> swept = input;
                brooklet::reach_routing::route_passes_in_place(swept, passes, c, first);
                const std::size_t capacity = stream_capacities[(seed + passes) % stream_capacities.size()];
                std::vector<std::pair<std::size_t, std::vector<double>>> results;
                results.emplace_back(0, std::move(swept));
                results.emplace_back(1, streamed(input, passes, c, first, 1, seed + passes));
                results.emplace_back(capacity, streamed(input, passes, c, first, capacity, seed + passes));
                if (routed_here[passes]) {
                    results.emplace_back(SIZE_MAX, streamed(input, passes, c, first, SweepStream::own_chunk_values,
                                                            seed));
                }
                ++cases;
                for (const auto& [chunk, routed] : results) {
                    if (!brooklet::sweep_programs::same_bits(expected, routed)) {
                        const std::string how = chunk == 0          ? "in place"
                                                : chunk == SIZE_MAX ? "streamed in the chunks it picks"
                                                                    : "streamed in chunks of " + std::to_string(chunk);
                        std::printf("%s: MISMATCH with %zu values, %" PRIu64
                                    " passes, weights %.17g %.17g %.17g, first outflow %g, inflow kind %d, %s\n",
                                    kernel.name.data(), length, passes, c.c0, c.c1, c.c2, first,
                                    static_cast<int>(inflow), how.c_str());
                        return std::nullopt;
                    }
                }
            }
        }
    }
    return cases;
}

}  // namespace

int main(int argc, char** argv) {
    namespace sweep = brooklet::reach_routing;
    std::string_view only;
    if (argc == 3 && std::string_view(argv[1]) == "--kernel") {
        only = argv[2];
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: sweep_check [--kernel NAME]\n");
        return 2;
    }
    // The pass counts for which routing picks each kernel on its own, where the
    // stream that picks its chunk length is checked as well.
    std::vector<std::array<bool, checked_passes + 1>> routed_with(sweep::built_in_sweep_kernels().size());
    for (std::uint64_t passes = 1; passes <= checked_passes; ++passes) {
        const sweep::SweepKernel routing = sweep::routing_kernel(passes, SIZE_MAX).kernel;
        for (std::size_t k = 0; k < routed_with.size(); ++k) {
            routed_with[k][passes] = sweep::built_in_sweep_kernels()[k].kernel == routing;
        }
    }
    std::printf("Sweep kernels built into this %zu-bit build:", sizeof(void*) * 8);
    for (const SweepKernelInfo& kernel : sweep::built_in_sweep_kernels()) {
        std::printf(" %s", kernel.name.data());
    }
    std::printf("; routing picks among:");
    for (const SweepKernelInfo& kernel : sweep::sweep_kernels()) {
        std::printf(" %s", kernel.name.data());
    }
    std::printf("\n");
    std::size_t passed = 0;
    std::size_t failed = 0;
    std::size_t skipped = 0;
    for (std::size_t k = 0; k < routed_with.size(); ++k) {
        const SweepKernelInfo& kernel = sweep::built_in_sweep_kernels()[k];
        if (!only.empty() && kernel.name != only) {
            continue;
        }
        const SweepKernelInfo* runnable = sweep::find_sweep_kernel(kernel.name);
        if (runnable == nullptr) {
            std::printf("%s: skipped, this processor cannot run it\n", kernel.name.data());
            ++skipped;
            continue;
        }
        sweep::force_sweep_kernel(runnable);
        const double start = brooklet::sweep_programs::thread_seconds();
        if (const std::optional<std::uint64_t> cases = check_kernel(kernel, routed_with[k])) {
            std::printf("%s: %" PRIu64 " cases identical to chained single passes (%.1f s)\n", kernel.name.data(),
                        *cases, brooklet::sweep_programs::thread_seconds() - start);
            ++passed;
        } else {
            ++failed;
        }
    }
    sweep::force_sweep_kernel(nullptr);
    if (passed + failed + skipped == 0) {
        std::printf("no kernel named %s is built in\n", std::string(only).c_str());
        return 2;
    }
    std::printf("sweep-kernels: %zu passed, %zu failed, %zu skipped\n", passed, failed, skipped);
    return failed == 0 ? 0 : 1;
}
