/* L-BFGS-B: limited-memory quasi-Newton minimization under simple bounds,
   driven by reverse communication.

   The caller owns every buffer and calls `setulb` repeatedly; after each
   return task[0] says what to do next:
     FG          evaluate f and g at x, then call again;
     NEW_X       a new iterate was accepted (the caller may set task to
                 (STOP, its own message) and call once more);
     CONVERGENCE, STOP, ERROR, ABNORMAL   the run is over.
   For the first call set task[0] = START and zero ln_task, lsave[4],
   isave[44] and dsave[29]. Workspaces: wa holds 2mn + 5n + 11m^2 + 8m reals,
   iwa 3n integers. Bound codes nbd[i]: 0 free, 1 lower l[i], 2 both, 3 upper
   u[i]. */
#ifndef VLM_LBFGSB_H
#define VLM_LBFGSB_H

#include "../_common/vlm_common.h"

VLM_EXTERN_C_BEGIN

/* Value of task[0]. */
typedef enum Status {
    START = 0,
    NEW_X = 1,
    RESTART = 2,
    FG = 3,
    CONVERGENCE = 4,
    STOP = 5,
    WARNING = 6,
    ERROR = 7,
    ABNORMAL = 8
} Status;

/* Value of task[1]. */
typedef enum StatusMsg {
    NO_MSG = 0,
    FG_START = 301,
    FG_LNSRCH = 302,
    CONV_GRAD = 401,
    CONV_F = 402,
    STOP_CPU = 501,
    STOP_ITER = 502,
    STOP_GRAD = 503,
    STOP_ITERC = 504,
    STOP_CALLB = 505,
    WARN_ROUND = 601,
    WARN_STPMAX = 602,
    WARN_STPMIN = 603,
    WARN_XTOL = 604,
    ERROR_NOFEAS = 701,
    ERROR_FACTR = 702,
    ERROR_FTOL = 703,
    ERROR_GTOL = 704,
    ERROR_XTOL = 705,
    ERROR_STP1 = 706,
    ERROR_STP2 = 707,
    ERROR_STPMIN = 708,
    ERROR_STPMAX = 709,
    ERROR_INITG = 710,
    ERROR_M = 711,
    ERROR_N = 712,
    ERROR_NBD = 713
} StatusMsg;

VLM_EXPORT void setulb(i64 n, i64 m, f64 *x, const f64 *l, const f64 *u, const i64 *nbd, f64 *f,
                       f64 *g, f64 factr, f64 pgtol, f64 *wa, i64 *iwa, i64 *task, i64 *lsave,
                       i64 *isave, f64 *dsave, i64 maxls, i64 *ln_task);

VLM_EXTERN_C_END

#endif /* VLM_LBFGSB_H */
