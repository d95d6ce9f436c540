// The dense-kernel tests again on the AVX2 table of the vector kernels, which an AVX-512 machine
// does not dispatch to; skipped on a CPU without AVX2 and FMA.
#define VELM_AVX2_ONLY 1
#include "_common/velm_dispatch.cpp"

#include "forced_table.h"
#include "test_cholesky.cpp"
#include "test_products.cpp"
#include "test_sort.cpp"

namespace {

::testing::Environment* const kRequireAvx2 =
    forced_table::require("AVX2", &velm_isa::cpu_runs_avx2);

TEST(Avx2Table, IsTheOneInUse) { EXPECT_EQ(&velm_isa::active(), &velm_isa::avx2); }

}  // namespace
