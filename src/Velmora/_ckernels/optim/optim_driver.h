// The loops of the one-call minimizers, open to a caller's hooks. L-BFGS-B
// over a general objective: a value
// (gradient by the driver's forward differences) or a value and gradient,
// with an optional per-iteration hook and a stop request. `vlm_lbfgsb` runs
// it on a value callback; the public minimize module runs it on the user's
// objective. Internal: not exported, not installed.
#ifndef VLM_OPTIM_DRIVER_H
#define VLM_OPTIM_DRIVER_H

#include <cstddef>

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
    // With forward differences: a run whose line search failed is judged
    // once more by central differences at its final point, and reported as
    // CONVERGENCE when their projected gradient is within pgtol (2n more
    // evaluations). Far from zero a relative forward step's error alone can
    // exceed pgtol at the minimum itself.
    bool judge_failure_centrally = false;
};

// Bytes of the workspace of a run with n variables and m correction pairs,
// or 0 when n < 0 or the size does not fit in memory arithmetic.
size_t lbfgsb_workspace_bytes(i64 n, i64 m);

// What vlm_lbfgsb reports, plus the gradient requests answered (njev) and,
// when g_out is given, the gradient held at the end (n values). workspace:
// null to allocate one for this run, or a caller's block of at least
// lbfgsb_workspace_bytes(n, opt->m) bytes aligned for doubles, which a
// caller running many problems reuses from one run to the next (a run never
// reads what an earlier run left there).
i64 lbfgsb_drive(const LbfgsbObjective &obj, i64 n, f64 *x, const f64 *lo, const f64 *hi,
                 const i64 *nbd_in, const vlm_lbfgsb_options *opt, vlm_lbfgsb_result *out,
                 i64 *njev, f64 *g_out, void *workspace);

// The same for Nelder-Mead: the hook runs after each completed iteration
// with the best vertex; `stop` is read before every evaluation.
struct NelderMeadHooks {
    const int *stop = nullptr;
    IterateHook on_iterate = nullptr;
    void *hook_ctx = nullptr;
};

// Bytes of the workspace of a run with n variables, or 0 when n < 1 or the
// size does not fit in memory arithmetic.
size_t neldermead_workspace_bytes(i64 n);

// vlm_neldermead with the hooks (null: none) and, as for lbfgsb_drive, an
// optional caller's workspace of neldermead_workspace_bytes(n) bytes.
i64 neldermead_drive(vlm_objective_fn obj, void *obj_ctx, i64 n, f64 *x, const f64 *lo,
                     const f64 *hi, const i64 *nbd, const vlm_neldermead_options *opt,
                     vlm_neldermead_result *out, const NelderMeadHooks *hooks, void *workspace);

}  // namespace vlm

#endif  // VLM_OPTIM_DRIVER_H
