// One fit: minimize on the unconstrained coordinates, difference the
// Hessian there, analyse it, and carry the covariance back to x.
#include "fit_driver.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "../_common/vlm_linalg.h"
#include "lbfgsb.h"
#include "mapped_objective.h"

namespace vlm {
namespace {

bool is_finite(f64 v) { return std::fabs(v) <= 1.79769313486231570815e308; }  // false for NaN

bool stopped(const int *stop) { return stop != nullptr && *stop != 0; }

unsigned char family_of(const FitProblem &p, i64 i) {
    return family_of_bounds(p.nbd != nullptr ? p.nbd[i] : 0, p.interval_family);
}

// The memory of one fit beyond the caller's arrays, carved from one block
// sized for n free elements (so that one block serves any fit of n
// elements): the minimizer's workspace, then
//   f64: plan bounds (2n), the map's scratch (3n), the full gradient (n),
//        the Hessian's steps (n) and work (4n), the covariance work (4n^2 + n),
//        the certification's gradient, trial gradient, trial point, step and
//        a spare vector (n each), its scaled Hessian and factor (n^2 each);
//   i64: the free elements, the plan's order, the covariance's pivots, the
//        elements not on a bound (n each);
//   bytes: the family of each free element, its flat flag, its on-bound flag
//        and the flat flags of the reduced covariance (n each).
struct Workspace {
    void *minimizer = nullptr;
    f64 *low = nullptr, *high = nullptr, *scratch = nullptr, *g_full = nullptr, *steps = nullptr,
        *hessian_work = nullptr, *cov_work = nullptr;
    f64 *g = nullptr, *g_trial = nullptr, *trial = nullptr, *step = nullptr, *spare = nullptr,
        *scaled = nullptr, *factor = nullptr;
    i64 *free = nullptr, *order = nullptr, *pivots = nullptr, *inner = nullptr;
    unsigned char *family = nullptr, *flat = nullptr, *on_bound = nullptr, *inner_flat = nullptr;

    // Bytes of the block, or 0 when they do not fit in memory arithmetic.
    static size_t bytes(const FitProblem &p, size_t *minimizer_bytes) {
        const i64 n = p.n;
        const size_t minimizer = p.method == FitMethod::lbfgsb
                                     ? lbfgsb_workspace_bytes(n, p.lbfgsb.m)
                                     : neldermead_workspace_bytes(n);
        i64 nn, reals, total;
        if (n < 1 || minimizer == 0 || __builtin_mul_overflow(n, n, &nn) ||
            __builtin_mul_overflow(nn, 6, &reals) ||
            __builtin_add_overflow(reals, 17 * n, &reals) || reals > PTRDIFF_MAX / 16 ||
            __builtin_add_overflow(reals * 8, 4 * n * 8 + 4 * n, &total) ||
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
        g = cov_work + 4 * n * n + n;
        g_trial = g + n;
        trial = g_trial + n;
        step = trial + n;
        spare = step + n;
        scaled = spare + n;
        factor = scaled + n * n;
        free = reinterpret_cast<i64 *>(factor + n * n);
        order = free + n;
        pivots = order + n;
        inner = pivots + n;
        family = reinterpret_cast<unsigned char *>(inner + n);
        flat = family + n;
        on_bound = flat + n;
        inner_flat = on_bound + n;
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

// ---- Certification -------------------------------------------------------
//
// Near a minimum f(y + d) = f + g.d + d.H d / 2, minimized by the Newton
// step d = -H^-1 g, which lowers f by EDM = g^T H^-1 g / 2. With the
// covariance V = 2 errordef H^-1, the step's length in standard errors,
// d^T V^-1 d = g^T H^-1 g / (2 errordef), is EDM / errordef: the squared
// distance to the minimum in standard errors, whatever the units of the
// parameters (the ratio is invariant under any linear change of y). A
// single parameter is at most sqrt(EDM / errordef) standard errors from its
// exact estimate, so the default edm_tol = 1e-6 puts it within 1e-3.
//
// An element on a bound (the maximum of the likelihood at the edge of the
// parameter space) has no zero gradient: its coordinate runs off towards
// infinity, each Newton step asking for about one more unit. It is taken
// out of the criterion and of the steps, and the others are certified and
// given their covariance with it held there.

// Newton steps after the minimizer, at most; each one forms a Hessian.
constexpr i64 kMaxNewtonSteps = 20;
// The largest move of a mapped coordinate in one Newton step: e^8 in a log
// or odds ratio keeps a step from saturating the map (where dx/dy vanishes
// and the gradient with it). Steps along the gradient start within it and
// may grow past it while they keep succeeding.
constexpr f64 kMaxMappedMove = 8.0;
// A parameter within this many standard errors of a bound is reported as at
// the bound: its Wald interval is not reliable.
constexpr f64 kBoundSigmas = 1.0;

struct Certify {
    const FitProblem &p;
    MappedObjective &mo;
    const ParamPlan &plan;
    Workspace &w;
    const FitArrays &a;
    FitOutcome &out;
    i64 m;
};

f64 tolerance_of(const Certify &c) { return c.p.edm_tol * c.p.errordef; }

// The Hessian at a.y into a.hessian (steps in w.steps) and the gradient
// there into w.g: the minimizer's or a trial's when g_known, else one more
// evaluation with a gradient, or, from values, the central differences the
// Hessian's probes already hold. False when stopped.
bool form_curvature(Certify &c, bool g_known) {
    const i64 m = c.m;
    Workspace &w = c.w;
    if (c.out.source == HessianSource::gradient) {
        if (!g_known) {
            mapped_value_grad(c.a.y, w.g, &c.mo);
            c.out.hessian_nfev += 1;
            if (stopped(c.p.stop)) return false;
        }
        i64 made = 0;
        const bool formed =
            hessian_by_gradient(mapped_value_grad, &c.mo, m, c.a.y, c.a.hessian, w.steps,
                                w.hessian_work, c.p.stop, c.p.errordef, &made);
        c.out.hessian_nfev += made;
        return formed;
    }
    i64 made = 0;
    const bool formed = hessian_by_values(mapped_value, &c.mo, m, c.a.y, c.out.run.fun, c.a.hessian,
                                          w.steps, w.hessian_work, c.p.stop, c.p.errordef, &made);
    c.out.hessian_nfev += made;
    if (!formed) return false;
    // The probes hold f(y + h e_i), f(y - h e_i) and the two coordinates.
    const f64 *f_up = w.hessian_work, *f_down = f_up + m, *up = f_up + 2 * m, *down = f_up + 3 * m;
    for (i64 i = 0; i < m; ++i) w.g[i] = (f_up[i] - f_down[i]) / (up[i] - down[i]);
    return true;
}

// Whether the bound nearer to free element k (which has one) is its lower.
bool nearer_bound_is_lower(const Certify &c, i64 k) {
    const i64 i = c.w.free[k];
    const unsigned char family = c.w.family[k];
    if (family == PARAM_LOWER || family == PARAM_UPPER) return family == PARAM_LOWER;
    return c.a.x[i] - c.p.lo[i] <= c.p.hi[i] - c.a.x[i];
}

// Flags in w.on_bound the free elements whose estimate is on a bound: at
// the nearer bound, the gradient points out through it and the quadratic
// model along the element alone, convex there, has its minimum at or beyond
// the bound, within a standard error (or the map has saturated: x is
// the bound, or dx/dy is 0). The distance to that bound on the scale of y
// at the current slope is its reach, |x - bound| / |dx/dy|.
void mark_on_bound(Certify &c) {
    const i64 m = c.m;
    Workspace &w = c.w;
    f64 *slope = w.trial;
    param_plan_apply(c.plan, MapOp::constrained_grad, c.a.y, slope, 1, w.scratch);
    mapped_expand(c.mo, c.a.y);
    for (i64 k = 0; k < m; ++k) {
        w.on_bound[k] = 0;
        const i64 i = w.free[k];
        const unsigned char family = w.family[k];
        if (family == PARAM_FREE) continue;
        const f64 xi = c.a.x[i];
        const bool lower_side = nearer_bound_is_lower(c, k);
        const f64 distance = std::fabs(xi - (lower_side ? c.p.lo[i] : c.p.hi[i]));
        if (distance == 0.0 || slope[k] == 0.0) {
            w.on_bound[k] = 1;
            continue;
        }
        const f64 gx = w.g[k] * slope[k];  // the sign of df/dx
        const f64 reach = distance / std::fabs(slope[k]), h = c.a.hessian[k * m + k];
        const bool outward = lower_side ? gx > 0.0 : gx < 0.0;
        const bool model_reaches = h > 0.0 && std::fabs(w.g[k]) >= 0.5 * h * reach;
        const bool within = h * reach * reach < 2.0 * c.p.errordef * kBoundSigmas * kBoundSigmas;
        w.on_bound[k] = outward && model_reaches && within;
    }
}

// EDM and the step over the directions a singular Hessian identifies (of
// the `count` elements in w.inner), through the Hessian analysis: with V =
// 2 errordef H^-1 there, EDM = g'Vg / (4 errordef) and the step is
// -V g / (2 errordef). A flat direction must be flat in the gradient too:
// over one difference step the objective may change along it by no more
// than the tolerance or its rounding (a Hessian too coarse for a badly
// scaled parameter can look flat where the gradient is not); otherwise
// HUGE_VAL, and no step.
f64 edm_over_identified(Certify &c, i64 count) {
    const i64 m = c.m;
    Workspace &w = c.w;
    f64 *H = w.scaled, *V = w.factor, *steps = w.spare;
    for (i64 a = 0; a < count; ++a) {
        steps[a] = w.steps[w.inner[a]];
        for (i64 b = 0; b < count; ++b) H[a * count + b] = c.a.hessian[w.inner[a] * m + w.inner[b]];
    }
    hessian_covariance(H, count, hessian_flat_tolerance(c.out.source), c.p.errordef, V,
                       w.inner_flat, w.cov_work, w.pivots);
    const f64 seen = tolerance_of(c) + 1e3 * 2.220446049250313e-16 * std::fabs(c.out.run.fun);
    for (i64 a = 0; a < count; ++a)
        if (w.inner_flat[a] && !(std::fabs(w.g[w.inner[a]]) * steps[a] <= seen)) return HUGE_VAL;
    f64 edm = 0.0;
    for (i64 a = 0; a < count; ++a) {
        if (w.inner_flat[a]) continue;
        f64 vg = 0.0;
        for (i64 b = 0; b < count; ++b)
            if (!w.inner_flat[b]) vg += V[a * count + b] * w.g[w.inner[b]];
        edm += w.g[w.inner[a]] * vg;
        w.step[w.inner[a]] = -vg / (2.0 * c.p.errordef);
    }
    edm /= 4.0 * c.p.errordef;
    return is_finite(edm) ? edm : NAN;
}

// EDM over the elements not on a bound (listed in w.inner, their count
// returned in `count`), and a step into w.step. A positive definite
// Hessian gives Newton's step; one with flat directions but no negative
// curvature on its diagonal (parameters the data do not identify) gives
// EDM and the step over the directions it identifies; otherwise EDM is
// infinite and the step is along the gradient scaled by the diagonal's
// size. NaN, with no step, when g or
// H is not finite. The Hessian is factored in its correlation form, so
// that its scale plays no part in the test of definiteness.
f64 edm_and_step(Certify &c, i64 &count) {
    const i64 m = c.m;
    Workspace &w = c.w;
    count = 0;
    for (i64 k = 0; k < m; ++k) {
        w.step[k] = 0.0;
        if (!w.on_bound[k]) w.inner[count++] = k;
    }
    if (count == 0) return 0.0;
    f64 *s = w.g_trial;  // 1 / sqrt(H_kk) of each inner element
    bool positive = true, negative = false;
    for (i64 a = 0; a < count; ++a) {
        const i64 k = w.inner[a];
        const f64 h = c.a.hessian[k * m + k];
        if (!is_finite(h) || !is_finite(w.g[k])) return NAN;
        positive = positive && h > 0.0;
        negative = negative || h < 0.0;
        s[a] = h > 0.0 ? 1.0 / std::sqrt(h) : 0.0;
        for (i64 b = 0; b < count; ++b)
            if (!is_finite(c.a.hessian[k * m + w.inner[b]])) return NAN;
    }
    for (i64 a = 0; a < count && positive; ++a)
        for (i64 b = 0; b < count; ++b)
            w.scaled[a * count + b] = s[a] * c.a.hessian[w.inner[a] * m + w.inner[b]] * s[b];
    if (positive && vlm_chol(w.scaled, 0.0, w.factor, count) == 0) {
        // u = S g, (S H S) v = u, EDM = u.v / 2, the step -S v.
        f64 *u = w.trial, *v = w.scaled;  // free by now
        for (i64 a = 0; a < count; ++a) u[a] = s[a] * w.g[w.inner[a]];
        vlm_forward_subst(w.factor, u, v, count);
        vlm_backward_subst_chol_t(w.factor, v, v, count);
        const f64 edm = 0.5 * vlm_dot(u, v, count);
        for (i64 a = 0; a < count; ++a) w.step[w.inner[a]] = -s[a] * v[a];
        return is_finite(edm) ? edm : NAN;
    }
    if (!negative) {
        const f64 edm = edm_over_identified(c, count);
        if (edm < HUGE_VAL) return edm;
    }
    for (i64 a = 0; a < count; ++a) {
        const i64 k = w.inner[a];
        const f64 h = std::fabs(c.a.hessian[k * m + k]);
        w.step[k] = h > 0.0 ? -w.g[k] / h : 0.0;
    }
    return HUGE_VAL;
}

// The objective at a.y moved by t along w.step, into w.trial (with its
// gradient into w.g_trial when there is one).
f64 value_along(Certify &c, f64 t) {
    for (i64 k = 0; k < c.m; ++k) c.w.trial[k] = c.a.y[k] + t * c.w.step[k];
    c.out.hessian_nfev += 1;
    return c.out.source == HessianSource::gradient
               ? mapped_value_grad(c.w.trial, c.w.g_trial, &c.mo)
               : mapped_value(c.w.trial, &c.mo);
}

// Takes w.trial (value f) as the new point.
void accept_trial(Certify &c, f64 f) {
    const size_t bytes = static_cast<size_t>(c.m) * sizeof(f64);
    std::memcpy(c.a.y, c.w.trial, bytes);
    if (c.out.source == HessianSource::gradient) std::memcpy(c.w.g, c.w.g_trial, bytes);
    c.out.run.fun = f;
}

// A backtracking line search along w.step from a.y, the step first scaled by
// `scale` and capped so that no mapped coordinate moves by more than
// max_move; a trial value that is not finite or not a sufficient decrease
// halves it, at most `tries` times; the decrease is Armijo's. Returns 1
// when the first trial was
// taken, 2 when a shorter one was, 0 when none decreased f, -1 when
// stopped. An accepted point replaces a.y and out.run.fun (and w.g with its
// gradient when there is one).
int line_search(Certify &c, f64 scale, f64 max_move, int tries) {
    const i64 m = c.m;
    Workspace &w = c.w;
    f64 slope = 0.0, largest = 0.0;
    for (i64 k = 0; k < m; ++k) {
        slope += c.w.g[k] * w.step[k];
        if (w.family[k] != PARAM_FREE) largest = std::fmax(largest, std::fabs(w.step[k]));
    }
    if (!(slope < 0.0)) return 0;
    f64 t = largest * scale > max_move ? max_move / largest : scale;
    for (int k_try = 0; k_try < tries; ++k_try, t *= 0.5) {
        bool moved = false;
        for (i64 k = 0; k < m; ++k) moved = moved || c.a.y[k] + t * w.step[k] != c.a.y[k];
        if (!moved) return 0;
        const f64 f = value_along(c, t);
        if (stopped(c.p.stop)) return -1;
        if (is_finite(f) && f <= c.out.run.fun + 1e-4 * t * slope) {
            accept_trial(c, f);
            return k_try == 0 ? 1 : 2;
        }
    }
    return 0;
}

// One inward probe along w.step (a unit step of one element): steps of 1,
// 4, 16, ... 1024 units of y while the objective does not change at all
// (deep in a tail of the map, where x barely moves), then, once it rose or
// stopped being finite after such steps, a bisection between the last
// unchanged step and that one. The first step that lowers the objective
// is taken. Returns 1 when one was, 0 when none, -1 when stopped.
int probe_along(Certify &c) {
    const f64 f0 = c.out.run.fun;
    f64 unchanged = 0.0, t = 1.0;
    for (; t <= 1024.0; t *= 4.0) {
        const f64 f = value_along(c, t);
        if (stopped(c.p.stop)) return -1;
        if (is_finite(f) && f < f0) {
            accept_trial(c, f);
            return 1;
        }
        if (f != f0) break;  // it rose, or is not finite: the tail ends before t
        unchanged = t;
    }
    // It rose at once (a minimum along the element), or never changed (the
    // objective ignores the element): nothing to look for in between.
    if (unchanged == 0.0 || t > 1024.0) return 0;
    f64 high = t;
    for (int k = 0; k < 40 && high - unchanged > 1e-3; ++k) {
        const f64 mid = 0.5 * (unchanged + high), f = value_along(c, mid);
        if (stopped(c.p.stop)) return -1;
        if (is_finite(f) && f < f0) {
            accept_trial(c, f);
            return 1;
        }
        (f == f0 ? unchanged : high) = mid;
    }
    return 0;
}

// Where the Hessian sees little curvature along a bounded element (less
// than errordef over one unit of y: its standard error on y exceeds one
// unit) or calls it on its bound, EDM cannot tell a minimum from a map
// saturated on the wrong side of one: deep in a log or logit tail both the
// gradient and the curvature in y vanish whatever the objective does in x.
// Such an element is probed inward (probe_along); the first probe that
// lowers the objective is taken. Returns 1 when one was, 0 when none (the
// point stands), -1 when stopped.
int probe_inward(Certify &c) {
    const i64 m = c.m;
    Workspace &w = c.w;
    f64 *slope = w.spare;
    param_plan_apply(c.plan, MapOp::constrained_grad, c.a.y, slope, 1, w.scratch);
    for (i64 k = 0; k < m; ++k) {
        const unsigned char family = w.family[k];
        if (family == PARAM_FREE) continue;
        if (!w.on_bound[k] && c.a.hessian[k * m + k] >= 2.0 * c.p.errordef) continue;
        const bool lower_side = nearer_bound_is_lower(c, k);
        const f64 up = slope[k] >= 0.0 ? 1.0 : -1.0;  // the sign of dy for dx > 0
        for (i64 j = 0; j < m; ++j) w.step[j] = 0.0;
        w.step[k] = lower_side ? up : -up;
        const int taken = probe_along(c);
        if (taken != 0) return taken;
        mapped_expand(c.mo, c.a.y);  // the probes wrote their x there
    }
    return 0;
}

// Forms the Hessian and the gradient at the estimate and takes Newton steps
// until EDM meets its tolerance or no step helps. A Hessian that is not
// positive definite gets steps along the scaled gradient instead, which
// grow while they succeed (a start in a map's saturation zone, where the
// curvature in y is not yet positive, is left in a few of them), and a
// point that meets the tolerance is probed inward along bounded elements
// the Hessian cannot judge (probe_inward). False when stopped.
bool certify(Certify &c, bool g_known) {
    const f64 tolerance = tolerance_of(c);
    f64 scale = 1.0;
    for (i64 step = 0;; ++step) {
        if (!form_curvature(c, g_known)) return false;
        mark_on_bound(c);
        i64 count = 0;
        const f64 edm = edm_and_step(c, count);
        c.out.edm = edm;
        if (edm <= tolerance && (step == kMaxNewtonSteps || tolerance == HUGE_VAL)) {
            c.out.certified = true;  // no step left to probe with, or none asked for
            return true;
        }
        if (step == kMaxNewtonSteps || std::isnan(edm)) return true;
        const bool newton = edm < HUGE_VAL;
        int taken = 0;
        if (edm <= tolerance) {
            taken = probe_inward(c);
            if (taken == 0) {
                c.out.certified = true;
                return true;
            }
        } else {
            taken = line_search(c, newton ? 1.0 : scale,
                                newton ? kMaxMappedMove : kMaxMappedMove * scale, 60);
        }
        if (taken < 0) return false;
        if (taken == 0) return true;
        scale = !newton && taken == 1 ? std::fmin(4.0 * scale, 1024.0) : 1.0;
        g_known = c.out.source == HessianSource::gradient;
        ++c.out.newton_steps;
    }
}

// The objective on z = y * scale (scale: the square roots of the Hessian's
// diagonal, so that every coordinate of z has a curvature near 1): what a
// restarted L-BFGS-B minimizes when its first run stopped short on a badly
// scaled problem.
struct ScaledObjective {
    MappedObjective *mo = nullptr;
    const f64 *scale = nullptr;
    f64 *y = nullptr;   // m values: the point on y
    f64 *gy = nullptr;  // m values: the gradient on y
    i64 m = 0;
};

f64 scaled_value(const f64 *__restrict z, void *ctx) {
    auto &s = *static_cast<ScaledObjective *>(ctx);
    for (i64 k = 0; k < s.m; ++k) s.y[k] = z[k] / s.scale[k];
    return mapped_value(s.y, s.mo);
}

f64 scaled_value_grad(const f64 *__restrict z, f64 *__restrict g, void *ctx) {
    auto &s = *static_cast<ScaledObjective *>(ctx);
    for (i64 k = 0; k < s.m; ++k) s.y[k] = z[k] / s.scale[k];
    const f64 f = mapped_value_grad(s.y, s.gy, s.mo);
    for (i64 k = 0; k < s.m; ++k) g[k] = s.gy[k] / s.scale[k];
    return f;
}

// Restarts L-BFGS-B from a.y on coordinates scaled by the Hessian's
// diagonal, when every entry of it is positive; keeps the end point when it
// is lower. Returns false when it could not run (no usable diagonal), or
// when it was stopped (`stopped_out` set).
bool restart_scaled(Certify &c, bool &stopped_out) {
    const i64 m = c.m;
    Workspace &w = c.w;
    stopped_out = false;
    if (c.p.method != FitMethod::lbfgsb) return false;
    f64 *scale = w.spare, *z = w.step;
    for (i64 k = 0; k < m; ++k) {
        const f64 h = c.a.hessian[k * m + k];
        if (!(is_finite(h) && h > 0.0)) return false;
        scale[k] = std::sqrt(h);
        z[k] = c.a.y[k] * scale[k];
    }
    ScaledObjective so{&c.mo, scale, w.trial, w.g_trial, m};
    LbfgsbObjective obj;
    obj.value = c.p.value_grad != nullptr ? nullptr : scaled_value;
    obj.value_grad = c.p.value_grad != nullptr ? scaled_value_grad : nullptr;
    obj.ctx = &so;
    obj.stop = c.p.stop;
    vlm_lbfgsb_result run{};
    i64 njev = 0;
    lbfgsb_drive(obj, m, z, nullptr, nullptr, nullptr, &c.p.lbfgsb, &run, &njev, w.g, w.minimizer);
    c.out.hessian_nfev += run.nfev;
    if (stopped(c.p.stop)) {
        stopped_out = true;
        return false;
    }
    if (!(is_finite(run.fun) && run.fun < c.out.run.fun)) return false;
    for (i64 k = 0; k < m; ++k) c.a.y[k] = z[k] / scale[k];
    c.out.run.fun = run.fun;
    c.out.run.nit += run.nit;
    return true;
}

// The covariance of y from the Hessian over the elements not on a bound
// (those on one get NaN and no flat flag): the Hessian analysis of the
// reduced matrix, scattered back.
void reduced_covariance(Certify &c) {
    const i64 m = c.m;
    Workspace &w = c.w;
    i64 count = 0;
    for (i64 k = 0; k < m; ++k)
        if (!w.on_bound[k]) w.inner[count++] = k;
    const f64 tol = hessian_flat_tolerance(c.out.source);
    if (count == m) {
        c.out.hessian_state = hessian_covariance(c.a.hessian, m, tol, c.p.errordef, c.a.cov_y,
                                                 w.flat, w.cov_work, w.pivots);
        return;
    }
    fill(c.a.cov_y, m * m, NAN);
    std::memset(w.flat, 0, static_cast<size_t>(m));
    if (count == 0) {
        c.out.hessian_state = HESSIAN_IDENTIFIED;
        return;
    }
    f64 *H = w.scaled, *cov = w.factor;
    for (i64 a = 0; a < count; ++a)
        for (i64 b = 0; b < count; ++b) H[a * count + b] = c.a.hessian[w.inner[a] * m + w.inner[b]];
    c.out.hessian_state =
        hessian_covariance(H, count, tol, c.p.errordef, cov, w.inner_flat, w.cov_work, w.pivots);
    for (i64 a = 0; a < count; ++a) {
        w.flat[w.inner[a]] = w.inner_flat[a];
        for (i64 b = 0; b < count; ++b) c.a.cov_y[w.inner[a] * m + w.inner[b]] = cov[a * count + b];
    }
}

// Whether the minimizer's own outcome allows a success once the estimate is
// certified: its convergence, or a line search or gradient that failed on
// the way (the Newton steps went on from there), never a limit the caller
// set.
bool run_allows_success(const FitProblem &p, i64 status) {
    if (p.method == FitMethod::neldermead) return status == 0;
    return status == 4 || status == 8 || status == VLM_LBFGSB_NO_GRADIENT;
}

// The run's status and message once certified or not.
void settle_status(const FitProblem &p, FitOutcome &out) {
    const i64 success = p.method == FitMethod::lbfgsb ? 4 : 0;
    if (out.certified && run_allows_success(p, out.run.status)) {
        if (out.run.status != success)
            out.run.message = "CONVERGENCE: certified by Newton steps after the minimizer stopped";
        out.run.status = success;
    } else if (out.run.status == success) {
        out.run.status = FIT_NOT_CERTIFIED;
        out.run.message =
            "NOT CONVERGED: the end point is not certified as the minimum (EDM above its "
            "tolerance, or no Hessian to measure it)";
    }
    out.run.success = out.run.status == success;
}

// Adds to a.at_bound the elements whose estimate lies within kBoundSigmas
// standard errors of a bound: their likelihood is not the quadratic the
// Wald interval assumes.
void flag_near_bounds(const FitProblem &p, const FitArrays &a) {
    if (p.nbd == nullptr) return;
    for (i64 i = 0; i < p.n; ++i) {
        const i64 code = p.nbd[i];
        if (code == 0 || fit_is_fixed(p, i) || !(a.se[i] > 0.0)) continue;
        const f64 reach = kBoundSigmas * a.se[i];
        const bool low = (code == 1 || code == 2) && a.x[i] - p.lo[i] < reach;
        const bool high = (code == 2 || code == 3) && p.hi[i] - a.x[i] < reach;
        if (low || high) a.at_bound[i] = 1;
    }
}

}  // namespace

unsigned char fit_family(const FitProblem &problem, i64 i) { return family_of(problem, i); }

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
    if (out.state != FIT_DONE || !p.covariance) return out.state;

    // The Hessian on y, the certification, the analysis, and the delta
    // method: cov_x = D cov_y D with D = diag(dx/dy); fixed elements have no
    // variance.
    fill(a.cov, n * n, 0.0);
    std::memset(a.flat, 0, static_cast<size_t>(n));  // (the se are written below)
    std::memset(a.at_bound, 0, static_cast<size_t>(n));
    std::memset(w.on_bound, 0, static_cast<size_t>(m));
    out.source = p.value_grad != nullptr ? HessianSource::gradient : HessianSource::values;
    if (!is_finite(out.run.fun)) {
        fill(a.hessian, m * m, NAN);
        fill(a.cov_y, m * m, NAN);
        for (i64 k = 0; k < m; ++k) a.flat[w.free[k]] = 1;
        out.state = FIT_NO_HESSIAN;
        settle_status(p, out);  // nothing to certify there
    } else {
        Certify c{p, mo, plan, w, a, out, m};
        const bool g_known = p.method == FitMethod::lbfgsb && out.source == HessianSource::gradient;
        if (g_known) std::memcpy(w.g, a.grad, static_cast<size_t>(m) * sizeof(f64));
        bool done = certify(c, g_known), halted = false;
        if (done && !out.certified && restart_scaled(c, halted)) done = certify(c, false);
        done = done && !halted;
        mapped_expand(mo, a.y);
        if (!done) {
            out.state = FIT_STOPPED;
            return out.state;
        }
        if (p.method == FitMethod::lbfgsb && out.newton_steps > 0)
            std::memcpy(a.grad, w.g, static_cast<size_t>(m) * sizeof(f64));
        settle_status(p, out);
        reduced_covariance(c);
        for (i64 k = 0; k < m; ++k) {
            a.flat[w.free[k]] = w.flat[k];
            a.at_bound[w.free[k]] = w.on_bound[k];
        }
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
    flag_near_bounds(p, a);
    for (i64 i = 0; i < n; ++i) out.at_bound_count += a.at_bound[i];
    return out.state;
}

}  // namespace vlm
