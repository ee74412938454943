// One-call L-BFGS-B: owns the buffers of a run, answers the iteration's
// evaluation requests with the objective and a forward-difference gradient,
// and applies the iteration and evaluation limits.
#include "optim.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "lbfgsb.h"
#include "lbfgsb_workspace.h"
#include "optim_driver.h"

namespace {

bool is_finite(f64 v) { return std::fabs(v) <= DBL_MAX; }  // false for NaN

// The step of coordinate i: fd_step when positive, otherwise relative to the
// coordinate (a NaN fd_step also selects it; fmax ignores a NaN |x|).
f64 fd_step_at(f64 xi, f64 fd_step) {
    constexpr f64 rel = 0x1p-26;  // about the square root of machine epsilon
    return (fd_step > 0.0) ? fd_step : rel * std::fmax(std::fabs(xi), 1.0);
}

// Forward differences around x (value f0), perturbing x in place one
// coordinate at a time; a non-finite perturbed value gives a zero component.
// Returns whether every component was formed: the probe's coordinate finite
// and different from x[i], and its value finite. Stops early when *stop is
// set by an evaluation.
bool vlm_fd_grad(vlm_objective_fn obj, void *ctx, i64 n, f64 *x, f64 f0, f64 fd_step, f64 *g,
                 i64 *nfev, const int *stop) {
    bool formed = true;
    for (i64 i = 0; i < n; ++i) {
        const f64 h = fd_step_at(x[i], fd_step);
        const f64 saved = x[i];
        const f64 moved = saved + h;
        x[i] = moved;
        const f64 f1 = obj(x, ctx);
        x[i] = saved;
        *nfev += 1;
        g[i] = is_finite(f1) ? (f1 - f0) / h : 0.0;
        formed = formed && is_finite(f1) && is_finite(moved) && moved != saved;
        if (stop != nullptr && *stop != 0) break;
    }
    return formed;
}

const char *vlm_lbfgsb_message(i64 task) {
    switch (task) {
        case CONVERGENCE: return "CONVERGENCE";
        case STOP: return "STOP: iteration or evaluation limit reached";
        case WARNING: return "WARNING: rounding errors prevent progress";
        case ERROR: return "ERROR: invalid input";
        case ABNORMAL: return "ABNORMAL: line search failed";
        case VLM_LBFGSB_NOMEM: return "ERROR: workspace allocation failed";
        case VLM_LBFGSB_UNBOUNDED: return "ABNORMAL: objective is -inf (unbounded below)";
        case VLM_LBFGSB_NO_GRADIENT:
            return "ABNORMAL: gradient not formed at x (a value was not finite or the "
                   "difference step did not move x)";
        case VLM_LBFGSB_STOPPED: return "STOP: stopped by the caller";
        default: return "UNKNOWN";
    }
}

i64 finish(vlm_lbfgsb_result *out, i64 status, i64 nfev, i64 nit, f64 fun) {
    if (out != nullptr)
        *out = {status, nfev, nit, fun, status == CONVERGENCE ? 1 : 0, vlm_lbfgsb_message(status)};
    return status;
}

// Element counts of the six buffers, or false when one does not fit in
// memory arithmetic. A non-positive m is sized as 0: the iteration rejects it
// before touching the workspace.
struct BufferSizes {
    size_t wa, n, iwa;
};

bool checked_sizes(i64 n, i64 m, BufferSizes &s) {
    vlm::LbfgsbWorkspaceLength len;
    if (!vlm::lbfgsb_workspace_length(n, m > 0 ? m : 0, len)) return false;
    s = {static_cast<size_t>(len.wa), static_cast<size_t>(n), static_cast<size_t>(len.iwa)};
    return true;
}

// A zero count still gets a valid (one-element) buffer.
size_t at_least_one(size_t k) { return k > 0 ? k : 1; }

// The six buffers of a run, laid out one after another in one block of
// 8-byte elements: wa, g, l, u (doubles), then iwa and nbd (integers).
struct Buffers {
    f64 *wa = nullptr, *g = nullptr, *l = nullptr, *u = nullptr;
    i64 *iwa = nullptr, *nbd = nullptr;

    // Elements of the block, or 0 when the total does not fit in a byte count.
    static size_t elements(const BufferSizes &s) {
        const size_t n = at_least_one(s.n);
        size_t total = at_least_one(s.wa);
        for (size_t part : {n, n, n, at_least_one(s.iwa), n})
            if (__builtin_add_overflow(total, part, &total)) return 0;
        return total <= PTRDIFF_MAX / 8 ? total : 0;
    }

    void carve(void *block, const BufferSizes &s) {
        const size_t n = at_least_one(s.n);
        wa = static_cast<f64 *>(block);
        g = wa + at_least_one(s.wa);
        l = g + n;
        u = l + n;
        iwa = reinterpret_cast<i64 *>(u + n);
        nbd = iwa + at_least_one(s.iwa);
    }
};

// The block of a run that brought none: allocated here, released on every path.
struct OwnedBlock {
    void *block = nullptr;
    ~OwnedBlock() { std::free(block); }
};

// Bounds that no point satisfies or compares with: a NaN on a side that the
// code uses. (Crossed bounds are the iteration's own input check.)
bool bounds_are_numbers(i64 n, const f64 *l, const f64 *u, const i64 *nbd) {
    for (i64 i = 0; i < n; ++i) {
        const bool lower = nbd[i] == 1 || nbd[i] == 2, upper = nbd[i] == 2 || nbd[i] == 3;
        if ((lower && std::isnan(l[i])) || (upper && std::isnan(u[i]))) return false;
    }
    return true;
}

// An absolute step must move every finite coordinate of the start, taken
// where the iteration will project it into the box, to a finite value.
bool step_moves_start(i64 n, const f64 *x, const f64 *l, const f64 *u, const i64 *nbd,
                      f64 fd_step) {
    if (!(fd_step > 0.0)) return true;  // the relative step always moves x
    if (!is_finite(fd_step)) return false;
    for (i64 i = 0; i < n; ++i) {
        f64 xi = x[i];
        if ((nbd[i] == 1 || nbd[i] == 2) && xi < l[i])
            xi = l[i];
        else if ((nbd[i] == 2 || nbd[i] == 3) && xi > u[i])
            xi = u[i];
        const f64 moved = xi + fd_step;
        if (is_finite(xi) && (!is_finite(moved) || moved == xi)) return false;
    }
    return true;
}

// Central differences at x into g for the coordinates whose two probes lie
// inside the box (the others keep what g holds), with a step of about the
// cube root of machine epsilon relative to the coordinate, or fd_step when
// positive. False when a probe's value was not finite or the run was asked
// to stop.
bool central_gradient(const vlm::LbfgsbObjective &obj, i64 n, f64 *x, const f64 *l, const f64 *u,
                      const i64 *nbd, f64 fd_step, f64 *g, i64 &nfev) {
    constexpr f64 rel = 0x1p-17;  // about eps^(1/3): balances rounding and truncation
    for (i64 i = 0; i < n; ++i) {
        const f64 saved = x[i];
        const f64 h = fd_step > 0.0 ? fd_step : rel * std::fmax(std::fabs(saved), 1.0);
        const f64 up = saved + h, down = saved - h;
        if (((nbd[i] == 1 || nbd[i] == 2) && down < l[i]) ||
            ((nbd[i] == 2 || nbd[i] == 3) && up > u[i]) || !(up > down))
            continue;
        x[i] = up;
        const f64 f_up = obj.value(x, obj.ctx);
        x[i] = down;
        const f64 f_down = obj.value(x, obj.ctx);
        x[i] = saved;
        nfev += 2;
        if (!is_finite(f_up) || !is_finite(f_down) || (obj.stop != nullptr && *obj.stop != 0))
            return false;
        g[i] = (f_up - f_down) / (up - down);
    }
    return true;
}

// One evaluation request of the iteration: f and g at x. Returns whether the
// gradient was formed (always false for a non-finite value, whose gradient
// is set to zero as the iteration expects).
bool evaluate(const vlm::LbfgsbObjective &obj, i64 n, f64 *x, f64 fd_step, f64 &f, f64 *g,
              i64 &nfev) {
    bool formed;
    if (obj.value_grad != nullptr) {
        f = obj.value_grad(x, g, obj.ctx);
        nfev += 1;
        formed = is_finite(f);
        if (formed) {
            for (i64 i = 0; i < n; ++i) {
                if (!is_finite(g[i])) {
                    g[i] = 0.0;
                    formed = false;
                }
            }
        }
    } else {
        f = obj.value(x, obj.ctx);
        nfev += 1;
        formed = is_finite(f) && !(obj.stop != nullptr && *obj.stop != 0) &&
                 vlm_fd_grad(obj.value, obj.ctx, n, x, f, fd_step, g, &nfev, obj.stop);
    }
    if (!is_finite(f))
        for (i64 i = 0; i < n; ++i) g[i] = 0.0;
    return formed;
}

}  // namespace

size_t vlm::lbfgsb_workspace_bytes(i64 n, i64 m) {
    BufferSizes sizes;
    if (n < 0 || !checked_sizes(n, m, sizes)) return 0;
    return Buffers::elements(sizes) * 8;
}

i64 vlm::lbfgsb_drive(const LbfgsbObjective &obj, i64 n, f64 *x, const f64 *lo, const f64 *hi,
                      const i64 *nbd_in, const vlm_lbfgsb_options *opt, vlm_lbfgsb_result *out,
                      i64 *njev, f64 *g_out, void *workspace) {
    i64 requests = 0;
    if (njev != nullptr) *njev = 0;
    // A negative n, missing options or objective, or a missing x for a
    // non-empty problem are invalid input, rejected before any allocation.
    if (n < 0 || opt == nullptr || (obj.value == nullptr && obj.value_grad == nullptr) ||
        (n > 0 && x == nullptr))
        return finish(out, ERROR, 0, 0, 0.0);
    const i64 m = opt->m, maxls = opt->maxls;
    const f64 factr = opt->factr, pgtol = opt->pgtol;

    BufferSizes sizes;
    OwnedBlock owned;
    const size_t elements = checked_sizes(n, m, sizes) ? Buffers::elements(sizes) : 0;
    if (elements == 0) return finish(out, VLM_LBFGSB_NOMEM, 0, 0, NAN);
    if (workspace == nullptr) {
        workspace = owned.block = std::malloc(elements * 8);
        if (workspace == nullptr) return finish(out, VLM_LBFGSB_NOMEM, 0, 0, NAN);
    }
    Buffers buf;
    buf.carve(workspace, sizes);
    // Missing bounds and codes read as zeros.
    const size_t bytes = at_least_one(sizes.n) * sizeof(f64);
    if (lo != nullptr && n > 0)
        std::memcpy(buf.l, lo, static_cast<size_t>(n) * sizeof(f64));
    else
        std::memset(buf.l, 0, bytes);
    if (hi != nullptr && n > 0)
        std::memcpy(buf.u, hi, static_cast<size_t>(n) * sizeof(f64));
    else
        std::memset(buf.u, 0, bytes);
    if (nbd_in != nullptr && n > 0)
        std::memcpy(buf.nbd, nbd_in, static_cast<size_t>(n) * sizeof(i64));
    else
        std::memset(buf.nbd, 0, bytes);
    const bool differences = obj.value_grad == nullptr;
    if (!bounds_are_numbers(n, buf.l, buf.u, buf.nbd) ||
        (differences && !step_moves_start(n, x, buf.l, buf.u, buf.nbd, opt->fd_step)))
        return finish(out, ERROR, 0, 0, 0.0);

    i64 task[2] = {START, NO_MSG}, ln_task[2] = {0, 0}, lsave[4] = {}, isave[44] = {};
    f64 dsave[29] = {};
    f64 f = 0.0;
    i64 nfev = 0, nit = 0, status = 0;
    bool formed = false;  // whether the gradient of the last evaluation was formed
    for (;;) {
        setulb(n, m, x, buf.l, buf.u, buf.nbd, &f, buf.g, factr, pgtol, buf.wa, buf.iwa, task,
               lsave, isave, dsave, maxls, ln_task);
        if (task[0] == FG) {
            formed = evaluate(obj, n, x, opt->fd_step, f, buf.g, nfev);
            requests += 1;
            if (obj.stop != nullptr && *obj.stop != 0) {
                status = VLM_LBFGSB_STOPPED;
                break;
            }
            if (!is_finite(f) && requests == 1) {
                // Not finite at the (projected) start: there is no value to
                // decrease, and the zero gradient would pass the
                // projected-gradient test as convergence. The start is
                // reported as invalid input instead.
                status = ERROR;
                break;
            }
            if (f == -HUGE_VAL) {  // nothing can be lower: stop at this point
                status = VLM_LBFGSB_UNBOUNDED;
                break;
            }
        } else if (task[0] == NEW_X) {
            nit += 1;
            if (obj.on_iterate != nullptr && obj.on_iterate(obj.hook_ctx, nit, x, f) != 0) {
                task[0] = STOP;
                task[1] = STOP_CALLB;
            } else if (opt->maxiter > 0 && nit >= opt->maxiter) {
                task[0] = STOP;
                task[1] = STOP_ITERC;
            } else if (opt->maxfun > 0 && nfev > opt->maxfun) {
                task[0] = STOP;
                task[1] = STOP_ITER;
            }
        } else {
            // The final status. Convergence needs a gradient: the last
            // evaluation is the point held (the start, or the iterate just
            // accepted), and a zero put in for a component that could not be
            // formed would pass the test without meaning anything.
            status = task[0];
            if (status == STOP && task[1] == STOP_CALLB) status = VLM_LBFGSB_STOPPED;
            if (status == CONVERGENCE && !formed) status = VLM_LBFGSB_NO_GRADIENT;
            break;
        }
    }
    if (status == ABNORMAL && differences && obj.judge_failure_centrally && n > 0) {
        // The iterate's gradient is in g; judge it anew in the free workspace.
        f64 *central = buf.wa;
        std::memcpy(central, buf.g, static_cast<size_t>(n) * sizeof(f64));
        if (central_gradient(obj, n, x, buf.l, buf.u, buf.nbd, opt->fd_step, central, nfev) &&
            vlm::lbfgsb_projected_gradient_norm(n, buf.l, buf.u, buf.nbd, x, central) <= pgtol) {
            status = CONVERGENCE;
            std::memcpy(buf.g, central, static_cast<size_t>(n) * sizeof(f64));
        } else if (obj.stop != nullptr && *obj.stop != 0) {
            status = VLM_LBFGSB_STOPPED;
        }
    }
    if (njev != nullptr) *njev = requests;
    if (g_out != nullptr && n > 0) std::memcpy(g_out, buf.g, static_cast<size_t>(n) * sizeof(f64));
    return finish(out, status, nfev, nit, f);
}

extern "C" i64 vlm_lbfgsb(vlm_objective_fn obj, void *obj_ctx, i64 n, f64 *x, const f64 *lo,
                          const f64 *hi, const i64 *nbd_in, const vlm_lbfgsb_options *opt,
                          vlm_lbfgsb_result *out) {
    vlm::LbfgsbObjective objective;
    objective.value = obj;
    objective.ctx = obj_ctx;
    return vlm::lbfgsb_drive(objective, n, x, lo, hi, nbd_in, opt, out, nullptr, nullptr, nullptr);
}
