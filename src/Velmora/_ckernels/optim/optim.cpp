// Placeholder until the L-BFGS-B iteration lands: every run reports that no
// workspace is available.
#include "optim.h"

#include <cmath>

extern "C" i64 vlm_lbfgsb(vlm_objective_fn, void *, i64, f64 *, const f64 *, const f64 *,
                          const i64 *, const vlm_lbfgsb_options *, vlm_lbfgsb_result *out) {
    if (out != nullptr) *out = {-1, 0, 0, NAN, 0, "ERROR: workspace allocation failed"};
    return -1;
}
