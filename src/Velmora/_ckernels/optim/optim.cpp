// One-call L-BFGS-B: owns the buffers of a run, answers the iteration's
// evaluation requests with the objective and a forward-difference gradient,
// and applies the iteration and evaluation limits.
#include "optim.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "lbfgsb.h"

namespace {

bool is_finite(f64 v) { return std::fabs(v) <= DBL_MAX; }  // false for NaN

// Forward differences around x (value f0), perturbing x in place one
// coordinate at a time; a non-finite perturbed value gives a zero component.
void vlm_fd_grad(vlm_objective_fn obj, void *ctx, i64 n, f64 *x, f64 f0, f64 fd_step, f64 *g,
                 i64 *nfev) {
    constexpr f64 rel = 0x1p-26;  // about the square root of machine epsilon
    for (i64 i = 0; i < n; ++i) {
        const f64 h = (fd_step > 0.0) ? fd_step : rel * std::fmax(std::fabs(x[i]), 1.0);
        const f64 saved = x[i];
        x[i] = saved + h;
        const f64 f1 = obj(x, ctx);
        x[i] = saved;
        g[i] = is_finite(f1) ? (f1 - f0) / h : 0.0;
    }
    *nfev += n;
}

const char *vlm_lbfgsb_message(i64 task) {
    switch (task) {
        case CONVERGENCE: return "CONVERGENCE";
        case STOP: return "STOP: iteration or evaluation limit reached";
        case WARNING: return "WARNING: rounding errors prevent progress";
        case ERROR: return "ERROR: invalid input";
        case ABNORMAL: return "ABNORMAL: line search failed";
        case -1: return "ERROR: workspace allocation failed";
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
    const i64 mm = m > 0 ? m : 0;
    i64 mn2, n5, m2x11, m8, t1, t2, total, n3;
    if (__builtin_mul_overflow(mm, n, &mn2) || __builtin_mul_overflow(mn2, 2, &mn2)) return false;
    if (__builtin_mul_overflow(n, 5, &n5) || __builtin_mul_overflow(mm, mm, &m2x11) ||
        __builtin_mul_overflow(m2x11, 11, &m2x11) || __builtin_mul_overflow(mm, 8, &m8))
        return false;
    if (__builtin_add_overflow(mn2, n5, &t1) || __builtin_add_overflow(m2x11, m8, &t2) ||
        __builtin_add_overflow(t1, t2, &total))
        return false;
    if (__builtin_mul_overflow(n, 3, &n3)) return false;
    // Byte counts must fit as well (8 bytes per element, ptrdiff-sized).
    constexpr i64 max_elems = PTRDIFF_MAX / 8;
    if (total > max_elems || n3 > max_elems) return false;
    s = {static_cast<size_t>(total), static_cast<size_t>(n), static_cast<size_t>(n3)};
    return true;
}

// The six buffers of one run; released on every path by the destructor.
// A zero count still yields a valid (one-element) buffer.
struct Buffers {
    f64 *wa = nullptr, *g = nullptr, *l = nullptr, *u = nullptr;
    i64 *iwa = nullptr, *nbd = nullptr;

    bool allocate(const BufferSizes &s) {
        auto one = [](size_t k) { return k > 0 ? k : 1; };
        wa = static_cast<f64 *>(std::malloc(one(s.wa) * sizeof(f64)));
        g = static_cast<f64 *>(std::malloc(one(s.n) * sizeof(f64)));
        l = static_cast<f64 *>(std::calloc(one(s.n), sizeof(f64)));
        u = static_cast<f64 *>(std::calloc(one(s.n), sizeof(f64)));
        iwa = static_cast<i64 *>(std::malloc(one(s.iwa) * sizeof(i64)));
        nbd = static_cast<i64 *>(std::calloc(one(s.n), sizeof(i64)));
        return wa && g && l && u && iwa && nbd;
    }
    ~Buffers() {
        std::free(wa);
        std::free(g);
        std::free(l);
        std::free(u);
        std::free(iwa);
        std::free(nbd);
    }
};

}  // namespace

extern "C" i64 vlm_lbfgsb(vlm_objective_fn obj, void *obj_ctx, i64 n, f64 *x, const f64 *lo,
                          const f64 *hi, const i64 *nbd_in, const vlm_lbfgsb_options *opt,
                          vlm_lbfgsb_result *out) {
    // A negative n, missing options or callback, or a missing x for a non-empty
    // problem are invalid input, rejected before anything is allocated.
    if (n < 0 || opt == nullptr || obj == nullptr || (n > 0 && x == nullptr))
        return finish(out, ERROR, 0, 0, 0.0);
    const i64 m = opt->m, maxls = opt->maxls;
    const f64 factr = opt->factr, pgtol = opt->pgtol;

    BufferSizes sizes;
    Buffers buf;
    if (!checked_sizes(n, m, sizes) || !buf.allocate(sizes)) return finish(out, -1, 0, 0, NAN);
    if (n > 0) {
        const size_t bytes = static_cast<size_t>(n) * sizeof(f64);
        if (lo != nullptr) std::memcpy(buf.l, lo, bytes);
        if (hi != nullptr) std::memcpy(buf.u, hi, bytes);
        if (nbd_in != nullptr) std::memcpy(buf.nbd, nbd_in, static_cast<size_t>(n) * sizeof(i64));
    }

    i64 task[2] = {START, NO_MSG}, ln_task[2] = {0, 0}, lsave[4] = {}, isave[44] = {};
    f64 dsave[29] = {};
    f64 f = 0.0;
    i64 nfev = 0, nit = 0;
    for (;;) {
        setulb(n, m, x, buf.l, buf.u, buf.nbd, &f, buf.g, factr, pgtol, buf.wa, buf.iwa, task, lsave,
               isave, dsave, maxls, ln_task);
        if (task[0] == FG) {
            f = obj(x, obj_ctx);
            nfev += 1;
            if (is_finite(f)) {
                vlm_fd_grad(obj, obj_ctx, n, x, f, opt->fd_step, buf.g, &nfev);
            } else if (nfev == 1) {
                // Not finite at the (projected) start: there is no value to
                // decrease, and the zero gradient below would pass the
                // projected-gradient test as convergence. The start is
                // reported as invalid input instead.
                return finish(out, ERROR, nfev, nit, f);
            } else {
                for (i64 i = 0; i < n; ++i) buf.g[i] = 0.0;
            }
        } else if (task[0] == NEW_X) {
            nit += 1;
            if (opt->maxiter > 0 && nit >= opt->maxiter) {
                task[0] = STOP;
                task[1] = STOP_ITERC;
            } else if (opt->maxfun > 0 && nfev > opt->maxfun) {
                task[0] = STOP;
                task[1] = STOP_ITER;
            }
        } else {
            break;
        }
    }
    return finish(out, task[0], nfev, nit, f);
}
