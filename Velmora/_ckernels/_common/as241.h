// Inverse standard normal distribution function by Wichura's AS 241 (PPND16).
#ifndef VELM_AS241_H
#define VELM_AS241_H

#include "velm_common.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

f64 velm_ndtri_as241(f64 p);
void velm_ndtri_as241_into(const f64* p, i64 n, f64* out);
f64 velm_erfinv_from_as241(f64 y);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
