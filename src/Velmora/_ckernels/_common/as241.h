/* Standard normal quantile by Wichura's AS 241 (PPND16, sixteen digits). */
#ifndef VLM_AS241_H
#define VLM_AS241_H

#include "vlm_common.h"

VLM_EXTERN_C_BEGIN

/* Quantile of the standard normal distribution: -inf for p <= 0, +inf for
   p >= 1, NaN for NaN. */
VLM_EXPORT f64 vlm_ndtri_as241(f64 p);

/* out[i] = vlm_ndtri_as241(p[i]) for i = 0 .. n-1; nothing for n <= 0.
   p and out must not overlap. */
VLM_EXPORT void vlm_ndtri_as241_into(const f64 *p, i64 n, f64 *out);

/* vlm_ndtri_as241(((y + 1) * 0.5) / sqrt(2)), exactly this composition. */
VLM_EXPORT f64 vlm_erfinv_from_as241(f64 y);

VLM_EXTERN_C_END

#endif /* VLM_AS241_H */
