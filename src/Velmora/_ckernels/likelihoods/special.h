// Special functions of the likelihood kernels: lgamma without the global
// sign, digamma, log of the standard normal survival function and its hazard.
#ifndef VLM_LIK_SPECIAL_H
#define VLM_LIK_SPECIAL_H

#include <cmath>

#include "vlm_common.h"

namespace vlm::lik {

constexpr f64 LOG_SQRT_2PI = 0.91893853320467274178;  // log(sqrt(2 pi))
constexpr f64 PI = 3.14159265358979323846;
constexpr f64 EULER_GAMMA = 0.57721566490153286061;

// log|Gamma(x)|. The reentrant form: lgamma() writes the global signgam,
// which worker threads of fit_many would race on.
inline f64 log_gamma(f64 x) {
#if defined(__GLIBC__) || defined(__APPLE__)
    int sign;
    return ::lgamma_r(x, &sign);
#else
    return std::lgamma(x);
#endif
}

// digamma(x) for x > 0: the recurrence psi(x) = psi(x + 1) - 1/x (Abramowitz
// and Stegun 6.3.5) lifts x to at least 10, where the asymptotic series
// psi(x) ~ ln x - 1/(2x) - sum B_2k / (2k x^2k) (A&S 6.3.18, Bernoulli
// numbers B_2 .. B_12) has a remainder below 1e-17 relative.
inline f64 digamma(f64 x) {
    if (!(x > 0.0)) return x == 0.0 ? -HUGE_VAL : NAN;
    f64 shift = 0.0;
    while (x < 10.0) {
        shift -= 1.0 / x;
        x += 1.0;
    }
    const f64 r = 1.0 / (x * x);
    const f64 series =
        r *
        (1.0 / 12 -
         r * (1.0 / 120 - r * (1.0 / 252 - r * (1.0 / 240 - r * (1.0 / 132 - r * 691.0 / 32760)))));
    return shift + std::log(x) - 0.5 / x - series;
}

// log(1 + r^2) without overflow of r^2 for huge |r|.
inline f64 log1p_square(f64 r) {
    const f64 a = std::fabs(r);
    if (a > 1.0) return 2.0 * std::log(a) + std::log1p(1.0 / (a * a));
    return std::log1p(a * a);
}

// log Q(z) = log P(Z > z) for the standard normal, with the hazard
// phi(z)/Q(z) in *hazard (the derivative of -log Q). Below z = 30, erfc
// keeps Q to full relative precision (Q(30) ~ 5e-198); beyond, the Mills
// ratio R = Q/phi comes from Laplace's continued fraction
// R(z) = 1/(z + 1/(z + 2/(z + 3/(z + ...)))), which at z >= 30 has
// converged to double precision after a dozen terms (Abramowitz and Stegun
// 26.2.14).
inline f64 log_normal_survival(f64 z, f64 *hazard) {
    const f64 log_phi = -0.5 * z * z - LOG_SQRT_2PI;
    if (z < 30.0) {
        // Below 0, Q = 1 - P(Z > -z): log1p keeps log Q exact where Q is near 1.
        const f64 log_q = z < 0.0 ? std::log1p(-0.5 * std::erfc(-z * 0.70710678118654752440))
                                  : std::log(0.5 * std::erfc(z * 0.70710678118654752440));
        *hazard = std::exp(log_phi - log_q);
        return log_q;
    }
    f64 tail = z;  // evaluated from the 40th level of the fraction upwards
    for (int k = 40; k >= 1; --k) tail = z + k / tail;
    const f64 mills = 1.0 / tail;
    *hazard = tail;
    return log_phi + std::log(mills);
}

}  // namespace vlm::lik

#endif  // VLM_LIK_SPECIAL_H
