// Robust losses for least squares, as SciPy's least_squares defines them:
// with z = (f / C)^2 for a residual f and the scale C (f_scale), the cost is
//
//     1/2 C^2 sum rho(z_i),
//
//   linear   rho = z
//   soft_l1  rho = 2 (sqrt(1 + z) - 1)
//   huber    rho = z for z <= 1, 2 sqrt(z) - 1 beyond
//   cauchy   rho = log(1 + z)
//   arctan   rho = arctan(z)
//
// Every rho is increasing with rho(0) = 0 and rho'(0) = 1, so the cost is
// the plain sum of squares 1/2 sum g_i^2 of the loss-scaled residuals
//
//     g_i = C sign(f_i) sqrt(rho(z_i)),
//
// which are as smooth as rho near f = 0 (g = f + O(f^3)). The
// Levenberg-Marquardt iteration (levmar.h) therefore minimises the robust
// cost unchanged when it is handed g and its Jacobian
//
//     dg_i/dx = w_i df_i/dx,   w_i = rho'(z_i) sqrt(z_i / rho(z_i))   (1 at z = 0);
//
// g^T dg/dx is the cost's gradient. At the solution the run reports, as
// SciPy does, the "modified" Jacobian s_i df_i/dx and residuals
// rho'(z_i) f_i / s_i with s_i = sqrt(max(rho'(z_i) + 2 z_i rho''(z_i), eps)):
// their product is the same gradient, and J^T J the Hessian of the cost
// without the terms of f's own curvature, whence the covariance.
// Internal: not exported, not installed.
#ifndef VLM_ROBUST_LOSS_H
#define VLM_ROBUST_LOSS_H

#include <cmath>

#include "lsq_problem.h"

namespace vlm {

enum RobustLoss : int { LOSS_LINEAR = 0, LOSS_SOFT_L1, LOSS_HUBER, LOSS_CAUCHY, LOSS_ARCTAN };
constexpr int ROBUST_LOSSES = 5;

// rho(z) and rho'(z) of z >= 0, written so that small z keeps its digits.
inline void robust_rho(int loss, f64 z, f64 &rho, f64 &slope) {
    switch (loss) {
        case LOSS_SOFT_L1: {
            const f64 s = std::sqrt(1.0 + z);
            rho = 2.0 * z / (s + 1.0);
            slope = 1.0 / s;
            return;
        }
        case LOSS_HUBER:
            rho = z <= 1.0 ? z : 2.0 * std::sqrt(z) - 1.0;
            slope = z <= 1.0 ? 1.0 : 1.0 / std::sqrt(z);
            return;
        case LOSS_CAUCHY:
            rho = std::log1p(z);
            slope = 1.0 / (1.0 + z);
            return;
        case LOSS_ARCTAN:
            rho = std::atan(z);
            slope = 1.0 / (1.0 + z * z);
            return;
        default: rho = z; slope = 1.0;
    }
}

// The factor w of a residual f's Jacobian row (see above).
inline f64 robust_row_factor(int loss, f64 c, f64 f) {
    const f64 z = (f / c) * (f / c);
    if (!(z > 0.0)) return 1.0;
    f64 rho = 0.0, slope = 0.0;
    robust_rho(loss, z, rho, slope);
    return std::isinf(z) ? 0.0 : slope * std::sqrt(z / rho);
}

// f becomes g = C sign(f) sqrt(rho((f / C)^2)), in place.
inline void robust_scale_residuals(int loss, f64 c, f64 *r, i64 m) {
    for (i64 i = 0; i < m; ++i) {
        const f64 z = (r[i] / c) * (r[i] / c);
        f64 rho = 0.0, slope = 0.0;
        robust_rho(loss, z, rho, slope);
        r[i] = std::copysign(c * std::sqrt(rho), r[i]);
    }
}

// rho''(z) of z >= 0 (robust_rho gives rho and rho').
inline f64 robust_curvature(int loss, f64 z) {
    switch (loss) {
        case LOSS_SOFT_L1: return -0.5 / ((1.0 + z) * std::sqrt(1.0 + z));
        case LOSS_HUBER: return z <= 1.0 ? 0.0 : -0.5 / (z * std::sqrt(z));
        case LOSS_CAUCHY: return -1.0 / ((1.0 + z) * (1.0 + z));
        case LOSS_ARCTAN: return -2.0 * z / ((1.0 + z * z) * (1.0 + z * z));
        default: return 0.0;
    }
}

// The reported pair at the solution (see above): r becomes the modified
// residuals of the raw ones f, the rows of J (m x n, the loss-scaled
// Jacobian the iteration used, rows w_i df_i/dx) the modified rows
// s_i df_i/dx.
inline void robust_report(int loss, f64 c, const f64 *f, f64 *r, f64 *J, i64 m, i64 n) {
    constexpr f64 eps = 2.220446049250313e-16;
    for (i64 i = 0; i < m; ++i) {
        const f64 z = (f[i] / c) * (f[i] / c);
        f64 rho = 0.0, slope = 0.0;
        robust_rho(loss, z, rho, slope);
        const f64 s = std::sqrt(std::fmax(slope + 2.0 * z * robust_curvature(loss, z), eps));
        const f64 w = robust_row_factor(loss, c, f[i]);
        r[i] = slope * f[i] / s;
        for (i64 j = 0; j < n; ++j) J[i * n + j] = w > 0.0 ? J[i * n + j] * (s / w) : 0.0;
    }
}

// The rows of J (m x n) of the raw residuals f scaled to those of g.
inline void robust_scale_jacobian(int loss, f64 c, const f64 *f, f64 *J, i64 m, i64 n) {
    for (i64 i = 0; i < m; ++i) {
        const f64 w = robust_row_factor(loss, c, f[i]);
        for (i64 j = 0; j < n; ++j) J[i * n + j] *= w;
    }
}

// The iteration's callbacks (LmProblem) over a RobustProblem passed as ctx:
// the stated problem's residuals and Jacobian, loss-scaled.
struct RobustProblem {
    LsqProblem *inner;
    int loss;
    f64 f_scale;
    f64 *raw;  // m values: the raw residuals where the Jacobian is taken
};

inline int robust_residuals(void *ctx, const f64 *z, f64 *r) {
    auto *p = static_cast<RobustProblem *>(ctx);
    if (lsq_residuals(p->inner, z, r) != 0) return 1;
    robust_scale_residuals(p->loss, p->f_scale, r, p->inner->m);
    return 0;
}

// The raw residuals at z are evaluated once more (the iteration keeps only
// the scaled ones): one evaluation per Jacobian, counted with its own.
inline i64 robust_jacobian(void *ctx, const f64 *z, const f64 *, f64 *J) {
    auto *p = static_cast<RobustProblem *>(ctx);
    if (lsq_residuals(p->inner, z, p->raw) != 0) return -1;
    const i64 evaluations = lsq_jacobian(p->inner, z, p->raw, J);
    if (evaluations < 0) return evaluations;
    robust_scale_jacobian(p->loss, p->f_scale, p->raw, J, p->inner->m, p->inner->n);
    return evaluations + 1;
}

// The stated problem's step limits (lsq_step_limit), through the wrapper.
inline bool robust_step_limit(void *ctx, const f64 *z, f64 *step) {
    return lsq_step_limit(static_cast<RobustProblem *>(ctx)->inner, z, step);
}

}  // namespace vlm

#endif  // VLM_ROBUST_LOSS_H
