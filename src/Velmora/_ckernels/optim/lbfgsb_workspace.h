// What the L-BFGS-B drivers share with the iteration: the size of its
// workspaces, computed in one place (setulb lays its pieces out within it,
// and the drivers allocate it), and its projected-gradient norm. Internal:
// not exported, not installed.
#ifndef VLM_LBFGSB_WORKSPACE_H
#define VLM_LBFGSB_WORKSPACE_H

#include "../_common/vlm_common.h"

namespace vlm {

// Element counts of setulb's workspaces for n variables and m correction
// pairs: wa holds 2mn + 5n + 11m^2 + 8m reals, iwa 3n integers.
struct LbfgsbWorkspaceLength {
    i64 wa, iwa;
};

// Sets len and returns true when n >= 0, m >= 0 and both counts, as byte
// counts, fit in memory arithmetic; otherwise returns false.
bool lbfgsb_workspace_length(i64 n, i64 m, LbfgsbWorkspaceLength &len);

// The iteration's convergence measure at x: the infinity norm of the
// gradient g projected on the box l, u with codes nbd (NaN when g holds one).
f64 lbfgsb_projected_gradient_norm(i64 n, const f64 *l, const f64 *u, const i64 *nbd, const f64 *x,
                                   const f64 *g);

}  // namespace vlm

#endif  // VLM_LBFGSB_WORKSPACE_H
