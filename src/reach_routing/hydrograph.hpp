// The types that the interpreter boundary and the router share: the hydrograph
// and the non-negative time span. Neither side's header includes the other's.
#pragma once

#include <cstdint>
#include <vector>

namespace brooklet::reach_routing {

// One flow value per routing interval, in time order.
using Hydrograph = std::vector<double>;

// A non-negative span of time.
struct Duration {
    std::uint64_t seconds = 0;
    std::uint32_t nanoseconds = 0;  // below 1'000'000'000

    // Whole seconds as the nearest double plus nanoseconds / 1e9.
    [[nodiscard]] double as_seconds() const noexcept {
        return static_cast<double>(seconds) + static_cast<double>(nanoseconds) / 1000000000.0;
    }
};

}  // namespace brooklet::reach_routing
