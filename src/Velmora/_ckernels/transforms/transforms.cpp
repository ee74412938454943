// The 126 transform kernels, written as two tables of element formulas.
//
// Each row of the tables below states one operation's formula once, as a
// lambda of the input value (and pointers to the bounds, if the operation has
// any). The macros stamp out the exported scalar kernel and array kernel of
// that row from the two generic forms `scalar_form` and `array_form`. Two
// operations compute nothing: COPY (the log-Jacobian y of the log-type
// families, one block copy) and FILL (its derivative 1, stored without
// reading the input).
#include "transforms.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "as241_kernel.h"
#include "vlm_vecmath.h"

namespace {

struct Copy {};
struct Fill {};
constexpr Copy COPY{};
constexpr Fill FILL{};

template <auto F>
constexpr bool is_copy = std::is_same_v<std::remove_cv_t<decltype(F)>, Copy>;
template <auto F>
constexpr bool is_fill = std::is_same_v<std::remove_cv_t<decltype(F)>, Fill>;

// One value: the input is read before the output is written, so both may be
// the same variable.
template <auto F, class... Bounds>
inline void scalar_form(const f64 *in, f64 *out, Bounds... bounds) {
    if constexpr (is_copy<F>) {
        *out = *in;
    } else if constexpr (is_fill<F>) {
        *out = 1.0;
    } else {
        *out = F(*in, bounds...);
    }
}

// n values in increasing order over non-overlapping buffers. The formula is
// inlined into a counted loop, and the elementary functions have vector
// versions (vlm_vecmath.h), so every formula vectorises; each exported array
// kernel is built per instruction set.
template <auto F, class... Bounds>
VLM_VECTOR_CLONES void array_form(const f64 *__restrict in, f64 *__restrict out, i64 n, Bounds... bounds) {
    // No buffer holds more doubles than PTRDIFF_MAX / 8 (beyond, n * 8 wraps).
    if (n <= 0 || n > PTRDIFF_MAX / static_cast<i64>(sizeof(f64))) return;
    if constexpr (is_copy<F>) {
        std::memcpy(out, in, static_cast<size_t>(n) * sizeof(f64));
    } else if constexpr (is_fill<F>) {
#pragma omp simd
        for (i64 i = 0; i < n; ++i) out[i] = 1.0;
    } else {
#pragma omp simd
        for (i64 i = 0; i < n; ++i) out[i] = F(in[i], bounds...);
    }
}

}  // namespace

// The exported pair of one row: no bounds, one bound (`lower`, `upper`), or
// the two ends a, b of the affine families.
#define VLM_TRANSFORM(family, op, ...)                                                      \
    namespace {                                                                             \
    constexpr auto family##_##op = __VA_ARGS__;                                             \
    }                                                                                       \
    void vlm_##family##_##op(const f64 *in, f64 *out) { scalar_form<family##_##op>(in, out); } \
    void vlm_##family##_##op##_arr(const f64 *__restrict in, f64 *__restrict out, i64 n) {   \
        array_form<family##_##op>(in, out, n);                                              \
    }

#define VLM_TRANSFORM_B(family, op, ...)                                                    \
    namespace {                                                                             \
    constexpr auto family##_##op = __VA_ARGS__;                                             \
    }                                                                                       \
    void vlm_##family##_##op(const f64 *in, f64 *out, const f64 *bound) {                   \
        scalar_form<family##_##op>(in, out, bound);                                         \
    }                                                                                       \
    void vlm_##family##_##op##_arr(const f64 *__restrict in, f64 *__restrict out, i64 n,\
                                   const f64 *bound) {                                      \
        array_form<family##_##op>(in, out, n, bound);                                       \
    }

#define VLM_TRANSFORM_AB(family, op, ...)                                                   \
    namespace {                                                                             \
    constexpr auto family##_##op = __VA_ARGS__;                                             \
    }                                                                                       \
    void vlm_##family##_##op(const f64 *in, f64 *out, const f64 *a, const f64 *b) {         \
        scalar_form<family##_##op>(in, out, a, b);                                          \
    }                                                                                       \
    void vlm_##family##_##op##_arr(const f64 *__restrict in, f64 *__restrict out, i64 n,\
                                   const f64 *a, const f64 *b) {                            \
        array_form<family##_##op>(in, out, n, a, b);                                        \
    }

namespace {

constexpr f64 INV_SQRT_2PI = 0.3989422804014327;  // 1/sqrt(2 pi)
constexpr f64 LN2 = 0.6931471805599453;

// log(1 + e^t) without overflow: for t > 0 factor out e^t. NaN fails the test
// and takes the second branch, which keeps it NaN.
inline f64 vlm_softplus_val(f64 t) {
    return t > 0.0 ? t + std::log1p(std::exp(-t)) : std::log1p(std::exp(t));
}

inline f64 vlm_std_norm_pdf(f64 z) { return INV_SQRT_2PI * std::exp(-0.5 * z * z); }

inline f64 vlm_std_norm_cdf(f64 z) { return 0.5 * std::erfc(-z / SQRT2); }

// log(sech^2 y) = 2 (log 2 - |y| - log(1 + e^(-2|y|))): finite where cosh
// overflows.
inline f64 vlm_log_sech2(f64 y) {
    const f64 ay = std::fabs(y);
    return 2.0 * (LN2 - ay - std::log1p(std::exp(-2.0 * ay)));
}

// The affine families: T(x) = U((x - a)/(b - a)) for a unit-interval family
// U, composed from U's exported scalar kernels (Unit::op below). The chain
// rule contributes the factor 1/(b - a) to dT/dx and log(b - a) to the
// log-Jacobians; neither bound is validated.
using UnitKernel = void (*)(const f64 *, f64 *);

template <UnitKernel U>
constexpr auto affine_fwd = [](f64 x, const f64 *a, const f64 *b) {
    f64 z, y;
    vlm_affine_to_unit(&x, &z, a, b);
    U(&z, &y);
    return y;
};
template <UnitKernel U>
constexpr auto affine_inv = [](f64 y, const f64 *a, const f64 *b) {
    f64 z, x;
    U(&y, &z);
    vlm_unit_to_affine(&z, &x, a, b);
    return x;
};
template <UnitKernel U>
constexpr auto affine_grad_fwd = [](f64 x, const f64 *a, const f64 *b) {
    f64 z, y;
    vlm_affine_to_unit(&x, &z, a, b);
    U(&z, &y);
    return y / (*b - *a);
};
template <UnitKernel U>
constexpr auto affine_grad_inv = [](f64 y, const f64 *a, const f64 *b) {
    f64 x;
    U(&y, &x);
    return x * (*b - *a);
};
template <UnitKernel U>
constexpr auto affine_ldet_abs_jac_fwd = [](f64 x, const f64 *a, const f64 *b) {
    f64 z, y;
    vlm_affine_to_unit(&x, &z, a, b);
    U(&z, &y);
    return y - std::log(*b - *a);
};
template <UnitKernel U>
constexpr auto affine_ldet_abs_jac_inv = [](f64 y, const f64 *a, const f64 *b) {
    f64 x;
    U(&y, &x);
    return x + std::log(*b - *a);
};
template <UnitKernel U>
constexpr auto affine_grad_ldet_abs_jac_inv = [](f64 y) {
    f64 x;
    U(&y, &x);
    return x;
};

}  // namespace

// clang-format off

// ---- Unbounded above: log (x > 0), softplus (x > 0), lower (x > low), upper (x < high) ----

VLM_TRANSFORM(log, fwd,                   [](f64 x) { return std::log(x); })
VLM_TRANSFORM(log, inv,                   [](f64 y) { return std::exp(y); })
VLM_TRANSFORM(log, grad_fwd,              [](f64 x) { return 1.0 / x; })
VLM_TRANSFORM(log, grad_inv,              [](f64 y) { return std::exp(y); })
VLM_TRANSFORM(log, ldet_abs_jac_fwd,      [](f64 x) { return -std::log(x); })
VLM_TRANSFORM(log, ldet_abs_jac_inv,      COPY)
VLM_TRANSFORM(log, grad_ldet_abs_jac_inv, FILL)

// T(x) = log(e^x - 1). The forward side evaluates expm1(x) as it stands (it
// overflows past x ~ 709.78); only the inverse side needs the overflow-free
// log(1 + e^y).
VLM_TRANSFORM(softplus, fwd,                   [](f64 x) { return std::log(std::expm1(x)); })
VLM_TRANSFORM(softplus, inv,                   [](f64 y) { return vlm_softplus_val(y); })
VLM_TRANSFORM(softplus, grad_fwd,              [](f64 x) { return 1.0 / std::expm1(x) + 1.0; })
VLM_TRANSFORM(softplus, grad_inv,              [](f64 y) { return 1.0 / (1.0 + std::exp(-y)); })
VLM_TRANSFORM(softplus, ldet_abs_jac_fwd,      [](f64 x) { return x - std::log(std::expm1(x)); })
VLM_TRANSFORM(softplus, ldet_abs_jac_inv,      [](f64 y) { return -vlm_softplus_val(-y); })
VLM_TRANSFORM(softplus, grad_ldet_abs_jac_inv, [](f64 y) { return 1.0 - 1.0 / (1.0 + std::exp(-y)); })

VLM_TRANSFORM_B(lower, fwd,                    [](f64 x, const f64 *low) { return std::log(x - *low); })
VLM_TRANSFORM_B(lower, inv,                    [](f64 y, const f64 *low) { return *low + std::exp(y); })
VLM_TRANSFORM_B(lower, grad_fwd,               [](f64 x, const f64 *low) { return 1.0 / (x - *low); })
VLM_TRANSFORM  (lower, grad_inv,               [](f64 y) { return std::exp(y); })
VLM_TRANSFORM_B(lower, ldet_abs_jac_fwd,       [](f64 x, const f64 *low) { return -std::log(x - *low); })
VLM_TRANSFORM  (lower, ldet_abs_jac_inv,       COPY)
VLM_TRANSFORM  (lower, grad_ldet_abs_jac_inv,  FILL)

// Decreasing: the derivatives are negative, the log-Jacobians those of |.|.
VLM_TRANSFORM_B(upper, fwd,                    [](f64 x, const f64 *high) { return std::log(*high - x); })
VLM_TRANSFORM_B(upper, inv,                    [](f64 y, const f64 *high) { return *high - std::exp(y); })
VLM_TRANSFORM_B(upper, grad_fwd,               [](f64 x, const f64 *high) { return -1.0 / (*high - x); })
VLM_TRANSFORM  (upper, grad_inv,               [](f64 y) { return -std::exp(y); })
VLM_TRANSFORM_B(upper, ldet_abs_jac_fwd,       [](f64 x, const f64 *high) { return -std::log(*high - x); })
VLM_TRANSFORM  (upper, ldet_abs_jac_inv,       COPY)
VLM_TRANSFORM  (upper, grad_ldet_abs_jac_inv,  FILL)

// ---- Intervals: logit, probit (0 < x < 1), aff_logit, aff_probit (a < x < b), tanh (-1 < x < 1) ----

// Used as written, without sign splits: for y below about -709.78 exp(-y)
// overflows, so inv gives 0 and ldet_abs_jac_inv gives -inf.
VLM_TRANSFORM(logit, fwd,                   [](f64 x) { return std::log(x / (1.0 - x)); })
VLM_TRANSFORM(logit, inv,                   [](f64 y) { return 1.0 / (1.0 + std::exp(-y)); })
VLM_TRANSFORM(logit, grad_fwd,              [](f64 x) { return 1.0 / ((1.0 - x) * x); })
VLM_TRANSFORM(logit, grad_inv,              [](f64 y) { f64 p; vlm_logit_inv(&y, &p); return (1.0 - p) * p; })
VLM_TRANSFORM(logit, ldet_abs_jac_fwd,      [](f64 x) { return -(std::log(x) + std::log(1.0 - x)); })
VLM_TRANSFORM(logit, ldet_abs_jac_inv,      [](f64 y) { return -y - 2.0 * std::log(1.0 + std::exp(-y)); })
VLM_TRANSFORM(logit, grad_ldet_abs_jac_inv, [](f64 y) { return 1.0 - 2.0 / (1.0 + std::exp(-y)); })

// T is the standard normal quantile (AS 241, in the branch-free form that the
// array quantile uses, so that these loops vectorise), T^-1 the distribution
// function.
// The log-Jacobians take the log of the density as computed, so they become
// infinite where it underflows (|z| beyond about 38.6).
VLM_TRANSFORM(probit, fwd,                   [](f64 x) { return ndtri_branch_free(x); })
VLM_TRANSFORM(probit, inv,                   [](f64 y) { return vlm_std_norm_cdf(y); })
VLM_TRANSFORM(probit, grad_fwd,              [](f64 x) { return 1.0 / vlm_std_norm_pdf(ndtri_branch_free(x)); })
VLM_TRANSFORM(probit, grad_inv,              [](f64 y) { return vlm_std_norm_pdf(y); })
VLM_TRANSFORM(probit, ldet_abs_jac_fwd,      [](f64 x) { return -std::log(vlm_std_norm_pdf(ndtri_branch_free(x))); })
VLM_TRANSFORM(probit, ldet_abs_jac_inv,      [](f64 y) { return std::log(vlm_std_norm_pdf(y)); })
VLM_TRANSFORM(probit, grad_ldet_abs_jac_inv, [](f64 y) { return -y; })

VLM_TRANSFORM_AB(aff_logit, fwd,              affine_fwd<vlm_logit_fwd>)
VLM_TRANSFORM_AB(aff_logit, inv,              affine_inv<vlm_logit_inv>)
VLM_TRANSFORM_AB(aff_logit, grad_fwd,         affine_grad_fwd<vlm_logit_grad_fwd>)
VLM_TRANSFORM_AB(aff_logit, grad_inv,         affine_grad_inv<vlm_logit_grad_inv>)
VLM_TRANSFORM_AB(aff_logit, ldet_abs_jac_fwd, affine_ldet_abs_jac_fwd<vlm_logit_ldet_abs_jac_fwd>)
VLM_TRANSFORM_AB(aff_logit, ldet_abs_jac_inv, affine_ldet_abs_jac_inv<vlm_logit_ldet_abs_jac_inv>)
VLM_TRANSFORM   (aff_logit, grad_ldet_abs_jac_inv, affine_grad_ldet_abs_jac_inv<vlm_logit_grad_ldet_abs_jac_inv>)

VLM_TRANSFORM_AB(aff_probit, fwd,              affine_fwd<vlm_probit_fwd>)
VLM_TRANSFORM_AB(aff_probit, inv,              affine_inv<vlm_probit_inv>)
VLM_TRANSFORM_AB(aff_probit, grad_fwd,         affine_grad_fwd<vlm_probit_grad_fwd>)
VLM_TRANSFORM_AB(aff_probit, grad_inv,         affine_grad_inv<vlm_probit_grad_inv>)
VLM_TRANSFORM_AB(aff_probit, ldet_abs_jac_fwd, affine_ldet_abs_jac_fwd<vlm_probit_ldet_abs_jac_fwd>)
VLM_TRANSFORM_AB(aff_probit, ldet_abs_jac_inv, affine_ldet_abs_jac_inv<vlm_probit_ldet_abs_jac_inv>)
VLM_TRANSFORM   (aff_probit, grad_ldet_abs_jac_inv, affine_grad_ldet_abs_jac_inv<vlm_probit_grad_ldet_abs_jac_inv>)

VLM_TRANSFORM(tanh, fwd,                   [](f64 x) { return std::atanh(x); })
VLM_TRANSFORM(tanh, inv,                   [](f64 y) { return std::tanh(y); })
VLM_TRANSFORM(tanh, grad_fwd,              [](f64 x) { return 1.0 / ((1.0 - x) * (1.0 + x)); })
VLM_TRANSFORM(tanh, grad_inv,              [](f64 y) { const f64 c = std::cosh(y); return 1.0 / (c * c); })
VLM_TRANSFORM(tanh, ldet_abs_jac_fwd,      [](f64 x) { return -std::log((1.0 - x) * (1.0 + x)); })
VLM_TRANSFORM(tanh, ldet_abs_jac_inv,      [](f64 y) { return vlm_log_sech2(y); })
VLM_TRANSFORM(tanh, grad_ldet_abs_jac_inv, [](f64 y) { return -2.0 * std::tanh(y); })

// clang-format on
