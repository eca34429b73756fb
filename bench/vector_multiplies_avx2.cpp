// Multiplies of 4-double vectors, compiled for AVX2 (-mavx2).
#define BROOKLET_MULTIPLIES_NAMESPACE multiplies_avx2
#define BROOKLET_MULTIPLIES_LANES 4
#include "vector_multiplies.inl"
