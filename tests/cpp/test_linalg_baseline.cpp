// The dense-kernel tests again on the baseline (SSE2) instances of the vector kernels, which an
// AVX2 machine never dispatches to: the kernels are compiled into this test alone without them.
#define VELM_BASELINE_ONLY 1
#include "_common/velm_linalg.cpp"

#include "test_linalg.cpp"
