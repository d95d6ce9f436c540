// Picks the kernel table of the CPU the library runs on: the widest ISA it supports.
#include "velm_kernel_table.h"

namespace velm_isa {

const KernelTable& select() {
#if VELM_HAVE_AVX2_KERNELS && !defined(VELM_BASELINE_ONLY)
    // the CPU flags that the compiler's runtime library records; it may not have run yet
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return avx2;
#endif
    return baseline;
}

const KernelTable* active_table = &baseline;

namespace {

// Written once, while the library is loaded and before any of its functions can be called from
// another thread.
__attribute__((constructor)) void choose_table() { active_table = &select(); }

}  // namespace

}  // namespace velm_isa
