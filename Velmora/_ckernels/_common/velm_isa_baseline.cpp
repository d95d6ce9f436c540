// Kernel table of the baseline ISA: the micro-kernels on two-lane vectors, for every CPU.
// That is SSE2 on x86-64, and whatever the compiler targets elsewhere.
#include "velm_microkernels.h"

namespace {

struct Baseline {
    typedef velm_simd::f64x2 Vector;
    template <class Kernel, class R, class... Args>
    static R run(Args... args) {
        return Kernel::template run<velm_simd::f64x2>(args...);
    }
};

}  // namespace

namespace velm_isa {

const KernelTable baseline = velm_micro::make_table<Baseline>();

}  // namespace velm_isa
