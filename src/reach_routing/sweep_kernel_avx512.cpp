// The sweep's blocks of eight doubles (AVX-512F),
// compiled with -mavx512f (CMakeLists.txt); the algorithm is sweep_blocks.inl.
#define BROOKLET_SWEEP_KERNEL_NAMESPACE sweep_kernel_avx512
#include "reach_routing/sweep_blocks.inl"

namespace brooklet::reach_routing::sweep_kernel_avx512 {
namespace {
constexpr auto kernels = block_kernels_of<Double8, avx512_registers, avx512_block_width>();
}  // namespace

constinit const std::span<const BlockKernel> block_kernels = kernels.kernels;

}  // namespace brooklet::reach_routing::sweep_kernel_avx512
