// The unconstrained view of an objective: y -> x through the parameter
// plan, the gradient back through dx/dy.
#include "mapped_objective.h"

namespace vlm {

void mapped_expand(const MappedObjective &m, const f64 *y) {
    const i64 k_free = m.plan->n;
    f64 *xf = m.scratch, *work = m.scratch + k_free;
    param_plan_apply(*m.plan, MapOp::to_constrained, y, xf, 1, work);
    for (i64 k = 0; k < k_free; ++k) m.x[m.free[k]] = xf[k];
}

f64 mapped_value(const f64 *__restrict y, void *ctx) {
    const MappedObjective &m = *static_cast<const MappedObjective *>(ctx);
    mapped_expand(m, y);
    return m.value(m.x, m.ctx);
}

f64 mapped_value_grad(const f64 *__restrict y, f64 *__restrict g, void *ctx) {
    const MappedObjective &m = *static_cast<const MappedObjective *>(ctx);
    mapped_expand(m, y);
    const f64 f = m.value_grad(m.x, m.g_full, m.ctx);
    const i64 k_free = m.plan->n;
    f64 *gx = m.scratch + 2 * k_free, *work = m.scratch + k_free;
    for (i64 k = 0; k < k_free; ++k) gx[k] = m.g_full[m.free[k]];
    param_plan_pullback(*m.plan, y, 1, gx, 1, g, work);
    return f;
}

}  // namespace vlm
