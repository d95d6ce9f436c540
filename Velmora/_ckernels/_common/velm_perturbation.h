// One period of a pruned second-order perturbation solution (header-only, inlined by its users).
//
// Pruning after Kim, Kim, Schaumburg and Sims (2008): the state is split into a first-order part
// x1 and a second-order part x2, and only x1 enters the quadratic terms, so the second-order
// terms are never fed back into the products and the simulated path cannot explode.
//
// Tensors are stored as matrices whose row i is the flattened block of variable i: hxx[i, j, k]
// at i*nx*nx + j*nx + k, hxu[i, j, l] at i*nx*ne + j*ne + l, huu[i, l, m] at i*ne*ne + l*ne + m
// (and likewise gxx, gxu, guu for the controls). bu spans all nx + ny variables, states first.
#ifndef VELM_PERTURBATION_H
#define VELM_PERTURBATION_H

#include "velm_common.h"

// Scratch cells of velm_second_order_step: x1 (x) x1, x1 (x) u and u (x) u, in that order; -1
// when the count overflows (or a dimension is negative).
static inline i64 velm_second_order_step_scratch(const i64 nx, const i64 n_exog) {
    return velm_count_add(velm_count_add(velm_count_mul(nx, nx), velm_count_mul(nx, n_exog)),
                          velm_count_mul(n_exog, n_exog));
}

// sum_j a[j] * b[j]
static inline f64 velm_pert_dot(const f64* __restrict a, const f64* __restrict b, const i64 n) {
    f64 s = 0.0;
    for (i64 j = 0; j < n; ++j) s += a[j] * b[j];
    return s;
}

// sum_j a[j] * (b[j] + c[j])
static inline f64 velm_pert_dot_sum(const f64* __restrict a, const f64* __restrict b,
                                    const f64* __restrict c, const i64 n) {
    f64 s = 0.0;
    for (i64 j = 0; j < n; ++j) s += a[j] * (b[j] + c[j]);
    return s;
}

// out[j*nb + k] = a[j] * b[k]: the Kronecker product of two vectors.
static inline void velm_pert_kron(const f64* __restrict a, const i64 na, const f64* __restrict b,
                                  const i64 nb, f64* __restrict out) {
    for (i64 j = 0; j < na; ++j) {
        const f64 aj = a[j];
        f64* __restrict row = out + j * nb;
        for (i64 k = 0; k < nb; ++k) row[k] = aj * b[k];
    }
}

// Quadratic terms of one variable: 1/2 Fxx (x1 (x) x1) + Fxu (x1 (x) u) + 1/2 Fuu (u (x) u).
// The shock blocks are read only when there are shocks.
static inline f64 velm_pert_quadratic(const f64* __restrict Fxx, const f64* __restrict Fxu,
                                      const f64* __restrict Fuu, const f64* __restrict xx,
                                      const f64* __restrict xu, const f64* __restrict uu,
                                      const i64 nx, const i64 n_exog) {
    f64 s = 0.5 * velm_pert_dot(Fxx, xx, nx * nx);
    if (n_exog > 0) {
        s += velm_pert_dot(Fxu, xu, nx * n_exog);
        s += 0.5 * velm_pert_dot(Fuu, uu, n_exog * n_exog);
    }
    return s;
}

// Shock loading of one variable, sum_l B[l] * u[l]; neither B nor u is read without shocks.
static inline f64 velm_pert_shock(const f64* __restrict B_row, const f64* __restrict u,
                                  const i64 n_exog) {
    return n_exog > 0 ? velm_pert_dot(B_row, u, n_exog) : 0.0;
}

// Advances (x1, x2) by one period with the shocks u of the next period and writes the levels of
// all nx + ny variables of that period (states first) to vars:
//   x1' = hx x1 + bu_x u
//   x2' = 1/2 hss + hx x2 + 1/2 hxx (x1 (x) x1) + hxu (x1 (x) u) + 1/2 huu (u (x) u)
//   y   = 1/2 gss + gx (x1 + x2) + bu_y u + 1/2 gxx (x1 (x) x1) + gxu (x1 (x) u)
//         + 1/2 guu (u (x) u)
// The controls use the current (x1, x2) and the same u, so they respond to that period's shock
// at once. u may be null when n_exog = 0, ss may be null (steady state zero). No pointer may
// alias another; arena holds velm_second_order_step_scratch(nx, n_exog) cells.
static inline void velm_second_order_step(
    const f64* __restrict hx, const f64* __restrict gx, const f64* __restrict bu,
    const f64* __restrict hxx, const f64* __restrict gxx, const f64* __restrict hxu,
    const f64* __restrict gxu, const f64* __restrict huu, const f64* __restrict guu,
    const f64* __restrict hss, const f64* __restrict gss, const f64* __restrict x1,
    const f64* __restrict x2, const f64* __restrict u, const f64* __restrict ss,
    f64* __restrict x1_next, f64* __restrict x2_next, f64* __restrict vars,
    f64* __restrict arena, const i64 nx, const i64 ny, const i64 n_exog) {
    const i64 nxx = nx * nx;
    const i64 nxu = nx * n_exog;
    const i64 nuu = n_exog * n_exog;
    f64* __restrict xx = arena;
    f64* __restrict xu = arena + nxx;
    f64* __restrict uu = arena + nxx + nxu;

    // Kronecker products, formed once and shared by every row.
    velm_pert_kron(x1, nx, x1, nx, xx);
    if (n_exog > 0) {
        velm_pert_kron(x1, nx, u, n_exog, xu);
        velm_pert_kron(u, n_exog, u, n_exog, uu);
    }

    for (i64 i = 0; i < nx; ++i) {
        // x1'[i] = hx[i,:] x1 + bu[i,:] u
        const f64 s1 = velm_pert_dot(hx + i * nx, x1, nx) +
                       velm_pert_shock(bu + i * n_exog, u, n_exog);
        // x2'[i] = 1/2 hss[i] + hx[i,:] x2 + quadratic terms of state i
        const f64 s2 = 0.5 * hss[i] + velm_pert_dot(hx + i * nx, x2, nx) +
                       velm_pert_quadratic(hxx + i * nxx, hxu + i * nxu, huu + i * nuu, xx, xu,
                                           uu, nx, n_exog);
        x1_next[i] = s1;
        x2_next[i] = s2;
        vars[i] = ss ? (ss[i] + s1) + s2 : s1 + s2;
    }

    for (i64 i = 0; i < ny; ++i) {
        // y[i] = 1/2 gss[i] + gx[i,:] (x1 + x2) + bu[nx+i,:] u + quadratic terms of control i
        const f64 s = 0.5 * gss[i] + velm_pert_dot_sum(gx + i * nx, x1, x2, nx) +
                      velm_pert_shock(bu + (nx + i) * n_exog, u, n_exog) +
                      velm_pert_quadratic(gxx + i * nxx, gxu + i * nxu, guu + i * nuu, xx, xu,
                                          uu, nx, n_exog);
        vars[nx + i] = ss ? ss[nx + i] + s : s;
    }
}

#endif
