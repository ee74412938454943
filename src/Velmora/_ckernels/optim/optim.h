/* One-call native L-BFGS-B driver: the objective callback type and the
   options and result records shared by both minimizers. */
#ifndef VLM_OPTIM_H
#define VLM_OPTIM_H

#include "../_common/vlm_common.h"

VLM_EXTERN_C_BEGIN

/* Objective value at the n-vector x; ctx is passed through untouched. The
   callee must neither keep nor modify x. */
typedef f64 (*vlm_objective_fn)(const f64 *__restrict x, void *ctx);

typedef struct vlm_lbfgsb_options {
    i64 m;       /* correction pairs kept */
    i64 maxiter; /* accepted iterations before stopping; <= 0: no limit */
    i64 maxfun;  /* stop once more evaluations were made; <= 0: no limit */
    i64 maxls;   /* evaluations one line search may use */
    f64 factr;   /* relative reduction tolerance, in units of machine epsilon */
    f64 pgtol;   /* projected-gradient tolerance */
    f64 fd_step; /* > 0: absolute finite-difference step; otherwise relative */
} vlm_lbfgsb_options;

/* Outcomes the driver reports beside the final Status words of the iteration
   (CONVERGENCE 4, STOP 5, ERROR 7, ABNORMAL 8). None of them is a success. */
#define VLM_LBFGSB_NOMEM (-1)     /* "ERROR: workspace allocation failed" */
#define VLM_LBFGSB_UNBOUNDED (-2) /* "ABNORMAL: objective is -inf (unbounded below)" */
#define VLM_LBFGSB_NO_GRADIENT                                   \
    (-3) /* "ABNORMAL: gradient not formed at x (a value was not \
            finite or the difference step did not move x)" */

typedef struct vlm_lbfgsb_result {
    i64 status;          /* final Status word, or one of the VLM_LBFGSB_* outcomes */
    i64 nfev;            /* objective evaluations, finite differences included */
    i64 nit;             /* accepted iterations */
    f64 fun;             /* objective value at the returned x */
    int success;         /* 1 when status is CONVERGENCE */
    const char *message; /* static text, never freed */
} vlm_lbfgsb_result;

/* Minimizes obj from x (overwritten with the final point) under the bounds
   lo/hi with codes nbd_in (0 free, 1 lower, 2 both, 3 upper); null bound
   arrays mean zeros. Returns the final status, or -1 on allocation failure.

   Invalid input ends the run before any evaluation with ERROR (7, "ERROR:
   invalid input"): n < 0 or n = 0, m <= 0, factr < 0, a code outside 0..3, a
   lower bound above the upper one, a NaN bound, or an absolute step
   (fd_step > 0) that is infinite or does not move a finite coordinate of the
   start (x + fd_step == x, or overflows). A start whose value is not finite
   ends with ERROR after that one evaluation.

   A run never reports CONVERGENCE when nothing converged: a value of -inf ends
   it at once with VLM_LBFGSB_UNBOUNDED (x is that point), and convergence at a
   point whose gradient could not be formed (a difference probe whose value was
   not finite, or whose coordinate x + h was not finite or equal to x) is
   reported as VLM_LBFGSB_NO_GRADIENT. */
VLM_EXPORT i64 vlm_lbfgsb(vlm_objective_fn obj, void *obj_ctx, i64 n, f64 *x, const f64 *lo,
                          const f64 *hi, const i64 *nbd_in, const vlm_lbfgsb_options *opt,
                          vlm_lbfgsb_result *out);

VLM_EXTERN_C_END

#endif /* VLM_OPTIM_H */
