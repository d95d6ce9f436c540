// The dense-kernel tests again on the AVX-512F table of the vector kernels, whichever table the
// library prefers on this CPU; skipped on a CPU without AVX-512F.
#define VELM_AVX512_ONLY 1
#include "_common/velm_dispatch.cpp"

#include "forced_table.h"
#include "test_cholesky.cpp"
#include "test_products.cpp"
#include "test_sort.cpp"

namespace {

::testing::Environment* const kRequireAvx512 =
    forced_table::require("AVX-512F", &velm_isa::cpu_runs_avx512);

TEST(Avx512Table, IsTheOneInUse) { EXPECT_EQ(&velm_isa::active(), &velm_isa::avx512); }

}  // namespace
