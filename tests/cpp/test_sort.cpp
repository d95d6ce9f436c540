// Tests of the sort and median of f64 arrays, NaNs included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "_common/velm_linalg.h"
#include "linalg_testing.h"

namespace {

using namespace linalg_testing;

// ==== sort and median ==========================================================================

TEST(Sort, AgreesWithStdSort) {
    std::mt19937_64 rng(5);
    Mat values = random_mat(rng, 501, 1);
    values[10] = values[20] = values[30];  // duplicates
    values[40] = -0.0;
    values[41] = 0.0;
    Mat expected = values;
    std::sort(expected.begin(), expected.end());
    velm_sort_f64(values.data(), static_cast<i64>(values.size()));
    EXPECT_EQ(values, expected);
}

TEST(Sort, PutsNaNsAfterAllNumbers) {
    const std::vector<Mat> cases = {
        {kNaN, 3, 1, 2},
        {3, kNaN, 1, kNaN, -kInf, 2},
        {kNaN, kNaN, kNaN},
        {kInf, kNaN, -5, kNaN, 0},
    };
    for (Mat values : cases) {
        const size_t n_nan = static_cast<size_t>(std::count_if(values.begin(), values.end(),
                                                               [](f64 v) { return std::isnan(v); }));
        Mat numbers;
        for (f64 v : values)
            if (!std::isnan(v)) numbers.push_back(v);
        std::sort(numbers.begin(), numbers.end());

        velm_sort_f64(values.data(), static_cast<i64>(values.size()));
        for (size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(values[i], numbers[i]);
        for (size_t i = numbers.size(); i < values.size(); ++i) EXPECT_TRUE(std::isnan(values[i]));
        EXPECT_EQ(values.size() - numbers.size(), n_nan);
    }
}

// Large enough for qsort's general paths, where an inconsistent comparison scatters the NaNs.
TEST(Sort, ManyNaNsSortSafely) {
    std::mt19937_64 rng(9);
    std::bernoulli_distribution is_nan(0.3);
    Mat values = random_mat(rng, 4000, 1);
    for (f64& v : values)
        if (is_nan(rng)) v = kNaN;
    velm_sort_f64(values.data(), static_cast<i64>(values.size()));
    const auto first_nan =
        std::find_if(values.begin(), values.end(), [](f64 v) { return std::isnan(v); });
    EXPECT_TRUE(std::is_sorted(values.begin(), first_nan));
    EXPECT_TRUE(std::all_of(first_nan, values.end(), [](f64 v) { return std::isnan(v); }));
}

TEST(Median, OddEvenEmptyAndNaN) {
    Mat odd = {3, 1, 2};
    EXPECT_EQ(velm_median_f64(odd.data(), 3), 2.0);
    EXPECT_EQ(odd, (Mat{1, 2, 3}));

    Mat even = {4, 1, 3, 2};
    EXPECT_EQ(velm_median_f64(even.data(), 4), 2.5);

    Mat empty = {kSentinel};
    EXPECT_TRUE(std::isnan(velm_median_f64(empty.data(), 0)));
    EXPECT_EQ(empty[0], kSentinel);

    Mat with_nan = {kNaN, 5, 1};  // sorts to {1, 5, NaN}
    EXPECT_EQ(velm_median_f64(with_nan.data(), 3), 5.0);
}

}  // namespace
