// Kernel table of AVX-512F: the micro-kernels on eight-lane vectors, for x86-64 CPUs.
// Only the entry functions carry the target; the kernels inlined into them are compiled for it,
// and nothing else in the library is.
#include "velm_microkernels.h"

#if VELM_HAVE_X86_KERNELS

namespace {

struct Avx512 {
    typedef velm_simd::f64x8 Vector;
    template <class Kernel, class R, class... Args>
    __attribute__((target("avx512f"))) static R run(Args... args) {
        return Kernel::template run<velm_simd::f64x8>(args...);
    }
};

}  // namespace

namespace velm_isa {

const KernelTable avx512 = velm_micro::make_table<Avx512>();

}  // namespace velm_isa

#endif
