// Normal quantile by AS 241 (PPND16); the tables and the branch-free form
// live in as241_kernel.h.
#include "as241.h"

#include <cmath>
#include <cstdint>

#include "as241_kernel.h"

namespace {

VLM_VECTOR_CLONES
void ndtri_loop(const f64 *__restrict p, i64 n, f64 *__restrict out) {
    vlm_full_vector_passes(n, [&](i64 first, i64 count) __attribute__((always_inline)) {
#pragma omp simd
        for (i64 i = first; i < first + count; ++i) out[i] = ndtri_branch_free(p[i]);
        return false;
    });
}

// Built per instruction set like the array loop, so that both round the same
// way (fused multiply-adds where the processor has them).
VLM_VECTOR_CLONES
f64 ndtri_scalar(f64 p) {
    if (p <= 0.0) return -INFINITY;
    if (p >= 1.0) return INFINITY;
    const f64 q = p - 0.5;
    if (std::fabs(q) <= SPLIT_CENTRAL) {
        const f64 r = SPLIT_CENTRAL_SQ - q * q;
        return (q * as241_poly7(AS241_A, r)) / as241_poly7(AS241_B, r);
    }
    // Tails: work on the smaller tail probability (NaN falls through to 1 - p).
    f64 r = q < 0.0 ? p : 1.0 - p;
    r = std::sqrt(-std::log(r));
    f64 value;
    if (r <= SPLIT_TAIL) {
        r -= SHIFT_NEAR;
        value = as241_poly7(AS241_C, r) / as241_poly7(AS241_D, r);
    } else {
        r -= SHIFT_FAR;
        value = as241_poly7(AS241_E, r) / as241_poly7(AS241_F, r);
    }
    return q < 0.0 ? -value : value;
}

}  // namespace

extern "C" {

f64 vlm_ndtri_as241(f64 p) { return ndtri_scalar(p); }

void vlm_ndtri_as241_into(const f64 *__restrict p, i64 n, f64 *__restrict out) {
    // No buffer holds more doubles than PTRDIFF_MAX / 8.
    if (n > 0 && n <= PTRDIFF_MAX / static_cast<i64>(sizeof(f64))) ndtri_loop(p, n, out);
}

f64 vlm_erfinv_from_as241(f64 y) {
    f64 t = y + 1.0;
    t = t * 0.5;
    t = t / SQRT2;
    return vlm_ndtri_as241(t);
}

}  // extern "C"
