// Vector multiplies per cycle at each vector width, each measured by code
// built for its own instruction set (vector_multiplies.inl); only those that
// the build compiles for its architecture are defined.
#pragma once

namespace brooklet::kernel_bench {
namespace multiplies_two_double {
double vector_multiplies_per_cycle(double rate);
}
namespace multiplies_avx2 {
double vector_multiplies_per_cycle(double rate);
}
namespace multiplies_avx512 {
double vector_multiplies_per_cycle(double rate);
}
}  // namespace brooklet::kernel_bench
