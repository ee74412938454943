// Profile-likelihood intervals: re-fits with one element held, and the root
// finding on the held element's unconstrained coordinate.
#include "profile_driver.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace vlm {
namespace {

bool is_finite(f64 v) { return std::fabs(v) <= DBL_MAX; }  // false for NaN

bool stopped(const ProfileProblem &p) { return p.fit.stop != nullptr && *p.fit.stop != 0; }

// The largest finite standard error of a free element on y (0 if none).
f64 largest_se(const ProfileProblem &p, i64 m) {
    f64 se = 0.0;
    for (i64 k = 0; k < m; ++k) {
        const f64 v = std::sqrt(p.cov_y[k * m + k]);
        if (is_finite(v) && v > se) se = v;
    }
    return se;
}

// The re-fits' problem. A profile value must be accurate to a tenth of the
// root tolerance, so L-BFGS-B's tests are tightened as far as that needs:
// its relative decrease test stops within about factr * eps * |f| of the
// minimum, and a projected gradient g on y leaves about g^2 se^2 / (4
// errordef) (curvature 2 errordef / se^2 by the fit's covariance);
// Nelder-Mead's spread of values is capped the same way.
FitProblem refit_problem(const ProfileProblem &p, const ProfileWork &w) {
    FitProblem q = p.fit;
    q.covariance = false;
    q.lo = w.lo;
    q.hi = w.hi;
    q.nbd = w.nbd;
    const f64 accuracy = 0.1 * p.tol;
    if (q.method == FitMethod::lbfgsb) {
        const f64 factr = accuracy / (DBL_EPSILON * std::fmax(1.0, std::fabs(p.f_hat)));
        q.lbfgsb.factr = std::fmin(q.lbfgsb.factr, std::fmax(1.0, factr));
        const f64 se = largest_se(p, w.m);
        if (se > 0.0)
            q.lbfgsb.pgtol =
                std::fmin(q.lbfgsb.pgtol, std::sqrt(4.0 * accuracy * p.fit.errordef) / se);
    } else {
        q.neldermead.fatol = std::fmin(q.neldermead.fatol, accuracy);
    }
    return q;
}

// The plan of one element on its own (the map between its value and its
// unconstrained coordinate).
struct OneMap {
    i64 order[1] = {0};
    f64 low[1] = {0.0}, high[1] = {0.0}, work[1] = {0.0};
    ParamPlan plan;

    OneMap(const FitProblem &p, i64 i) {
        const unsigned char family = fit_family(p, i);
        f64 lo[1] = {p.lo != nullptr ? p.lo[i] : 0.0}, hi[1] = {p.hi != nullptr ? p.hi[i] : 0.0};
        plan.n = 1;
        plan.order = order;
        plan.low = low;
        plan.high = high;
        param_plan_group(plan, &family, lo, hi);
    }
    f64 apply(MapOp op, f64 v) {
        f64 out = 0.0;
        param_plan_apply(plan, op, &v, &out, 1, work);
        return out;
    }
    f64 value(f64 y) { return apply(MapOp::to_constrained, y); }
    f64 coordinate(f64 x) { return apply(MapOp::to_unconstrained, x); }
};

// The y of the free elements of a full vector x.
void free_coordinates(ProfileWork &w, const f64 *x, f64 *y) {
    for (i64 k = 0; k < w.m; ++k) w.y[k] = x[w.free[k]];
    param_plan_apply(w.plan, MapOp::to_unconstrained, w.y, y, 1, w.scratch);
}

// The warm start of a re-fit with free element k_i (element i) at value v
// (coordinate y_i), into w.x: from the last converged re-fit, the others
// moved along the fit's covariance as the quadratic approximation predicts
// them, y_o += C_oi / C_ii * (y_i - y_ref_i). Without a usable prediction
// the last estimate itself, with element i at v.
void warm_start(const ProfileProblem &p, ProfileWork &w, i64 i, i64 k_i, f64 v, f64 y_i) {
    const i64 n = p.fit.n, m = w.m;
    std::memcpy(w.x, w.x_last, static_cast<size_t>(n) * sizeof(f64));
    w.x[i] = v;
    free_coordinates(w, w.x_last, w.y_ref);
    const f64 shift = y_i - w.y_ref[k_i], c_ii = p.cov_y[k_i * m + k_i];
    for (i64 k = 0; k < m; ++k) {
        const f64 slope = p.cov_y[k * m + k_i] / c_ii;
        w.y_pred[k] = w.y_ref[k] + (is_finite(slope) && is_finite(shift) ? slope * shift : 0.0);
    }
    param_plan_apply(w.plan, MapOp::to_constrained, w.y_pred, w.y, 1, w.scratch);
    for (i64 k = 0; k < m; ++k)
        if (!is_finite(w.y[k])) return;  // keep the last estimate
    for (i64 k = 0; k < m; ++k)
        if (w.free[k] != i) w.x[w.free[k]] = w.y[k];
}

// One re-fit with element i held at v: the minimum over the others (NaN
// when none was reached), `ok` when the minimizer converged there.
// Returns false when stopped.
bool refit(const ProfileProblem &p, ProfileWork &w, i64 i, i64 k_i, f64 v, f64 y_i, f64 &fun,
           bool &ok, i64 &nfit) {
    const i64 n = p.fit.n;
    const f64 saved_lo = w.lo[i], saved_hi = w.hi[i];
    const i64 saved_nbd = w.nbd[i];
    w.lo[i] = w.hi[i] = v;
    w.nbd[i] = 2;
    ++nfit;
    warm_start(p, w, i, k_i, v, y_i);
    fun = NAN;
    ok = false;
    if (w.m == 1) {  // nothing left to re-fit: one evaluation
        fun = w.refit.value(w.x, w.refit.ctx);
        ok = is_finite(fun);
    } else {
        FitArrays a;
        a.x = w.x;
        a.y = w.y;
        a.grad = w.grad;
        FitOutcome out;
        // A start where the prediction has no value (or is too close to a
        // bound) gets a second chance from the last estimate unmoved.
        for (int attempt = 0; attempt < 2; ++attempt) {
            fit_drive(w.refit, a, out, w.fit_work);
            if (out.state != FIT_BAD_START && out.state != FIT_NOT_FINITE_START) break;
            std::memcpy(w.x, w.x_last, static_cast<size_t>(n) * sizeof(f64));
            w.x[i] = v;
        }
        if (out.state == FIT_DONE) {
            fun = out.run.fun;
            ok = out.run.success != 0 && is_finite(fun);
        }
    }
    w.lo[i] = saved_lo;
    w.hi[i] = saved_hi;
    w.nbd[i] = saved_nbd;
    if (stopped(p)) return false;
    if (ok) std::memcpy(w.x_last, w.x, static_cast<size_t>(n) * sizeof(f64));
    return true;
}

// The position of element i among the free elements (-1: fixed).
i64 free_position(const ProfileWork &w, i64 i) {
    for (i64 k = 0; k < w.m; ++k)
        if (w.free[k] == i) return k;
    return -1;
}

// g(y) = sqrt((profile(value(y)) - f_hat) / errordef) - z, with z =
// sqrt(rise / errordef): the distance from the estimate in standard errors
// that the profile implies, less the one the end lies at; +inf where the
// profile has no finite value. For a quadratic profile g is linear in y, and
// it is nearly so for any smooth one, so the root finding takes two or three
// re-fits where the rise itself, a parabola, takes five or six. False when
// stopped.
struct Rise {
    const ProfileProblem &p;
    ProfileWork &w;
    OneMap &map;
    i64 i, k_i;
    i64 &nfit;

    f64 z() const { return std::sqrt(p.rise / p.fit.errordef); }
    // The tolerance on g that keeps the rise within p.tol (d rise / dg = 2
    // errordef z at the root).
    f64 tolerance() const { return p.tol / (2.0 * p.fit.errordef * z()); }

    bool operator()(f64 y, f64 &g) {
        f64 fun;
        bool ok;
        if (!refit(p, w, i, k_i, map.value(y), y, fun, ok, nfit)) return false;
        g = is_finite(fun) ? std::sqrt(std::fmax(fun - p.f_hat, 0.0) / p.fit.errordef) - z()
                           : HUGE_VAL;
        return true;
    }
};

// The root of g between `inside` (g = g_in < 0) and `outside` (g = g_out >
// 0), by regula falsi with the Illinois modification; false when stopped.
bool root(Rise &g, f64 inside, f64 g_in, f64 outside, f64 g_out, f64 tol, f64 &c) {
    f64 a = inside, fa = g_in, b = outside, fb = g_out;
    int side = 0;
    for (int iter = 0; iter < 60; ++iter) {
        c = fb != fa ? b - fb * (b - a) / (fb - fa) : 0.5 * (a + b);
        if (!(std::fmin(a, b) < c && c < std::fmax(a, b))) c = 0.5 * (a + b);
        f64 fc;
        if (!g(c, fc)) return false;
        if (std::fabs(fc) <= tol || std::fabs(b - a) <= 1e-10 * std::fmax(1.0, std::fabs(c)))
            return true;
        if ((fc > 0) == (fb > 0)) {
            b = c;
            fb = fc;
            if (side == 1) fa *= 0.5;
            side = 1;
        } else {
            a = c;
            fa = fc;
            if (side == -1) fb *= 0.5;
            side = -1;
        }
    }
    return true;
}

void restart(const ProfileProblem &p, ProfileWork &w) {
    std::memcpy(w.x_last, p.x_hat, static_cast<size_t>(p.fit.n) * sizeof(f64));
}

}  // namespace

ProfileWork::~ProfileWork() { std::free(block); }

bool ProfileWork::open(const ProfileProblem &p) {
    const i64 n = p.fit.n;
    m = fit_free_count(p.fit);
    const size_t fit_bytes = fit_workspace_bytes(p.fit);
    if (fit_bytes == 0 || m < 1) return false;
    // f64: lo, hi, x, x_last (n each); y, grad, y_ref, y_pred, plan low and
    // high (m each), scratch (3m); i64: nbd (n), free and order (m each);
    // bytes: the families (m).
    const size_t reals = static_cast<size_t>(4 * n + 9 * m), ints = static_cast<size_t>(n + 2 * m);
    const size_t fit_rounded = (fit_bytes + 63) / 64 * 64;
    block = std::malloc(fit_rounded + 8 * (reals + ints) + static_cast<size_t>(m));
    if (block == nullptr) return false;
    fit_work = block;
    f64 *r = reinterpret_cast<f64 *>(static_cast<char *>(block) + fit_rounded);
    lo = r;
    hi = lo + n;
    x = hi + n;
    x_last = x + n;
    y = x_last + n;
    grad = y + m;
    y_ref = grad + m;
    y_pred = y_ref + m;
    f64 *plan_low = y_pred + m, *plan_high = plan_low + m;
    scratch = plan_high + m;
    nbd = reinterpret_cast<i64 *>(scratch + 3 * m);
    free = nbd + n;
    i64 *order = free + m;
    unsigned char *family = reinterpret_cast<unsigned char *>(order + m);

    for (i64 i = 0, k = 0; i < n; ++i) {
        nbd[i] = p.fit.nbd != nullptr ? p.fit.nbd[i] : 0;
        lo[i] = p.fit.lo != nullptr ? p.fit.lo[i] : 0.0;
        hi[i] = p.fit.hi != nullptr ? p.fit.hi[i] : 0.0;
        if (fit_is_fixed(p.fit, i)) continue;
        free[k] = i;
        family[k] = fit_family(p.fit, i);
        plan_low[k] = lo[i];
        plan_high[k] = hi[i];
        ++k;
    }
    plan.n = m;
    plan.order = order;
    plan.low = y_ref;  // the grouped bounds, kept in the two vectors below
    plan.high = y_pred;
    param_plan_group(plan, family, plan_low, plan_high);
    // The grouping wrote its bounds where y_ref and y_pred live: move them
    // to their own place (plan_low, plan_high) before those are used.
    std::memcpy(plan_low, y_ref, static_cast<size_t>(m) * sizeof(f64));
    std::memcpy(plan_high, y_pred, static_cast<size_t>(m) * sizeof(f64));
    plan.low = plan_low;
    plan.high = plan_high;
    refit = refit_problem(p, *this);
    return true;
}

i64 profile_end(const ProfileProblem &p, ProfileWork &w, i64 i, int direction, ProfileEnd &end,
                i64 &nfit) {
    end = ProfileEnd{};
    const i64 k_i = free_position(w, i);
    OneMap map(p.fit, i);
    restart(p, w);
    Rise g{p, w, map, i, k_i, nfit};
    const f64 y_hat = map.coordinate(p.x_hat[i]);
    const f64 se = std::sqrt(p.cov_y[k_i * w.m + k_i]);
    // The first trial is the end of the Wald interval on y.
    f64 step = is_finite(se) && se > 0.0 ? se * std::sqrt(p.rise / p.fit.errordef) : 1.0;
    const bool bounded =
        direction > 0 ? w.nbd[i] == 2 || w.nbd[i] == 3 : w.nbd[i] == 1 || w.nbd[i] == 2;
    const f64 bound = bounded ? (direction > 0 ? w.hi[i] : w.lo[i])
                              : std::copysign(HUGE_VAL, static_cast<f64>(direction));

    // Step outward until the rise is passed (at most doubling the step); a
    // step that lands on the bound (the coordinate saturates) is halved
    // instead, and once it is too small to move the end lies at the bound.
    f64 inside = y_hat, g_in = -g.z();  // the profile's minimum is the fit's
    bool shrinking = false;
    for (int iter = 0; iter < 200; ++iter) {
        const f64 outside = inside + direction * step;
        const f64 x_out = map.value(outside);
        const bool saturated =
            bounded && std::fabs(x_out - bound) <= 1e-12 * std::fmax(1.0, std::fabs(bound));
        if (saturated || !is_finite(x_out)) {
            if (step < 1e-6) break;
            step /= 2;
            shrinking = true;
            continue;
        }
        f64 g_out;
        if (!g(outside, g_out)) return PROFILE_STOPPED;
        if (g_out > 0) {
            f64 y;
            if (!root(g, inside, g_in, outside, std::fmin(g_out, 1e300), g.tolerance(), y))
                return PROFILE_STOPPED;
            end.value = map.value(y);
            return PROFILE_DONE;
        }
        // Not passed yet: g is nearly linear in y, so aim a little beyond
        // where the line through the two last points crosses zero (at most
        // doubling the step, as before, where the line says little).
        const f64 slope = (g_out - g_in) / (outside - inside);
        const f64 aim = slope > 0.0 ? 1.05 * (-g_out / slope) : HUGE_VAL;
        inside = outside;
        g_in = g_out;
        if (!shrinking) step = std::fmin(2.0 * step, std::fmax(aim, 1e-3 * step));
    }
    end.value = bound;
    end.at_bound = bounded;
    end.found = bounded;
    return PROFILE_DONE;
}

i64 profile_values(const ProfileProblem &p, ProfileWork &w, i64 i, const f64 *values, i64 count,
                   f64 *fun, unsigned char *ok) {
    const i64 k_i = free_position(w, i);
    OneMap map(p.fit, i);
    i64 nfit = 0, centre = 0;
    while (centre < count && values[centre] < p.x_hat[i]) ++centre;
    // Outward from the estimate on each side, each re-fit from its neighbour.
    for (int side = 0; side < 2; ++side) {
        restart(p, w);
        const i64 first = side == 0 ? centre : centre - 1, step = side == 0 ? 1 : -1;
        for (i64 k = first; k >= 0 && k < count; k += step) {
            bool converged;
            if (!refit(p, w, i, k_i, values[k], map.coordinate(values[k]), fun[k], converged, nfit))
                return PROFILE_STOPPED;
            ok[k] = converged ? 1 : 0;
        }
    }
    return PROFILE_DONE;
}

}  // namespace vlm
