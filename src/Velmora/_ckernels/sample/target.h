// The density a sampler moves on: for a negative log-likelihood nll(x) and an
// optional negative log prior, both over the full parameter vector x, the
// potential energy on the unconstrained coordinates y of the free elements
//   U(y) = nll(x(y)) + prior(x(y)) - log|det dx/dy|,
// whose exp(-U) is the posterior density carried to y (the change of
// variables adds the log-Jacobian). The map, its Jacobian and their
// derivatives are those of the parameter plan (transforms/parameter_map.h);
// the pullback of the gradient is the mapped objective's. Internal: not
// exported, not installed.
#ifndef VLM_SAMPLE_TARGET_H
#define VLM_SAMPLE_TARGET_H

#include "../optim/mapped_objective.h"

namespace vlm {

// One term of the density: its value and gradient over x, and the stop
// request it raises (read after each evaluation; never null).
struct DensityTerm {
    ValueGradFn value_grad = nullptr;
    void *ctx = nullptr;
    const int *stop = nullptr;
};

struct Target {
    DensityTerm terms[2];
    int term_count = 1;
    // The pullback to y; its value_grad sums the terms (ctx: this Target).
    MappedObjective mapped;
    f64 *g_term = nullptr;  // n_full: the second term's gradient
    f64 *ldj = nullptr;     // 2 m: the log-Jacobian's gradient and work
    int stop = 0;           // a term asked to stop: end the run now
};

// Doubles of memory one Target needs for n_full elements, m of them free.
inline i64 target_values(i64 n_full, i64 m) { return 3 * n_full + 5 * m; }

// Sets up t over `plan` (m = plan.n free elements, element k of y at free[k]
// of x) in `memory` (target_values doubles); x0 gives the fixed elements.
// The terms must be set by the caller.
void target_init(Target &t, const ParamPlan &plan, const i64 *free, i64 n_full, const f64 *x0,
                 f64 *memory);

// U(y) and its gradient into g (ValueGradFn; ctx is the Target). A value
// that is not finite leaves g undefined.
f64 target_potential(const f64 *__restrict y, f64 *__restrict g, void *ctx);

}  // namespace vlm

#endif  // VLM_SAMPLE_TARGET_H
