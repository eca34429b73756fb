// Helpers shared by the sweep's check, benchmark and fuzz programs, which link
// the sweep without the interpreter.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <vector>

#include "reach_routing/sweep_stream.hpp"

namespace brooklet::sweep_programs {

inline double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

inline std::uint64_t next_random(std::uint64_t& state) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 11;
}

// Values drawn from [0, 1000).
inline std::vector<double> random_values(std::size_t length, std::uint64_t seed) {
    std::vector<double> values(length);
    for (double& v : values) {
        v = static_cast<double>(next_random(seed)) * 0x1p-53 * 1000.0;
    }
    return values;
}

// Whether the two are the same bit for bit, except that any NaN matches any
// NaN (payloads may differ).
inline bool same_bits(std::span<const double> expected, std::span<const double> actual) {
    return std::ranges::equal(expected, actual, [](double e, double a) {
        return (std::isnan(e) && std::isnan(a)) || std::bit_cast<std::uint64_t>(e) == std::bit_cast<std::uint64_t>(a);
    });
}

// Routes `input` through `stream`, writing chunks of chunk_size(space) values
// (at least 1, at most the space and the input left) and handing each part of the
// outflows, in time order, to take(part), drain included.
template <typename ChunkSize, typename Take>
void stream_through(std::span<const double> input, reach_routing::SweepStream& stream, const ChunkSize& chunk_size,
                    const Take& take) {
    for (std::size_t read = 0; read < input.size();) {
        const std::span<double> space = stream.inflow_space();
        const std::size_t count =
            std::min({input.size() - read, space.size(), std::max<std::size_t>(chunk_size(space.size()), 1)});
        std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(read), count, space.begin());
        read += count;
        take(stream.route(count));
    }
    for (std::span<const double> part = stream.drain(); !part.empty(); part = stream.drain()) {
        take(part);
    }
}

}  // namespace brooklet::sweep_programs
