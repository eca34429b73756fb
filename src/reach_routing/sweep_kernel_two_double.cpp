// The sweep's blocks of two doubles a vector (SSE2 on x86, which every x86 processor routing here has),
// compiled with the baseline flags (CMakeLists.txt); the algorithm is sweep_blocks.inl.
#define BROOKLET_SWEEP_KERNEL_NAMESPACE sweep_kernel_two_double
#include "reach_routing/sweep_blocks.inl"

namespace brooklet::reach_routing::sweep_kernel_two_double {
namespace {
constexpr auto kernels = block_kernels_of<Double2, sse_avx_registers, two_double_block_width>();
}  // namespace

constinit const std::span<const BlockKernel> block_kernels = kernels.kernels;

}  // namespace brooklet::reach_routing::sweep_kernel_two_double
