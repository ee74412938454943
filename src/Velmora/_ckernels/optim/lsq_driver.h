// One least-squares fit of a stated problem (lsq_problem.h) from start to
// end: the Levenberg-Marquardt iteration (levmar.h) on the unconstrained
// variables, then, on request, the weighted Jacobian at the solution and the
// covariance of the parameters. Nothing here touches Python: a caller that
// runs K fits on several threads calls lsq_drive once per fit, with one
// workspace per thread. Internal: not exported, not installed.
#ifndef VLM_LSQ_DRIVER_H
#define VLM_LSQ_DRIVER_H

#include <cstddef>

#include "levmar.h"
#include "lsq_problem.h"

namespace vlm {

// What a fit computes once the iteration has ended at a point.
enum LsqWant : int {
    LSQ_NOTHING = 0,
    LSQ_JACOBIAN = 1,    // the weighted Jacobian dr/dx at the solution
    LSQ_COVARIANCE = 2,  // that and (J^T J)^-1 (+inf when J is rank-deficient)
    LSQ_SCALED_COVARIANCE =
        3,  // the covariance times the residual variance 2 cost / (m - n) (m > n)
};

struct LsqDriveResult {
    LmResult run;
    i64 rank = -1;          // the Jacobian's numerical rank when the covariance was formed
    bool finished = false;  // the iteration ended at a point: jac (and cov) hold what was asked
};

// Bytes of the workspace of a fit with m residuals and n variables: the
// iteration's, the problem's work buffer and two vectors of n; 0 when the
// sizes are out of their domain.
size_t lsq_drive_bytes(i64 m, i64 n);

// Fits problem (its work buffer is taken from the workspace) from the
// parameters x (n values; receives the solution); r (m values) receives the
// residuals there, and with r_given already holds those at x. jac (m x n)
// and cov (n x n) receive what `want` asks for, when the iteration finished
// (a Jacobian whose evaluation stopped the run makes it LM_STOPPED).
// workspace: lsq_drive_bytes(m, n) bytes aligned for doubles.
void lsq_drive(LsqProblem problem, const LmOptions &options, f64 *x, f64 *r, bool r_given, int want,
               f64 *jac, f64 *cov, void *workspace, LsqDriveResult &out);

}  // namespace vlm

#endif  // VLM_LSQ_DRIVER_H
