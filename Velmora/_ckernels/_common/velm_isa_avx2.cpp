// Kernel table of AVX2 with FMA: the micro-kernels on four-lane vectors, for x86-64 CPUs.
// Only the entry functions carry the target; the kernels inlined into them are compiled for it,
// and nothing else in the library is.
#include "velm_microkernels.h"

#if VELM_HAVE_X86_KERNELS

namespace {

struct Avx2 {
    typedef velm_simd::f64x4 Vector;
    template <class Kernel, class R, class... Args>
    __attribute__((target("avx2,fma"))) static R run(Args... args) {
        return Kernel::template run<velm_simd::f64x4>(args...);
    }
};

}  // namespace

namespace velm_isa {

const KernelTable avx2 = velm_micro::make_table<Avx2>();

}  // namespace velm_isa

#endif
