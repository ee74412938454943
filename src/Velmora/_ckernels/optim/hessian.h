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

// The relative curvature below which a direction counts as flat: what the
// differencing can resolve, with a margin (see hessian.cpp).
f64 hessian_flat_tolerance(HessianSource source);

// H (n x n, row-major, symmetric) at y by central differences of the
// gradient fg: column j is (g(y + h_j e_j) - g(y - h_j e_j)) / (2 h_j), then
// H is symmetrised. Each h_j follows the curvature of coordinate j (a set
// fraction of its conditional standard error, sqrt(2 errordef / H_jj)),
// refined in at most a few rounds of 2 gradients, and shrunk while a probe
// is not finite; a column whose probes are never finite is NaN. steps[j]
// receives the half-width used. y is perturbed in place and restored; *nfev
// receives the evaluations taken (2n when the first steps fit, at most 32n).
// work holds 2n values. Returns false, with y restored and H undefined, when
// *stop became non-zero after an evaluation (stop may be null).
bool hessian_by_gradient(ValueGradFn fg, void *ctx, i64 n, f64 *y, f64 errordef, f64 *H, f64 *steps,
                         f64 *work, i64 *nfev, const int *stop);

// The same from values, f0 being the value at y: the steps are found on the
// diagonal (f(y + h e_i) - 2 f0 + f(y - h e_i)) / h^2 as above, then the
// off-diagonal comes from the two diagonal probes and the two probes
// (y + h_i e_i + h_j e_j), (y - h_i e_i - h_j e_j): n^2 + n values when the
// first steps fit, 2n more per refinement round. Non-finite values give
// non-finite entries. work holds 4n values.
bool hessian_by_values(vlm_objective_fn f, void *ctx, i64 n, f64 *y, f64 f0, f64 errordef, f64 *H,
                       f64 *steps, f64 *work, i64 *nfev, const int *stop);

// What hessian_covariance found.
enum HessianState : i64 {
    HESSIAN_IDENTIFIED = 0,  // positive definite: every parameter has its covariance
    HESSIAN_FLAT = 1,        // flat directions: the parameters they move are flagged
    HESSIAN_NOT_FINITE = 2,  // an entry is not finite: every parameter is flagged
};

// cov (n x n) = 2 * errordef * H^-1 at an optimum. A direction whose
// curvature in the correlation form D^-1/2 H D^-1/2 (D = diag(H), so that
// the units of the parameters do not matter) is at most tol is flat, and so
// is a coordinate whose own curvature is not positive; every
// parameter that such a direction moves gets flat[i] = 1 and NaN in its row
// and column of cov. The others get their entries of the inverse of the
// identified part, which is exact for them whatever the flat directions are.
// work holds 4n^2 + n values, iwork n. Returns a HessianState.
i64 hessian_covariance(const f64 *H, i64 n, f64 tol, f64 errordef, f64 *cov, unsigned char *flat,
                       f64 *work, i64 *iwork);

}  // namespace vlm

#endif  // VLM_HESSIAN_H
