// One maximum-likelihood fit, natively from start to end: the objective over
// the full parameter vector is minimized on the unconstrained coordinates of
// its free elements (one transform per element, chosen by its bounds; an
// element whose two bounds are equal is held fixed), then its Hessian is
// differenced there and turned into a covariance on the scale of x by the
// delta method. Nothing here touches Python: a caller that runs K fits on
// K threads calls fit_drive once per fit. Internal: not exported, not
// installed.
#ifndef VLM_FIT_DRIVER_H
#define VLM_FIT_DRIVER_H

#include <cmath>

#include "../transforms/parameter_map.h"
#include "hessian.h"
#include "optim_driver.h"

namespace vlm {

enum class FitMethod { lbfgsb, neldermead };

struct FitProblem {
    // The objective over x (n values): its value, and its value and gradient
    // when it has one (null otherwise), with their context. `stop` is read
    // after every evaluation: non-zero ends the fit at once (FIT_STOPPED).
    vlm_objective_fn value = nullptr;
    ValueGradFn value_grad = nullptr;
    void *ctx = nullptr;
    const int *stop = nullptr;
    i64 n = 0;
    // Bounds as the minimizers take them (nbd: 0 none, 1 lower, 2 both, 3
    // upper; null arrays: no bounds; no NaN on a side in use). An element
    // with both bounds equal is fixed; the start of any other must lie
    // strictly inside its bounds, and an interval must be narrower than the
    // largest float (FIT_BAD_START otherwise, before any evaluation).
    const f64 *lo = nullptr;
    const f64 *hi = nullptr;
    const i64 *nbd = nullptr;
    // The transform of elements bounded on both sides: PARAM_AFF_LOGIT or
    // PARAM_AFF_PROBIT.
    int interval_family = PARAM_AFF_LOGIT;
    FitMethod method = FitMethod::lbfgsb;
    vlm_lbfgsb_options lbfgsb{};
    vlm_neldermead_options neldermead{};
    f64 errordef = 0.5;
    // The fit is certified converged when the estimated distance to the
    // minimum, EDM = g^T H^-1 g / 2 on the coordinates not at a bound, is
    // at most edm_tol * errordef (EDM / errordef is the squared distance to
    // the minimum in standard errors); above it, Newton steps continue.
    // Infinity certifies whatever the minimizer returned.
    f64 edm_tol = 1e-6;
    // False: end after the minimization (arrays x, y and grad only), with no
    // Hessian, certification, covariance or anything derived from them -- for the re-fits
    // of a profile, which need only the minimum.
    bool covariance = true;
};

// The status of a fit whose minimizer reported success but whose estimate
// could not be certified (EDM above its tolerance after the Newton steps).
constexpr i64 FIT_NOT_CERTIFIED = 10;

// The arrays of one fit, all caller-owned; m is the number of free elements.
struct FitArrays {
    f64 *x = nullptr;        // n: the start (fixed elements at their value), then the estimate
    f64 *y = nullptr;        // m: the estimate on the unconstrained coordinates
    f64 *grad = nullptr;     // m: the gradient there (L-BFGS-B; NaN for Nelder-Mead)
    f64 *hessian = nullptr;  // m x m: the Hessian there
    f64 *cov_y = nullptr;    // m x m: the covariance of y (2 errordef H^-1, NaN where flat)
    f64 *cov = nullptr;      // n x n: the covariance of x (0 for fixed elements)
    f64 *se = nullptr;       // n: the standard errors, sqrt(diag(cov))
    unsigned char *flat = nullptr;  // n: 1 for an element moved by a flat direction
    // n: 1 for an element whose estimate is on a bound (the objective still
    // falls towards it: no standard error) or within one standard error of
    // one (its Wald interval is not reliable).
    unsigned char *at_bound = nullptr;
};

// How a fit ended.
enum FitState : i64 {
    FIT_DONE = 0,       // the run ended (see status) and the Hessian was analysed (hessian_state)
    FIT_STOPPED = 1,    // *stop was set: nothing else is meaningful
    FIT_BAD_START = 2,  // element `index` of the start is unusable (`start_problem` says why)
    FIT_NOT_FINITE_START = 3,  // the objective is not finite at the start (fun holds its value)
    FIT_NO_HESSIAN = 4,        // the run ended at a point with no finite value: no Hessian
    FIT_NO_MEMORY = 5,         // the workspace could not be allocated
    FIT_NOT_RUN = 6,           // the minimizer refused its input (status and message say why)
};

// Why a start is unusable (FIT_BAD_START), checked before any evaluation.
enum FitStartProblem : i64 {
    START_OK = 0,
    START_NOT_FINITE = 1,    // not a finite number
    START_OUTSIDE = 2,       // outside the bounds (or not the value of a fixed element)
    START_ON_BOUND = 3,      // on a bound of an element that is not fixed
    START_TOO_WIDE = 4,      // the interval is wider than the largest float
    START_TOO_CLOSE = 5,     // so close to a bound that the transform is not finite
    START_NOTHING_FREE = 6,  // every element is fixed (index -1)
};

struct FitOutcome {
    i64 state = FIT_DONE;
    i64 index = -1;  // FIT_BAD_START: the element
    i64 start_problem = START_OK;
    // The minimization on y, as its driver reports it.
    vlm_lbfgsb_result run{};  // Nelder-Mead's record copied field by field
    i64 run_njev = 0;         // gradient requests of L-BFGS-B
    i64 start_nfev = 0;       // Nelder-Mead: the look at the start before the run
    // The Hessian: how it was formed, its evaluations and what it showed.
    HessianSource source = HessianSource::values;
    i64 hessian_nfev = 0;
    i64 hessian_state = HESSIAN_NOT_FINITE;
    i64 flat_count = 0;  // elements flagged in FitArrays::flat
    // The certification: EDM at the estimate (over the elements not on a
    // bound; NaN when the Hessian there is not finite, infinity when it is
    // not positive definite), whether it met edm_tol, and the Newton steps
    // taken after the minimizer (their evaluations are in hessian_nfev).
    f64 edm = NAN;
    bool certified = false;
    i64 newton_steps = 0;
    i64 at_bound_count = 0;  // elements flagged in FitArrays::at_bound
};

// The number of free elements (those not fixed by equal bounds).
i64 fit_free_count(const FitProblem &problem);

// Whether element i is fixed (its two bounds are equal).
inline bool fit_is_fixed(const FitProblem &problem, i64 i) {
    return problem.nbd != nullptr && problem.nbd[i] == 2 && problem.lo[i] == problem.hi[i];
}

// The transform family (ParamFamily) of element i under the problem's bounds.
unsigned char fit_family(const FitProblem &problem, i64 i);

// Bytes of the workspace of a fit of problem.n elements, whatever the bounds
// (so that one block serves every fit of that size, method and options); 0
// when n < 1 or the size does not fit in memory arithmetic.
size_t fit_workspace_bytes(const FitProblem &problem);

// The start checks of fit_drive alone, with no evaluation: a FitStartProblem
// (START_OK when the fit can start), the element in `index`. workspace:
// fit_workspace_bytes(problem) bytes aligned for doubles.
i64 fit_check_start(const FitProblem &problem, const f64 *x, void *workspace, i64 &index);

// Runs the fit: the start checks, the minimization, the Hessian, the
// certification (Newton steps until EDM <= edm_tol * errordef, at most a
// bounded number) and the covariance. workspace: null to allocate one for this fit (released before
// return), or a caller's block of fit_workspace_bytes(problem) bytes aligned
// for doubles, which a caller running many fits reuses (a fit never reads
// what an earlier one left there). Returns outcome.state.
i64 fit_drive(const FitProblem &problem, const FitArrays &arrays, FitOutcome &outcome,
              void *workspace = nullptr);

}  // namespace vlm

#endif  // VLM_FIT_DRIVER_H
