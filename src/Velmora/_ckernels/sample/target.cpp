// The posterior's potential energy on the unconstrained coordinates.
#include "target.h"

#include <cmath>
#include <cstring>

namespace vlm {
namespace {

// The sum of the terms over x (the mapped objective's value_grad).
f64 sum_of_terms(const f64 *__restrict x, f64 *__restrict g, void *ctx) {
    Target &t = *static_cast<Target *>(ctx);
    const i64 n = t.mapped.n_full;
    f64 f = t.terms[0].value_grad(x, g, t.terms[0].ctx);
    if (*t.terms[0].stop != 0) t.stop = 1;
    if (t.term_count < 2 || t.stop != 0 || !std::isfinite(f)) return f;
    f += t.terms[1].value_grad(x, t.g_term, t.terms[1].ctx);
    if (*t.terms[1].stop != 0) t.stop = 1;
    for (i64 i = 0; i < n; ++i) g[i] += t.g_term[i];
    return f;
}

}  // namespace

void target_init(Target &t, const ParamPlan &plan, const i64 *free, i64 n_full, const f64 *x0,
                 f64 *memory) {
    const i64 m = plan.n;
    t.mapped.value_grad = sum_of_terms;
    t.mapped.ctx = &t;
    t.mapped.n_full = n_full;
    t.mapped.plan = &plan;
    t.mapped.free = free;
    t.mapped.x = memory;
    t.mapped.g_full = memory + n_full;
    t.mapped.scratch = memory + 2 * n_full;
    t.g_term = memory + 2 * n_full + 3 * m;
    t.ldj = t.g_term + n_full;
    std::memcpy(t.mapped.x, x0, static_cast<size_t>(n_full) * sizeof(f64));
    t.stop = 0;
}

f64 target_potential(const f64 *__restrict y, f64 *__restrict g, void *ctx) {
    Target &t = *static_cast<Target *>(ctx);
    const ParamPlan &plan = *t.mapped.plan;
    const f64 f = mapped_value_grad(y, g, &t.mapped);
    // Free elements come first in the plan's grouping and have no Jacobian.
    if (!std::isfinite(f) || plan.start[PARAM_LOWER] == plan.n) return f;
    f64 log_jacobian = 0.0;
    f64 *grad = t.ldj, *work = t.ldj + plan.n;
    param_plan_apply(plan, MapOp::log_abs_det_jacobian, y, &log_jacobian, 1, work);
    param_plan_apply(plan, MapOp::log_abs_det_jacobian_grad, y, grad, 1, work);
    for (i64 k = 0; k < plan.n; ++k) g[k] -= grad[k];
    return f - log_jacobian;
}

}  // namespace vlm
