// Levenberg-Marquardt iteration (see levmar.h). Notation: J P = Q R with the
// column permutation P; in pivoted coordinates the step is u = P^T s and the
// scaling dp = P^T D P. The trust-region step solves the damped problem
//
//     min ||R u + qtf||^2 + lambda ||dp u||^2,   qtf = (Q^T r)[0 .. n),
//
// for lambda = 0 by back substitution with R, for lambda > 0 by rotating the
// rows of sqrt(lambda) dp into R (Givens), which gives S upper triangular with
// S^T S = R^T R + lambda dp^2 without forming either product. S and R are
// kept transposed, as lower factors, so the shared library's substitutions
// solve with them.
#include "levmar.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>

#include "../_common/vlm_linalg.h"

namespace vlm {
namespace {

constexpr f64 EPS = 2.220446049250313e-16;  // 2^-52
constexpr f64 TINY = std::numeric_limits<f64>::min();
constexpr f64 INF = std::numeric_limits<f64>::infinity();

// ||x||: the plain sum of squares when it neither overflows nor comes near
// underflow, else scaled by the largest magnitude; NaN and infinities come
// through.
f64 norm(const f64 *x, i64 n) {
    f64 sum = 0.0;
#pragma omp simd reduction(+ : sum)
    for (i64 i = 0; i < n; ++i) sum += x[i] * x[i];
    if (sum < INF && sum > 0x1p-900) return std::sqrt(sum);
    f64 big = 0.0;
    for (i64 i = 0; i < n; ++i) {
        const f64 a = std::fabs(x[i]);
        if (!(a <= big)) big = a;
    }
    if (big == 0.0 || !std::isfinite(big)) return big;
    sum = 0.0;
    for (i64 i = 0; i < n; ++i) {
        const f64 t = x[i] / big;
        sum += t * t;
    }
    return big * std::sqrt(sum);
}

// sqrt(a^2 + b^2) without overflow or underflow: the plain formula in the
// range where it is safe, the library's hypot outside it.
f64 hypot2(f64 a, f64 b) {
    const f64 big = std::fmax(std::fabs(a), std::fabs(b));
    return big < 0x1p500 && big > 0x1p-500 ? std::sqrt(a * a + b * b) : std::hypot(a, b);
}

// ||d * x|| element by element.
f64 scaled_norm(const f64 *d, const f64 *x, f64 *tmp, i64 n) {
    for (i64 i = 0; i < n; ++i) tmp[i] = d[i] * x[i];
    return norm(tmp, n);
}

bool all_finite(const f64 *x, i64 n) {
    for (i64 i = 0; i < n; ++i)
        if (!std::isfinite(x[i])) return false;
    return true;
}

// The workspace, carved into named pieces.
struct Work {
    f64 *J, *QR;         // m x n each
    f64 *r_trial, *qtr;  // m each
    f64 *L, *Lr;         // n x n: S^T of the damped system, R^T
    f64 *diag, *x_trial, *step, *u, *qtf, *tau, *colnorm, *grad, *dp, *y, *w, *rhs;  // n each
    f64 *qr_work;                                                                    // mn + 2n
    i64 *perm;                                                                       // n

    // f64-sized slots of a run: 3mn + 2m + 2n^2 + 16n (n to spare); false on overflow.
    static bool slots(i64 m, i64 n, i64 *count) {
        i64 mn, nn, a, b, c;
        return !(__builtin_mul_overflow(m, n, &mn) || __builtin_mul_overflow(n, n, &nn) ||
                 __builtin_add_overflow(mn, mn, &a) || __builtin_add_overflow(a, mn, &a) ||
                 __builtin_add_overflow(nn, nn, &b) || __builtin_add_overflow(a, b, &c) ||
                 __builtin_add_overflow(c, 2 * m, &c) || __builtin_add_overflow(c, 16 * n, count) ||
                 __builtin_mul_overflow(*count, static_cast<i64>(sizeof(f64)), &a));
    }

    Work(void *memory, i64 m, i64 n) {
        f64 *p = static_cast<f64 *>(memory);
        auto take = [&p](i64 count) {
            f64 *piece = p;
            p += count;
            return piece;
        };
        J = take(m * n);
        QR = take(m * n);
        r_trial = take(m);
        qtr = take(m);
        L = take(n * n);
        Lr = take(n * n);
        for (f64 **v : {&diag, &x_trial, &step, &u, &qtf, &tau, &colnorm, &grad, &dp, &y, &w, &rhs})
            *v = take(n);
        qr_work = take(m * n + 2 * n);
        perm = reinterpret_cast<i64 *>(take(n));
    }
};

// Factors J (m x n) into w.QR, w.tau, w.perm and copies R^T into w.Lr.
// Returns the number of leading non-zero diagonal entries of R.
i64 factor(const f64 *J, i64 m, i64 n, Work &w) {
    std::memcpy(w.QR, J, static_cast<size_t>(m * n) * sizeof(f64));
    vlm_qr_pivoted(w.QR, m, n, w.tau, w.perm, w.qr_work);
    vlm_zero_mat(w.Lr, n, n);
    i64 nonsingular = n;
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = i; j < n; ++j) w.Lr[j * n + i] = w.QR[i * n + j];
        if (w.QR[i * n + i] == 0.0 && nonsingular == n) nonsingular = i;
    }
    return nonsingular;
}

// ---------------------------------------------------------------------------
// The trust-region step.

struct Subproblem {
    i64 n;
    const f64 *Lr;    // R^T
    const f64 *dp;    // the scaling in pivoted order
    const f64 *qtf;   // (Q^T r)[0 .. n)
    i64 nonsingular;  // leading non-zero diagonal entries of R
    Work &w;

    // ||dp u||
    f64 dnorm(const f64 *u) const { return scaled_norm(dp, u, w.y, n); }

    // The Gauss-Newton step u: R u = -qtf over the leading nonsingular block,
    // the rest of u zero (a least-squares step when R is singular).
    void gauss_newton(f64 *u) const {
        const i64 k = nonsingular;
        for (i64 i = 0; i < n; ++i) u[i] = 0.0;
        if (k == 0) return;
        for (i64 i = 0; i < k; ++i) {
            for (i64 j = 0; j < k; ++j) w.L[i * k + j] = Lr[i * n + j];
            w.rhs[i] = -qtf[i];
        }
        vlm_backward_subst_chol_t(w.L, w.rhs, u, k);
    }

    // The damped step u for lambda > 0; leaves S^T in w.L (n x n).
    void damped(f64 lambda, f64 *u) const {
        f64 *L = w.L, *extra = w.w, *c = w.rhs;
        std::memcpy(L, Lr, static_cast<size_t>(n * n) * sizeof(f64));
        for (i64 i = 0; i < n; ++i) c[i] = -qtf[i];
        const f64 root = std::sqrt(lambda);
        for (i64 j = 0; j < n; ++j) {
            // Row j of sqrt(lambda) dp, rotated into rows j .. n-1 of S (row k
            // of S is column k of L); its right-hand side starts at zero.
            for (i64 i = j; i < n; ++i) extra[i] = 0.0;
            extra[j] = root * dp[j];
            f64 extra_rhs = 0.0;
            for (i64 k = j; k < n; ++k) {
                if (extra[k] == 0.0) continue;
                const f64 a = L[k * n + k], b = extra[k];
                const f64 h = hypot2(a, b);
                const f64 cs = a / h, sn = b / h;
                L[k * n + k] = h;
                for (i64 i = k + 1; i < n; ++i) {
                    const f64 s = L[i * n + k];
                    L[i * n + k] = cs * s + sn * extra[i];
                    extra[i] = cs * extra[i] - sn * s;
                }
                const f64 t = c[k];
                c[k] = cs * t + sn * extra_rhs;
                extra_rhs = cs * extra_rhs - sn * t;
            }
        }
        vlm_backward_subst_chol_t(L, c, u, n);
    }

    // ||F^-T (dp^2 u) / ||dp u|| ||^2 for the lower factor F^T = factor:
    // -phi'(lambda) / ||dp u||, the slope of the step's length.
    f64 slope(const f64 *factor, const f64 *u, f64 unorm) const {
        for (i64 i = 0; i < n; ++i) w.y[i] = dp[i] * (dp[i] * u[i]) / unorm;
        vlm_forward_subst(factor, w.y, w.w, n);
        const f64 s = norm(w.w, n);
        return s * s;
    }

    // Finds lambda with ||dp u(lambda)|| within 10% of delta (or lambda = 0
    // when the Gauss-Newton step is that short), starting from the previous
    // lambda; writes u and returns lambda.
    f64 solve(f64 delta, f64 lambda, f64 *u) const {
        gauss_newton(u);
        f64 unorm = dnorm(u);
        f64 phi = unorm - delta;
        if (phi <= 0.1 * delta) return 0.0;
        // Bounds on lambda: Newton's step from 0 is a lower bound when R is
        // nonsingular (phi is convex there), ||dp^-1 R^T qtf|| / delta an upper one.
        f64 low = nonsingular == n ? (phi / delta) / slope(Lr, u, unorm) : 0.0;
        for (i64 j = 0; j < n; ++j) w.y[j] = vlm_dot(Lr + j * n, qtf, j + 1) / dp[j];
        const f64 gnorm = norm(w.y, n);
        f64 high = gnorm / delta;
        if (high == 0.0) high = TINY / std::fmin(delta, 0.1);
        lambda = std::fmin(std::fmax(lambda, low), high);
        if (lambda == 0.0) lambda = gnorm / unorm;
        for (int iteration = 1;; ++iteration) {
            if (lambda == 0.0) lambda = std::fmax(TINY, 0.001 * high);
            damped(lambda, u);
            unorm = dnorm(u);
            const f64 previous = phi;
            phi = unorm - delta;
            if (std::fabs(phi) <= 0.1 * delta ||
                (low == 0.0 && phi <= previous && previous < 0.0) || iteration == 10 ||
                !std::isfinite(phi))
                return lambda;
            // Newton's correction for 1/||dp u|| = 1/delta, which is nearly
            // linear in lambda.
            const f64 correction = (phi / delta) / slope(w.L, u, unorm);
            if (phi > 0.0) low = std::fmax(low, lambda);
            if (phi < 0.0) high = std::fmin(high, lambda);
            lambda = std::fmax(low, lambda + correction);
        }
    }
};

// ---------------------------------------------------------------------------
// The iteration.

struct Run {
    const LmProblem &p;
    const LmOptions &opt;
    LmResult &res;
    Work &w;
    f64 *x, *r;
    i64 m, n, budget;

    i64 spent() const { return res.nfev + (opt.budget_includes_jacobian ? res.nfev_jac : 0); }

    // The Jacobian at x into w.J with its column norms; false ends the run.
    bool jacobian() {
        const i64 used = p.jacobian(p.ctx, x, r, w.J);
        if (used < 0) {
            res.status = LM_STOPPED;
            return false;
        }
        res.nfev_jac += used;
        res.njev += 1;
        if (!all_finite(w.J, m * n)) {
            res.status = LM_JACOBIAN_NOT_FINITE;
            return false;
        }
        for (i64 j = 0; j < n; ++j) {
            for (i64 i = 0; i < m; ++i) w.qtr[i] = w.J[i * n + j];
            w.colnorm[j] = norm(w.qtr, m);
        }
        return true;
    }

    // The largest |cosine| between r and a column of J.
    f64 gradient_cosine(f64 rnorm) {
        if (rnorm == 0.0) return 0.0;
        vlm_gram_rhs(w.J, r, w.grad, m, n);
        f64 worst = 0.0;
        for (i64 j = 0; j < n; ++j)
            if (w.colnorm[j] != 0.0)
                worst = std::fmax(worst, std::fabs(w.grad[j]) / (w.colnorm[j] * rnorm));
        return worst;
    }

    // ||R u||: the length of the linear model's change along the step.
    f64 model_change(const f64 *u) {
        for (i64 i = 0; i < n; ++i) {
            f64 s = 0.0;
            for (i64 j = i; j < n; ++j) s += w.Lr[j * n + i] * u[j];
            w.y[i] = s;
        }
        return norm(w.y, n);
    }

    // The trial step's model terms: the relative reduction of ||r||^2 the
    // linear model predicts, its slope along the step (half the derivative),
    // and ||D step||.
    struct Model {
        f64 predicted, directional, pnorm;
    };

    // The damped step u (pivoted; w.step in original order) with the
    // problem's limits applied. MINPACK's terms for the whole step:
    // predicted t1^2 + 2 t2^2, slope -(t1^2 + t2^2); scaled by alpha:
    // 2 alpha (t1^2 + t2^2) - alpha^2 t1^2 and -alpha (t1^2 + t2^2). A step
    // shortened coordinate by coordinate has its terms from J directly.
    Model limited_step(f64 lambda, f64 rnorm) {
        const f64 pnorm = scaled_norm(w.diag, w.step, w.y, n);
        const f64 t1 = model_change(w.u) / rnorm, t2 = std::sqrt(lambda) * pnorm / rnorm;
        Model whole{t1 * t1 + 2.0 * t2 * t2, -(t1 * t1 + t2 * t2), pnorm};
        if (p.step_limit == nullptr) return whole;
        f64 *full = w.rhs;  // free between two subproblem solutions
        std::memcpy(full, w.step, static_cast<size_t>(n) * sizeof(f64));
        if (!p.step_limit(p.ctx, x, w.step)) return whole;
        f64 alpha = 1.0;
        for (i64 j = 0; j < n; ++j)
            if (full[j] != 0.0) alpha = std::fmin(alpha, w.step[j] / full[j]);
        alpha = std::fmax(alpha, 0.0);
        const Model scaled{2.0 * alpha * (t1 * t1 + t2 * t2) - alpha * alpha * t1 * t1,
                           -alpha * (t1 * t1 + t2 * t2), alpha * pnorm};
        f64 *change = w.r_trial;  // J times the shortened step; free until the trial
        f64 after = 0.0, along = 0.0;
        for (i64 i = 0; i < m; ++i) {
            change[i] = vlm_dot(w.J + i * n, w.step, n);
            along += r[i] * change[i];
            after += (r[i] + change[i]) * (r[i] + change[i]);
        }
        const f64 r2 = rnorm * rnorm;
        const Model shortened{(r2 - after) / r2, along / r2, scaled_norm(w.diag, w.step, w.y, n)};
        if (shortened.predicted >= scaled.predicted) return shortened;
        for (i64 j = 0; j < n; ++j) w.step[j] = alpha * full[j];
        return scaled;
    }

    void iterate(bool r_given) {
        if (!r_given) {
            if (p.residuals(p.ctx, x, r) != 0) {
                res.status = LM_STOPPED;
                return;
            }
        }
        res.nfev = 1;
        f64 rnorm = norm(r, m);
        res.cost = res.cost_start = 0.5 * rnorm * rnorm;
        if (!std::isfinite(rnorm)) {
            res.status = LM_START_NOT_FINITE;
            return;
        }
        f64 lambda = 0.0, delta = 0.0, xnorm = 0.0;
        bool first = true;
        for (;;) {  // one Jacobian per pass
            if (!jacobian()) return;
            const i64 nonsingular = factor(w.J, m, n, w);
            if (first) {
                for (i64 j = 0; j < n; ++j)
                    w.diag[j] = opt.scale != nullptr  ? opt.scale[j]
                                : w.colnorm[j] != 0.0 ? w.colnorm[j]
                                                      : 1.0;
                xnorm = scaled_norm(w.diag, x, w.y, n);
                delta = xnorm > 0.0 && std::isfinite(xnorm) ? opt.factor * xnorm : opt.factor;
            }
            std::memcpy(w.qtr, r, static_cast<size_t>(m) * sizeof(f64));
            vlm_qr_apply_qt(w.QR, w.tau, w.qtr, m, n);
            std::memcpy(w.qtf, w.qtr, static_cast<size_t>(n) * sizeof(f64));
            const f64 cosine = gradient_cosine(rnorm);
            if (cosine <= opt.gtol) {
                res.status = LM_GTOL;
                return;
            }
            if (opt.scale == nullptr)
                for (i64 j = 0; j < n; ++j) w.diag[j] = std::fmax(w.diag[j], w.colnorm[j]);
            for (i64 k = 0; k < n; ++k) w.dp[k] = w.diag[w.perm[k]];
            const Subproblem sub{n, w.Lr, w.dp, w.qtf, nonsingular, w};
            for (;;) {  // trial steps until one is accepted
                lambda = sub.solve(delta, lambda, w.u);
                for (i64 k = 0; k < n; ++k) w.step[w.perm[k]] = w.u[k];
                const Model model = limited_step(lambda, rnorm);
                for (i64 j = 0; j < n; ++j) w.x_trial[j] = x[j] + w.step[j];
                const f64 pnorm = model.pnorm;
                if (first) delta = std::fmin(delta, pnorm);
                if (p.residuals(p.ctx, w.x_trial, w.r_trial) != 0) {
                    res.status = LM_STOPPED;
                    return;
                }
                res.nfev += 1;
                f64 trial_norm = norm(w.r_trial, m);
                if (!std::isfinite(trial_norm))
                    trial_norm = INF;  // never accepted: the step shrinks
                // Actual and predicted relative reductions of ||r||^2.
                const f64 actual = 0.1 * trial_norm < rnorm
                                       ? 1.0 - (trial_norm / rnorm) * (trial_norm / rnorm)
                                       : -1.0;
                const f64 predicted = model.predicted, directional = model.directional;
                const f64 ratio = predicted != 0.0 ? actual / predicted : 0.0;
                if (ratio <= 0.25) {
                    // Shrink the region: by half, less when the reduction fell
                    // far short of a quadratic fit's, at most tenfold.
                    f64 t = actual >= 0.0 ? 0.5 : 0.5 * directional / (directional + 0.5 * actual);
                    if (0.1 * trial_norm >= rnorm || t < 0.1) t = 0.1;
                    delta = t * std::fmin(delta, pnorm / 0.1);
                    lambda /= t;
                } else if (lambda == 0.0 || ratio >= 0.75) {
                    delta = pnorm / 0.5;
                    lambda *= 0.5;
                }
                const bool accepted = ratio >= 1e-4;
                if (accepted) {
                    std::memcpy(x, w.x_trial, static_cast<size_t>(n) * sizeof(f64));
                    std::memcpy(r, w.r_trial, static_cast<size_t>(m) * sizeof(f64));
                    xnorm = scaled_norm(w.diag, x, w.y, n);
                    rnorm = trial_norm;
                    res.cost = 0.5 * rnorm * rnorm;
                    res.nit += 1;
                    first = false;
                }
                if (converged(actual, predicted, ratio, delta, xnorm, cosine)) return;
                if (accepted) break;
            }
        }
    }

    // The stopping tests after a trial step; sets the status.
    bool converged(f64 actual, f64 predicted, f64 ratio, f64 delta, f64 xnorm, f64 cosine) {
        const bool small_reduction =
            std::fabs(actual) <= opt.ftol && predicted <= opt.ftol && 0.5 * ratio <= 1.0;
        const bool small_region = delta <= opt.xtol * xnorm;
        if (small_reduction || small_region) {
            res.status = small_reduction && small_region ? LM_FTOL_XTOL
                         : small_reduction               ? LM_FTOL
                                                         : LM_XTOL;
            return true;
        }
        if (spent() >= budget)
            res.status = LM_MAX_NFEV;
        else if (std::fabs(actual) <= EPS && predicted <= EPS && 0.5 * ratio <= 1.0)
            res.status = LM_FTOL_TINY;
        else if (delta <= EPS * xnorm)
            res.status = LM_XTOL_TINY;
        else if (cosine <= EPS)
            res.status = LM_GTOL_TINY;
        else
            return false;
        return true;
    }
};

bool valid(const LmProblem &p, const LmOptions &o) {
    if (p.n < 1 || p.m < p.n || p.residuals == nullptr || p.jacobian == nullptr) return false;
    if (!(o.ftol >= 0.0 && o.xtol >= 0.0 && o.gtol >= 0.0 && o.factor > 0.0)) return false;
    if (o.scale != nullptr)
        for (i64 j = 0; j < p.n; ++j)
            if (!(o.scale[j] > 0.0 && std::isfinite(o.scale[j]))) return false;
    return true;
}

}  // namespace

size_t lm_workspace_bytes(i64 m, i64 n) {
    i64 count = 0;
    if (n < 1 || m < n || !Work::slots(m, n, &count)) return 0;
    return static_cast<size_t>(count) * sizeof(f64);
}

void lm_minimize(const LmProblem &problem, const LmOptions &options, f64 *x, f64 *r, bool r_given,
                 void *work, LmResult *result) {
    LmResult &res = *result;
    res = LmResult{};
    const size_t bytes = lm_workspace_bytes(problem.m, problem.n);
    if (bytes == 0 || x == nullptr || r == nullptr || !valid(problem, options)) return;
    void *owned = nullptr;
    if (work == nullptr) {
        work = owned = std::malloc(bytes);
        if (work == nullptr) {
            res.status = LM_NO_MEMORY;
            return;
        }
    }
    Work w(work, problem.m, problem.n);
    const i64 budget = options.max_nfev > 0 ? options.max_nfev : 100 * problem.n;
    Run run{problem, options, res, w, x, r, problem.m, problem.n, budget};
    run.iterate(r_given);
    std::free(owned);
}

bool lm_gauss_newton(const f64 *J, i64 m, i64 n, const f64 *r, const f64 *fixed, f64 rel_tol,
                     f64 *s, void *work) {
    if (lm_workspace_bytes(m, n) == 0 || work == nullptr) return false;
    Work w(work, m, n);
    // As for the covariance: the columns scaled to unit length, so that the
    // rank does not depend on the parameters' units; held and zero columns
    // pivot to the end.
    for (i64 j = 0; j < n; ++j) {
        for (i64 i = 0; i < m; ++i) w.qtr[i] = J[i * n + j];
        const f64 length = norm(w.qtr, m);
        w.colnorm[j] = fixed[j] == 0.0 && length > 0.0 && std::isfinite(length) ? length : 0.0;
    }
    for (i64 i = 0; i < m; ++i)
        for (i64 j = 0; j < n; ++j)
            w.J[i * n + j] = w.colnorm[j] > 0.0 ? J[i * n + j] / w.colnorm[j] : 0.0;
    factor(w.J, m, n, w);
    const f64 tol = std::fmax(rel_tol, EPS * static_cast<f64>(m)) * std::fabs(w.QR[0]);
    i64 rank = 0;
    while (rank < n && std::fabs(w.QR[rank * n + rank]) > tol) ++rank;
    std::memcpy(w.qtr, r, static_cast<size_t>(m) * sizeof(f64));
    vlm_qr_apply_qt(w.QR, w.tau, w.qtr, m, n);
    const Subproblem sub{n, w.Lr, nullptr, w.qtr, rank, w};
    sub.gauss_newton(w.u);
    for (i64 k = 0; k < n; ++k) {
        const i64 j = w.perm[k];
        s[j] = w.colnorm[j] > 0.0 ? w.u[k] / w.colnorm[j] : 0.0;
    }
    return true;
}

i64 lm_covariance(const f64 *J, i64 m, i64 n, f64 rel_tol, f64 *cov, void *work) {
    if (lm_workspace_bytes(m, n) == 0 || work == nullptr) return -1;
    Work w(work, m, n);
    // The rank is judged on J with unit columns, so that the parameters'
    // units do not matter: (J^T J)^-1 = N^-1 ((J N^-1)^T (J N^-1))^-1 N^-1
    // with N the column norms.
    i64 rank = 0;
    bool usable = all_finite(J, m * n);
    for (i64 j = 0; usable && j < n; ++j) {
        for (i64 i = 0; i < m; ++i) w.qtr[i] = J[i * n + j];
        w.colnorm[j] = norm(w.qtr, m);
        usable = w.colnorm[j] > 0.0 && std::isfinite(w.colnorm[j]);
    }
    if (usable) {
        for (i64 i = 0; i < m; ++i)
            for (i64 j = 0; j < n; ++j) w.J[i * n + j] = J[i * n + j] / w.colnorm[j];
        factor(w.J, m, n, w);
        const f64 tol = std::fmax(rel_tol, EPS * static_cast<f64>(m)) * std::fabs(w.QR[0]);
        while (rank < n && std::fabs(w.QR[rank * n + rank]) > tol) ++rank;
    }
    if (rank < n) {
        for (i64 k = 0; k < n * n; ++k) cov[k] = INF;
        return rank;
    }
    // Column k of (R^T R)^-1 = R^-1 R^-T e_k, placed at the original indices
    // and unscaled.
    for (i64 k = 0; k < n; ++k) {
        for (i64 i = 0; i < n; ++i) w.y[i] = i == k ? 1.0 : 0.0;
        vlm_forward_subst(w.Lr, w.y, w.w, n);
        vlm_backward_subst_chol_t(w.Lr, w.w, w.w, n);
        const i64 col = w.perm[k];
        for (i64 i = 0; i < n; ++i) {
            const i64 row = w.perm[i];
            cov[row * n + col] = w.w[i] / (w.colnorm[row] * w.colnorm[col]);
        }
    }
    vlm_sym_inplace(cov, n);
    return rank;
}

}  // namespace vlm
