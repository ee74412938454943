// Profile-likelihood intervals, natively: each end of a parameter's interval
// is where the objective, minimized over the other free elements with that
// one held, rises by `rise` above the fit's minimum. Every profile point is a
// fit_drive re-fit with the held element's bounds made equal and no
// covariance, all sharing one workspace, warm-started where the fit's
// covariance on the unconstrained coordinates predicts the others. The ends
// are found on the held element's unconstrained coordinate, so no trial
// leaves its bounds. Nothing here touches Python. Internal: not exported,
// not installed.
#ifndef VLM_PROFILE_DRIVER_H
#define VLM_PROFILE_DRIVER_H

#include "fit_driver.h"

namespace vlm {

struct ProfileProblem {
    // The fit's objective, bounds, method and options (covariance is turned
    // off and the stopping tests tightened for the re-fits).
    FitProblem fit;
    const f64 *x_hat = nullptr;  // n: the estimate
    f64 f_hat = 0.0;             // the objective there
    const f64 *cov_y = nullptr;  // m x m over the free elements: the fit's covariance of y
    f64 rise = 0.0;              // how far the objective rises at an end
    f64 tol = 0.0;               // the accuracy of the rise at an end found
};

// One end of an interval.
struct ProfileEnd {
    f64 value = 0.0;
    bool at_bound = false;  // the rise is never reached before the bound: value is the bound
    bool found = true;      // false: the rise is never reached on an unbounded side (value +-inf)
};

enum ProfileState : i64 { PROFILE_DONE = 0, PROFILE_STOPPED = 1, PROFILE_NO_MEMORY = 2 };

// The reusable memory of the re-fits of one problem; ProfileWork::open
// allocates it (false when it cannot), the destructor releases it.
struct ProfileWork {
    void *block = nullptr;
    FitProblem refit;  // the re-fits' problem: the work arrays' bounds, tightened tests
    void *fit_work = nullptr;
    i64 m = 0;  // free elements of the fit
    // n each: the re-fits' bounds, their start and estimate, the last
    // converged re-fit's estimate.
    f64 *lo = nullptr, *hi = nullptr, *x = nullptr, *x_last = nullptr;
    i64 *nbd = nullptr;
    // m each: the re-fit's y and gradient, y of a reference point and of the
    // prediction, the map's scratch (3m), the free elements' plan.
    f64 *y = nullptr, *grad = nullptr, *y_ref = nullptr, *y_pred = nullptr, *scratch = nullptr;
    i64 *free = nullptr;
    ParamPlan plan;
    ProfileWork() = default;
    ProfileWork(const ProfileWork &) = delete;
    ProfileWork &operator=(const ProfileWork &) = delete;
    ~ProfileWork();
    bool open(const ProfileProblem &problem);
};

// The end of the interval of free element i on the side of `direction`
// (-1 lower, +1 upper); nfit counts the re-fits run. PROFILE_STOPPED when
// *fit.stop was set.
i64 profile_end(const ProfileProblem &problem, ProfileWork &work, i64 i, int direction,
                ProfileEnd &end, i64 &nfit);

// The profile of free element i at `count` values (ascending): fun[k] the
// minimum over the others with element i at values[k], ok[k] whether that
// re-fit converged. The points are visited outward from the estimate, each
// re-fit warm-started from its neighbour.
i64 profile_values(const ProfileProblem &problem, ProfileWork &work, i64 i, const f64 *values,
                   i64 count, f64 *fun, unsigned char *ok);

}  // namespace vlm

#endif  // VLM_PROFILE_DRIVER_H
