// Picks the kernel table of the CPU the library runs on: the widest ISA it supports, except where
// the wider vectors measure slower.
#include "velm_kernel_table.h"

namespace velm_isa {

#if VELM_HAVE_X86_KERNELS
// The CPU flags that the compiler's runtime library records (it may not have run yet); they
// include the operating system's support for the registers' state.
bool cpu_runs_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

bool cpu_runs_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f");
}

namespace {

// AMD family 19h with AVX-512 (Zen 4) executes each 512-bit operation as two 256-bit halves on
// the same units as AVX2, so eight lanes gain no multiply-adds per cycle, and the products lose
// to the four-lane ones (at n = 100: about 52 against 55 GFLOP/s for A B, 51 against 54 for
// A B'): the ragged ends of eight-lane panels and rows waste more of each vector.
[[maybe_unused]] bool avx512_outruns_avx2() { return !__builtin_cpu_is("amdfam19h"); }

}  // namespace
#else
bool cpu_runs_avx2() { return false; }
bool cpu_runs_avx512() { return false; }
#endif

const KernelTable& select() {
#if VELM_HAVE_X86_KERNELS && defined(VELM_AVX512_ONLY)
    if (cpu_runs_avx512()) return avx512;
#elif VELM_HAVE_X86_KERNELS && defined(VELM_AVX2_ONLY)
    if (cpu_runs_avx2()) return avx2;
#elif VELM_HAVE_X86_KERNELS && !defined(VELM_BASELINE_ONLY)
    if (cpu_runs_avx512() && avx512_outruns_avx2()) return avx512;
    if (cpu_runs_avx2()) return avx2;
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
