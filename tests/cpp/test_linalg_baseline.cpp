// The dense-kernel tests again on the baseline (SSE2) table of the vector kernels, which an AVX2
// machine never dispatches to: this test has its own chooser, built to know that table alone,
// which the linker takes in place of the library's.
#define VELM_BASELINE_ONLY 1
#include "_common/velm_dispatch.cpp"

#include "test_cholesky.cpp"
#include "test_products.cpp"
#include "test_sort.cpp"

namespace {

TEST(BaselineTable, IsTheOneInUse) { EXPECT_EQ(&velm_isa::active(), &velm_isa::baseline); }

}  // namespace
