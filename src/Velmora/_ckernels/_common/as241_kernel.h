// Internal to the native units: the AS 241 coefficient tables and the
// quantile written without branches, for loops that vectorise. Everything
// here has internal linkage; the exported entry points are in as241.h.
//
// M. J. Wichura, "The percentage points of the normal distribution",
// Applied Statistics 37 (1988) 477-484, algorithm PPND16: rational
// approximations of degree 7/7 in three regions.
#ifndef VLM_AS241_KERNEL_H
#define VLM_AS241_KERNEL_H

#include <cmath>

#include "vlm_common.h"
#include "vlm_vecmath.h"

namespace {

// Central region, |p - 0.5| <= 0.425: numerator a0..a7, denominator 1, b1..b7.
constexpr f64 AS241_A[8] = {3.3871328727963666080e0,  1.3314166789178437745e+2,
                            1.9715909503065514427e+3, 1.3731693765509461125e+4,
                            4.5921953931549871457e+4, 6.7265770927008700853e+4,
                            3.3430575583588128105e+4, 2.5090809287301226727e+3};
constexpr f64 AS241_B[8] = {1.0,
                            4.2313330701600911252e+1,
                            6.8718700749205790830e+2,
                            5.3941960214247511077e+3,
                            2.1213794301586595867e+4,
                            3.9307895800092710610e+4,
                            2.8729085735721942674e+4,
                            5.2264952788528545610e+3};

// Near tail, sqrt(-log r) <= 5: variable shifted by 1.6.
constexpr f64 AS241_C[8] = {1.42343711074968357734e0,  4.63033784615654529590e0,
                            5.76949722146069140550e0,  3.64784832476320460504e0,
                            1.27045825245236838258e0,  2.41780725177450611770e-1,
                            2.27238449892691845833e-2, 7.74545014278341407640e-4};
constexpr f64 AS241_D[8] = {1.0,
                            2.05319162663775882187e0,
                            1.67638483018380384940e0,
                            6.89767334985100004550e-1,
                            1.48103976427480074590e-1,
                            1.51986665636164571966e-2,
                            5.47593808499534494600e-4,
                            1.05075007164441684324e-9};

// Far tail, sqrt(-log r) > 5: variable shifted by 5.
constexpr f64 AS241_E[8] = {6.65790464350110377720e0,  5.46378491116411436990e0,
                            1.78482653991729133580e0,  2.96560571828504891230e-1,
                            2.65321895265761230930e-2, 1.24266094738807843860e-3,
                            2.71155556874348757815e-5, 2.01033439929228813265e-7};
constexpr f64 AS241_F[8] = {1.0,
                            5.99832206555887937690e-1,
                            1.36929880922735805310e-1,
                            1.48753612908506148525e-2,
                            7.86869131145613259100e-4,
                            1.84631831751005468180e-5,
                            1.42151175831644588870e-7,
                            2.04426310338993978564e-15};

constexpr f64 SPLIT_CENTRAL = 0.425;
constexpr f64 SPLIT_CENTRAL_SQ = 0.180625;
constexpr f64 SPLIT_TAIL = 5.0;
constexpr f64 SHIFT_NEAR = 1.6;
constexpr f64 SHIFT_FAR = 5.0;
constexpr f64 SQRT2 = 1.4142135623730951;

// Horner's rule, highest coefficient first.
[[gnu::always_inline]] inline f64 as241_poly7(const f64 *c, f64 x) {
    f64 y = c[7];
    for (int i = 6; i >= 0; --i) y = y * x + c[i];
    return y;
}

// The three rational approximations. Each is written once and used both by
// the scalar quantile and by the array loops; built for the same instruction
// set, a scalar and a vector evaluation round alike (the compiler fuses the
// same multiply-adds, where the instruction set has them).
//
// Central region, |q| <= 0.425 with q = p - 0.5.
[[gnu::always_inline]] inline f64 ndtri_central(f64 q) {
    const f64 r = SPLIT_CENTRAL_SQ - q * q;
    return (q * as241_poly7(AS241_A, r)) / as241_poly7(AS241_B, r);
}
// Near tail, r = sqrt(-log(min(p, 1 - p))) <= 5.
[[gnu::always_inline]] inline f64 ndtri_near_tail(f64 r) {
    const f64 s = r - SHIFT_NEAR;
    return as241_poly7(AS241_C, s) / as241_poly7(AS241_D, s);
}
// Far tail, r > 5.
[[gnu::always_inline]] inline f64 ndtri_far_tail(f64 r) {
    const f64 s = r - SHIFT_FAR;
    return as241_poly7(AS241_E, s) / as241_poly7(AS241_F, s);
}

// Whether q = p - 0.5 selects the central formula (false for NaN).
[[gnu::always_inline]] inline bool ndtri_is_central(f64 q) { return std::fabs(q) <= SPLIT_CENTRAL; }

// The quantile with every region evaluated and the answer chosen by selects,
// so that a loop over it vectorises (the probit transforms' array forms).
// Lanes of the other regions compute harmless values (log of a central p,
// NaN or infinities) that are dropped. With the vector logarithm the tails
// may differ from vlm_ndtri_as241 in the last bits.
[[gnu::always_inline]] inline f64 ndtri_branch_free(f64 p) {
    const f64 q = p - 0.5;
    const f64 central = ndtri_central(q);
    const f64 r = std::sqrt(-std::log(q < 0.0 ? p : 1.0 - p));
    f64 tail = r <= SPLIT_TAIL ? ndtri_near_tail(r) : ndtri_far_tail(r);
    tail = q < 0.0 ? -tail : tail;
    f64 value = ndtri_is_central(q) ? central : tail;
    value = p <= 0.0 ? -INFINITY : value;
    return p >= 1.0 ? INFINITY : value;
}

}  // namespace

#endif  // VLM_AS241_KERNEL_H
