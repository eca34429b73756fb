// Micro-benchmark of the multi-pass sweep: cycles per value·pass of each vector
// version built in, for full blocks and a few other pass counts, beside the
// bounds that the arithmetic sets.
//
// There are no hardware counters here, so cycles are thread CPU time times a
// clock rate measured in the same rounds: a chain of dependent integer adds,
// which retires one add per cycle. Every round times the calibration and each
// contender once, in rotating order; the report gives the median over rounds and
// the range. Every version is first checked bit for bit against chained single
// passes, in place and streamed; --check only checks (about ten seconds), for
// the test run.
//
//     kernel_bench [--rounds N] [--length N] [--passes N,N,...] [--stream N,N,...]
//     kernel_bench --check
//
// --stream also times the streamed form (SweepStream) in chunks of each given
// number of values, copying each chunk in and its outflows out.

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

std::uint64_t next_random(std::uint64_t& state) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 11;
}

std::vector<double> random_values(std::size_t length, std::uint64_t seed) {
    std::vector<double> values(length);
    for (double& v : values) {
        v = static_cast<double>(next_random(seed)) * 0x1p-53 * 1000.0;
    }
    return values;
}

// ------------------------------------------------------------------ check mode
//
// Every version against chained single passes, bit for bit (any NaN matches
// any NaN: payloads may differ), over lengths 1 to 3001, pass counts 1 to 300
// (every remainder of the split into blocks, one to several blocks), weights
// of either sign, and inflows and initial outflows that include NaN,
// infinities, signed zeros and subnormals; each case routed in place and
// streamed, in chunks of one value (a chunk boundary at every offset from
// every block's start and delay) and in chunks of drawn sizes up to a drawn
// capacity. About ten seconds in all.

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
    std::vector<double> values = random_values(length, seed);
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

bool same_results(const std::vector<double>& expected, const std::vector<double>& actual) {
    if (expected.size() != actual.size()) {
        return false;
    }
    for (std::size_t t = 0; t < expected.size(); ++t) {
        const bool both_nan = std::isnan(expected[t]) && std::isnan(actual[t]);
        if (!both_nan && std::bit_cast<std::uint64_t>(expected[t]) != std::bit_cast<std::uint64_t>(actual[t])) {
            return false;
        }
    }
    return true;
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
std::uint64_t passes_checked(Inflow inflow, std::size_t length, const SweepVersionInfo& version) {
    if (inflow != Inflow::zeros_and_subnormals) {
        return checked_passes;
    }
    return length > 40 ? 0 : std::min<std::uint64_t>(checked_passes, 2 * version.block_width + version.lanes + 1);
}

// The routing of `input` by a stream that takes chunks of at most `capacity`
// values, each of a size drawn from [1, capacity], and drains in chunks of
// `capacity`.
std::vector<double> streamed(const std::vector<double>& input, std::uint64_t passes, const Coefficients& c,
                             double first, const SweepVersionInfo& version, std::size_t capacity,
                             std::uint64_t seed) {
    brooklet::reach_routing::SweepStream stream(passes, c, first, version.version, capacity);
    std::vector<double> output;
    output.reserve(input.size());
    for (std::size_t read = 0; read < input.size();) {
        const std::span<double> space = stream.inflow_space();
        const std::size_t count = std::min<std::size_t>(input.size() - read, 1 + next_random(seed) % space.size());
        std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(read), count, space.begin());
        read += count;
        std::ranges::copy(stream.route(count), std::back_inserter(output));
    }
    for (std::span<const double> part = stream.drain(); !part.empty(); part = stream.drain()) {
        std::ranges::copy(part, std::back_inserter(output));
    }
    return output;
}

// Chunk capacities of the streamed form besides 1, which puts a chunk boundary
// at every offset from every block's start and delay.
constexpr std::array stream_capacities = {std::size_t{2}, std::size_t{5}, std::size_t{16}, std::size_t{150},
                                          std::size_t{1024}};

// Cases checked (one per length, inflow, weights and pass count, each routed
// in place and streamed in chunks of one value and of a drawn capacity), or
// nothing after the first mismatch, which is printed.
std::optional<std::uint64_t> check_version(const SweepVersionInfo& version) {
    std::uint64_t cases = 0;
    for (const std::size_t length : check_lengths()) {
        for (const Inflow inflow : check_inflows) {
            {
                const std::uint64_t seed = length * 7 + static_cast<std::uint64_t>(inflow);
                const Coefficients& c = check_weights[seed % check_weights.size()];
                const double first = check_first_outflows[seed % check_first_outflows.size()];
                const std::vector<double> input = check_values(inflow, length, seed);
                std::vector<double> expected = input;
                for (std::uint64_t passes = 1; passes <= passes_checked(inflow, length, version); ++passes) {
                    reference_pass(expected, c, first);
                    std::vector<double> swept = input;
                    brooklet::reach_routing::route_passes_in_place(swept, passes, c, first, version.version);
                    const std::size_t capacity = stream_capacities[(seed + passes) % stream_capacities.size()];
                    const std::array<std::pair<std::size_t, std::vector<double>>, 3> results = {{
                        {0, std::move(swept)},
                        {1, streamed(input, passes, c, first, version, 1, seed + passes)},
                        {capacity, streamed(input, passes, c, first, version, capacity, seed + passes)},
                    }};
                    ++cases;
                    for (const auto& [chunk, routed] : results) {
                        if (!same_results(expected, routed)) {
                            std::printf("%s: MISMATCH with %zu values, %" PRIu64
                                        " passes, weights %.17g %.17g %.17g, first outflow %g, inflow kind %d, "
                                        "%s %zu\n",
                                        version.name.data(), length, passes, c.c0, c.c1, c.c2, first,
                                        static_cast<int>(inflow), chunk == 0 ? "in place" : "streamed in chunks of",
                                        chunk);
                            return std::nullopt;
                        }
                    }
                }
            }
        }
    }
    return cases;
}

// Checks every version built in that this processor runs; says which it
// cannot run. The closing line counts versions.
int check_mode() {
    const auto runnable = brooklet::reach_routing::sweep_versions();
    std::size_t passed = 0;
    std::size_t failed = 0;
    std::size_t skipped = 0;
    std::printf("Sweep versions built into this %zu-bit build:", sizeof(void*) * 8);
    for (const SweepVersionInfo& version : brooklet::reach_routing::built_in_sweep_versions()) {
        std::printf(" %s", version.name.data());
    }
    std::printf("\n");
    for (const SweepVersionInfo& version : brooklet::reach_routing::built_in_sweep_versions()) {
        if (std::ranges::none_of(runnable, [&](const SweepVersionInfo& r) { return r.version == version.version; })) {
            std::printf("%s: skipped, this processor cannot run it\n", version.name.data());
            ++skipped;
            continue;
        }
        const double start = thread_seconds();
        if (const std::optional<std::uint64_t> cases = check_version(version)) {
            std::printf("%s: %" PRIu64 " cases identical to chained single passes (%.1f s)\n",
                        version.name.data(), *cases, thread_seconds() - start);
            ++passed;
        } else {
            ++failed;
        }
    }
    std::printf("sweep-versions: %zu passed, %zu failed, %zu skipped\n", passed, failed, skipped);
    return failed == 0 ? 0 : 1;
}

// Routes `values` through a stream in chunks of `chunk` values, each chunk's
// outflows copied back in place, as a caller that makes its results from them.
void stream_through(std::vector<double>& values, std::uint64_t passes, const Coefficients& c,
                    const SweepVersionInfo& version, std::size_t chunk) {
    brooklet::reach_routing::SweepStream stream(passes, c, 10.0, version.version, chunk);
    auto written = values.begin();
    for (std::size_t read = 0; read < values.size();) {
        const std::size_t count = std::min(chunk, values.size() - read);
        std::copy_n(values.begin() + static_cast<std::ptrdiff_t>(read), count, stream.inflow_space().begin());
        read += count;
        written = std::ranges::copy(stream.route(count), written).out;
    }
    for (std::span<const double> part = stream.drain(); !part.empty(); part = stream.drain()) {
        written = std::ranges::copy(part, written).out;
    }
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

struct Contender {
    const SweepVersionInfo* version;
    std::uint64_t passes;
    std::size_t chunk;  // values per chunk of the streamed form; 0 in place
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
    std::vector<std::uint64_t> chosen_passes;
    std::vector<std::size_t> stream_chunks;
    if (argc == 2 && std::string_view(argv[1]) == "--check") {
        return check_mode();
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view option = argv[i];
        if (option == "--rounds") {
            rounds = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (option == "--length") {
            length = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (option == "--passes") {
            chosen_passes = numbers<std::uint64_t>(argv[i + 1]);
        } else if (option == "--stream") {
            stream_chunks = numbers<std::size_t>(argv[i + 1]);
        }
    }
    const std::string load_before = load_average();

    std::vector<Contender> contenders;
    for (const SweepVersionInfo& version : brooklet::reach_routing::sweep_versions()) {
        if (!check_version(version)) {
            return 1;
        }
        const std::uint64_t full = version.block_width;
        const std::vector<std::uint64_t> passes_timed =
            chosen_passes.empty() ? std::vector<std::uint64_t>{full, full / 2, full / 4, 2, full + full / 4,
                                                               2 * full, 256}
                                  : chosen_passes;
        for (const std::uint64_t passes : passes_timed) {
            if (std::ranges::none_of(contenders, [&](const Contender& other) {
                    return other.version == &version && other.passes == passes;
                })) {
                contenders.push_back({&version, passes, 0, {}});
                for (const std::size_t chunk : stream_chunks) {
                    contenders.push_back({&version, passes, chunk, {}});
                }
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
                if (contender.chunk == 0) {
                    brooklet::reach_routing::route_passes_in_place(values, contender.passes, c, 10.0,
                                                                   contender.version->version);
                } else {
                    stream_through(values, contender.passes, c, *contender.version, contender.chunk);
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
    std::printf("%-9s %6s %7s %6s  %-26s %10s %8s\n", "version", "passes", "blocks", "chunk", "cycles/value·pass",
                "throughput", "latency");
    std::printf("%-9s %6s %7s %6s  %-26s %10s %8s\n", "", "", "", "", "median (min-max)", "bound", "bound");
    for (const Contender& contender : contenders) {
        const std::uint64_t width = contender.version->block_width;
        const std::uint64_t blocks = (contender.passes + width - 1) / width;
        const double throughput_bound = 3.0 / (static_cast<double>(contender.version->lanes) * 2.0);
        const double passes_per_block = static_cast<double>(contender.passes) / static_cast<double>(blocks);
        const std::string range = std::to_string(median(contender.cycles)).substr(0, 5) + " (" +
                                  std::to_string(*std::ranges::min_element(contender.cycles)).substr(0, 5) + "-" +
                                  std::to_string(*std::ranges::max_element(contender.cycles)).substr(0, 5) + ")";
        const std::string chunk = contender.chunk == 0 ? "-" : std::to_string(contender.chunk);
        std::printf("%-9s %6" PRIu64 " %7" PRIu64 " %6s  %-26s %10.3f %8.3f\n", contender.version->name.data(),
                    contender.passes, blocks, chunk.c_str(), range.c_str(), throughput_bound, step / passes_per_block);
    }
    return 0;
}
