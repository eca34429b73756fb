// Multiplies of 8-double vectors, compiled for AVX-512F (-mavx512f).
#define BROOKLET_MULTIPLIES_NAMESPACE multiplies_avx512
#define BROOKLET_MULTIPLIES_LANES 8
#include "vector_multiplies.inl"
