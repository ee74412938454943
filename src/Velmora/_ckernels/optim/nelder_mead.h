/* Nelder-Mead simplex minimizer with optional simple bounds, sharing the
   objective callback of the L-BFGS-B driver. */
#ifndef VLM_NELDER_MEAD_H
#define VLM_NELDER_MEAD_H

#include "optim.h"
#include "../_common/vlm_common.h"

VLM_EXTERN_C_BEGIN

typedef struct vlm_neldermead_options {
    i64 maxiter; /* iteration limit; <= 0 selects 200*n */
    i64 maxfun;  /* evaluation limit; <= 0 selects 200*n */
    f64 xatol;   /* absolute tolerance on the vertex spread */
    f64 fatol;   /* absolute tolerance on the value spread */
} vlm_neldermead_options;

typedef struct vlm_neldermead_result {
    i64 status;          /* 0 converged, 1 evaluation limit, 2 iteration limit,
                            -1 workspace allocation failed, -2 n < 1,
                            -3 invalid bounds (a NaN bound, or lower above
                               upper): no evaluation, x untouched */
    i64 nfev;            /* objective evaluations made */
    i64 nit;             /* iteration count, starting at 1 */
    f64 fun;             /* value at the returned x (the best vertex) */
    int success;         /* 1 when status is 0 */
    const char *message; /* static text, never freed */
} vlm_neldermead_result;

/* Minimizes obj from x (overwritten with the best vertex on statuses 0, 1, 2).
   nbd null: unconstrained, lo and hi unread. Otherwise codes 0 free, 1 lower,
   2 both, 3 upper (anything else counts as free); a null lo or hi reads as
   zeros. A bound used that is NaN, or a lower bound above the upper one,
   ends the call before any evaluation with status -3, "ERROR: invalid bounds
   (NaN, or lower above upper)". opt null selects the defaults (both limits
   200*n, tolerances 1e-4); out may be null. Returns the status. */
VLM_EXPORT i64 vlm_neldermead(vlm_objective_fn obj, void *obj_ctx, i64 n, f64 *x, const f64 *lo,
                              const f64 *hi, const i64 *nbd, const vlm_neldermead_options *opt,
                              vlm_neldermead_result *out);

VLM_EXTERN_C_END

#endif /* VLM_NELDER_MEAD_H */
