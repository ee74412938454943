// Internal to the ufunc module (never installed): one transform per element
// of a parameter vector, chosen by the element's bounds, applied family by
// family with the strided loops of the transform rows.
#ifndef VLM_PARAMETER_MAP_H
#define VLM_PARAMETER_MAP_H

#include "../_common/vlm_common.h"

namespace vlm {

// The transform of one element: none (the identity), `lower`, `upper`, or
// one of the two interval families.
enum ParamFamily : int { PARAM_FREE, PARAM_LOWER, PARAM_UPPER, PARAM_AFF_LOGIT, PARAM_AFF_PROBIT };
constexpr int PARAM_FAMILIES = 5;

// The family of an element whose bounds are coded as the minimizers code
// them (nbd: 0 none, 1 lower, 2 both, 3 upper); `interval` is the family
// chosen for an element bounded on both sides.
inline unsigned char family_of_bounds(i64 nbd, int interval) {
    switch (nbd) {
        case 1: return PARAM_LOWER;
        case 2: return static_cast<unsigned char>(interval);
        case 3: return PARAM_UPPER;
        default: return PARAM_FREE;
    }
}

// What a map computes for each element of a vector, with x the constrained
// and y the unconstrained value: y from x; x from y; dx/dy; the sum over the
// elements of log|dx/dy|; the derivatives of that sum, d/dy log|dx/dy|.
enum class MapOp {
    to_unconstrained,
    to_constrained,
    constrained_grad,
    log_abs_det_jacobian,
    log_abs_det_jacobian_grad
};

// The elements grouped by family: family f holds the grouped positions
// start[f] .. start[f + 1] - 1, order[k] is the element at grouped position
// k, and low[k], high[k] are its bounds. The three arrays belong to the
// caller.
struct ParamPlan {
    i64 n = 0;
    i64 start[PARAM_FAMILIES + 1] = {};
    i64 *order = nullptr;
    f64 *low = nullptr;
    f64 *high = nullptr;
    bool in_order = false;  // order is the identity: no gather or scatter needed
};

// Fills plan.start, order, low and high (each of n values) from the family
// code and bounds of each element (codes in 0 .. PARAM_FAMILIES - 1); the
// grouping keeps the elements of a family in increasing order.
void param_plan_group(ParamPlan &plan, const unsigned char *family, const f64 *low,
                      const f64 *high);

// `op` on `rows` vectors of n values, one after another in `in`. `out` gets
// rows vectors of n values, or rows values for log_abs_det_jacobian. `work`
// holds n values; it is used for log_abs_det_jacobian and when the plan is
// not in order. `in` may be `out`.
void param_plan_apply(const ParamPlan &plan, MapOp op, const f64 *in, f64 *out, i64 rows,
                      f64 *work);

// grad_y = grad_x * dx/dy for rows_g gradient vectors in `g`, at the rows_y
// points in `y` (rows_y is 1, one point for every gradient, or rows_g).
// `out` gets rows_g vectors; `work` holds n values.
void param_plan_pullback(const ParamPlan &plan, const f64 *y, i64 rows_y, const f64 *g, i64 rows_g,
                         f64 *out, f64 *work);

}  // namespace vlm

#endif  // VLM_PARAMETER_MAP_H
