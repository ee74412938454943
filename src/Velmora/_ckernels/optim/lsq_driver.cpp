// One least-squares fit: the iteration on z, then the Jacobian and the
// covariance on x.
#include "lsq_driver.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "../_common/vlm_linalg.h"

#include "robust_loss.h"

namespace vlm {
namespace {

constexpr f64 EPS = 2.220446049250313e-16;  // 2^-52

// The workspace: the iteration's block, then the problem's work buffer, the
// unconstrained variables z, a check of the start, the typical sizes, a step,
// the held columns and a candidate step (n values each), m values of
// scratch, and the raw residuals of a robust loss (m values).
struct DriveWork {
    void *lm;
    f64 *problem, *z, *x_check, *typical, *step, *held, *candidate, *change, *raw;

    DriveWork(void *block, i64 m, i64 n) {
        lm = block;
        problem = reinterpret_cast<f64 *>(static_cast<char *>(block) + lm_workspace_bytes(m, n));
        z = problem + lsq_problem_work(m, n);
        x_check = z + n;
        typical = x_check + n;
        step = typical + n;
        held = step + n;
        candidate = held + n;
        change = candidate + n;
        raw = change + m;
    }
};

// Whether x0_j is where a start on the finite bound b was moved inside (by
// 1e-10 max(1, |b|), Velmora.least_squares_fits): its size says nothing of the parameter's.
bool moved_off(f64 x0, f64 b) {
    return std::isfinite(b) && std::fabs(x0 - b) <= 2e-10 * std::fmax(1.0, std::fabs(b));
}

// The size of x_j the difference steps are taken relative to, at least:
// 1 / D_j of a fixed scaling D given in x (x_scale), else |x0_j|; for a
// start on a bound, |bound|, or for a bound at 0 the interval's width up to
// 1 (a wider interval says nothing of the parameter's size: (0, 1e13) would
// step 1.5e5 from next to 0 and difference a secant, not a derivative);
// else 1.
void set_typical(const LsqProblem &p, const LmOptions &o, const f64 *x0, f64 *typical) {
    for (i64 j = 0; j < p.n; ++j) {
        f64 size = std::fabs(x0[j]);
        if (p.plan != nullptr) {
            const f64 width = p.upper[j] - p.lower[j];
            for (const f64 b : {p.lower[j], p.upper[j]})
                if (moved_off(x0[j], b)) size = b != 0.0 ? std::fabs(b) : std::fmin(width, 1.0);
        }
        typical[j] = size > 0.0 && std::isfinite(size) ? size : 1.0;
        if (o.scale != nullptr && p.plan == nullptr) typical[j] = 1.0 / o.scale[j];
    }
}

// After a run, the sizes the next differences step relative to follow
// where it ended, keeping the start's only up to 1: from a start at -2e9
// the run's steps of 32 difference a secant wherever it ends, while a
// coefficient that ends near 0 keeps stepping on the scale 1 it started
// from. A fixed scaling (x_scale) stays.
void follow_typical(const LsqProblem &p, const LmOptions &o, const f64 *x, f64 *typical) {
    if (o.scale != nullptr && p.plan == nullptr) return;
    for (i64 j = 0; j < p.n; ++j)
        typical[j] = std::fmax(std::fabs(x[j]), std::fmin(typical[j], 1.0));
}

bool converged(i64 status) { return status > 0 && status != LM_MAX_NFEV; }

// The side of the box the step s leaves x by in coordinate j: +1 above, -1
// below, 0 inside.
int exit_side(const LsqProblem &p, const f64 *x, const f64 *s, i64 j) {
    if (p.plan == nullptr) return 0;
    if (s[j] < 0.0 && x[j] + s[j] < p.lower[j]) return -1;
    if (s[j] > 0.0 && x[j] + s[j] > p.upper[j]) return 1;
    return 0;
}

// ||r||^2 - ||r + J step||^2: the linear model's reduction along a step.
f64 model_reduction(const f64 *J, const f64 *r, const f64 *step, i64 m, i64 n) {
    f64 reduction = 0.0;
    for (i64 i = 0; i < m; ++i) {
        const f64 change = vlm_dot(J + i * n, step, n);
        reduction -= change * (2.0 * r[i] + change);
    }
    return reduction;
}

// The largest t in (0, 1] with x + t step inside the box.
f64 inside_fraction(const LsqProblem &p, const f64 *x, const f64 *step) {
    f64 t = 1.0;
    for (i64 j = 0; j < p.n; ++j) {
        const int side = exit_side(p, x, step, j);
        if (side != 0) t = std::fmin(t, ((side < 0 ? p.lower[j] : p.upper[j]) - x[j]) / step[j]);
    }
    return t;
}

// What the linear model at x still promises inside the box: the largest of
// the reductions along three steps that respect the box, each over the
// parameters not held at a bound -- the Gauss-Newton step shortened as a
// whole, the same step cut coordinate by coordinate at the box, and the
// steepest-descent step in the Jacobian's column scaling (free of the
// parameters' units) at its best length. A parameter is held when it lies
// within a thousandth of the Gauss-Newton step from a bound that step would
// cross, and the gradient of the sum of squares pushes it through that bound
// too (the sign condition of a constrained minimum). The step of the largest
// reduction is left in w.step.
struct Promise {
    f64 reduction = 0.0;  // of ||r||^2 along w.step
    f64 now = 0.0;        // ||r||^2
    f64 terms = 0.0;      // sum_i (|r_i| + sum_j |J_ij x_j|)^2: the size rounding works on
};

Promise box_promise(const LsqProblem &p, const f64 *x, const f64 *r, const f64 *J,
                    const DriveWork &w) {
    const i64 m = p.m, n = p.n;
    Promise out;
    for (i64 i = 0; i < m; ++i) {
        f64 size = std::fabs(r[i]);
        for (i64 j = 0; j < n; ++j) size += std::fabs(J[i * n + j] * x[j]);
        out.now += r[i] * r[i];
        out.terms += size * size;
    }
    f64 *gradient = w.change;  // n <= m values
    for (i64 j = 0; j < n; ++j) {
        gradient[j] = 0.0;
        for (i64 i = 0; i < m; ++i) gradient[j] += J[i * n + j] * r[i];
        w.held[j] = 0.0;
    }
    const f64 rel_tol = p.fn.jacobian != nullptr ? 0.0 : p.diff_step;  // J's accuracy
    f64 *gn = w.candidate;
    if (!lm_gauss_newton(J, m, n, r, w.held, rel_tol, gn, w.lm)) {
        for (i64 j = 0; j < n; ++j) w.step[j] = 0.0;
        return out;
    }
    bool held_any = false;
    for (i64 j = 0; j < n; ++j) {
        const int side = exit_side(p, x, gn, j);
        const f64 room = side < 0 ? x[j] - p.lower[j] : side > 0 ? p.upper[j] - x[j] : INFINITY;
        if (room <= 1e-3 * std::fabs(gn[j]) && side * gradient[j] < 0.0) {
            w.held[j] = 1.0;
            held_any = true;
        }
    }
    if (held_any) lm_gauss_newton(J, m, n, r, w.held, rel_tol, gn, w.lm);
    for (i64 j = 0; j < n; ++j)
        if (w.held[j] != 0.0) gn[j] = 0.0;
    auto consider = [&](const f64 *step) {
        const f64 reduction = model_reduction(J, r, step, m, n);
        if (reduction > out.reduction) {
            out.reduction = reduction;
            if (step != w.step) std::memcpy(w.step, step, static_cast<size_t>(n) * sizeof(f64));
        }
    };
    for (i64 j = 0; j < n; ++j) w.step[j] = 0.0;
    // The Gauss-Newton step cut at the box, coordinate by coordinate, and as a whole.
    f64 *cut = w.x_check;
    for (i64 j = 0; j < n; ++j) {
        const int side = exit_side(p, x, gn, j);
        cut[j] = side < 0 ? p.lower[j] - x[j] : side > 0 ? p.upper[j] - x[j] : gn[j];
    }
    consider(cut);
    const f64 t = inside_fraction(p, x, gn);
    for (i64 j = 0; j < n; ++j) cut[j] = t * gn[j];
    consider(cut);
    // Steepest descent with each coordinate scaled by its column's length.
    f64 along = 0.0;
    for (i64 j = 0; j < n; ++j) {
        f64 length2 = 0.0;
        for (i64 i = 0; i < m; ++i) length2 += J[i * n + j] * J[i * n + j];
        cut[j] = w.held[j] == 0.0 && length2 > 0.0 ? -gradient[j] / length2 : 0.0;
        along -= gradient[j] * cut[j];
    }
    f64 curvature = 0.0;
    for (i64 i = 0; i < m; ++i) {
        const f64 change = vlm_dot(J + i * n, cut, n);
        curvature += change * change;
    }
    if (along > 0.0 && curvature > 0.0) {
        const f64 best = along / curvature;  // the model's minimum along the direction
        for (i64 j = 0; j < n; ++j) cut[j] *= best;
        const f64 t = inside_fraction(p, x, cut);
        for (i64 j = 0; j < n; ++j) cut[j] *= t;
        consider(cut);
    }
    return out;
}

// First-order optimality at x: the projected Gauss-Newton step would lower
// the sum of squares by at most tol of itself, or, for a fit whose
// residuals vanish, of what rounding leaves of the residuals: machine
// epsilon times the squared sizes of the terms they are made of, r and J x
// (not the start's sum of squares: from a start 1e9 away that floor hid a
// reduction of 90% at a point 10 from the minimum). Free of the units of
// the parameters and of the residuals: the reduction is that of a
// projection of r on the columns of J.
bool first_order_optimal(const Promise &g, f64 tol) {
    return !(g.reduction > tol * std::fmax(g.now, EPS * g.terms));
}

// The relative reduction a stopping test may leave, per the tolerances the
// caller chose: 100 ftol (1e-6 by default), more for a loose xtol or gtol.
f64 optimality_tol(const LmOptions &o) {
    return std::fmax(std::fmax(100.0 * o.ftol, std::sqrt(o.xtol)), std::fmax(o.gtol, 1e-10));
}

// Adds a further run's counts to the first's.
void add_run(LmResult &total, const LmResult &more) {
    total.status = more.status;
    total.nfev += more.nfev;
    total.nfev_jac += more.nfev_jac;
    total.njev += more.njev;
    total.nit += more.nit;
    total.cost = more.cost;
}

// The Jacobian in x, at x (z on the iteration's scale), of the residuals the
// iteration minimises: with a robust loss, that of the raw residuals
// (evaluated once more into raw) with its rows loss-scaled.
i64 iteration_jacobian_x(const LsqProblem &problem, const f64 *z, const f64 *x, const f64 *r,
                         f64 *jac, f64 *raw) {
    if (problem.loss == LOSS_LINEAR) return lsq_jacobian_x(problem, x, r, jac);
    if (lsq_residuals(const_cast<LsqProblem *>(&problem), z, raw) != 0) return -1;
    const i64 made = lsq_jacobian_x(problem, x, raw, jac);
    if (made >= 0)
        robust_scale_jacobian(problem.loss, problem.f_scale, raw, jac, problem.m, problem.n);
    return made;
}

// Tries the promising step w.step from x (residuals r, sum of squares ss),
// halved up to five times, each try stopped short of any bound it reaches
// (the map sends a bound itself to infinity). Returns 1 when a try lowered
// the sum of squares (z, x and r then hold it), 0 when none did within
// `most` evaluations, -1 when the function ended the run; `tries` counts the
// evaluations made.
int kick(const LmProblem &lp, const LsqProblem &problem, f64 *z, f64 *x, f64 *r, f64 ss, i64 most,
         const DriveWork &w, i64 &tries) {
    const i64 m = problem.m, n = problem.n;
    f64 *x_try = w.x_check, *z_try = w.candidate, *r_try = w.change;
    f64 fraction = 1.0;
    for (int k = 0; k < 6 && tries < most; ++k, fraction *= 0.5) {
        for (i64 j = 0; j < n; ++j) {
            const f64 step = fraction * w.step[j], moved = x[j] + step;
            const bool on_bound =
                problem.plan != nullptr && (moved <= problem.lower[j] || moved >= problem.upper[j]);
            x_try[j] = on_bound ? x[j] + 0.9 * step : moved;
        }
        lsq_from_params(problem, x_try, z_try);
        if (lp.residuals(lp.ctx, z_try, r_try) != 0) return -1;
        tries += 1;
        f64 after = 0.0;
        for (i64 i = 0; i < m; ++i) after += r_try[i] * r_try[i];
        if (after < ss) {
            std::memcpy(z, z_try, static_cast<size_t>(n) * sizeof(f64));
            std::memcpy(r, r_try, static_cast<size_t>(m) * sizeof(f64));
            if (problem.plan != nullptr) lsq_to_params(problem, z, x);
            return 1;
        }
    }
    return 0;
}

}  // namespace

size_t lsq_drive_bytes(i64 m, i64 n) {
    const size_t lm_bytes = lm_workspace_bytes(m, n), work = lsq_problem_work(m, n);
    size_t tail = 0, total = 0;
    if (lm_bytes == 0 || work == 0 ||
        __builtin_mul_overflow(work + 6 * static_cast<size_t>(n) + 2 * static_cast<size_t>(m),
                               sizeof(f64), &tail) ||
        __builtin_add_overflow(lm_bytes, tail, &total))
        return 0;
    return total;
}

void lsq_drive(LsqProblem problem, const LmOptions &options, f64 *x, f64 *r, bool r_given, int want,
               f64 *jac, f64 *cov, void *workspace, LsqDriveResult &out) {
    const i64 m = problem.m, n = problem.n;
    DriveWork w(workspace, m, n);
    problem.work = w.problem;
    set_typical(problem, options, x, w.typical);
    problem.typical = w.typical;
    out = LsqDriveResult{};
    RobustProblem robust{&problem, problem.loss, problem.f_scale, w.raw};
    LmProblem lp = problem.loss == LOSS_LINEAR
                       ? LmProblem{m, n, lsq_residuals, lsq_jacobian, &problem}
                       : LmProblem{m, n, robust_residuals, robust_jacobian, &robust};
    if (problem.plan != nullptr)
        lp.step_limit = problem.loss == LOSS_LINEAR ? lsq_step_limit : robust_step_limit;
    f64 *const z = problem.plan != nullptr ? w.z : x;
    if (problem.plan != nullptr) {
        // The residuals given are those at x; the iteration starts from
        // T^-1(T(x)), which rounding may move.
        lsq_from_params(problem, x, z);
        lsq_to_params(problem, z, w.x_check);
        r_given = r_given && std::memcmp(w.x_check, x, static_cast<size_t>(n) * sizeof(f64)) == 0;
    }
    const i64 budget = options.max_nfev > 0 ? options.max_nfev : 100 * n;
    LmOptions run_options = options;
    for (int restart = 0;; ++restart) {
        LmResult run;
        lm_minimize(lp, run_options, z, r, r_given, w.lm, &run);
        if (restart == 0)
            out.run = run;
        else
            add_run(out.run, run);
        if (problem.plan != nullptr) lsq_to_params(problem, z, x);
        out.finished = run.status > 0 || run.status == LM_JACOBIAN_NOT_FINITE;
        if (!out.finished || jac == nullptr) return;
        follow_typical(problem, options, x, w.typical);
        if (iteration_jacobian_x(problem, z, x, r, jac, w.raw) < 0) {
            out.run.status = LM_STOPPED;
            out.finished = false;
            return;
        }
        if (!converged(run.status)) break;
        // A stopping test of the iteration on z is no proof of a minimum in
        // x: where the map flattens near a bound, steps in z stop changing
        // anything, and a difference Jacobian that is noise stops it
        // anywhere. Where the projected Gauss-Newton step in x still promises
        // a reduction, take that step (kept off the bounds) and run again
        // from there if it lowers the sum of squares; otherwise report it.
        const Promise g = box_promise(problem, x, r, jac, w);
        if (first_order_optimal(g, optimality_tol(options))) break;
        out.run.status = LM_NOT_OPTIMAL;
        const i64 spent = out.run.nfev + (options.budget_includes_jacobian ? out.run.nfev_jac : 0);
        if (restart == 8 || spent + 1 >= budget) break;
        i64 tries = 0;
        const int moved = kick(lp, problem, z, x, r, 2.0 * out.run.cost, budget - spent, w, tries);
        if (moved < 0) {
            out.run.status = LM_STOPPED;
            out.finished = false;
            return;
        }
        out.run.nfev += moved > 0 ? tries - 1 : tries;  // a next run counts its start
        if (moved == 0) break;
        r_given = true;
        run_options.max_nfev = budget - spent - (tries - 1);
    }
    // With a robust loss, r and J become the pair reported (robust_loss.h).
    if (problem.loss != LOSS_LINEAR)
        robust_report(problem.loss, problem.f_scale, w.raw, r, jac, m, n);
    if (want < LSQ_COVARIANCE) return;
    out.rank = lm_covariance(jac, m, n, problem.fn.jacobian != nullptr ? 0.0 : problem.diff_step,
                             cov, w.lm);
    if (want == LSQ_SCALED_COVARIANCE && out.rank == n && m > n) {
        const f64 variance = 2.0 * out.run.cost / static_cast<f64>(m - n);
        for (i64 k = 0; k < n * n; ++k) cov[k] *= variance;
    }
}

}  // namespace vlm
