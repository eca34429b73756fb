// The sweep's blocks of four doubles in the 16 registers of AVX2 (8 in 32-bit code),
// compiled with -mavx2 (CMakeLists.txt); the algorithm is sweep_blocks.inl.
#define BROOKLET_SWEEP_KERNEL_NAMESPACE sweep_kernel_avx2
#include "reach_routing/sweep_blocks.inl"

namespace brooklet::reach_routing::sweep_kernel_avx2 {
namespace {
constexpr auto kernels = block_kernels_of<Double4, sse_avx_registers, avx2_block_width>();
}  // namespace

constinit const std::span<const BlockKernel> block_kernels = kernels.kernels;

}  // namespace brooklet::reach_routing::sweep_kernel_avx2
