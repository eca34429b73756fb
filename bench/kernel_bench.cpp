// Micro-benchmark of the multi-pass sweep: cycles per value·pass of each vector
// version built in, for full blocks and a few other pass counts, beside the
// bounds that the arithmetic sets.
//
// There are no hardware counters here, so cycles are thread CPU time times a
// clock rate measured in the same rounds: a chain of dependent integer adds,
// which retires one add per cycle. Every round times the calibration and each
// contender once, in rotating order; the report gives the median over rounds and
// the range.
//
//     kernel_bench [--rounds N] [--length N]

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "reach_routing/recurrence.hpp"
#include "reach_routing/sweep.hpp"

namespace {

using brooklet::reach_routing::Coefficients;
using brooklet::reach_routing::SweepVersionInfo;

double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

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

// Chained single passes of the recurrence, the reference for the check.
void chained_passes(std::vector<double>& values, std::uint64_t passes, const Coefficients& c, double first) {
    for (std::uint64_t p = 0; p < passes; ++p) {
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
}

std::vector<double> random_values(std::size_t length, std::uint64_t seed) {
    std::vector<double> values(length);
    for (double& v : values) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        v = static_cast<double>(seed >> 11) * 0x1p-53 * 1000.0;
    }
    return values;
}

// Every version against chained passes, bit for bit, before anything is timed.
bool check(const SweepVersionInfo& version) {
    const Coefficients c = brooklet::reach_routing::coefficients(3600.0, 900.0, 0.2);
    for (const std::size_t length : {1, 2, 3, 5, 17, 40, 333}) {
        for (std::uint64_t passes = 1; passes <= 3 * version.block_width + 3; ++passes) {
            std::vector<double> expected = random_values(length, length * 1000 + passes);
            std::vector<double> swept = expected;
            chained_passes(expected, passes, c, 10.0);
            brooklet::reach_routing::route_passes_in_place(swept, passes, c, 10.0, version.version);
            if (std::memcmp(expected.data(), swept.data(), length * sizeof(double)) != 0) {
                std::printf("MISMATCH: %s, %zu values, %" PRIu64 " passes\n", version.name.data(), length, passes);
                return false;
            }
        }
    }
    return true;
}

struct Contender {
    const SweepVersionInfo* version;
    std::uint64_t passes;
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

double median(std::vector<double> values) {
    std::ranges::sort(values);
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t rounds = 15;
    std::size_t length = 50'000;  // 400 kB: the sweep is bound by arithmetic, not by memory
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view option = argv[i];
        if (option == "--rounds") {
            rounds = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (option == "--length") {
            length = std::strtoull(argv[i + 1], nullptr, 10);
        }
    }
    const std::string load_before = load_average();

    std::vector<Contender> contenders;
    for (const SweepVersionInfo& version : brooklet::reach_routing::sweep_versions()) {
        if (!check(version)) {
            return 1;
        }
        const std::uint64_t full = version.block_width;
        for (const std::uint64_t passes : {full, full / 2, full / 4, std::uint64_t{2}, full + full / 4, 2 * full,
                                           std::uint64_t{256}}) {
            if (std::ranges::none_of(contenders, [&](const Contender& other) {
                    return other.version == &version && other.passes == passes;
                })) {
                contenders.push_back({&version, passes, {}});
            }
        }
    }

    const Coefficients c = brooklet::reach_routing::coefficients(3600.0, 450.0, 0.2);
    const std::vector<double> source = random_values(length, 1);
    std::vector<double> values(length);
    std::vector<double> rates;
    std::vector<double> step_latencies;
    constexpr double value_passes_per_sample = 4e7;
    for (std::size_t round = 0; round < rounds; ++round) {
        const double rate = clock_rate();
        rates.push_back(rate);
        step_latencies.push_back(recurrence_step_cycles(rate));
        for (std::size_t k = 0; k < contenders.size(); ++k) {
            Contender& contender = contenders[(k + round) % contenders.size()];
            const auto calls = static_cast<std::size_t>(std::max(
                1.0, value_passes_per_sample / static_cast<double>(length * contender.passes)));
            values = source;
            const double start = thread_seconds();
            for (std::size_t call = 0; call < calls; ++call) {
                brooklet::reach_routing::route_passes_in_place(values, contender.passes, c, 10.0,
                                                               contender.version->version);
            }
            const double seconds = thread_seconds() - start;
            contender.cycles.push_back(seconds * rate /
                                       static_cast<double>(calls * length * contender.passes));
        }
    }
    const std::string load_after = load_average();

    const double rate = median(rates);
    const double step = median(step_latencies);
    std::printf("Sweep kernel, %zu-bit build: cycles per value·pass, %zu values in place, %zu interleaved rounds.\n",
                sizeof(void*) * 8, length, rounds);
    std::printf("Cycles = thread CPU time x clock rate; the rate is measured in every round by a chain of\n"
                "2e7 dependent integer adds (one per cycle): median %.3f GHz, range %.3f-%.3f.\n",
                rate * 1e-9, *std::ranges::min_element(rates) * 1e-9, *std::ranges::max_element(rates) * 1e-9);
    std::printf("One step of the recurrence (multiply, then add, on the previous outflow) takes %.2f cycles.\n",
                step);
    std::printf("Load average (1, 5, 15 min) before: %s, after: %s.\n", load_before.c_str(), load_after.c_str());
    std::printf("All versions checked bit for bit against chained single passes first.\n\n");
    std::printf("Bounds: throughput = 3 multiplications per value·pass over (lanes x 2 multiply pipes);\n"
                "latency = one recurrence step per sweep step shared by the passes of a block.\n\n");
    std::printf("%-9s %6s %7s  %-26s %10s %8s\n", "version", "passes", "blocks", "cycles/value·pass", "throughput",
                "latency");
    std::printf("%-9s %6s %7s  %-26s %10s %8s\n", "", "", "", "median (min-max)", "bound", "bound");
    for (const Contender& contender : contenders) {
        const std::uint64_t width = contender.version->block_width;
        const std::uint64_t blocks = (contender.passes + width - 1) / width;
        const double throughput_bound = 3.0 / (static_cast<double>(contender.version->lanes) * 2.0);
        const double passes_per_block = static_cast<double>(contender.passes) / static_cast<double>(blocks);
        const std::string range = std::to_string(median(contender.cycles)).substr(0, 5) + " (" +
                                  std::to_string(*std::ranges::min_element(contender.cycles)).substr(0, 5) + "-" +
                                  std::to_string(*std::ranges::max_element(contender.cycles)).substr(0, 5) + ")";
        std::printf("%-9s %6" PRIu64 " %7" PRIu64 "  %-26s %10.3f %8.3f\n", contender.version->name.data(),
                    contender.passes, blocks, range.c_str(), throughput_bound, step / passes_per_block);
    }
    return 0;
}
