// Nelder-Mead simplex method with the classic fixed coefficients, optional
// simple bounds (trial points are clipped into the box), and termination on
// absolute spreads of the vertices and of their values.
#include "nelder_mead.h"

#include "optim_driver.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Reflection, expansion, contraction and shrink coefficients.
constexpr f64 rho = 1.0;
constexpr f64 chi = 2.0;
constexpr f64 psi = 0.5;
constexpr f64 sigma = 0.5;
// Relative perturbation of a non-zero start coordinate; absolute for a zero one.
constexpr f64 nonzdelt = 0.05;
constexpr f64 zdelt = 0.00025;

constexpr const char *MSG_SUCCESS = "Optimization terminated successfully.";
constexpr const char *MSG_MAXFEV = "Maximum number of function evaluations has been exceeded.";
constexpr const char *MSG_MAXITER = "Maximum number of iterations has been exceeded.";
constexpr const char *MSG_NOMEM = "ERROR: workspace allocation failed";
constexpr const char *MSG_BAD_N = "ERROR: n must be >= 1";
constexpr const char *MSG_BAD_BOUNDS = "ERROR: invalid bounds (NaN, or lower above upper)";
constexpr const char *MSG_STOPPED = "STOP: stopped by the caller";

constexpr f64 INF = HUGE_VAL;

// Moves v into [lb, ub] coordinate by coordinate; a NaN stays NaN.
void nm_clip(f64 *__restrict v, const f64 *__restrict lb, const f64 *__restrict ub, i64 n) {
    for (i64 i = 0; i < n; ++i) {
        if (v[i] < lb[i])
            v[i] = lb[i];
        else if (v[i] > ub[i])
            v[i] = ub[i];
    }
}

// Stable insertion sort of the np1 values ascending, moving the rows of sim
// along. Only strictly greater values move, so equal values keep their order
// and a NaN (never greater, nothing greater than it) stops the shifting. After
// an iteration only the last row is out of place, so at most n rows move.
void nm_sort(f64 *sim, f64 *fsim, i64 np1, i64 n, f64 *tmprow) {
    const size_t row_bytes = static_cast<size_t>(n) * sizeof(f64);
    for (i64 i = 1; i < np1; ++i) {
        const f64 key = fsim[i];
        i64 j = i;
        while (j > 0 && fsim[j - 1] > key) --j;
        if (j == i) continue;
        std::memcpy(tmprow, sim + i * n, row_bytes);
        std::memmove(sim + (j + 1) * n, sim + j * n, static_cast<size_t>(i - j) * row_bytes);
        std::memmove(fsim + j + 1, fsim + j, static_cast<size_t>(i - j) * sizeof(f64));
        std::memcpy(sim + j * n, tmprow, row_bytes);
        fsim[j] = key;
    }
}

void nm_fill_error(vlm_neldermead_result *out, i64 status, const char *message) {
    if (out != nullptr) *out = {status, 0, 0, NAN, 0, message};
}

// max(m, d) where a NaN on either side wins and then stays.
f64 nan_max(f64 m, f64 d) { return (std::isnan(m) || d <= m) ? m : d; }

// Number of doubles in the workspace, (n + 1)^2 + 6n, or 0 when it does not
// fit in a size_t byte count.
size_t workspace_doubles(i64 n) {
    const uint64_t np1 = static_cast<uint64_t>(n) + 1;
    uint64_t square, extra, total, bytes;
    if (__builtin_mul_overflow(np1, np1, &square) ||
        __builtin_mul_overflow(static_cast<uint64_t>(n), uint64_t{6}, &extra) ||
        __builtin_add_overflow(square, extra, &total) ||
        __builtin_mul_overflow(total, uint64_t{sizeof(f64)}, &bytes) ||
        bytes > static_cast<uint64_t>(SIZE_MAX))
        return 0;
    return static_cast<size_t>(total);
}

// The state of one run: named views into the single workspace block and the
// evaluation counter. Row r of the simplex is sim + r*n; row 0 is the best
// vertex after every sort, row n the worst.
struct Run {
    vlm_objective_fn obj;
    void *ctx;
    i64 n;
    i64 maxfun;
    bool has_bounds;
    const int *stop;  // set by an evaluation to end the run at once; may be null
    i64 nfev = 0;
    f64 *sim, *fsim, *xbar, *xr, *xt, *lb, *ub, *tmprow;

    Run(vlm_objective_fn obj_, void *ctx_, i64 n_, i64 maxfun_, bool has_bounds_, const int *stop_,
        f64 *block)
        : obj(obj_), ctx(ctx_), n(n_), maxfun(maxfun_), has_bounds(has_bounds_), stop(stop_) {
        sim = block;
        fsim = sim + (n + 1) * n;
        xbar = fsim + (n + 1);
        xr = xbar + n;
        xt = xr + n;
        lb = xt + n;
        ub = lb + n;
        tmprow = ub + n;
    }

    f64 *row(i64 r) const { return sim + r * n; }
    f64 eval(const f64 *p) {
        ++nfev;
        return obj(p, ctx);
    }
    bool stopped() const { return stop != nullptr && *stop != 0; }
    // Checked before every evaluation: the limit is reached, or the run was
    // asked to stop (then no further evaluation is made).
    bool exhausted() const { return nfev >= maxfun || stopped(); }
    void clip(f64 *v) const {
        if (has_bounds) nm_clip(v, lb, ub, n);
    }
    void sort() { nm_sort(sim, fsim, n + 1, n, tmprow); }

    void replace_worst(const f64 *p, f64 fp) {
        std::memcpy(row(n), p, static_cast<size_t>(n) * sizeof(f64));
        fsim[n] = fp;
    }

    // xt = a*xbar + b*worst, clipped into the box.
    void trial(f64 a, f64 b) {
        const f64 *worst = row(n);
        for (i64 i = 0; i < n; ++i) xt[i] = a * xbar[i] + b * worst[i];
        clip(xt);
    }

    // Effective bounds from the codes; a null lo or hi reads as zeros, as in
    // the L-BFGS-B driver. False when a bound used is NaN or a lower bound
    // lies above the upper one: no point satisfies such bounds.
    bool set_bounds(const f64 *lo, const f64 *hi, const i64 *nbd) {
        bool valid = true;
        for (i64 i = 0; i < n; ++i) {
            const i64 code = nbd[i];
            lb[i] = (code == 1 || code == 2) ? (lo != nullptr ? lo[i] : 0.0) : -INF;
            ub[i] = (code == 2 || code == 3) ? (hi != nullptr ? hi[i] : 0.0) : INF;
            valid = valid && lb[i] <= ub[i];  // false for a NaN on either side
        }
        return valid;
    }

    // Start vertex (clipped), one vertex per coordinate perturbed by 5 % (or
    // set to zdelt where it is zero), then every vertex folded back into the
    // box: a value above the upper bound is reflected at it, then clipped.
    void build_simplex(const f64 *x) {
        std::memcpy(row(0), x, static_cast<size_t>(n) * sizeof(f64));
        clip(row(0));
        for (i64 k = 0; k < n; ++k) {
            f64 *v = row(k + 1);
            std::memcpy(v, row(0), static_cast<size_t>(n) * sizeof(f64));
            v[k] = v[k] != 0.0 ? (1.0 + nonzdelt) * v[k] : zdelt;
        }
        if (!has_bounds) return;
        for (i64 r = 0; r <= n; ++r) {
            f64 *v = row(r);
            for (i64 i = 0; i < n; ++i) {
                if (v[i] > ub[i]) v[i] = 2.0 * ub[i] - v[i];
                if (v[i] < lb[i])
                    v[i] = lb[i];
                else if (v[i] > ub[i])
                    v[i] = ub[i];
            }
        }
    }

    // Values of the initial vertices in order, as far as the limit allows;
    // vertices left unevaluated keep +inf.
    void evaluate_simplex() {
        for (i64 r = 0; r <= n; ++r) fsim[r] = INF;
        for (i64 r = 0; r <= n && !exhausted(); ++r) fsim[r] = eval(row(r));
    }

    // Largest |v - v0| over the other vertices' coordinates, and over their
    // values. A NaN difference makes the maximum NaN and it stays NaN, so a
    // NaN vertex never passes the test.
    bool converged(f64 xatol, f64 fatol) const {
        f64 max_dx = 0.0, max_df = 0.0;
        const f64 *best = row(0);
        for (i64 r = 1; r <= n; ++r) {
            const f64 *v = row(r);
            for (i64 k = 0; k < n; ++k) {
                max_dx = nan_max(max_dx, std::fabs(v[k] - best[k]));
            }
            max_df = nan_max(max_df, std::fabs(fsim[0] - fsim[r]));
        }
        return max_dx <= xatol && max_df <= fatol;
    }

    // Centroid of the n best vertices (all rows but the last).
    void centroid() {
        for (i64 i = 0; i < n; ++i) xbar[i] = 0.0;
        for (i64 r = 0; r < n; ++r) {
            const f64 *v = row(r);
            for (i64 i = 0; i < n; ++i) xbar[i] += v[i];
        }
        for (i64 i = 0; i < n; ++i) xbar[i] /= static_cast<f64>(n);
    }

    // Pulls every vertex halfway towards the best one, re-evaluating each.
    // Returns false when the evaluation limit stops it before a vertex's
    // evaluation (that vertex is moved but keeps its old value).
    bool shrink() {
        const f64 *best = row(0);
        for (i64 j = 1; j <= n; ++j) {
            f64 *v = row(j);
            for (i64 i = 0; i < n; ++i) v[i] = best[i] + sigma * (v[i] - best[i]);
            clip(v);
            if (exhausted()) return false;
            fsim[j] = eval(v);
        }
        return true;
    }

    // One iteration: reflect the worst vertex through the centroid, then
    // expand, accept, contract outside or inside, or shrink. Returns false
    // when the evaluation limit abandoned the iteration midway.
    bool iterate() {
        centroid();
        const f64 *worst = row(n);
        for (i64 i = 0; i < n; ++i) xr[i] = (1.0 + rho) * xbar[i] - rho * worst[i];
        clip(xr);
        const f64 fxr = eval(xr);

        if (fxr < fsim[0]) {  // better than the best: try going further
            trial(1.0 + rho * chi, -rho * chi);
            if (exhausted()) return false;
            const f64 fxe = eval(xt);
            if (fxe < fxr)
                replace_worst(xt, fxe);
            else
                replace_worst(xr, fxr);
            return true;
        }
        if (fxr < fsim[n - 1]) {  // better than the second worst: keep it
            replace_worst(xr, fxr);
            return true;
        }
        if (fxr < fsim[n]) {  // better than the worst only: contract outside
            trial(1.0 + psi * rho, -psi * rho);
            if (exhausted()) return false;
            const f64 fxc = eval(xt);
            if (fxc <= fxr) {
                replace_worst(xt, fxc);
                return true;
            }
            return shrink();
        }
        // No better than the worst, or NaN: contract inside.
        trial(1.0 - psi, psi);
        if (exhausted()) return false;
        const f64 fxcc = eval(xt);
        if (fxcc < fsim[n]) {
            replace_worst(xt, fxcc);
            return true;
        }
        return shrink();
    }
};

}  // namespace

size_t vlm::neldermead_workspace_bytes(i64 n) {
    return n < 1 ? 0 : workspace_doubles(n) * sizeof(f64);
}

i64 vlm::neldermead_drive(vlm_objective_fn obj, void *obj_ctx, i64 n, f64 *x, const f64 *lo,
                          const f64 *hi, const i64 *nbd, const vlm_neldermead_options *opt,
                          vlm_neldermead_result *out, const NelderMeadHooks *hooks,
                          void *workspace) {
    if (n < 1) {
        nm_fill_error(out, -2, MSG_BAD_N);
        return -2;
    }
    const size_t doubles = workspace_doubles(n);
    f64 *owned = nullptr;
    if (workspace == nullptr && doubles != 0)
        workspace = owned = static_cast<f64 *>(std::malloc(doubles * sizeof(f64)));
    if (doubles == 0 || workspace == nullptr) {
        nm_fill_error(out, -1, MSG_NOMEM);
        return -1;
    }
    f64 *block = static_cast<f64 *>(workspace);
    // The block holds n^2 doubles, so 200*n cannot overflow here.
    const vlm_neldermead_options defaults{0, 0, 1e-4, 1e-4};
    if (opt == nullptr) opt = &defaults;
    const i64 maxiter = opt->maxiter > 0 ? opt->maxiter : 200 * n;
    const i64 maxfun = opt->maxfun > 0 ? opt->maxfun : 200 * n;
    const NelderMeadHooks none{};
    if (hooks == nullptr) hooks = &none;

    Run run(obj, obj_ctx, n, maxfun, nbd != nullptr, hooks->stop, block);
    if (run.has_bounds && !run.set_bounds(lo, hi, nbd)) {
        std::free(owned);
        nm_fill_error(out, -3, MSG_BAD_BOUNDS);
        return -3;
    }
    run.build_simplex(x);
    run.evaluate_simplex();
    run.sort();

    i64 nit = 1;
    bool hook_stop = false;
    while (!run.exhausted() && nit < maxiter) {
        if (run.converged(opt->xatol, opt->fatol)) break;
        const bool completed = run.iterate();
        run.sort();
        if (!completed || run.stopped()) break;
        ++nit;
        if (hooks->on_iterate != nullptr &&
            hooks->on_iterate(hooks->hook_ctx, nit, run.row(0), run.fsim[0]) != 0) {
            hook_stop = true;
            break;
        }
    }

    i64 warnflag = 0;
    const char *msg = MSG_SUCCESS;
    if (hook_stop || run.stopped()) {
        warnflag = VLM_NELDERMEAD_STOPPED;
        msg = MSG_STOPPED;
    } else if (run.exhausted()) {
        warnflag = 1;
        msg = MSG_MAXFEV;
    } else if (nit >= maxiter) {
        warnflag = 2;
        msg = MSG_MAXITER;
    }
    std::memcpy(x, run.row(0), static_cast<size_t>(n) * sizeof(f64));
    if (out != nullptr) *out = {warnflag, run.nfev, nit, run.fsim[0], warnflag == 0, msg};
    std::free(owned);
    return warnflag;
}

extern "C" i64 vlm_neldermead(vlm_objective_fn obj, void *obj_ctx, i64 n, f64 *x, const f64 *lo,
                              const f64 *hi, const i64 *nbd, const vlm_neldermead_options *opt,
                              vlm_neldermead_result *out) {
    return vlm::neldermead_drive(obj, obj_ctx, n, x, lo, hi, nbd, opt, out, nullptr, nullptr);
}
