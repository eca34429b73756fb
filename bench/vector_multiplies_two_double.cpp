// Multiplies of 2-double vectors, compiled for SSE2 (the baseline flags).
#define BROOKLET_MULTIPLIES_NAMESPACE multiplies_two_double
#define BROOKLET_MULTIPLIES_LANES 2
#include "vector_multiplies.inl"
