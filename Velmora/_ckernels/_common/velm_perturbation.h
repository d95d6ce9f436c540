// One period of a pruned second-order perturbation solution, for one point or for a batch of
// points (header-only, inlined by its users; the batch runs on the products of velm_linalg).
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
#include "velm_linalg.h"

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

// ---- all points of a batch at once ----------------------------------------------------------
// The same step for many points (x1, x2, u), as matrix products. The coefficients are folded once
// per model: x1 (x) x1 and u (x) u are symmetric, so the (j, k) and (k, j) terms share one
// coefficient and only the upper triangles (j <= k) of the two products are formed. Per batch:
//   quadratic = [x1 (x) x1 upper, x1 (x) u, u (x) u upper, 1] quad_coef     (x2' and controls)
//   linear    = [x1, x2, u] lin_coef                                        (x1', x2', controls)
// Points whose x1 and u equal those of point 0 share its quadratic terms (pruning: x2 never
// enters them). In an unscented filter these are the 2 nx points spread along x2 only, since
// the factor of the covariance is lower triangular: 20 of the 47 points at nx = 10, n_exog = 3.

// Cells of one row of quadratic terms: upper triangles of x1 (x) x1 and u (x) u, x1 (x) u and
// the constant 1 that carries 1/2 hss and 1/2 gss.
static inline i64 velm_second_order_quad_terms(const i64 nx, const i64 n_exog) {
    const i64 x_pairs = velm_count_mul(nx, velm_count_add(nx, 1));
    const i64 u_pairs = velm_count_mul(n_exog, velm_count_add(n_exog, 1));
    if (x_pairs < 0 || u_pairs < 0) return -1;  // -1 / 2 would read as 0
    return velm_count_add(velm_count_add(x_pairs / 2, velm_count_mul(nx, n_exog)),
                          velm_count_add(u_pairs / 2, 1));
}

// Cells of the folded coefficients: quad_coef (quad_terms x (nx + ny)) then lin_coef
// ((2 nx + n_exog) x (2 nx + ny)).
static inline i64 velm_second_order_fold_size(const i64 nx, const i64 ny, const i64 n_exog) {
    const i64 nz = velm_count_mul(2, nx);
    return velm_count_add(
        velm_count_mul(velm_second_order_quad_terms(nx, n_exog), velm_count_add(nx, ny)),
        velm_count_mul(velm_count_add(nz, n_exog), velm_count_add(nz, ny)));
}

// Scratch cells of velm_second_order_step_batch for n_pts points: the rows of quadratic terms,
// their products with quad_coef, and the linear parts.
static inline i64 velm_second_order_batch_scratch(const i64 n_pts, const i64 nx, const i64 ny,
                                                  const i64 n_exog) {
    const i64 per_point = velm_count_add(
        velm_count_add(velm_second_order_quad_terms(nx, n_exog), velm_count_add(nx, ny)),
        velm_count_add(velm_count_mul(2, nx), ny));
    return velm_count_mul(n_pts, per_point);
}

// Column i of the folded quadratic block of variable i: 1/2 Fxx (x1 (x) x1) + Fxu (x1 (x) u)
// + 1/2 Fuu (u (x) u) + 1/2 Fss as a dot product with the row of quadratic terms. ld is the row
// stride of coef (nx + ny).
static inline void velm_pert_fold_quadratic(const f64* __restrict Fxx, const f64* __restrict Fxu,
                                            const f64* __restrict Fuu, const f64 Fss,
                                            f64* __restrict coef, const i64 ld, const i64 nx,
                                            const i64 n_exog) {
    i64 p = 0;
    // 1/2 (F[j, k] + F[k, j]) x_j x_k for j < k, 1/2 F[j, j] x_j^2
    for (i64 j = 0; j < nx; ++j) {
        coef[p++ * ld] = 0.5 * Fxx[j * nx + j];
        for (i64 k = j + 1; k < nx; ++k) {
            coef[p++ * ld] = 0.5 * (Fxx[j * nx + k] + Fxx[k * nx + j]);
        }
    }
    for (i64 q = 0; q < nx * n_exog; ++q) coef[p++ * ld] = Fxu[q];
    for (i64 l = 0; l < n_exog; ++l) {
        coef[p++ * ld] = 0.5 * Fuu[l * n_exog + l];
        for (i64 m = l + 1; m < n_exog; ++m) {
            coef[p++ * ld] = 0.5 * (Fuu[l * n_exog + m] + Fuu[m * n_exog + l]);
        }
    }
    coef[p * ld] = 0.5 * Fss;
}

// Folds the model blocks (as for velm_second_order_step) into coef, velm_second_order_fold_size
// cells. quad_coef column i < nx is state i (its x2'), column nx + i control i; lin_coef maps
// the rows (x1, x2, u) to the columns (x1', x2', controls): x1' = hx x1 + bu_x u,
// x2' = hx x2 (+ quadratic terms), control = gx x1 + gx x2 + bu_y u (+ quadratic terms).
// The shock blocks are read only when there are shocks, the control blocks only when ny > 0.
static inline void velm_second_order_fold(
    const f64* __restrict hx, const f64* __restrict gx, const f64* __restrict bu,
    const f64* __restrict hxx, const f64* __restrict gxx, const f64* __restrict hxu,
    const f64* __restrict gxu, const f64* __restrict huu, const f64* __restrict guu,
    const f64* __restrict hss, const f64* __restrict gss, f64* __restrict coef, const i64 nx,
    const i64 ny, const i64 n_exog) {
    const i64 nv = nx + ny, nz = 2 * nx, n_out = nz + ny;
    const i64 nxx = nx * nx, nxu = nx * n_exog, nuu = n_exog * n_exog;
    f64* __restrict quad_coef = coef;
    f64* __restrict lin_coef = coef + velm_second_order_quad_terms(nx, n_exog) * nv;
    for (i64 i = 0; i < nx; ++i) {
        velm_pert_fold_quadratic(hxx + i * nxx, hxu + i * nxu, huu + i * nuu, hss[i],
                                 quad_coef + i, nv, nx, n_exog);
    }
    for (i64 i = 0; i < ny; ++i) {
        velm_pert_fold_quadratic(gxx + i * nxx, gxu + i * nxu, guu + i * nuu, gss[i],
                                 quad_coef + nx + i, nv, nx, n_exog);
    }

    velm_zero_mat(lin_coef, nz + n_exog, n_out);
    for (i64 j = 0; j < nx; ++j) {
        f64* __restrict from_x1 = lin_coef + j * n_out;
        f64* __restrict from_x2 = lin_coef + (nx + j) * n_out;
        for (i64 i = 0; i < nx; ++i) from_x1[i] = from_x2[nx + i] = hx[i * nx + j];
        for (i64 i = 0; i < ny; ++i) from_x1[nz + i] = from_x2[nz + i] = gx[i * nx + j];
    }
    for (i64 l = 0; l < n_exog; ++l) {
        f64* __restrict from_u = lin_coef + (nz + l) * n_out;
        for (i64 i = 0; i < nx; ++i) from_u[i] = bu[i * n_exog + l];
        for (i64 i = 0; i < ny; ++i) from_u[nz + i] = bu[(nx + i) * n_exog + l];
    }
}

// True when point a has the x1 and u of the point centre (rows of 2 nx + n_exog cells), so
// that its quadratic terms are those of centre. NaN never matches.
static inline bool velm_pert_shares_quadratic(const f64* __restrict a,
                                              const f64* __restrict centre, const i64 nx,
                                              const i64 n_exog) {
    for (i64 j = 0; j < nx; ++j) {
        if (!(a[j] == centre[j])) return false;
    }
    for (i64 l = 2 * nx; l < 2 * nx + n_exog; ++l) {
        if (!(a[l] == centre[l])) return false;
    }
    return true;
}

// One row of quadratic terms: x1 (x) x1 upper, x1 (x) u, u (x) u upper, 1.
static inline void velm_pert_quad_row(const f64* __restrict x1, const f64* __restrict u,
                                      f64* __restrict row, const i64 nx, const i64 n_exog) {
    f64* __restrict out = row;
    for (i64 j = 0; j < nx; ++j) {
        const f64 x1j = x1[j];
        for (i64 k = j; k < nx; ++k) *out++ = x1j * x1[k];
    }
    velm_pert_kron(x1, nx, u, n_exog, out);
    out += nx * n_exog;
    for (i64 l = 0; l < n_exog; ++l) {
        const f64 ul = u[l];
        for (i64 m = l; m < n_exog; ++m) *out++ = ul * u[m];
    }
    *out = 1.0;
}

// velm_second_order_step for each of n_pts points, row r of points = (x1, x2, u) (2 nx + n_exog
// cells): row r of z_next = (x1', x2') (2 nx cells), row r of vars = the levels (nx + ny cells,
// states first). coef from velm_second_order_fold, scratch of velm_second_order_batch_scratch
// cells; ss may be null (steady state zero). Equal to the point-by-point step up to rounding.
static inline void velm_second_order_step_batch(const f64* __restrict coef,
                                                const f64* __restrict points,
                                                const f64* __restrict ss,
                                                f64* __restrict z_next, f64* __restrict vars,
                                                f64* __restrict scratch, const i64 n_pts,
                                                const i64 nx, const i64 ny, const i64 n_exog) {
    if (n_pts <= 0) return;
    const i64 nv = nx + ny, nz = 2 * nx, na = nz + n_exog, n_out = nz + ny;
    const i64 nq = velm_second_order_quad_terms(nx, n_exog);
    const f64* __restrict quad_coef = coef;
    const f64* __restrict lin_coef = coef + nq * nv;
    f64* __restrict quad_rows = scratch;              // n_pts x nq, the first n_quad in use
    f64* __restrict quad = quad_rows + n_pts * nq;    // n_pts x nv, the first n_quad in use
    f64* __restrict linear = quad + n_pts * nv;       // n_pts x n_out

    // Rows of quadratic terms of point 0 and of every point that does not share them.
    i64 n_quad = 0;
    for (i64 r = 0; r < n_pts; ++r) {
        const f64* a = points + r * na;
        if (r > 0 && velm_pert_shares_quadratic(a, points, nx, n_exog)) continue;
        velm_pert_quad_row(a, a + nz, quad_rows + n_quad++ * nq, nx, n_exog);
    }
    // quad (n_quad x nv) = quad_rows quad_coef; linear (n_pts x n_out) = points lin_coef
    velm_matmul(quad_rows, quad_coef, quad, n_quad, nq, nv);
    velm_matmul(points, lin_coef, linear, n_pts, na, n_out);

    // Same test, same order: the q-th point that does not share row 0 owns row q of quad.
    i64 n_owned = 0;
    for (i64 r = 0; r < n_pts; ++r) {
        const bool owns = r == 0 || !velm_pert_shares_quadratic(points + r * na, points, nx,
                                                                 n_exog);
        const f64* __restrict quad_r = quad + (owns ? n_owned++ : 0) * nv;
        const f64* __restrict lin_r = linear + r * n_out;
        f64* __restrict z_r = z_next + r * nz;
        f64* __restrict vars_r = vars + r * nv;
        for (i64 i = 0; i < nx; ++i) {
            const f64 s1 = lin_r[i], s2 = lin_r[nx + i] + quad_r[i];
            z_r[i] = s1;
            z_r[nx + i] = s2;
            vars_r[i] = ss ? (ss[i] + s1) + s2 : s1 + s2;
        }
        for (i64 i = 0; i < ny; ++i) {
            const f64 s = lin_r[nz + i] + quad_r[nx + i];
            vars_r[nx + i] = ss ? ss[nx + i] + s : s;
        }
    }
}

#endif
