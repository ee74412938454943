// A least-squares problem as users state it, turned into the residuals and
// Jacobian the Levenberg-Marquardt iteration (levmar.h) works on:
//
//   residuals  r = W (f(x) - y)   with f the user's function of the n
//              parameters (a curve model's m predictions, or the residuals
//              themselves with no data y), W the weights: diag(1/sigma), or
//              L^-1 for data with covariance L L^T, or none;
//   bounds     the iteration runs on unconstrained z with x = T^-1(z), one
//              transform per parameter chosen by its bounds (ParamPlan), so
//              every x it tries lies inside; its Jacobian is
//              J_z = J_x diag(dx/dz);
//   Jacobian   the user's, or forward differences in x (a step that would
//              cross an upper bound goes the other way), with a step relative
//              to the larger of |x_j| and a typical size of x_j, so that it
//              does not collapse where x_j passes through zero;
//   steps      with bounds, no step of the iteration brings a parameter
//              closer to a bound than a hundredth of its distance (at most half
//              the interval) before the step, nor moves its z by more than 4:
//              one long step in z would otherwise carry it deep into the
//              map's flat end, where dx/dz vanishes and the iteration stalls.
//
// Internal: not exported, not installed. No allocation: the problem points
// into caller-owned buffers.
#ifndef VLM_LSQ_PROBLEM_H
#define VLM_LSQ_PROBLEM_H

#include <cstddef>

#include "../_common/vlm_common.h"
#include "../transforms/parameter_map.h"

namespace vlm {

// The user's function: m values of the n parameters p, and optionally their
// Jacobian (m x n, row-major). A non-zero return ends the run.
struct LsqFunction {
    int (*values)(void *ctx, const f64 *p, f64 *out) = nullptr;
    int (*jacobian)(void *ctx, const f64 *p, f64 *J) = nullptr;  // null: forward differences
    void *ctx = nullptr;
};

struct LsqProblem {
    i64 m = 0, n = 0;
    LsqFunction fn;
    const f64 *y = nullptr;                  // m data values subtracted from f, or null
    const f64 *weight = nullptr;             // m factors of f - y, or null
    const f64 *whiten = nullptr;             // m x m lower factor L: r = L^-1 (f - y); or null
    const ParamPlan *plan = nullptr;         // bounds, or null: the iteration runs on x itself
    const f64 *lower = nullptr;              // n lower bounds (-inf for none), with a plan
    const f64 *upper = nullptr;              // n upper bounds (+inf for none), with a plan
    const f64 *typical = nullptr;            // n typical sizes of |x_j| (> 0), or null
    f64 diff_step = 1.4901161193847656e-08;  // relative step of the differences, sqrt(2^-52)
    f64 *work = nullptr;                     // lsq_problem_work(m, n) values
    int loss = 0;                            // a robust loss of robust_loss.h (0: plain squares)
    f64 f_scale = 1.0;                       // its scale C
};

// The f64 values of an LsqProblem's work buffer; 0 when the sizes describe
// no buffer.
size_t lsq_problem_work(i64 m, i64 n);

// The iteration's callbacks (LmProblem) over an LsqProblem passed as ctx;
// their variables are z (x itself without bounds).
int lsq_residuals(void *ctx, const f64 *z, f64 *r);
i64 lsq_jacobian(void *ctx, const f64 *z, const f64 *r, f64 *J);
bool lsq_step_limit(void *ctx, const f64 *z, f64 *step);

// The weighted Jacobian dr/dx (m x n) at the parameters x whose residuals are
// r: what the covariance of the parameters needs. Returns the evaluations
// made (n for differences, 0 otherwise) or -1 when the function stopped.
i64 lsq_jacobian_x(const LsqProblem &p, const f64 *x, const f64 *r, f64 *J);

// x = T^-1(z) and z = T(x) (copies without bounds).
void lsq_to_params(const LsqProblem &p, const f64 *z, f64 *x);
void lsq_from_params(const LsqProblem &p, const f64 *x, f64 *z);

}  // namespace vlm

#endif  // VLM_LSQ_PROBLEM_H
