// Levenberg-Marquardt least squares with Moré's scaling and step control:
// minimises 1/2 ||r(x)||^2 over x in R^n for m >= n residuals given by
// callbacks. Each iteration factors the Jacobian J = Q R P^T (Householder QR
// with column pivoting, from the shared library) and finds the step s of the
// trust-region problem
//
//     min ||r + J s||  subject to  ||D s|| <= delta
//
// as s(lambda) = -(J^T J + lambda D^2)^-1 J^T r, with lambda >= 0 found by a
// safeguarded Newton iteration on ||D s(lambda)|| = delta; D scales the
// variables (the Jacobian's column norms, never decreasing, or a fixed
// scale). A step is accepted when the residuals shrink by at least 1e-4 of
// what the linear model predicts; delta grows after good steps and shrinks
// after poor ones (J. J. Moré, "The Levenberg-Marquardt algorithm:
// implementation and theory", Lecture Notes in Mathematics 630, 1978).
//
// Internal: not exported, not installed. Everything lives in a workspace the
// caller gives (or the run allocates), so independent problems can run on
// several threads at once, one workspace each.
#ifndef VLM_LEVMAR_H
#define VLM_LEVMAR_H

#include <cstddef>

#include "../_common/vlm_common.h"

namespace vlm {

struct LmProblem {
    i64 m = 0;  // residuals
    i64 n = 0;  // variables, 1 <= n <= m
    // The m residuals at x into r. A non-zero return ends the run at once
    // (LM_STOPPED). Residuals that are not finite make the point unacceptable
    // as a step; they end the run only at the start.
    int (*residuals)(void *ctx, const f64 *x, f64 *r) = nullptr;
    // The Jacobian (m x n, row-major) at x, whose residuals are r. Returns the
    // number of residual evaluations it made (n for forward differences, 0 for
    // an analytic Jacobian), or a negative number to end the run (LM_STOPPED).
    i64 (*jacobian)(void *ctx, const f64 *x, const f64 *r, f64 *J) = nullptr;
    void *ctx = nullptr;
    // Optionally, limits on a trial step from x: shortens components of
    // `step` in place and returns whether it changed any. The iteration then
    // tries the shortened step, or the whole step scaled down to respect every
    // limit, whichever its linear model expects to reduce ||r|| more. Null:
    // no limits.
    bool (*step_limit)(void *ctx, const f64 *x, f64 *step) = nullptr;
};

struct LmOptions {
    f64 ftol = 1e-8;  // stop when the relative reduction of ||r||^2, actual and predicted, is below
    f64 xtol = 1e-8;  // stop when the trust region is below xtol ||D x||
    f64 gtol = 1e-8;  // stop when every column of J is within acos(gtol) of orthogonal to r
    i64 max_nfev = 0;  // residual evaluations allowed (<= 0: 100 n)
    // Whether max_nfev also counts the evaluations made by the Jacobian.
    bool budget_includes_jacobian = false;
    f64 factor = 100.0;  // first trust region: factor ||D x0||, or factor when that is 0
    // A fixed scaling D (n values > 0), or null for the Jacobian's column
    // norms (each the largest seen so far; 1 for a column that starts at zero).
    const f64 *scale = nullptr;
};

enum LmStatus : i64 {
    LM_FTOL = 1,       // the relative reduction of the sum of squares is at most ftol
    LM_XTOL = 2,       // the relative change of x is at most xtol
    LM_FTOL_XTOL = 3,  // both
    LM_GTOL = 4,       // r is orthogonal to the columns of J within gtol (or r = 0)
    LM_MAX_NFEV = 5,   // the evaluation budget is spent
    LM_FTOL_TINY = 6,  // no further reduction possible: ftol is below the machine's precision
    LM_XTOL_TINY = 7,  // no further change of x possible
    LM_GTOL_TINY = 8,  // r is orthogonal to J's columns to machine precision
    LM_INVALID = -1,   // sizes, options or pointers out of their domain
    LM_START_NOT_FINITE = -2,     // a residual at the start is not finite
    LM_JACOBIAN_NOT_FINITE = -3,  // the Jacobian at an accepted point is not finite
    LM_STOPPED = -4,              // a callback ended the run
    LM_NO_MEMORY = -5,            // the workspace could not be allocated
    // A stopping test held, but the sum of squares can still decrease
    // markedly from the final point (set by the least-squares driver).
    LM_NOT_OPTIMAL = -6,
};

struct LmResult {
    i64 status = LM_INVALID;
    i64 nfev = 0;          // residual evaluations of the iteration, the start included
    i64 nfev_jac = 0;      // residual evaluations made by the Jacobian
    i64 njev = 0;          // Jacobian evaluations
    i64 nit = 0;           // accepted steps
    f64 cost = 0.0;        // 1/2 ||r||^2 at the final x
    f64 cost_start = 0.0;  // 1/2 ||r||^2 at the start
};

// Bytes of the workspace of a run with m residuals and n variables; 0 when
// the sizes are out of their domain or describe no buffer.
size_t lm_workspace_bytes(i64 m, i64 n);

// Minimises 1/2 ||r(x)||^2 from x (n values; receives the final point); r
// (m values) receives the residuals there. With r_given, r already holds the
// residuals at x (counted as one evaluation). work: lm_workspace_bytes(m, n)
// bytes aligned for doubles, or null to allocate them for this run.
void lm_minimize(const LmProblem &problem, const LmOptions &options, f64 *x, f64 *r, bool r_given,
                 void *work, LmResult *result);

// The Gauss-Newton step s (n values) minimising ||r + J s|| for J (m x n,
// m >= n >= 1) with the columns j where fixed[j] != 0 held at s_j = 0, over
// the numerical rank of J's columns judged as lm_covariance judges it (the
// basic solution of the pivoted QR when it falls short of n). work as for
// lm_covariance; false for sizes out of their domain.
bool lm_gauss_newton(const f64 *J, i64 m, i64 n, const f64 *r, const f64 *fixed, f64 rel_tol,
                     f64 *s, void *work);

// (J^T J)^-1 of J (m x n, m >= n >= 1) into cov (n x n, symmetric), from the
// pivoted QR factor R of J with its columns scaled to unit length (so the
// parameters' units do not matter). The numerical rank -- the count of
// diagonal entries |R[k][k]| above max(rel_tol, m eps) |R[0][0]|, where
// rel_tol is the relative accuracy of J (about the difference step for a
// Jacobian by differences) -- is returned; below n (a zero column, or a J
// that is not finite), cov is filled with +inf. work as for lm_minimize
// (never null here); -1 for sizes out of their domain, nothing written.
i64 lm_covariance(const f64 *J, i64 m, i64 n, f64 rel_tol, f64 *cov, void *work);

}  // namespace vlm

#endif  // VLM_LEVMAR_H
