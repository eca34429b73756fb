// Micro-benchmark of the multi-pass sweep: cycles per value·pass of each
// kernel built in that this processor runs (routing picks one per number of
// passes), for pass counts from 2 to 300, beside this processor's bound for
// each.
//
// There are no hardware counters here, so cycles are thread CPU time times a
// clock rate measured in the same rounds: a chain of dependent integer adds,
// which retires one add per cycle. The bound for P passes is max(latency / P,
// throughput): the latency of one step of the recurrence (a multiply, then an
// add, on the previous outflow) and the throughput of the three multiplies of
// a value·pass at the rate of independent multiplies of the widest vectors
// here, both measured in every round. Every round times the calibrations and
// each contender once, in rotating order; the report gives the median over
// rounds and the range. tests/sweep_check.cpp checks the kernels.
//
//     kernel_bench [--rounds N] [--length N] [--passes N,N,...] [--stream N,N,...] [--routing-only]
//                  [--kernel NAME]
//
// --stream also times the streamed form (SweepStream) of the kernel that
// routing uses, in chunks of each given number of values (0: the chunk length
// that the stream picks), copying each chunk in and its outflows out, and
// gives its per-round ratio to the same passes in place. --routing-only times
// only the kernel that routing uses for each number of passes; --kernel only
// the one named.

#include <algorithm>
#include <array>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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
#include "vector_multiplies.hpp"

namespace {

using brooklet::reach_routing::Coefficients;
using brooklet::reach_routing::SweepKernelInfo;
using brooklet::reach_routing::SweepStream;
using brooklet::sweep_programs::thread_seconds;

constexpr std::uint64_t adds_per_iteration = 100;

// `iterations` times 100 integer adds, each waiting on the one before: one add
// per cycle on every x86 core of the last two decades. The added 1 comes from a
// register: recent cores fold chains of adds of an immediate at renaming, several
// a cycle.
[[gnu::noinline]] unsigned long dependent_adds(std::uint64_t iterations) {
    unsigned long chain = 0;
    const unsigned long one = 1;
    for (std::uint64_t i = 0; i < iterations; ++i) {
#if defined(__x86_64__) || defined(__i386__)
        asm volatile(".rept 100\n\tadd %1, %0\n\t.endr" : "+r"(chain) : "r"(one));
#else
        for (int k = 0; k < 100; ++k) {
            asm volatile("" : "+r"(chain));
            chain += one;
        }
#endif
    }
    return chain;
}

// Cycles per second of this thread's CPU time.
double clock_rate() {
    constexpr std::uint64_t iterations = 200'000;  // 2e7 cycles, a few milliseconds
    const double start = thread_seconds();
    const unsigned long chain = dependent_adds(iterations);
    const double seconds = thread_seconds() - start;
    if (chain != iterations * adds_per_iteration) {
        std::abort();
    }
    return static_cast<double>(iterations * adds_per_iteration) / seconds;
}

// Cycles of one step of the recurrence, o = c2 * o + p: its multiply-then-add
// latency, which bounds each pass (and with it each vector of passes).
[[gnu::noinline]] double recurrence_step_cycles(double rate) {
    constexpr std::uint64_t steps = 4'000'000;
    volatile double seed = 0.5;
    double o = seed;
    const double c2 = seed;
    const double p = seed;
    const double start = thread_seconds();
    for (std::uint64_t i = 0; i < steps; ++i) {
        o = c2 * o + p;
#if defined(__x86_64__) || defined(__i386__)
        asm volatile("" : "+x"(o));  // keeps the loop from being folded
#endif
    }
    const double seconds = thread_seconds() - start;
    seed = o;
    return seconds * rate / static_cast<double>(steps);
}

// Routes `values` through a stream of the forced kernel in chunks of `chunk`
// values (SweepStream::own_chunk_values: the chunk length the stream picks),
// each chunk's outflows copied back in place, as a caller that makes its
// results from them.
void stream_through(std::vector<double>& values, std::uint64_t passes, const Coefficients& c, std::size_t chunk) {
    SweepStream stream(passes, c, 10.0, SIZE_MAX, chunk);
    auto written = values.begin();
    brooklet::sweep_programs::stream_through(
        values, stream, [&](std::size_t space) { return space; },
        [&](std::span<const double> part) { written = std::ranges::copy(part, written).out; });
}

// A comma-separated list of numbers.
template <typename Number>
std::vector<Number> numbers(const char* list) {
    std::vector<Number> parsed;
    for (const char* item = list; *item != '\0';) {
        char* end = nullptr;
        parsed.push_back(static_cast<Number>(std::strtoull(item, &end, 10)));
        item = *end == ',' ? end + 1 : end;
    }
    return parsed;
}

enum class Form : std::uint8_t { in_place, streamed };

struct Contender {
    const SweepKernelInfo* kernel;
    std::uint64_t passes;
    Form form;
    std::size_t chunk;           // values per chunk of the streamed form; 0: the stream's own choice
    std::vector<double> cycles;  // per value·pass, one per round
};

std::string load_average() {
    std::string text = "unknown";
    if (FILE* file = std::fopen("/proc/loadavg", "r")) {
        std::array<char, 64> line{};
        if (std::fgets(line.data(), line.size(), file) != nullptr) {
            text.assign(line.data());
            text = text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
        }
        static_cast<void>(std::fclose(file));
    }
    return text;
}

std::string processor_name() {
    std::string name = "unknown processor";
    if (FILE* file = std::fopen("/proc/cpuinfo", "r")) {
        std::array<char, 256> line{};
        while (std::fgets(line.data(), line.size(), file) != nullptr) {
            const std::string_view text = line.data();
            if (text.starts_with("model name")) {
                const std::size_t colon = text.find(':');
                name = std::string(text.substr(colon + 2, text.size() - colon - 3));
                break;
            }
        }
        static_cast<void>(std::fclose(file));
    }
    return name;
}

double median(std::vector<double> values) {
    std::ranges::sort(values);
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string median_and_range(const std::vector<double>& values) {
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "%.3f (%.3f-%.3f)", median(values), *std::ranges::min_element(values),
                  *std::ranges::max_element(values));
    return text.data();
}

// ------------------------------------------------- multiply throughput

struct MultiplyRate {
    double doubles_per_cycle;  // at most, by the widest vectors that a kernel runnable here uses
    std::size_t lanes;         // of the narrowest vectors that reach it (within 5 %)
};

MultiplyRate doubles_multiplied_per_cycle(double rate) {
    namespace bench = brooklet::kernel_bench;
    std::vector<std::pair<std::size_t, double>> by_lanes{
        {2, 2.0 * bench::multiplies_two_double::vector_multiplies_per_cycle(rate)}};
    for (const SweepKernelInfo& kernel : brooklet::reach_routing::sweep_kernels()) {
#ifdef BROOKLET_SWEEP_AVX2
        if (kernel.lanes == 4) {
            by_lanes.emplace_back(4, 4.0 * bench::multiplies_avx2::vector_multiplies_per_cycle(rate));
        }
#endif
#ifdef BROOKLET_SWEEP_AVX512
        if (kernel.lanes == 8) {
            by_lanes.emplace_back(8, 8.0 * bench::multiplies_avx512::vector_multiplies_per_cycle(rate));
        }
#endif
    }
    const double best = std::ranges::max(by_lanes, {}, &std::pair<std::size_t, double>::second).second;
    std::size_t narrowest = 8;
    for (const auto& [lanes, doubles] : by_lanes) {
        if (doubles >= 0.95 * best) {
            narrowest = std::min(narrowest, lanes);
        }
    }
    return {best, narrowest};
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t rounds = 15;
    std::size_t length = 50'000;  // 400 kB: the sweep is bound by arithmetic, not by memory
    std::vector<std::uint64_t> chosen_passes;
    std::vector<std::size_t> stream_chunks;
    bool every_kernel = true;
    const SweepKernelInfo* only_kernel = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--routing-only") {
            every_kernel = false;
            continue;
        }
        if (i + 1 >= argc) {
            break;
        }
        if (option == "--rounds") {
            rounds = std::strtoull(argv[++i], nullptr, 10);
        } else if (option == "--length") {
            length = std::strtoull(argv[++i], nullptr, 10);
        } else if (option == "--passes") {
            chosen_passes = numbers<std::uint64_t>(argv[++i]);
        } else if (option == "--stream") {
            stream_chunks = numbers<std::size_t>(argv[++i]);
        } else if (option == "--kernel") {
            only_kernel = brooklet::reach_routing::find_sweep_kernel(argv[++i]);
            if (only_kernel == nullptr) {
                std::fprintf(stderr, "kernel_bench: no kernel %s runnable here\n", argv[i]);
                return 2;
            }
        }
    }
    if (chosen_passes.empty()) {
        chosen_passes = {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                         22, 23, 24, 32, 33, 64, 73, 128, 256, 300};
    }
    const std::string load_before = load_average();
    // The kernel that routing picks for that many passes of the hydrograph
    // (picked before any is forced).
    std::vector<const SweepKernelInfo*> routing_kernels;
    for (const std::uint64_t passes : chosen_passes) {
        routing_kernels.push_back(
            brooklet::reach_routing::find_sweep_kernel(brooklet::reach_routing::routing_kernel(passes, length).name));
    }
    const auto routing_kernel = [&](std::uint64_t passes) {
        const auto at = std::ranges::find(chosen_passes, passes) - chosen_passes.begin();
        return routing_kernels[static_cast<std::size_t>(at)];
    };

    std::vector<Contender> contenders;
    for (const std::uint64_t passes : chosen_passes) {
        for (const SweepKernelInfo& kernel : brooklet::reach_routing::sweep_kernels()) {
            if ((every_kernel || &kernel == routing_kernel(passes)) &&
                (only_kernel == nullptr || &kernel == only_kernel)) {
                contenders.push_back({&kernel, passes, Form::in_place, 0, {}});
            }
        }
        if (only_kernel == nullptr || only_kernel == routing_kernel(passes)) {
            for (const std::size_t chunk : stream_chunks) {
                contenders.push_back({routing_kernel(passes), passes, Form::streamed, chunk, {}});
            }
        }
    }

    const Coefficients c = brooklet::reach_routing::coefficients(3600.0, 450.0, 0.2);
    const std::vector<double> source = brooklet::sweep_programs::random_values(length, 1);
    std::vector<double> values(length);
    std::vector<double> rates;
    std::vector<double> step_latencies;
    std::vector<double> multiply_rates;
    std::vector<double> multiply_lanes;
    constexpr double value_passes_per_sample = 4e7;
    for (std::size_t round = 0; round < rounds; ++round) {
        const double rate = clock_rate();
        rates.push_back(rate);
        step_latencies.push_back(recurrence_step_cycles(rate));
        const MultiplyRate multiplies = doubles_multiplied_per_cycle(rate);
        multiply_rates.push_back(multiplies.doubles_per_cycle);
        multiply_lanes.push_back(static_cast<double>(multiplies.lanes));
        for (std::size_t k = 0; k < contenders.size(); ++k) {
            Contender& contender = contenders[(k + round) % contenders.size()];
            const auto calls = static_cast<std::size_t>(std::max(
                1.0, value_passes_per_sample / static_cast<double>(length * contender.passes)));
            values = source;
            brooklet::reach_routing::force_sweep_kernel(contender.kernel);
            const double start = thread_seconds();
            for (std::size_t call = 0; call < calls; ++call) {
                if (contender.form == Form::in_place) {
                    brooklet::reach_routing::route_passes_in_place(values, contender.passes, c, 10.0);
                } else {
                    stream_through(values, contender.passes, c, contender.chunk);
                }
            }
            const double seconds = thread_seconds() - start;
            contender.cycles.push_back(seconds * rate /
                                       static_cast<double>(calls * length * contender.passes));
        }
    }
    const std::string load_after = load_average();

    const double rate = median(rates);
    const double step = median(step_latencies);
    const double multiplied = median(multiply_rates);
    const double throughput_bound = 3.0 / std::round(multiplied);
    const auto lanes = static_cast<std::uint64_t>(median(multiply_lanes));
    // A vector multiply costs the same however many of its lanes carry passes.
    const auto floor_for = [&](std::uint64_t passes) {
        const auto filled = static_cast<double>((passes + lanes - 1) / lanes * lanes);
        return std::max(step / static_cast<double>(passes),
                        throughput_bound * filled / static_cast<double>(passes));
    };
    std::printf("Sweep kernel on %s, %zu-bit build: cycles per value·pass, %zu values, %zu interleaved rounds.\n",
                processor_name().c_str(), sizeof(void*) * 8, length, rounds);
    std::printf("Cycles = thread CPU time x clock rate; the rate is measured in every round by a chain of\n"
                "2e7 dependent integer adds (one per cycle): median %.3f GHz, range %.3f-%.3f.\n",
                rate * 1e-9, *std::ranges::min_element(rates) * 1e-9, *std::ranges::max_element(rates) * 1e-9);
    std::printf("Load average (1, 5, 15 min) before: %s, after: %s.\n", load_before.c_str(), load_after.c_str());
    std::printf("\n");
    std::printf("Bounds of this processor, measured in every round:\n"
                "  latency: one step of the recurrence (a multiply, then an add) takes %.2f cycles, and a\n"
                "    sweep step of a block moves each of its passes on by one step: %.2f / passes;\n"
                "  throughput: %.2f doubles multiplied per cycle (median; independent multiplies of the\n"
                "    widest vectors here), 3 multiplies per value·pass: %.3f cycles.\n"
                "Bound for P passes = max(latency / P, throughput).\n"
                "Floor for P passes: the multiplies run at that rate only in vectors of %" PRIu64 " doubles or more,\n"
                "  and cost as much with lanes left empty, so no exact sweep does better than\n"
                "  max(latency / P, throughput x (P rounded up to a multiple of %" PRIu64 ") / P).\n"
                "Routing picks one kernel per number of passes (marked *).\n\n",
                step, step, multiplied, throughput_bound, lanes, lanes);
    std::printf("%-10s %6s %7s %7s  %-22s %7s %8s %7s %8s  %s\n", "kernel", "passes", "blocks", "chunk",
                "cycles/value·pass", "bound", "x bound", "floor", "x floor", "streamed / in place");
    std::printf("%-10s %6s %7s %7s  %-22s %7s %8s %7s %8s  %s\n", "", "", "", "", "median (min-max)", "", "", "",
                "", "median (min-max)");
    for (const Contender& contender : contenders) {
        std::string to_in_place;
        const auto in_place = std::ranges::find_if(contenders, [&](const Contender& other) {
            return other.form == Form::in_place && other.kernel == contender.kernel && other.passes == contender.passes;
        });
        if (contender.form == Form::streamed && in_place != contenders.end()) {
            std::vector<double> ratios;
            for (std::size_t round = 0; round < rounds; ++round) {
                ratios.push_back(contender.cycles[round] / in_place->cycles[round]);
            }
            to_in_place = median_and_range(ratios);
        }
        const double bound = std::max(step / static_cast<double>(contender.passes), throughput_bound);
        const std::string chunk = contender.form == Form::in_place ? "-"
                                  : contender.chunk == 0           ? "own"
                                                                   : std::to_string(contender.chunk);
        const bool routed = contender.form == Form::in_place && contender.kernel == routing_kernel(contender.passes);
        const std::string name = std::string(contender.kernel->name) + (routed ? " *" : "");
        const double floor = floor_for(contender.passes);
        std::printf("%-10s %6" PRIu64 " %7" PRIu64 " %7s  %-22s %7.3f %8.2f %7.3f %8.2f  %s\n", name.c_str(),
                    contender.passes, brooklet::reach_routing::sweep_blocks(contender.passes, contender.kernel->kernel),
                    chunk.c_str(), median_and_range(contender.cycles).c_str(), bound, median(contender.cycles) / bound,
                    floor, median(contender.cycles) / floor, to_in_place.c_str());
    }
    std::printf("\n* the kernel that routing uses for that number of passes. Chunk \"own\": the chunk length that\n"
                "the stream picks for its blocks (what the module's calls use).\n");
    return 0;
}
