// A parameter vector mapped element by element, one family segment at a time:
// the elements are grouped by family once (param_plan_group), and every call
// gathers a vector into that order, runs each family's strided loop over its
// segment with the per-element bounds, and scatters the values back.
#include "parameter_map.h"

#include <cstddef>
#include <cstring>

#include "transform_loops.h"

VLM_DECLARE_TRANSFORM_LOOP(lower, fwd)
VLM_DECLARE_TRANSFORM_LOOP(lower, inv)
VLM_DECLARE_TRANSFORM_LOOP(lower, grad_inv)
VLM_DECLARE_TRANSFORM_LOOP(lower, ldet_abs_jac_inv)
VLM_DECLARE_TRANSFORM_LOOP(lower, grad_ldet_abs_jac_inv)
VLM_DECLARE_TRANSFORM_LOOP(upper, fwd)
VLM_DECLARE_TRANSFORM_LOOP(upper, inv)
VLM_DECLARE_TRANSFORM_LOOP(upper, grad_inv)
VLM_DECLARE_TRANSFORM_LOOP(upper, ldet_abs_jac_inv)
VLM_DECLARE_TRANSFORM_LOOP(upper, grad_ldet_abs_jac_inv)
VLM_DECLARE_TRANSFORM_LOOP(aff_logit, fwd)
VLM_DECLARE_TRANSFORM_LOOP(aff_logit, inv)
VLM_DECLARE_TRANSFORM_LOOP(aff_logit, grad_inv)
VLM_DECLARE_TRANSFORM_LOOP(aff_logit, ldet_abs_jac_inv)
VLM_DECLARE_TRANSFORM_LOOP(aff_logit, grad_ldet_abs_jac_inv)
VLM_DECLARE_TRANSFORM_LOOP(aff_probit, fwd)
VLM_DECLARE_TRANSFORM_LOOP(aff_probit, inv)
VLM_DECLARE_TRANSFORM_LOOP(aff_probit, grad_inv)
VLM_DECLARE_TRANSFORM_LOOP(aff_probit, ldet_abs_jac_inv)
VLM_DECLARE_TRANSFORM_LOOP(aff_probit, grad_ldet_abs_jac_inv)

namespace vlm {
namespace {

// The loop of one (operation, family) and the bounds it reads.
struct Step {
    vlm_transform_loop *loop;
    bool low;
    bool high;
};

#define VLM_FAMILY_STEPS(family, lo, hi)                            \
    {                                                               \
        {vlm_##family##_fwd_loop, lo, hi},                          \
        {vlm_##family##_inv_loop, lo, hi},                          \
        {vlm_##family##_grad_inv_loop, lo && hi, lo && hi},         \
        {vlm_##family##_ldet_abs_jac_inv_loop, lo && hi, lo && hi}, \
        {vlm_##family##_grad_ldet_abs_jac_inv_loop, false, false},  \
    }

// By family (lower, upper, aff_logit, aff_probit), then by MapOp. One-sided
// families read their bound in the maps only; the interval families in
// everything but the log-Jacobian's gradient.
constexpr Step STEPS[4][5] = {
    VLM_FAMILY_STEPS(lower, true, false),
    VLM_FAMILY_STEPS(upper, false, true),
    VLM_FAMILY_STEPS(aff_logit, true, true),
    VLM_FAMILY_STEPS(aff_probit, true, true),
};

constexpr std::ptrdiff_t F64 = sizeof(f64);

char *bytes(const f64 *p) { return reinterpret_cast<char *>(const_cast<f64 *>(p)); }

// Grouped positions first .. first + count - 1 of one bounded family, from
// src to dst (which may be the same memory).
void run_step(const Step &step, const ParamPlan &plan, i64 first, i64 count, const f64 *src,
              f64 *dst) {
    char *args[4];
    std::ptrdiff_t steps[4] = {F64, F64, F64, F64};
    int k = 0;
    args[k++] = bytes(src + first);
    if (step.low) args[k++] = bytes(plan.low + first);
    if (step.high) args[k++] = bytes(plan.high + first);
    args[k] = bytes(dst + first);
    step.loop(args, steps, count);
}

// The free elements: the value itself for the maps, 1 for the derivative, 0
// for the log-Jacobian's gradient (and nothing to add to the log-Jacobian).
void run_free(MapOp op, i64 first, i64 count, const f64 *src, f64 *dst) {
    switch (op) {
        case MapOp::to_unconstrained:
        case MapOp::to_constrained:
            if (src != dst)
                std::memmove(dst + first, src + first, static_cast<size_t>(count) * sizeof(f64));
            break;
        case MapOp::constrained_grad:
            for (i64 k = first; k < first + count; ++k) dst[k] = 1.0;
            break;
        case MapOp::log_abs_det_jacobian_grad:
            for (i64 k = first; k < first + count; ++k) dst[k] = 0.0;
            break;
        case MapOp::log_abs_det_jacobian: break;
    }
}

// One vector in grouped order, src to dst (possibly the same memory).
void apply_grouped(const ParamPlan &plan, MapOp op, const f64 *src, f64 *dst) {
    run_free(op, plan.start[PARAM_FREE], plan.start[PARAM_FREE + 1] - plan.start[PARAM_FREE], src,
             dst);
    for (int f = PARAM_LOWER; f < PARAM_FAMILIES; ++f) {
        const i64 first = plan.start[f], count = plan.start[f + 1] - first;
        const Step &step = STEPS[f - PARAM_LOWER][static_cast<int>(op)];
        if (count > 0) run_step(step, plan, first, count, src, dst);
    }
}

// The log-Jacobian of one vector whose per-element terms are in grouped
// order in `terms` (the free elements contribute nothing).
f64 bounded_sum(const ParamPlan &plan, const f64 *terms) {
    f64 sum = 0.0;
    for (i64 k = plan.start[PARAM_LOWER]; k < plan.n; ++k) sum += terms[k];
    return sum;
}

}  // namespace

void param_plan_group(ParamPlan &plan, const unsigned char *family, const f64 *low,
                      const f64 *high) {
    i64 count[PARAM_FAMILIES] = {};
    for (i64 i = 0; i < plan.n; ++i) ++count[family[i]];
    plan.start[0] = 0;
    for (int f = 0; f < PARAM_FAMILIES; ++f) plan.start[f + 1] = plan.start[f] + count[f];
    i64 next[PARAM_FAMILIES];
    std::memcpy(next, plan.start, sizeof next);
    plan.in_order = true;
    for (i64 i = 0; i < plan.n; ++i) {
        const i64 k = next[family[i]]++;
        plan.order[k] = i;
        plan.low[k] = low[i];
        plan.high[k] = high[i];
        plan.in_order &= k == i;
    }
}

void param_plan_apply(const ParamPlan &plan, MapOp op, const f64 *in, f64 *out, i64 rows,
                      f64 *work) {
    const i64 n = plan.n;
    for (i64 r = 0; r < rows; ++r) {
        const f64 *src = in + r * n;
        if (op == MapOp::log_abs_det_jacobian) {
            if (!plan.in_order)
                for (i64 k = 0; k < n; ++k) work[k] = src[plan.order[k]];
            apply_grouped(plan, op, plan.in_order ? src : work, work);
            out[r] = bounded_sum(plan, work);
        } else if (plan.in_order) {
            apply_grouped(plan, op, src, out + r * n);
        } else {
            for (i64 k = 0; k < n; ++k) work[k] = src[plan.order[k]];
            apply_grouped(plan, op, work, work);
            f64 *dst = out + r * n;
            for (i64 k = 0; k < n; ++k) dst[plan.order[k]] = work[k];
        }
    }
}

void param_plan_pullback(const ParamPlan &plan, const f64 *y, i64 rows_y, const f64 *g, i64 rows_g,
                         f64 *out, f64 *work) {
    const i64 n = plan.n;
    if (rows_y == rows_g) {
        param_plan_apply(plan, MapOp::constrained_grad, y, out, rows_y, work);
        for (i64 k = 0; k < rows_g * n; ++k) out[k] *= g[k];
        return;
    }
    // One point: dx/dy into the first output row, which is multiplied last.
    param_plan_apply(plan, MapOp::constrained_grad, y, out, 1, work);
    for (i64 r = rows_g - 1; r >= 0; --r)
        for (i64 k = 0; k < n; ++k) out[r * n + k] = g[r * n + k] * out[k];
}

}  // namespace vlm
