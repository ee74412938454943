// Normal quantile by AS 241 (M. J. Wichura, "The percentage points of the
// normal distribution", Applied Statistics 37 (1988) 477-484), algorithm
// PPND16: rational approximations of degree 7/7 in three regions.
#include "as241.h"

#include <cmath>

// glibc's vector math library (libmvec) has SIMD variants of log; its header
// announces them only under -ffast-math, so declare them here.
extern "C" {
#pragma omp declare simd notinbranch
double log(double) noexcept;
}

namespace {

// Central region, |p - 0.5| <= 0.425: numerator a0..a7, denominator 1, b1..b7.
constexpr f64 AS241_A[8] = {
    3.3871328727963666080e0,  1.3314166789178437745e+2, 1.9715909503065514427e+3,
    1.3731693765509461125e+4, 4.5921953931549871457e+4, 6.7265770927008700853e+4,
    3.3430575583588128105e+4, 2.5090809287301226727e+3};
constexpr f64 AS241_B[8] = {
    1.0,                      4.2313330701600911252e+1, 6.8718700749205790830e+2,
    5.3941960214247511077e+3, 2.1213794301586595867e+4, 3.9307895800092710610e+4,
    2.8729085735721942674e+4, 5.2264952788528545610e+3};

// Near tail, sqrt(-log r) <= 5: variable shifted by 1.6.
constexpr f64 AS241_C[8] = {
    1.42343711074968357734e0, 4.63033784615654529590e0, 5.76949722146069140550e0,
    3.64784832476320460504e0, 1.27045825245236838258e0, 2.41780725177450611770e-1,
    2.27238449892691845833e-2, 7.74545014278341407640e-4};
constexpr f64 AS241_D[8] = {
    1.0,                       2.05319162663775882187e0, 1.67638483018380384940e0,
    6.89767334985100004550e-1, 1.48103976427480074590e-1, 1.51986665636164571966e-2,
    5.47593808499534494600e-4, 1.05075007164441684324e-9};

// Far tail, sqrt(-log r) > 5: variable shifted by 5.
constexpr f64 AS241_E[8] = {
    6.65790464350110377720e0,  5.46378491116411436990e0,  1.78482653991729133580e0,
    2.96560571828504891230e-1, 2.65321895265761230930e-2, 1.24266094738807843860e-3,
    2.71155556874348757815e-5, 2.01033439929228813265e-7};
constexpr f64 AS241_F[8] = {
    1.0,                       5.99832206555887937690e-1, 1.36929880922735805310e-1,
    1.48753612908506148525e-2, 7.86869131145613259100e-4, 1.84631831751005468180e-5,
    1.42151175831644588870e-7, 2.04426310338993978564e-15};

constexpr f64 SPLIT_CENTRAL = 0.425;
constexpr f64 SPLIT_CENTRAL_SQ = 0.180625;
constexpr f64 SPLIT_TAIL = 5.0;
constexpr f64 SHIFT_NEAR = 1.6;
constexpr f64 SHIFT_FAR = 5.0;
constexpr f64 SQRT2 = 1.4142135623730951;

// Horner's rule, highest coefficient first.
inline f64 as241_poly7(const f64 *c, f64 x) {
    f64 y = c[7];
    for (int i = 6; i >= 0; --i) y = y * x + c[i];
    return y;
}

// The quantile with every region evaluated and the answer chosen by selects,
// so that a loop over it vectorises. Lanes of the other regions compute
// harmless values (log of a central p, NaN or infinities) that are dropped.
[[gnu::always_inline]] inline f64 ndtri_branch_free(f64 p) {
    const f64 q = p - 0.5;
    const f64 rc = SPLIT_CENTRAL_SQ - q * q;
    const f64 central = (q * as241_poly7(AS241_A, rc)) / as241_poly7(AS241_B, rc);
    const f64 r = std::sqrt(-log(q < 0.0 ? p : 1.0 - p));
    const f64 rn = r - SHIFT_NEAR;
    const f64 rf = r - SHIFT_FAR;
    const f64 near = as241_poly7(AS241_C, rn) / as241_poly7(AS241_D, rn);
    const f64 far = as241_poly7(AS241_E, rf) / as241_poly7(AS241_F, rf);
    f64 tail = r <= SPLIT_TAIL ? near : far;
    tail = q < 0.0 ? -tail : tail;
    f64 value = std::fabs(q) <= SPLIT_CENTRAL ? central : tail;
    value = p <= 0.0 ? -INFINITY : value;
    return p >= 1.0 ? INFINITY : value;
}

// One instance per instruction set, chosen when the library is loaded.
[[gnu::target_clones("default", "avx2", "arch=x86-64-v4")]]
void ndtri_loop(const f64 *__restrict p, i64 n, f64 *__restrict out) {
#pragma omp simd
    for (i64 i = 0; i < n; ++i) out[i] = ndtri_branch_free(p[i]);
}

}  // namespace

extern "C" {

// Cloned like the array loop, so that both round the same way (fused
// multiply-adds where the processor has them).
[[gnu::target_clones("default", "avx2", "arch=x86-64-v4")]]
f64 vlm_ndtri_as241(f64 p) {
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

void vlm_ndtri_as241_into(const f64 *__restrict p, i64 n, f64 *__restrict out) {
    if (n > 0) ndtri_loop(p, n, out);
}

f64 vlm_erfinv_from_as241(f64 y) {
    f64 t = y + 1.0;
    t = t * 0.5;
    t = t / SQRT2;
    return vlm_ndtri_as241(t);
}

}  // extern "C"
