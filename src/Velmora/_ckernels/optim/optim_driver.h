// The loops of the one-call minimizers, open to a caller's hooks. L-BFGS-B
// over a general objective: a value
// (gradient by the driver's forward differences) or a value and gradient,
// with an optional per-iteration hook and a stop request. `vlm_lbfgsb` runs
// it on a value callback; the public minimize module runs it on the user's
// objective. Internal: not exported, not installed.
#ifndef VLM_OPTIM_DRIVER_H
#define VLM_OPTIM_DRIVER_H

#include "nelder_mead.h"
#include "optim.h"

// The run was ended by the hook or the stop request (never by vlm_lbfgsb or
// vlm_neldermead).
#define VLM_LBFGSB_STOPPED 99
#define VLM_NELDERMEAD_STOPPED 99

namespace vlm {

// Value at x written with the gradient into g (n values).
using ValueGradFn = f64 (*)(const f64 *__restrict x, f64 *__restrict g, void *ctx);

// Called after each accepted iterate with its count, point and value; a
// non-zero return ends the run with VLM_LBFGSB_STOPPED.
using IterateHook = int (*)(void *hook_ctx, i64 nit, const f64 *x, f64 f);

struct LbfgsbObjective {
    vlm_objective_fn value = nullptr;  // used when value_grad is null
    ValueGradFn value_grad = nullptr;  // value and gradient in one call
    void *ctx = nullptr;               // passed to value / value_grad
    // Read after every evaluation: non-zero ends the run at once (status
    // VLM_LBFGSB_STOPPED, no further evaluation). May be null.
    const int *stop = nullptr;
    IterateHook on_iterate = nullptr;
    void *hook_ctx = nullptr;
};

// What vlm_lbfgsb reports, plus the gradient requests answered (njev) and,
// when g_out is given, the gradient held at the end (n values).
i64 lbfgsb_drive(const LbfgsbObjective &obj, i64 n, f64 *x, const f64 *lo, const f64 *hi,
                 const i64 *nbd_in, const vlm_lbfgsb_options *opt, vlm_lbfgsb_result *out,
                 i64 *njev, f64 *g_out);

// The same for Nelder-Mead: the hook runs after each completed iteration
// with the best vertex; `stop` is read before every evaluation.
struct NelderMeadHooks {
    const int *stop = nullptr;
    IterateHook on_iterate = nullptr;
    void *hook_ctx = nullptr;
};

// vlm_neldermead with the hooks (null: none).
i64 neldermead_drive(vlm_objective_fn obj, void *obj_ctx, i64 n, f64 *x, const f64 *lo,
                     const f64 *hi, const i64 *nbd, const vlm_neldermead_options *opt,
                     vlm_neldermead_result *out, const NelderMeadHooks *hooks);

}  // namespace vlm

#endif  // VLM_OPTIM_DRIVER_H
