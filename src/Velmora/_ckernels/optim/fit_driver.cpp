// One fit: minimize on the unconstrained coordinates, difference the
// Hessian there, analyse it, and carry the covariance back to x.
#include "fit_driver.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "lbfgsb.h"
#include "mapped_objective.h"

namespace vlm {
namespace {

bool is_finite(f64 v) { return std::fabs(v) <= 1.79769313486231570815e308; }  // false for NaN

bool stopped(const int *stop) { return stop != nullptr && *stop != 0; }

bool is_fixed(const FitProblem &p, i64 i) {
    return p.nbd != nullptr && p.nbd[i] == 2 && p.lo[i] == p.hi[i];
}

unsigned char family_of(const FitProblem &p, i64 i) {
    if (p.nbd == nullptr) return PARAM_FREE;
    switch (p.nbd[i]) {
        case 1: return PARAM_LOWER;
        case 2: return static_cast<unsigned char>(p.interval_family);
        case 3: return PARAM_UPPER;
        default: return PARAM_FREE;
    }
}

// The memory of one fit beyond the caller's arrays, in one block per type;
// released by the destructor on every path.
struct Workspace {
    // f64: plan bounds (2m), the map's scratch (3m), the full gradient (n),
    // the Hessian's steps (m) and work (4m), the covariance work (4m^2 + m).
    f64 *low = nullptr, *high = nullptr, *scratch = nullptr, *g_full = nullptr, *steps = nullptr,
        *hessian_work = nullptr, *cov_work = nullptr;
    // i64: the free elements, the plan's order, the covariance's pivots (m each).
    i64 *free = nullptr, *order = nullptr, *pivots = nullptr;
    // bytes: the family of each free element and its flat flag (m each).
    unsigned char *family = nullptr, *flat = nullptr;

    bool allocate(i64 n, i64 m) {
        i64 mm, reals;
        if (__builtin_mul_overflow(m, m, &mm) || __builtin_mul_overflow(mm, 4, &reals) ||
            __builtin_add_overflow(reals, 11 * m + n, &reals) || reals > PTRDIFF_MAX / 8)
            return false;
        const size_t r = static_cast<size_t>(reals), k = static_cast<size_t>(m);
        low = static_cast<f64 *>(std::calloc(r > 0 ? r : 1, sizeof(f64)));
        free = static_cast<i64 *>(std::calloc(3 * k + 1, sizeof(i64)));
        family = static_cast<unsigned char *>(std::calloc(2 * k + 1, 1));
        if (low == nullptr || free == nullptr || family == nullptr) return false;
        high = low + m;
        scratch = high + m;
        g_full = scratch + 3 * m;
        steps = g_full + n;
        hessian_work = steps + m;
        cov_work = hessian_work + 4 * m;
        order = free + m;
        pivots = order + m;
        flat = family + m;
        return true;
    }
    ~Workspace() {
        std::free(low);
        std::free(free);
        std::free(family);
    }
};

// The first element of the start that cannot be used, or START_OK.
i64 start_problem(const FitProblem &p, const f64 *x, i64 &index) {
    for (i64 i = 0; i < p.n; ++i) {
        index = i;
        const i64 code = p.nbd != nullptr ? p.nbd[i] : 0;
        const bool lower = code == 1 || code == 2, upper = code == 2 || code == 3;
        const f64 lo = lower ? p.lo[i] : -HUGE_VAL, hi = upper ? p.hi[i] : HUGE_VAL;
        if (!is_finite(x[i])) return START_NOT_FINITE;
        if (lower && upper && lo < hi && !is_finite(hi - lo)) return START_TOO_WIDE;
        if (x[i] < lo || x[i] > hi) return START_OUTSIDE;
        if (!is_fixed(p, i) && (x[i] == lo || x[i] == hi)) return START_ON_BOUND;
    }
    index = -1;
    return fit_free_count(p) == 0 ? START_NOTHING_FREE : START_OK;
}

void fill(f64 *a, i64 count, f64 v) {
    for (i64 k = 0; k < count; ++k) a[k] = v;
}

// The minimization on y; false when it was stopped.
bool minimize_mapped(const FitProblem &p, MappedObjective &mo, i64 m, const FitArrays &a,
                     FitOutcome &out) {
    if (p.method == FitMethod::lbfgsb) {
        LbfgsbObjective obj;
        obj.value = p.value_grad != nullptr ? nullptr : mapped_value;
        obj.value_grad = p.value_grad != nullptr ? mapped_value_grad : nullptr;
        obj.ctx = &mo;
        obj.stop = p.stop;
        lbfgsb_drive(obj, m, a.y, nullptr, nullptr, nullptr, &p.lbfgsb, &out.run, &out.run_njev,
                     a.grad, nullptr);
        if (stopped(p.stop)) return false;
        // The driver's first evaluation is at the start: a value that is not
        // finite there ends the run at once as invalid input.
        if (out.run.status == ERROR && out.run.nfev == 1 && !is_finite(out.run.fun))
            out.state = FIT_NOT_FINITE_START;
        return true;
    }
    // Nelder-Mead would wander from a start without a value: look first.
    const f64 f0 = mapped_value(a.y, &mo);
    out.start_nfev = 1;
    if (stopped(p.stop)) return false;
    if (!is_finite(f0)) {
        out.run = {ERROR, 1, 0, f0, 0, nullptr};
        out.state = FIT_NOT_FINITE_START;
        return true;
    }
    NelderMeadHooks hooks;
    hooks.stop = p.stop;
    vlm_neldermead_result res{};
    neldermead_drive(mapped_value, &mo, m, a.y, nullptr, nullptr, nullptr, &p.neldermead, &res, &hooks,
                     nullptr);
    if (stopped(p.stop)) return false;
    out.run = {res.status, res.nfev, res.nit, res.fun, res.success, res.message};
    fill(a.grad, m, NAN);
    return true;
}

}  // namespace

i64 fit_free_count(const FitProblem &problem) {
    i64 m = 0;
    for (i64 i = 0; i < problem.n; ++i) m += is_fixed(problem, i) ? 0 : 1;
    return m;
}

i64 fit_drive(const FitProblem &p, const FitArrays &a, FitOutcome &out) {
    out = FitOutcome{};
    const i64 n = p.n, m = fit_free_count(p);
    Workspace w;
    out.start_problem = n < 1 ? START_NOTHING_FREE : start_problem(p, a.x, out.index);
    if (out.start_problem != START_OK) {
        out.state = FIT_BAD_START;
        return out.state;
    }
    if (!w.allocate(n, m)) {
        out.state = FIT_NO_MEMORY;
        return out.state;
    }

    // The plan over the free elements, and the start on their unconstrained
    // coordinates.
    const f64 none = 0.0;
    for (i64 i = 0, k = 0; i < n; ++i) {
        if (is_fixed(p, i)) continue;
        w.free[k] = i;
        w.family[k] = family_of(p, i);
        w.low[k] = p.lo != nullptr ? p.lo[i] : none;
        w.high[k] = p.hi != nullptr ? p.hi[i] : none;
        ++k;
    }
    f64 *plan_low = w.scratch, *plan_high = w.scratch + m;  // the grouping copies them
    std::memcpy(plan_low, w.low, static_cast<size_t>(m) * sizeof(f64));
    std::memcpy(plan_high, w.high, static_cast<size_t>(m) * sizeof(f64));
    ParamPlan plan;
    plan.n = m;
    plan.order = w.order;
    plan.low = w.low;
    plan.high = w.high;
    param_plan_group(plan, w.family, plan_low, plan_high);
    f64 *x_free = w.steps;  // free until the Hessian
    for (i64 k = 0; k < m; ++k) x_free[k] = a.x[w.free[k]];
    param_plan_apply(plan, MapOp::to_unconstrained, x_free, a.y, 1, w.scratch);
    for (i64 k = 0; k < m; ++k) {
        if (!is_finite(a.y[k])) {
            out.state = FIT_BAD_START;
            out.start_problem = START_TOO_CLOSE;
            out.index = w.free[k];
            return out.state;
        }
    }

    MappedObjective mo;
    mo.value = p.value;
    mo.value_grad = p.value_grad;
    mo.ctx = p.ctx;
    mo.n_full = n;
    mo.plan = &plan;
    mo.free = w.free;
    mo.x = a.x;
    mo.g_full = w.g_full;
    mo.scratch = w.scratch;

    if (!minimize_mapped(p, mo, m, a, out)) {
        out.state = FIT_STOPPED;
        return out.state;
    }
    mapped_expand(mo, a.y);
    if (out.state == FIT_DONE && out.run.nfev == 0) out.state = FIT_NOT_RUN;  // no value to differentiate at
    if (out.state != FIT_DONE) return out.state;

    // The Hessian on y, its analysis, and the delta method: cov_x = D cov_y D
    // with D = diag(dx/dy); fixed elements have no variance.
    fill(a.cov, n * n, 0.0);
    std::memset(a.flat, 0, static_cast<size_t>(n));  // (the se are written below)
    out.source = p.value_grad != nullptr ? HessianSource::gradient : HessianSource::values;
    if (!is_finite(out.run.fun)) {
        fill(a.hessian, m * m, NAN);
        fill(a.cov_y, m * m, NAN);
        for (i64 k = 0; k < m; ++k) a.flat[w.free[k]] = 1;
        out.state = FIT_NO_HESSIAN;
    } else {
        const bool formed =
            out.source == HessianSource::gradient
                ? hessian_by_gradient(mapped_value_grad, &mo, m, a.y, a.hessian, w.steps,
                                      w.hessian_work, p.stop)
                : hessian_by_values(mapped_value, &mo, m, a.y, out.run.fun, a.hessian, w.steps,
                                    w.hessian_work, p.stop);
        mapped_expand(mo, a.y);
        if (!formed) {
            out.state = FIT_STOPPED;
            return out.state;
        }
        out.hessian_nfev = hessian_evaluations(out.source, m);
        out.hessian_state = hessian_covariance(a.hessian, w.steps, m, hessian_flat_tolerance(out.source),
                                               p.errordef, a.cov_y, w.flat, w.cov_work, w.pivots);
        for (i64 k = 0; k < m; ++k) a.flat[w.free[k]] = w.flat[k];
    }
    f64 *dx_dy = w.steps;
    param_plan_apply(plan, MapOp::constrained_grad, a.y, dx_dy, 1, w.scratch);
    for (i64 r = 0; r < m; ++r)
        for (i64 c = 0; c < m; ++c)
            a.cov[w.free[r] * n + w.free[c]] = dx_dy[r] * a.cov_y[r * m + c] * dx_dy[c];
    for (i64 i = 0; i < n; ++i) {
        a.se[i] = std::sqrt(a.cov[i * n + i]);
        out.flat_count += a.flat[i];
    }
    return out.state;
}

}  // namespace vlm
