// The Hessian of an objective at a point by finite differences, and the
// covariance it implies at an optimum: 2 * errordef * H^-1 for the
// parameters that the Hessian identifies, NaN for those that move along a
// flat direction. Works on any objective with the driver's callback types,
// so a native objective is differenced without any Python. Internal: not
// exported, not installed.
#ifndef VLM_HESSIAN_H
#define VLM_HESSIAN_H

#include "optim_driver.h"

namespace vlm {

// Where the second derivatives come from: central differences of an
// analytic gradient, or second differences of the values.
enum class HessianSource { gradient, values };

// The first probe's step of coordinate i at y_i: c * max(|y_i|, 1), with c
// = eps^(1/3) from a gradient and eps^(1/4) from values; later probes step
// a fraction of the standard error measured (see hessian.cpp).
f64 hessian_step(HessianSource source, f64 yi);

// The pivot of the correlation form below which a direction counts as
// flat: what the differencing can resolve, with a margin (see hessian.cpp).
f64 hessian_flat_tolerance(HessianSource source);

// H (n x n, row-major, symmetric) at y by central differences of the
// gradient fg: column j is (g(y + h_j e_j) - g(y - h_j e_j)) / (2 h_j), with
// h_j from the curvature (see hessian.cpp), then H is symmetrised. steps[j]
// receives the half-width h_j actually used (the difference of the two
// probe coordinates over 2). y is perturbed in place and restored. A column
// whose probes are not finite even at a much smaller step is NaN. work
// holds 2n values; *evaluations (if not null) receives the count made.
// Returns false, with y restored and H undefined, when *stop became
// non-zero after an evaluation (stop may be null).
bool hessian_by_gradient(ValueGradFn fg, void *ctx, i64 n, f64 *y, f64 *H, f64 *steps, f64 *work,
                         const int *stop, f64 errordef, i64 *evaluations = nullptr);

// The same from values, f0 being the value at y: the diagonal by
// (f(y + h e_i) - 2 f0 + f(y - h e_i)) / h^2, the off-diagonal from the two
// diagonal probes and the two probes (y + h_i e_i + h_j e_j),
// (y - h_i e_i - h_j e_j). Non-finite values give non-finite entries. work
// holds 4n values: f(y + h_i e_i), f(y - h_i e_i) and the two probe
// coordinates of each i, at the steps used, on return.
bool hessian_by_values(vlm_objective_fn f, void *ctx, i64 n, f64 *y, f64 f0, f64 *H, f64 *steps,
                       f64 *work, const int *stop, f64 errordef, i64 *evaluations = nullptr);

// What hessian_covariance found.
enum HessianState : i64 {
    HESSIAN_IDENTIFIED = 0,  // positive definite: every parameter has its covariance
    HESSIAN_FLAT = 1,        // flat directions: the parameters they move are flagged
    HESSIAN_NOT_FINITE = 2,  // an entry is not finite: every parameter is flagged
};

// cov (n x n) = 2 * errordef * H^-1 at an optimum. A direction whose pivot
// in the correlation form D^-1/2 H D^-1/2 (D = diag H) is at most tol, or a
// coordinate whose curvature is not positive, is flat; every parameter that
// such a direction moves gets flat[i] = 1 and NaN in its row and column of
// cov. The others get their entries of the inverse of the identified part,
// which is exact for them whatever the flat directions are. work holds
// 4n^2 + n values, iwork n. Returns a HessianState.
i64 hessian_covariance(const f64 *H, i64 n, f64 tol, f64 errordef, f64 *cov, unsigned char *flat,
                       f64 *work, i64 *iwork);

}  // namespace vlm

#endif  // VLM_HESSIAN_H
