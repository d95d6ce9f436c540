// Sort and median of f64 arrays, NaNs ordered after every number.
#include <cmath>
#include <cstdlib>

#include "velm_linalg.h"

// Total order for qsort: numbers ascending, then every NaN (all NaNs equal). A comparison that
// called NaN equal to everything would be inconsistent, and qsort is undefined for those.
static int velm_cmp_f64(const void* a, const void* b) {
    const f64 fa = *static_cast<const f64*>(a);
    const f64 fb = *static_cast<const f64*>(b);
    const int a_nan = std::isnan(fa);
    const int b_nan = std::isnan(fb);
    if (a_nan || b_nan) return a_nan - b_nan;
    return (fa > fb) - (fa < fb);
}

void velm_sort_f64(f64* arr, i64 n) {
    if (n > 1) std::qsort(arr, static_cast<size_t>(n), sizeof(f64), velm_cmp_f64);
}

f64 velm_median_f64(f64* arr, i64 n) {
    if (n <= 0) return std::nan("");
    velm_sort_f64(arr, n);
    if (n % 2 == 1) return arr[n / 2];
    return (arr[n / 2] + arr[n / 2 - 1]) * 0.5;
}
