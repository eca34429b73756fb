// The multiply throughput of one vector width, written once and compiled by
// vector_multiplies_<set>.cpp with that set's flags, each in a namespace of its
// own (as the sweep's kernels are): no inline function is shared across flags.
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "vector_multiplies.hpp"

#ifndef BROOKLET_MULTIPLIES_NAMESPACE
#error "define BROOKLET_MULTIPLIES_NAMESPACE and BROOKLET_MULTIPLIES_LANES before including vector_multiplies.inl"
#endif

namespace brooklet::kernel_bench::BROOKLET_MULTIPLIES_NAMESPACE {
namespace {

using Vector = double __attribute__((vector_size(BROOKLET_MULTIPLIES_LANES * sizeof(double))));

double seconds_now() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

// Independent chains of multiplies, more than the multiply units can overlap
// (two units of latency 3 overlap 6) and few enough to stay in registers with
// the factor, so that they run at the units' throughput. The factor comes
// through an asm statement, so that nothing is folded.
double vector_multiplies_per_cycle(double rate) {
#ifdef __i386__
    constexpr std::size_t chains = 7;  // 8 vector registers
#else
    constexpr std::size_t chains = 12;
#endif
    constexpr std::uint64_t rounds = 200'000;
    Vector factor{};
    for (std::size_t lane = 0; lane < BROOKLET_MULTIPLIES_LANES; ++lane) {
        factor[lane] = 1.0;
    }
    Vector products[chains];
    for (std::size_t k = 0; k < chains; ++k) {
        products[k] = factor;
    }
    asm volatile("" : "+m"(factor));
    const Vector f = factor;
    const double start = seconds_now();
    for (std::uint64_t r = 0; r < rounds; ++r) {
        for (std::size_t k = 0; k < chains; ++k) {
            products[k] = products[k] * f;
        }
    }
    const double seconds = seconds_now() - start;
    asm volatile("" : : "m"(products));
    return static_cast<double>(rounds * chains) / (seconds * rate);
}

}  // namespace brooklet::kernel_bench::BROOKLET_MULTIPLIES_NAMESPACE
