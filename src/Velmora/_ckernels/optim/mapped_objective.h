// An objective over a full parameter vector x seen from the unconstrained
// coordinates y of its free elements: x_free = to_constrained(y) element by
// element (a ParamPlan), the fixed elements keep the values the caller put in
// x, and a gradient with respect to x is pulled back to y (chain rule). An
// estimator minimizes over y, where no bound is left, and differences the
// Hessian there. Everything is native; one MappedObjective serves one run at
// a time (it owns the vectors it writes). Internal: not exported, not
// installed.
#ifndef VLM_MAPPED_OBJECTIVE_H
#define VLM_MAPPED_OBJECTIVE_H

#include "../transforms/parameter_map.h"
#include "optim_driver.h"

namespace vlm {

struct MappedObjective {
    // The objective over the full x (n_full values): its value, and its value
    // and gradient when it has one (null otherwise), with their context.
    vlm_objective_fn value = nullptr;
    ValueGradFn value_grad = nullptr;
    void *ctx = nullptr;
    i64 n_full = 0;

    // The free elements: plan->n of them; element k of y maps to element
    // free[k] of x.
    const ParamPlan *plan = nullptr;
    const i64 *free = nullptr;

    // Caller-owned memory. x: the full vector, fixed elements set by the
    // caller (the free ones are written on every call); g_full: n_full
    // values; scratch: 3 * plan->n values.
    f64 *x = nullptr;
    f64 *g_full = nullptr;
    f64 *scratch = nullptr;
};

// Writes the free elements of m.x for the point y.
void mapped_expand(const MappedObjective &m, const f64 *y);

// The objective at y (vlm_objective_fn; ctx is the MappedObjective).
f64 mapped_value(const f64 *__restrict y, void *ctx);

// The objective at y and its gradient with respect to y into g (ValueGradFn;
// ctx is the MappedObjective, whose value_grad must be set). A value that is
// not finite leaves g undefined, as the inner objective may.
f64 mapped_value_grad(const f64 *__restrict y, f64 *__restrict g, void *ctx);

}  // namespace vlm

#endif  // VLM_MAPPED_OBJECTIVE_H
