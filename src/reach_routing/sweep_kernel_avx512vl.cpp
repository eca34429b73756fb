// The sweep's blocks of four doubles in the 32 registers of AVX-512 (its VL encodings),
// compiled with -mavx512f -mavx512vl (CMakeLists.txt); the algorithm is sweep_blocks.inl.
#define BROOKLET_SWEEP_KERNEL_NAMESPACE sweep_kernel_avx512vl
#include "reach_routing/sweep_blocks.inl"

namespace brooklet::reach_routing::sweep_kernel_avx512vl {
namespace {
constexpr auto kernels = block_kernels_of<Double4, avx512_registers, avx512vl_block_width>();
}  // namespace

constinit const std::span<const BlockKernel> block_kernels = kernels.kernels;

}  // namespace brooklet::reach_routing::sweep_kernel_avx512vl
