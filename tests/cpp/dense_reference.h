// Naive dense arithmetic and seeded random models for the filter-kernel tests, written
// independently of the kernels they check.
#ifndef VELM_TESTS_DENSE_REFERENCE_H
#define VELM_TESTS_DENSE_REFERENCE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace ref {

// Row-major matrix; a vector is an r x 1 matrix.
struct Mat {
    int64_t rows = 0;
    int64_t cols = 0;
    std::vector<double> a;

    Mat() = default;
    Mat(int64_t r, int64_t c, double fill = 0.0)
        : rows(r), cols(c), a(static_cast<size_t>(r * c), fill) {}
    double& operator()(int64_t i, int64_t j) { return a[i * cols + j]; }
    double operator()(int64_t i, int64_t j) const { return a[i * cols + j]; }
    double* data() { return a.data(); }
    const double* data() const { return a.data(); }
    int64_t size() const { return rows * cols; }
};

inline Mat from(int64_t r, int64_t c, std::vector<double> values) {
    Mat X(r, c);
    X.a = std::move(values);
    return X;
}

inline Mat identity(int64_t n) {
    Mat I(n, n);
    for (int64_t i = 0; i < n; ++i) I(i, i) = 1.0;
    return I;
}

inline Mat operator*(const Mat& X, const Mat& Y) {
    Mat Z(X.rows, Y.cols);
    for (int64_t i = 0; i < X.rows; ++i)
        for (int64_t j = 0; j < Y.cols; ++j) {
            double s = 0.0;
            for (int64_t l = 0; l < X.cols; ++l) s += X(i, l) * Y(l, j);
            Z(i, j) = s;
        }
    return Z;
}

inline Mat operator+(Mat X, const Mat& Y) {
    for (int64_t i = 0; i < X.size(); ++i) X.a[i] += Y.a[i];
    return X;
}

inline Mat operator-(Mat X, const Mat& Y) {
    for (int64_t i = 0; i < X.size(); ++i) X.a[i] -= Y.a[i];
    return X;
}

inline Mat operator*(double s, Mat X) {
    for (double& x : X.a) x *= s;
    return X;
}

inline Mat tr(const Mat& X) {
    Mat Y(X.cols, X.rows);
    for (int64_t i = 0; i < X.rows; ++i)
        for (int64_t j = 0; j < X.cols; ++j) Y(j, i) = X(i, j);
    return Y;
}

inline Mat sym(const Mat& X) { return 0.5 * (X + tr(X)); }

// The symmetric matrix a lower-triangle reader sees.
inline Mat mirror_lower(const Mat& X) {
    Mat Y = X;
    for (int64_t i = 0; i < X.rows; ++i)
        for (int64_t j = i + 1; j < X.cols; ++j) Y(i, j) = X(j, i);
    return Y;
}

inline Mat row(const Mat& X, int64_t r) {
    Mat v(X.cols, 1);
    for (int64_t j = 0; j < X.cols; ++j) v.a[j] = X(r, j);
    return v;
}

// Gauss-Jordan inverse with partial pivoting.
inline Mat inverse(Mat X) {
    const int64_t n = X.rows;
    Mat Y = identity(n);
    for (int64_t c = 0; c < n; ++c) {
        int64_t p = c;
        for (int64_t r = c + 1; r < n; ++r)
            if (std::fabs(X(r, c)) > std::fabs(X(p, c))) p = r;
        for (int64_t j = 0; j < n; ++j) {
            std::swap(X(c, j), X(p, j));
            std::swap(Y(c, j), Y(p, j));
        }
        const double pivot = X(c, c);
        for (int64_t j = 0; j < n; ++j) {
            X(c, j) /= pivot;
            Y(c, j) /= pivot;
        }
        for (int64_t r = 0; r < n; ++r) {
            if (r == c) continue;
            const double f = X(r, c);
            for (int64_t j = 0; j < n; ++j) {
                X(r, j) -= f * X(c, j);
                Y(r, j) -= f * Y(c, j);
            }
        }
    }
    return Y;
}

// Lower Cholesky factor of a symmetric matrix; ok is false at a non-positive pivot.
inline Mat chol_lower(const Mat& S, bool* ok) {
    const int64_t n = S.rows;
    Mat L(n, n);
    *ok = true;
    for (int64_t j = 0; j < n; ++j) {
        double d = S(j, j);
        for (int64_t l = 0; l < j; ++l) d -= L(j, l) * L(j, l);
        if (!(d > 0.0)) {
            *ok = false;
            return L;
        }
        L(j, j) = std::sqrt(d);
        for (int64_t i = j + 1; i < n; ++i) {
            double s = S(i, j);
            for (int64_t l = 0; l < j; ++l) s -= L(i, l) * L(j, l);
            L(i, j) = s / L(j, j);
        }
    }
    return L;
}

inline bool is_exactly_symmetric(const double* X, int64_t n) {
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = 0; j < i; ++j)
            if (X[i * n + j] != X[j * n + i]) return false;
    return true;
}

// Largest |got - want| against tol * max(1, |want|), reporting the worst cell.
inline ::testing::AssertionResult near(const double* got, const Mat& want, double tol) {
    double worst = 0.0;
    int64_t at = -1;
    for (int64_t i = 0; i < want.size(); ++i) {
        const double err = std::fabs(got[i] - want.a[i]) / std::max(1.0, std::fabs(want.a[i]));
        if (!(err <= worst)) {
            worst = err;
            at = i;
        }
    }
    if (at < 0 || worst <= tol) return ::testing::AssertionSuccess();
    std::ostringstream msg;
    msg << "cell " << at << ": got " << got[at] << ", want " << want.a[at] << " (rel err "
        << worst << " > " << tol << ")";
    return ::testing::AssertionFailure() << msg.str();
}

inline ::testing::AssertionResult near(const std::vector<double>& got, const Mat& want,
                                       double tol) {
    if (static_cast<int64_t>(got.size()) != want.size())
        return ::testing::AssertionFailure() << "size " << got.size() << " vs " << want.size();
    return near(got.data(), want, tol);
}

// Every cell of [first, last) still holds the value it was filled with.
inline ::testing::AssertionResult all_equal(const double* first, const double* last,
                                            double value) {
    for (const double* p = first; p < last; ++p)
        if (!(*p == value))
            return ::testing::AssertionFailure() << "cell " << (p - first) << " = " << *p;
    return ::testing::AssertionSuccess();
}

class Rng {
public:
    explicit Rng(uint64_t seed) : gen_(seed) {}

    Mat mat(int64_t r, int64_t c, double lo = -1.0, double hi = 1.0) {
        std::uniform_real_distribution<double> u(lo, hi);
        Mat X(r, c);
        for (double& x : X.a) x = u(gen_);
        return X;
    }

    // G G' + shift I: symmetric, comfortably positive definite.
    Mat spd(int64_t n, double shift = 0.5) {
        const Mat G = mat(n, n);
        return G * tr(G) + shift * identity(n);
    }

    // Entries small enough for a spectral radius below 1/2.
    Mat stable(int64_t n) { return (0.5 / static_cast<double>(n)) * mat(n, n); }

private:
    std::mt19937_64 gen_;
};

}  // namespace ref

#endif
