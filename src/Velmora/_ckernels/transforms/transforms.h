/* Transforms between a constrained parameter domain and the real line.

   Nine families, each with seven operations, in a scalar form and an array
   form. With x the constrained value and y = T(x) the unconstrained one:

     fwd                    reads x, writes y = T(x)
     inv                    reads y, writes x = T^-1(y)
     grad_fwd               reads x, writes dT/dx
     grad_inv               reads y, writes dT^-1/dy
     ldet_abs_jac_fwd       reads x, writes log|dT/dx|
     ldet_abs_jac_inv       reads y, writes log|dT^-1/dy|
     grad_ldet_abs_jac_inv  reads y, writes d/dy log|dT^-1/dy|

   Scalar forms read one value and write one value; input and output may be
   the same variable. Array forms apply the scalar operation to elements
   0 .. n-1 in order, do nothing for n <= 0, and require input and output not
   to overlap. Bounds (low, high, a, b) point to single values, never into the
   output. No domain checks: outside the domain the result is whatever the
   formula gives in IEEE arithmetic (NaN, +-inf). */
#ifndef VLM_TRANSFORMS_H
#define VLM_TRANSFORMS_H

#include "../_common/vlm_common.h"

#ifdef __cplusplus
#define VLM_RESTRICT __restrict
#else
#define VLM_RESTRICT restrict
#endif

/* The unit variable of the affine families: z = (x - a)/(b - a) ... */
static inline void vlm_affine_to_unit(const f64 *x, f64 *y, const f64 *a, const f64 *b) {
    *y = (*x - *a) / (*b - *a);
}

/* ... and back: x = a + (b - a) z. */
static inline void vlm_unit_to_affine(const f64 *y, f64 *x, const f64 *a, const f64 *b) {
    *x = *a + (*b - *a) * *y;
}

VLM_EXTERN_C_BEGIN

/* log: x > 0, T(x) = log x */
VLM_EXPORT void vlm_log_fwd(const f64 *x, f64 *y);
VLM_EXPORT void vlm_log_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y, i64 n);
VLM_EXPORT void vlm_log_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_log_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x, i64 n);
VLM_EXPORT void vlm_log_grad_fwd(const f64 *x, f64 *y);
VLM_EXPORT void vlm_log_grad_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y, i64 n);
VLM_EXPORT void vlm_log_grad_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_log_grad_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x, i64 n);
VLM_EXPORT void vlm_log_ldet_abs_jac_fwd(const f64 *x, f64 *y);
VLM_EXPORT void vlm_log_ldet_abs_jac_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y, i64 n);
VLM_EXPORT void vlm_log_ldet_abs_jac_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_log_ldet_abs_jac_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x, i64 n);
VLM_EXPORT void vlm_log_grad_ldet_abs_jac_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_log_grad_ldet_abs_jac_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x,
                                                  i64 n);

/* logit: 0 < x < 1, T(x) = log(x/(1 - x)) */
VLM_EXPORT void vlm_logit_fwd(const f64 *x, f64 *y);
VLM_EXPORT void vlm_logit_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y, i64 n);
VLM_EXPORT void vlm_logit_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_logit_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x, i64 n);
VLM_EXPORT void vlm_logit_grad_fwd(const f64 *x, f64 *y);
VLM_EXPORT void vlm_logit_grad_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y, i64 n);
VLM_EXPORT void vlm_logit_grad_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_logit_grad_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x, i64 n);
VLM_EXPORT void vlm_logit_ldet_abs_jac_fwd(const f64 *x, f64 *y);
VLM_EXPORT void vlm_logit_ldet_abs_jac_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y,
                                               i64 n);
VLM_EXPORT void vlm_logit_ldet_abs_jac_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_logit_ldet_abs_jac_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x,
                                               i64 n);
VLM_EXPORT void vlm_logit_grad_ldet_abs_jac_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_logit_grad_ldet_abs_jac_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x,
                                                    i64 n);

/* probit: 0 < x < 1, T = standard normal quantile */
VLM_EXPORT void vlm_probit_fwd(const f64 *x, f64 *y);
VLM_EXPORT void vlm_probit_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y, i64 n);
VLM_EXPORT void vlm_probit_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_probit_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x, i64 n);
VLM_EXPORT void vlm_probit_grad_fwd(const f64 *x, f64 *y);
VLM_EXPORT void vlm_probit_grad_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y, i64 n);
VLM_EXPORT void vlm_probit_grad_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_probit_grad_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x, i64 n);
VLM_EXPORT void vlm_probit_ldet_abs_jac_fwd(const f64 *x, f64 *y);
VLM_EXPORT void vlm_probit_ldet_abs_jac_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y,
                                                i64 n);
VLM_EXPORT void vlm_probit_ldet_abs_jac_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_probit_ldet_abs_jac_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x,
                                                i64 n);
VLM_EXPORT void vlm_probit_grad_ldet_abs_jac_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_probit_grad_ldet_abs_jac_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x,
                                                     i64 n);

/* aff_logit: a < x < b, T(x) = logit((x - a)/(b - a)) */
VLM_EXPORT void vlm_aff_logit_fwd(const f64 *x, f64 *y, const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_logit_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y, i64 n,
                                      const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_logit_inv(const f64 *y, f64 *x, const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_logit_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x, i64 n,
                                      const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_logit_grad_fwd(const f64 *x, f64 *y, const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_logit_grad_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y, i64 n,
                                           const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_logit_grad_inv(const f64 *y, f64 *x, const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_logit_grad_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x, i64 n,
                                           const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_logit_ldet_abs_jac_fwd(const f64 *x, f64 *y, const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_logit_ldet_abs_jac_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y,
                                                   i64 n, const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_logit_ldet_abs_jac_inv(const f64 *y, f64 *x, const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_logit_ldet_abs_jac_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x,
                                                   i64 n, const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_logit_grad_ldet_abs_jac_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_aff_logit_grad_ldet_abs_jac_inv_arr(const f64 *VLM_RESTRICT y,
                                                        f64 *VLM_RESTRICT x, i64 n);

/* aff_probit: a < x < b, T(x) = probit((x - a)/(b - a)) */
VLM_EXPORT void vlm_aff_probit_fwd(const f64 *x, f64 *y, const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_probit_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y, i64 n,
                                       const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_probit_inv(const f64 *y, f64 *x, const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_probit_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x, i64 n,
                                       const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_probit_grad_fwd(const f64 *x, f64 *y, const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_probit_grad_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y, i64 n,
                                            const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_probit_grad_inv(const f64 *y, f64 *x, const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_probit_grad_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x, i64 n,
                                            const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_probit_ldet_abs_jac_fwd(const f64 *x, f64 *y, const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_probit_ldet_abs_jac_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y,
                                                    i64 n, const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_probit_ldet_abs_jac_inv(const f64 *y, f64 *x, const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_probit_ldet_abs_jac_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x,
                                                    i64 n, const f64 *a, const f64 *b);
VLM_EXPORT void vlm_aff_probit_grad_ldet_abs_jac_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_aff_probit_grad_ldet_abs_jac_inv_arr(const f64 *VLM_RESTRICT y,
                                                         f64 *VLM_RESTRICT x, i64 n);

/* softplus: x > 0, T(x) = log(e^x - 1), T^-1(y) = log(1 + e^y) */
VLM_EXPORT void vlm_softplus_fwd(const f64 *x, f64 *y);
VLM_EXPORT void vlm_softplus_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y, i64 n);
VLM_EXPORT void vlm_softplus_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_softplus_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x, i64 n);
VLM_EXPORT void vlm_softplus_grad_fwd(const f64 *x, f64 *y);
VLM_EXPORT void vlm_softplus_grad_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y, i64 n);
VLM_EXPORT void vlm_softplus_grad_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_softplus_grad_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x, i64 n);
VLM_EXPORT void vlm_softplus_ldet_abs_jac_fwd(const f64 *x, f64 *y);
VLM_EXPORT void vlm_softplus_ldet_abs_jac_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y,
                                                  i64 n);
VLM_EXPORT void vlm_softplus_ldet_abs_jac_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_softplus_ldet_abs_jac_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x,
                                                  i64 n);
VLM_EXPORT void vlm_softplus_grad_ldet_abs_jac_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_softplus_grad_ldet_abs_jac_inv_arr(const f64 *VLM_RESTRICT y,
                                                       f64 *VLM_RESTRICT x, i64 n);

/* lower: x > low, T(x) = log(x - low) */
VLM_EXPORT void vlm_lower_fwd(const f64 *x, f64 *y, const f64 *low);
VLM_EXPORT void vlm_lower_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y, i64 n,
                                  const f64 *low);
VLM_EXPORT void vlm_lower_inv(const f64 *y, f64 *x, const f64 *low);
VLM_EXPORT void vlm_lower_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x, i64 n,
                                  const f64 *low);
VLM_EXPORT void vlm_lower_grad_fwd(const f64 *x, f64 *y, const f64 *low);
VLM_EXPORT void vlm_lower_grad_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y, i64 n,
                                       const f64 *low);
VLM_EXPORT void vlm_lower_grad_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_lower_grad_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x, i64 n);
VLM_EXPORT void vlm_lower_ldet_abs_jac_fwd(const f64 *x, f64 *y, const f64 *low);
VLM_EXPORT void vlm_lower_ldet_abs_jac_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y,
                                               i64 n, const f64 *low);
VLM_EXPORT void vlm_lower_ldet_abs_jac_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_lower_ldet_abs_jac_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x,
                                               i64 n);
VLM_EXPORT void vlm_lower_grad_ldet_abs_jac_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_lower_grad_ldet_abs_jac_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x,
                                                    i64 n);

/* upper: x < high, T(x) = log(high - x) */
VLM_EXPORT void vlm_upper_fwd(const f64 *x, f64 *y, const f64 *high);
VLM_EXPORT void vlm_upper_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y, i64 n,
                                  const f64 *high);
VLM_EXPORT void vlm_upper_inv(const f64 *y, f64 *x, const f64 *high);
VLM_EXPORT void vlm_upper_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x, i64 n,
                                  const f64 *high);
VLM_EXPORT void vlm_upper_grad_fwd(const f64 *x, f64 *y, const f64 *high);
VLM_EXPORT void vlm_upper_grad_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y, i64 n,
                                       const f64 *high);
VLM_EXPORT void vlm_upper_grad_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_upper_grad_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x, i64 n);
VLM_EXPORT void vlm_upper_ldet_abs_jac_fwd(const f64 *x, f64 *y, const f64 *high);
VLM_EXPORT void vlm_upper_ldet_abs_jac_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y,
                                               i64 n, const f64 *high);
VLM_EXPORT void vlm_upper_ldet_abs_jac_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_upper_ldet_abs_jac_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x,
                                               i64 n);
VLM_EXPORT void vlm_upper_grad_ldet_abs_jac_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_upper_grad_ldet_abs_jac_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x,
                                                    i64 n);

/* tanh: -1 < x < 1, T(x) = atanh x */
VLM_EXPORT void vlm_tanh_fwd(const f64 *x, f64 *y);
VLM_EXPORT void vlm_tanh_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y, i64 n);
VLM_EXPORT void vlm_tanh_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_tanh_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x, i64 n);
VLM_EXPORT void vlm_tanh_grad_fwd(const f64 *x, f64 *y);
VLM_EXPORT void vlm_tanh_grad_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y, i64 n);
VLM_EXPORT void vlm_tanh_grad_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_tanh_grad_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x, i64 n);
VLM_EXPORT void vlm_tanh_ldet_abs_jac_fwd(const f64 *x, f64 *y);
VLM_EXPORT void vlm_tanh_ldet_abs_jac_fwd_arr(const f64 *VLM_RESTRICT x, f64 *VLM_RESTRICT y,
                                              i64 n);
VLM_EXPORT void vlm_tanh_ldet_abs_jac_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_tanh_ldet_abs_jac_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x,
                                              i64 n);
VLM_EXPORT void vlm_tanh_grad_ldet_abs_jac_inv(const f64 *y, f64 *x);
VLM_EXPORT void vlm_tanh_grad_ldet_abs_jac_inv_arr(const f64 *VLM_RESTRICT y, f64 *VLM_RESTRICT x,
                                                   i64 n);

VLM_EXTERN_C_END

#endif /* VLM_TRANSFORMS_H */
