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

#include "as241.h"
#include "as241_kernel.h"
#include "vlm_vecmath.h"
#ifdef VLM_TRANSFORM_LOOPS
#include "transform_loops.h"
#endif

namespace {

struct Copy {};
struct Fill {};
constexpr Copy COPY{};
constexpr Fill FILL{};

template <auto F>
constexpr bool is_copy = std::is_same_v<std::remove_cv_t<decltype(F)>, Copy>;
template <auto F>
constexpr bool is_fill = std::is_same_v<std::remove_cv_t<decltype(F)>, Fill>;

// A row whose array form takes a faster formula than its scalar form.
// `vector` agrees with `scalar` within a few ulps except where redo(y) holds
// for its result y (a rare region where the two formulas part ways, such as
// an underflowing intermediate of the scalar one); there the value is
// recomputed by `scalar`.
template <class Scalar, class Vector, class Redo>
struct Split {
    Scalar scalar;
    Vector vector;
    Redo redo;
};
constexpr auto NEVER = [](f64, auto...) { return false; };

template <auto F>
constexpr bool is_split = requires { F.vector; };

template <auto F, class... Bounds>
[[gnu::always_inline]] inline f64 scalar_value(f64 x, Bounds... bounds) {
    if constexpr (is_split<F>)
        return F.scalar(x, bounds...);
    else
        return F(x, bounds...);
}
template <auto F, class... Bounds>
[[gnu::always_inline]] inline f64 vector_value(f64 x, Bounds... bounds) {
    if constexpr (is_split<F>)
        return F.vector(x, bounds...);
    else
        return F(x, bounds...);
}
template <auto F, class... Bounds>
[[gnu::always_inline]] inline bool needs_redo(f64 y, Bounds... bounds) {
    if constexpr (is_split<F>)
        return F.redo(y, bounds...);
    else
        return false;
}

// One value: the input is read before the output is written, so both may be
// the same variable.
template <auto F, class... Bounds>
inline void scalar_form(const f64 *in, f64 *out, Bounds... bounds) {
    if constexpr (is_copy<F>) {
        *out = *in;
    } else if constexpr (is_fill<F>) {
        *out = 1.0;
    } else {
        *out = scalar_value<F>(*in, bounds...);
    }
}

// The vector formula over n values; true when some result needs the redo.
template <auto F, class... Bounds>
[[gnu::always_inline]] inline bool vector_pass(const f64 *__restrict in, f64 *__restrict out, i64 n,
                                               Bounds... bounds) {
    // A sum of doubles, not an or of bools: GCC vectorises the former.
    f64 redo = 0.0;
#pragma omp simd reduction(+ : redo)
    for (i64 i = 0; i < n; ++i) {
        const f64 y = vector_value<F>(in[i], bounds...);
        redo += needs_redo<F>(y, bounds...) ? 1.0 : 0.0;
        out[i] = y;
    }
    return redo != 0.0;
}

// Recomputes by the scalar formula the values whose vector result needs it.
// Out of line, so that the addresses of the bounds never leave array_form
// (the vectoriser would otherwise have to assume the output overwrites them).
template <auto F, class... Bounds>
[[gnu::noinline]] void redo_values(const f64 *in, f64 *out, i64 n, Bounds... bounds) {
    for (i64 i = 0; i < n; ++i)
        if (needs_redo<F>(out[i], &bounds...)) out[i] = F.scalar(in[i], &bounds...);
}

// n values in increasing order over non-overlapping buffers. The formula is
// inlined into a counted loop, and the elementary functions have vector
// versions (vlm_vecmath.h), so every formula vectorises; each exported array
// kernel is built per instruction set.
template <auto F, class... Bounds>
VLM_VECTOR_CLONES void array_form(const f64 *__restrict in, f64 *__restrict out, i64 n,
                                  Bounds... bounds) {
    // No buffer holds more doubles than PTRDIFF_MAX / 8 (beyond, n * 8 wraps).
    if (n <= 0 || n > PTRDIFF_MAX / static_cast<i64>(sizeof(f64))) return;
    if constexpr (is_copy<F>) {
        std::memcpy(out, in, static_cast<size_t>(n) * sizeof(f64));
    } else if constexpr (is_fill<F>) {
#pragma omp simd
        for (i64 i = 0; i < n; ++i) out[i] = 1.0;
    } else {
        const bool redo =
            vlm_full_vector_passes(n, [&](i64 first, i64 count) __attribute__((always_inline)) {
                return vector_pass<F>(in + first, out + first, count, &bounds...);
            });
        if constexpr (is_split<F>) {
            if (redo) redo_values<F>(in, out, n, bounds...);
        }
    }
}

// The bounds are passed by value and the formulas get the addresses of these
// copies: the compiler then knows that the output never overwrites them and
// hoists whatever depends on them alone (log(b - a), say) out of the loop.
template <auto F>
inline void array_kernel(const f64 *__restrict in, f64 *__restrict out, i64 n) {
    array_form<F>(in, out, n);
}
template <auto F>
inline void array_kernel(const f64 *__restrict in, f64 *__restrict out, i64 n, const f64 *bound) {
    array_form<F>(in, out, n, *bound);
}
template <auto F>
inline void array_kernel(const f64 *__restrict in, f64 *__restrict out, i64 n, const f64 *a,
                         const f64 *b) {
    array_form<F>(in, out, n, *a, *b);
}

#ifdef VLM_TRANSFORM_LOOPS
// The strided loops of the ufunc module (transform_loops.h). Values go
// through a block on the stack: the block's inputs are all read before its
// outputs are stored, so an output that is the memory of an input is safe,
// and the loop that evaluates the formula reads only the inputs and writes
// only the block, which lets it vectorise without alias checks.
constexpr std::ptrdiff_t LOOP_BLOCK = 256;

[[gnu::always_inline]] inline f64 load_at(const char *base, std::ptrdiff_t step, std::ptrdiff_t i) {
    f64 v;
    std::memcpy(&v, base + i * step, sizeof v);
    return v;
}

// Calls fn with the addresses of element i's bounds (none, one or two).
template <int NBounds, class Fn>
[[gnu::always_inline]] inline auto with_bounds(char *const *args, const std::ptrdiff_t *steps,
                                               std::ptrdiff_t i, Fn &&fn) {
    if constexpr (NBounds == 0) {
        return fn();
    } else if constexpr (NBounds == 1) {
        const f64 a = load_at(args[1], steps[1], i);
        return fn(&a);
    } else {
        const f64 a = load_at(args[1], steps[1], i);
        const f64 b = load_at(args[2], steps[2], i);
        return fn(&a, &b);
    }
}

// The row's value at element i by its array form's (Vector) or its scalar
// form's formula.
template <auto F, int NBounds, bool Vector>
[[gnu::always_inline]] inline f64 element_value(char *const *args, const std::ptrdiff_t *steps,
                                                std::ptrdiff_t i) {
    if constexpr (is_fill<F>) {
        return 1.0;
    } else {
        const f64 x = load_at(args[0], steps[0], i);
        if constexpr (is_copy<F>) {
            return x;
        } else {
            return with_bounds<NBounds>(args, steps, i,
                                        [x](auto... bounds) __attribute__((always_inline)) {
                                            if constexpr (Vector)
                                                return vector_value<F>(x, bounds...);
                                            else
                                                return scalar_value<F>(x, bounds...);
                                        });
        }
    }
}

template <auto F, int NBounds>
[[gnu::always_inline]] inline bool element_needs_redo(f64 y, char *const *args,
                                                      const std::ptrdiff_t *steps,
                                                      std::ptrdiff_t i) {
    if constexpr (!is_split<F>) {
        return false;
    } else {
        return with_bounds<NBounds>(args, steps, i,
                                    [y](auto... bounds) __attribute__((always_inline)) {
                                        return needs_redo<F>(y, bounds...);
                                    });
    }
}

// Elements first .. first + count - 1 into y, as the array form computes
// them (vector formula, scalar redo where asked). With Contiguous every step
// is one double, which the vectoriser turns into plain vector loads.
template <auto F, int NBounds, bool Contiguous>
[[gnu::always_inline]] inline void block_values(char *const *args,
                                                const std::ptrdiff_t *given_steps,
                                                std::ptrdiff_t first, std::ptrdiff_t count,
                                                f64 *__restrict y) {
    constexpr std::ptrdiff_t unit[] = {sizeof(f64), sizeof(f64), sizeof(f64)};
    const std::ptrdiff_t *steps = Contiguous ? unit : given_steps;
    f64 redo = 0.0;
#pragma omp simd reduction(+ : redo)
    for (std::ptrdiff_t j = 0; j < count; ++j) {
        const f64 v = element_value<F, NBounds, true>(args, steps, first + j);
        redo += element_needs_redo<F, NBounds>(v, args, steps, first + j) ? 1.0 : 0.0;
        y[j] = v;
    }
    if constexpr (is_split<F>) {
        if (redo != 0.0)
            for (std::ptrdiff_t j = 0; j < count; ++j)
                if (element_needs_redo<F, NBounds>(y[j], args, steps, first + j))
                    y[j] = element_value<F, NBounds, false>(args, steps, first + j);
    }
}

// Whether n doubles at `out` share no byte with the first `count` arguments,
// n contiguous doubles each.
inline bool apart_from_inputs(char *const *args, int count, const char *out, std::ptrdiff_t n) {
    const auto o = reinterpret_cast<std::uintptr_t>(out);
    const auto bytes = static_cast<std::uintptr_t>(n) * sizeof(f64);
    for (int k = 0; k < count; ++k) {
        const auto a = reinterpret_cast<std::uintptr_t>(args[k]);
        if (!(a + bytes <= o || o + bytes <= a)) return false;
    }
    return true;
}

template <auto F, int NBounds>
VLM_VECTOR_CLONES void strided_loop(char *const *args, const std::ptrdiff_t *steps,
                                    std::ptrdiff_t n) {
    constexpr std::ptrdiff_t F64 = sizeof(f64);
    bool contiguous = true;
    for (int k = 0; k <= NBounds; ++k) contiguous &= steps[k] == F64;
    char *out = args[NBounds + 1];
    const std::ptrdiff_t out_step = steps[NBounds + 1];
    // Contiguous values and a separate, aligned, contiguous output (per-element
    // bounds, say): straight into the output.
    if (contiguous && out_step == F64 &&
        reinterpret_cast<std::uintptr_t>(out) % alignof(f64) == 0 &&
        apart_from_inputs(args, NBounds + 1, out, n)) {
        block_values<F, NBounds, true>(args, steps, 0, n, reinterpret_cast<f64 *>(out));
        return;
    }
    f64 y[LOOP_BLOCK];
    for (std::ptrdiff_t first = 0; first < n; first += LOOP_BLOCK) {
        const std::ptrdiff_t count = n - first < LOOP_BLOCK ? n - first : LOOP_BLOCK;
        if (contiguous)
            block_values<F, NBounds, true>(args, steps, first, count, y);
        else
            block_values<F, NBounds, false>(args, steps, first, count, y);
        if (out_step == F64) {
            std::memcpy(out + first * F64, y, static_cast<size_t>(count) * sizeof(f64));
        } else {
            for (std::ptrdiff_t j = 0; j < count; ++j)
                std::memcpy(out + (first + j) * out_step, &y[j], sizeof(f64));
        }
    }
}

#define VLM_TRANSFORM_LOOP(family, op, nbounds)                                     \
    void vlm_##family##_##op##_loop(char *const *args, const std::ptrdiff_t *steps, \
                                    std::ptrdiff_t n) {                             \
        strided_loop<family##_##op, nbounds>(args, steps, n);                       \
    }
#else
#define VLM_TRANSFORM_LOOP(family, op, nbounds)
#endif

}  // namespace

// The exported pair of one row: no bounds, one bound (`lower`, `upper`), or
// the two ends a, b of the affine families (and, in the ufunc module, the
// row's strided loop).
#define VLM_TRANSFORM(family, op, ...)                                                         \
    namespace {                                                                                \
    constexpr auto family##_##op = __VA_ARGS__;                                                \
    }                                                                                          \
    void vlm_##family##_##op(const f64 *in, f64 *out) { scalar_form<family##_##op>(in, out); } \
    void vlm_##family##_##op##_arr(const f64 *__restrict in, f64 *__restrict out, i64 n) {     \
        array_kernel<family##_##op>(in, out, n);                                               \
    }                                                                                          \
    VLM_TRANSFORM_LOOP(family, op, 0)

#define VLM_TRANSFORM_B(family, op, ...)                                                 \
    namespace {                                                                          \
    constexpr auto family##_##op = __VA_ARGS__;                                          \
    }                                                                                    \
    void vlm_##family##_##op(const f64 *in, f64 *out, const f64 *bound) {                \
        scalar_form<family##_##op>(in, out, bound);                                      \
    }                                                                                    \
    void vlm_##family##_##op##_arr(const f64 *__restrict in, f64 *__restrict out, i64 n, \
                                   const f64 *bound) {                                   \
        array_kernel<family##_##op>(in, out, n, bound);                                  \
    }                                                                                    \
    VLM_TRANSFORM_LOOP(family, op, 1)

#define VLM_TRANSFORM_AB(family, op, ...)                                                \
    namespace {                                                                          \
    constexpr auto family##_##op = __VA_ARGS__;                                          \
    }                                                                                    \
    void vlm_##family##_##op(const f64 *in, f64 *out, const f64 *a, const f64 *b) {      \
        scalar_form<family##_##op>(in, out, a, b);                                       \
    }                                                                                    \
    void vlm_##family##_##op##_arr(const f64 *__restrict in, f64 *__restrict out, i64 n, \
                                   const f64 *a, const f64 *b) {                         \
        array_kernel<family##_##op>(in, out, n, a, b);                                   \
    }                                                                                    \
    VLM_TRANSFORM_LOOP(family, op, 2)

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

// atanh and tanh written with one elementary function each, for the array
// forms (glibc's vector atanh and tanh are slower than their log1p and
// expm1). Both work on |x| and restore the sign, so -0.0 stays -0.0.
//   atanh(s) = log1p(q) / 2 with q = 2s/(1 - s), written 2s + s q below 1/2
//   (the form that keeps the digits of small s);
//   tanh(s) = t/(t + 2) with t = expm1(2s), exactly 1 in double past s = 20.
constexpr auto vector_atanh = [](f64 x) {
    const f64 s = std::fabs(x);
    const f64 q = 2.0 * s / (1.0 - s);
    const f64 u = s < 0.5 ? 2.0 * s + s * q : q;
    return std::copysign(0.5 * std::log1p(u), x);
};

constexpr auto vector_tanh = [](f64 y) {
    const f64 s = std::fabs(y);
    const f64 t = std::expm1(2.0 * s);
    return std::copysign(s > 20.0 ? 1.0 : t / (t + 2.0), y);
};

// log(1/sqrt(2 pi)) - z^2/2: the log of the density without the exp and log
// of the scalar form, which agree with it until exp(-z^2/2) is subnormal;
// results beyond 700 in magnitude are left to the scalar form.
constexpr f64 LOG_INV_SQRT_2PI = -0.9189385332046727;  // -log(2 pi)/2
constexpr auto log_std_norm_pdf = [](f64 z) { return LOG_INV_SQRT_2PI - 0.5 * z * z; };
constexpr auto BEYOND_700 = [](f64 y) { return !(std::fabs(y) <= 700.0); };

// The affine families: T(x) = U((x - a)/(b - a)) for the unit-interval
// family U (its formulas: the rows Unit::op below). The chain rule
// contributes the factor 1/(b - a) to dT/dx and log(b - a) to the
// log-Jacobians; neither bound is validated. When U's array form has a
// formula of its own, so has T's, and T's result is mapped back to U's
// before U's redo test.
inline f64 to_unit(f64 x, const f64 *a, const f64 *b) {
    f64 z;
    vlm_affine_to_unit(&x, &z, a, b);
    return z;
}
inline f64 from_unit(f64 z, const f64 *a, const f64 *b) {
    f64 x;
    vlm_unit_to_affine(&z, &x, a, b);
    return x;
}

// log(b - a), out of line and const, so that array loops hoist it instead of
// evaluating it per value.
[[gnu::const, gnu::noinline]] f64 log_width(f64 a, f64 b) { return std::log(b - a); }

// Split{scalar, vector, redo} of an affine row from how it uses U's value
// (`use`, applied to U's scalar or vector formula) and how its result maps
// back to U's (`back`).
template <auto U, auto Use, auto Back>
constexpr auto affine_row =
    Split{[](f64 v, const f64 *a, const f64 *b) {
              return Use(v, a, b, [](f64 w) { return scalar_value<U>(w); });
          },
          [](f64 v, const f64 *a, const f64 *b) {
              return Use(v, a, b, [](f64 w) { return vector_value<U>(w); });
          },
          [](f64 y, const f64 *a, const f64 *b) { return needs_redo<U>(Back(y, a, b)); }};

template <auto U>
constexpr auto affine_fwd =
    affine_row<U, [](f64 x, const f64 *a, const f64 *b, auto u) { return u(to_unit(x, a, b)); },
               [](f64 y, const f64 *, const f64 *) { return y; }>;
template <auto U>
constexpr auto affine_inv =
    affine_row<U, [](f64 y, const f64 *a, const f64 *b, auto u) { return from_unit(u(y), a, b); },
               [](f64 x, const f64 *a, const f64 *b) { return to_unit(x, a, b); }>;
template <auto U>
constexpr auto affine_grad_fwd = affine_row<
    U, [](f64 x, const f64 *a, const f64 *b, auto u) { return u(to_unit(x, a, b)) / (*b - *a); },
    [](f64 y, const f64 *a, const f64 *b) { return y * (*b - *a); }>;
template <auto U>
constexpr auto affine_grad_inv =
    affine_row<U, [](f64 y, const f64 *a, const f64 *b, auto u) { return u(y) * (*b - *a); },
               [](f64 g, const f64 *a, const f64 *b) { return g / (*b - *a); }>;
template <auto U>
constexpr auto affine_ldet_abs_jac_fwd =
    affine_row<U,
               [](f64 x, const f64 *a, const f64 *b, auto u) {
                   return u(to_unit(x, a, b)) - log_width(*a, *b);
               },
               [](f64 l, const f64 *a, const f64 *b) { return l + log_width(*a, *b); }>;
template <auto U>
constexpr auto affine_ldet_abs_jac_inv =
    affine_row<U,
               [](f64 y, const f64 *a, const f64 *b, auto u) { return u(y) + log_width(*a, *b); },
               [](f64 l, const f64 *a, const f64 *b) { return l - log_width(*a, *b); }>;
// No bounds: U's own row.
template <auto U>
constexpr auto affine_grad_ldet_abs_jac_inv = U;

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

// T is the standard normal quantile: vlm_ndtri_as241 for one value; the
// array forms take the branch-free AS 241 (every region evaluated, the answer
// selected) so that their loops vectorise, which may differ from it in the
// last bits. T^-1 is the distribution function.
// The log-Jacobians take the log of the density as computed, so they become
// infinite where it underflows (|z| beyond about 38.6).
template <auto Term>
constexpr auto of_quantile = Split{[](f64 x) { return Term(vlm_ndtri_as241(x)); },
                                   [](f64 x) { return Term(ndtri_branch_free(x)); }, NEVER};
VLM_TRANSFORM(probit, fwd,                   of_quantile<[](f64 z) { return z; }>)
VLM_TRANSFORM(probit, inv,                   [](f64 y) { return vlm_std_norm_cdf(y); })
VLM_TRANSFORM(probit, grad_fwd,              of_quantile<[](f64 z) { return 1.0 / vlm_std_norm_pdf(z); }>)
VLM_TRANSFORM(probit, grad_inv,              [](f64 y) { return vlm_std_norm_pdf(y); })
VLM_TRANSFORM(probit, ldet_abs_jac_fwd,      Split{[](f64 x) { return -std::log(vlm_std_norm_pdf(vlm_ndtri_as241(x))); },
                                                  [](f64 x) { return -log_std_norm_pdf(ndtri_branch_free(x)); },
                                                  BEYOND_700})
VLM_TRANSFORM(probit, ldet_abs_jac_inv,      Split{[](f64 y) { return std::log(vlm_std_norm_pdf(y)); },
                                                  log_std_norm_pdf, BEYOND_700})
VLM_TRANSFORM(probit, grad_ldet_abs_jac_inv, [](f64 y) { return -y; })

VLM_TRANSFORM_AB(aff_logit, fwd,              affine_fwd<logit_fwd>)
VLM_TRANSFORM_AB(aff_logit, inv,              affine_inv<logit_inv>)
VLM_TRANSFORM_AB(aff_logit, grad_fwd,         affine_grad_fwd<logit_grad_fwd>)
VLM_TRANSFORM_AB(aff_logit, grad_inv,         affine_grad_inv<logit_grad_inv>)
VLM_TRANSFORM_AB(aff_logit, ldet_abs_jac_fwd, affine_ldet_abs_jac_fwd<logit_ldet_abs_jac_fwd>)
VLM_TRANSFORM_AB(aff_logit, ldet_abs_jac_inv, affine_ldet_abs_jac_inv<logit_ldet_abs_jac_inv>)
VLM_TRANSFORM   (aff_logit, grad_ldet_abs_jac_inv, affine_grad_ldet_abs_jac_inv<logit_grad_ldet_abs_jac_inv>)

VLM_TRANSFORM_AB(aff_probit, fwd,              affine_fwd<probit_fwd>)
VLM_TRANSFORM_AB(aff_probit, inv,              affine_inv<probit_inv>)
VLM_TRANSFORM_AB(aff_probit, grad_fwd,         affine_grad_fwd<probit_grad_fwd>)
VLM_TRANSFORM_AB(aff_probit, grad_inv,         affine_grad_inv<probit_grad_inv>)
VLM_TRANSFORM_AB(aff_probit, ldet_abs_jac_fwd, affine_ldet_abs_jac_fwd<probit_ldet_abs_jac_fwd>)
VLM_TRANSFORM_AB(aff_probit, ldet_abs_jac_inv, affine_ldet_abs_jac_inv<probit_ldet_abs_jac_inv>)
VLM_TRANSFORM   (aff_probit, grad_ldet_abs_jac_inv, affine_grad_ldet_abs_jac_inv<probit_grad_ldet_abs_jac_inv>)

VLM_TRANSFORM(tanh, fwd,                   Split{[](f64 x) { return std::atanh(x); }, vector_atanh, NEVER})
VLM_TRANSFORM(tanh, inv,                   Split{[](f64 y) { return std::tanh(y); }, vector_tanh, NEVER})
VLM_TRANSFORM(tanh, grad_fwd,              [](f64 x) { return 1.0 / ((1.0 - x) * (1.0 + x)); })
VLM_TRANSFORM(tanh, grad_inv,              [](f64 y) { const f64 c = std::cosh(y); return 1.0 / (c * c); })
VLM_TRANSFORM(tanh, ldet_abs_jac_fwd,      [](f64 x) { return -std::log((1.0 - x) * (1.0 + x)); })
VLM_TRANSFORM(tanh, ldet_abs_jac_inv,      [](f64 y) { return vlm_log_sech2(y); })
VLM_TRANSFORM(tanh, grad_ldet_abs_jac_inv, Split{[](f64 y) { return -2.0 * std::tanh(y); },
                                                  [](f64 y) { return -2.0 * vector_tanh(y); }, NEVER})

// clang-format on
