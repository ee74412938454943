// One fit: minimize on the unconstrained coordinates, difference the
// Hessian there, analyse it, and carry the covariance back to x.
#include "fit_driver.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "lbfgsb.h"
#include "mapped_objective.h"

namespace vlm {
namespace {

bool is_finite(f64 v) { return std::fabs(v) <= 1.79769313486231570815e308; }  // false for NaN

bool stopped(const int *stop) { return stop != nullptr && *stop != 0; }

unsigned char family_of(const FitProblem &p, i64 i) {
    if (p.nbd == nullptr) return PARAM_FREE;
    switch (p.nbd[i]) {
        case 1: return PARAM_LOWER;
        case 2: return static_cast<unsigned char>(p.interval_family);
        case 3: return PARAM_UPPER;
        default: return PARAM_FREE;
    }
}

// The memory of one fit beyond the caller's arrays, carved from one block
// sized for n free elements (so that one block serves any fit of n
// elements): the minimizer's workspace, then
//   f64: plan bounds (2n), the map's scratch (3n), the full gradient (n),
//        the Hessian's steps (n) and work (4n), the covariance work (4n^2 + n);
//   i64: the free elements, the plan's order, the covariance's pivots (n each);
//   bytes: the family of each free element and its flat flag (n each).
struct Workspace {
    void *minimizer = nullptr;
    f64 *low = nullptr, *high = nullptr, *scratch = nullptr, *g_full = nullptr, *steps = nullptr,
        *hessian_work = nullptr, *cov_work = nullptr;
    i64 *free = nullptr, *order = nullptr, *pivots = nullptr;
    unsigned char *family = nullptr, *flat = nullptr;

    // Bytes of the block, or 0 when they do not fit in memory arithmetic.
    static size_t bytes(const FitProblem &p, size_t *minimizer_bytes) {
        const i64 n = p.n;
        const size_t minimizer = p.method == FitMethod::lbfgsb
                                     ? lbfgsb_workspace_bytes(n, p.lbfgsb.m)
                                     : neldermead_workspace_bytes(n);
        i64 nn, reals, total;
        if (n < 1 || minimizer == 0 || __builtin_mul_overflow(n, n, &nn) ||
            __builtin_mul_overflow(nn, 4, &reals) ||
            __builtin_add_overflow(reals, 12 * n, &reals) || reals > PTRDIFF_MAX / 16 ||
            __builtin_add_overflow(reals * 8, 3 * n * 8 + 2 * n, &total) ||
            static_cast<size_t>(total) > SIZE_MAX - minimizer)
            return 0;
        *minimizer_bytes = minimizer;
        return minimizer + static_cast<size_t>(total);
    }

    void carve(void *block, i64 n, size_t minimizer_bytes) {
        minimizer = block;
        low = reinterpret_cast<f64 *>(static_cast<char *>(block) + minimizer_bytes);
        high = low + n;
        scratch = high + n;
        g_full = scratch + 3 * n;
        steps = g_full + n;
        hessian_work = steps + n;
        cov_work = hessian_work + 4 * n;
        free = reinterpret_cast<i64 *>(cov_work + 4 * n * n + n);
        order = free + n;
        pivots = order + n;
        family = reinterpret_cast<unsigned char *>(pivots + n);
        flat = family + n;
    }
};

// A block allocated for one fit when the caller gives none; released by the
// destructor on every path.
struct OwnedBlock {
    void *block = nullptr;
    ~OwnedBlock() { std::free(block); }
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
        if (!fit_is_fixed(p, i) && (x[i] == lo || x[i] == hi)) return START_ON_BOUND;
    }
    index = -1;
    return fit_free_count(p) == 0 ? START_NOTHING_FREE : START_OK;
}

// The start's checks, then the plan over the free elements (in w) and the
// start on their unconstrained coordinates (y, m values). Returns a
// FitStartProblem, with the element in `index`.
i64 prepare(const FitProblem &p, const f64 *x, Workspace &w, ParamPlan &plan, f64 *y, i64 &index) {
    const i64 problem = start_problem(p, x, index);
    if (problem != START_OK) return problem;
    const i64 n = p.n, m = fit_free_count(p);
    const f64 none = 0.0;
    for (i64 i = 0, k = 0; i < n; ++i) {
        if (fit_is_fixed(p, i)) continue;
        w.free[k] = i;
        w.family[k] = family_of(p, i);
        w.low[k] = p.lo != nullptr ? p.lo[i] : none;
        w.high[k] = p.hi != nullptr ? p.hi[i] : none;
        ++k;
    }
    f64 *plan_low = w.scratch, *plan_high = w.scratch + m;  // the grouping copies them
    std::memcpy(plan_low, w.low, static_cast<size_t>(m) * sizeof(f64));
    std::memcpy(plan_high, w.high, static_cast<size_t>(m) * sizeof(f64));
    plan.n = m;
    plan.order = w.order;
    plan.low = w.low;
    plan.high = w.high;
    param_plan_group(plan, w.family, plan_low, plan_high);
    f64 *x_free = w.steps;  // free until the Hessian
    for (i64 k = 0; k < m; ++k) x_free[k] = x[w.free[k]];
    param_plan_apply(plan, MapOp::to_unconstrained, x_free, y, 1, w.scratch);
    for (i64 k = 0; k < m; ++k) {
        if (!is_finite(y[k])) {
            index = w.free[k];
            return START_TOO_CLOSE;
        }
    }
    index = -1;
    return START_OK;
}

// The block of a fit: the caller's, or one allocated into `owned`; null
// when there is none.
void *workspace_block(const FitProblem &p, void *given, OwnedBlock &owned,
                      size_t &minimizer_bytes) {
    const size_t bytes = Workspace::bytes(p, &minimizer_bytes);
    if (bytes == 0) return nullptr;
    if (given != nullptr) return given;
    owned.block = std::malloc(bytes);
    return owned.block;
}

void fill(f64 *a, i64 count, f64 v) {
    for (i64 k = 0; k < count; ++k) a[k] = v;
}

// The minimization on y; false when it was stopped.
bool minimize_mapped(const FitProblem &p, MappedObjective &mo, i64 m, const FitArrays &a,
                     void *work, FitOutcome &out) {
    if (p.method == FitMethod::lbfgsb) {
        LbfgsbObjective obj;
        obj.value = p.value_grad != nullptr ? nullptr : mapped_value;
        obj.value_grad = p.value_grad != nullptr ? mapped_value_grad : nullptr;
        obj.ctx = &mo;
        obj.stop = p.stop;
        lbfgsb_drive(obj, m, a.y, nullptr, nullptr, nullptr, &p.lbfgsb, &out.run, &out.run_njev,
                     a.grad, work);
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
    neldermead_drive(mapped_value, &mo, m, a.y, nullptr, nullptr, nullptr, &p.neldermead, &res,
                     &hooks, work);
    if (stopped(p.stop)) return false;
    out.run = {res.status, res.nfev, res.nit, res.fun, res.success, res.message};
    fill(a.grad, m, NAN);
    return true;
}

}  // namespace

i64 fit_free_count(const FitProblem &problem) {
    i64 m = 0;
    for (i64 i = 0; i < problem.n; ++i) m += fit_is_fixed(problem, i) ? 0 : 1;
    return m;
}

size_t fit_workspace_bytes(const FitProblem &problem) {
    size_t minimizer_bytes = 0;
    return Workspace::bytes(problem, &minimizer_bytes);
}

i64 fit_check_start(const FitProblem &p, const f64 *x, void *workspace, i64 &index) {
    index = -1;
    if (p.n < 1) return START_NOTHING_FREE;
    size_t minimizer_bytes = 0;
    if (Workspace::bytes(p, &minimizer_bytes) == 0) return start_problem(p, x, index);
    Workspace w;
    w.carve(workspace, p.n, minimizer_bytes);
    ParamPlan plan;
    return prepare(p, x, w, plan, w.g_full, index);
}

i64 fit_drive(const FitProblem &p, const FitArrays &a, FitOutcome &out, void *workspace) {
    out = FitOutcome{};
    const i64 n = p.n;
    if (n < 1) {
        out.start_problem = START_NOTHING_FREE;
        out.state = FIT_BAD_START;
        return out.state;
    }
    OwnedBlock owned;
    size_t minimizer_bytes = 0;
    void *block = workspace_block(p, workspace, owned, minimizer_bytes);
    if (block == nullptr) {
        // The start's own checks come first, as for a fit that could run.
        out.start_problem = start_problem(p, a.x, out.index);
        out.state = out.start_problem != START_OK ? FIT_BAD_START : FIT_NO_MEMORY;
        return out.state;
    }
    Workspace w;
    w.carve(block, n, minimizer_bytes);
    ParamPlan plan;
    out.start_problem = prepare(p, a.x, w, plan, a.y, out.index);
    if (out.start_problem != START_OK) {
        out.state = FIT_BAD_START;
        return out.state;
    }
    const i64 m = plan.n;

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

    if (!minimize_mapped(p, mo, m, a, w.minimizer, out)) {
        out.state = FIT_STOPPED;
        return out.state;
    }
    mapped_expand(mo, a.y);
    if (out.state == FIT_DONE && out.run.nfev == 0)
        out.state = FIT_NOT_RUN;  // no value to differentiate at
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
                ? hessian_by_gradient(mapped_value_grad, &mo, m, a.y, p.errordef, a.hessian,
                                      w.steps, w.hessian_work, &out.hessian_nfev, p.stop)
                : hessian_by_values(mapped_value, &mo, m, a.y, out.run.fun, p.errordef, a.hessian,
                                    w.steps, w.hessian_work, &out.hessian_nfev, p.stop);
        mapped_expand(mo, a.y);
        if (!formed) {
            out.state = FIT_STOPPED;
            return out.state;
        }
        out.hessian_state = hessian_covariance(a.hessian, m, hessian_flat_tolerance(out.source),
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
