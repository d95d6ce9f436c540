// Helpers of the dense-kernel tests: seeded random matrices, naive references, guarded outputs.
#ifndef VELM_TESTS_LINALG_TESTING_H
#define VELM_TESTS_LINALG_TESTING_H

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "_common/velm_linalg.h"

namespace linalg_testing {

using Mat = std::vector<f64>;

constexpr f64 kSentinel = 777.0;
constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();
constexpr f64 kInf = std::numeric_limits<f64>::infinity();

inline Mat random_mat(std::mt19937_64& rng, i64 rows, i64 cols) {
    std::uniform_real_distribution<f64> unit(-1.0, 1.0);
    Mat out(static_cast<size_t>(rows * cols));
    for (f64& v : out) v = unit(rng);
    return out;
}

// Naive reference: out(i,j) = sum_k A(i,k) B(k,j), A n x p, B p x m.
inline Mat ref_matmul(const Mat& A, const Mat& B, i64 n, i64 p, i64 m) {
    Mat out(static_cast<size_t>(n * m), 0.0);
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < m; ++j)
            for (i64 k = 0; k < p; ++k) out[i * m + j] += A[i * p + k] * B[k * m + j];
    return out;
}

inline Mat ref_transpose(const Mat& A, i64 rows, i64 cols) {
    Mat out(A.size());
    for (i64 i = 0; i < rows; ++i)
        for (i64 j = 0; j < cols; ++j) out[j * rows + i] = A[i * cols + j];
    return out;
}

// Symmetric positive definite test matrix: X^T X / n + n * I-ish shift for conditioning.
inline Mat random_spd(std::mt19937_64& rng, i64 n) {
    const Mat X = random_mat(rng, n, n);
    Mat S = ref_matmul(ref_transpose(X, n, n), X, n, n, n);
    for (i64 i = 0; i < n; ++i) S[i * n + i] += 0.5;
    return S;
}

// Output buffer of `used` cells followed by a guard, all holding the sentinel.
inline Mat guarded(i64 used) { return Mat(static_cast<size_t>(used) + 4, kSentinel); }

inline void expect_near_all(const Mat& actual, const Mat& expected, f64 tol) {
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(actual[i], expected[i], tol) << "at " << i;
}

inline void expect_sentinel_from(const Mat& buffer, size_t first) {
    for (size_t i = first; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], kSentinel) << "at " << i;
}

}  // namespace linalg_testing

#endif
