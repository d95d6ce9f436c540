// The dense-kernel suites run again on one forced kernel table: each test_linalg_<isa>.cpp builds
// its own chooser (velm_dispatch.cpp with VELM_<ISA>_ONLY), which the linker takes in place of the
// library's, includes the suites and registers the environment below. On a CPU without the ISA
// that chooser falls back to the baseline table, so the environment skips every test body
// instead (GoogleTest 1.12 prints the skip once and then counts those tests as passed).
#ifndef VELM_TESTS_FORCED_TABLE_H
#define VELM_TESTS_FORCED_TABLE_H

#include <gtest/gtest.h>

#include "_common/velm_kernel_table.h"

namespace forced_table {

class RequireIsa : public ::testing::Environment {
  public:
    RequireIsa(const char* isa, bool (*cpu_runs)()) : isa_(isa), cpu_runs_(cpu_runs) {}
    void SetUp() override {
        if (!cpu_runs_()) GTEST_SKIP() << "this CPU does not run the " << isa_ << " kernels";
    }

  private:
    const char* isa_;
    bool (*cpu_runs_)();
};

// Registered during static initialisation, before gtest_main runs the tests.
inline ::testing::Environment* require(const char* isa, bool (*cpu_runs)()) {
    return ::testing::AddGlobalTestEnvironment(new RequireIsa(isa, cpu_runs));
}

}  // namespace forced_table

#endif
