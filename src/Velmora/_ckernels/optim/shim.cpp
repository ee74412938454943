// Small self-contained vector and triangular-solve kernels for the L-BFGS-B
// iteration, in the reference calling convention (scalars by pointer).
#include "shim.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

// Index of element 0 of a strided vector: a negative increment starts at the
// far end. Computed in unsigned arithmetic so that a hostile size cannot
// trigger signed overflow (such a vector could not be addressed anyway).
i64 start_index(i64 n, i64 inc) {
    if (inc >= 0) return 0;
    return static_cast<i64>((1 - static_cast<uint64_t>(n)) * static_cast<uint64_t>(inc));
}

// Calls f(i_x, i_y) for the element pairs of two strided vectors.
template <class F>
void for_pairs(i64 n, i64 incx, i64 incy, F f) {
    i64 ix = start_index(n, incx), iy = start_index(n, incy);
    for (i64 k = 0; k < n; ++k, ix += incx, iy += incy) f(ix, iy);
}

// Whether an array reaching index `last` (>= 0) can exist: its byte count
// (last + 1) * 8 must not overflow.
bool addressable(uint64_t last) { return last < static_cast<uint64_t>(PTRDIFF_MAX / 8); }

// A strided vector of n > 0 elements spans (n - 1)|inc| + 1 elements. When
// that cannot exist, the kernels touch nothing (and the value-returning ones
// give NaN): the element offsets would overflow.
bool vector_fits(i64 n, i64 inc) {
    const uint64_t step = inc < 0 ? 0 - static_cast<uint64_t>(inc) : static_cast<uint64_t>(inc);
    uint64_t last;
    return !__builtin_mul_overflow(static_cast<uint64_t>(n - 1), step, &last) && addressable(last);
}

// A column-major rows x cols block (both > 0) with leading dimension ld: its
// last element sits at (rows - 1) + (cols - 1) * ld. A negative ld, or one
// whose block cannot exist, is an illegal argument.
bool matrix_fits(i64 rows, i64 cols, i64 ld) {
    if (ld < 0) return false;
    uint64_t last;
    return !__builtin_mul_overflow(static_cast<uint64_t>(cols - 1), static_cast<uint64_t>(ld), &last) &&
           !__builtin_add_overflow(last, static_cast<uint64_t>(rows - 1), &last) && addressable(last);
}

constexpr f64 NOT_A_NUMBER = std::numeric_limits<f64>::quiet_NaN();

bool is_upper_char(const char *c) { return (*c & ~0x20) == 'U'; }
bool is_no_trans(const char *c) { return (*c & ~0x20) == 'N'; }

}  // namespace

extern "C" {

void vlm_shim_dcopy(const i64 *np, const f64 *x, const i64 *incxp, f64 *y, const i64 *incyp) {
    const i64 n = *np, incx = *incxp, incy = *incyp;
    if (n <= 0 || !vector_fits(n, incx) || !vector_fits(n, incy)) return;
    if (incx == 1 && incy == 1) {
        for (i64 k = 0; k < n; ++k) y[k] = x[k];
        return;
    }
    for_pairs(n, incx, incy, [&](i64 i, i64 j) { y[j] = x[i]; });
}

void vlm_shim_daxpy(const i64 *np, const f64 *ap, const f64 *x, const i64 *incxp, f64 *y,
                    const i64 *incyp) {
    const i64 n = *np, incx = *incxp, incy = *incyp;
    const f64 a = *ap;
    if (n <= 0 || !vector_fits(n, incx) || !vector_fits(n, incy)) return;
    if (incx == 1 && incy == 1) {
#pragma omp simd
        for (i64 k = 0; k < n; ++k) y[k] = std::fma(a, x[k], y[k]);
        return;
    }
    for_pairs(n, incx, incy, [&](i64 i, i64 j) { y[j] = std::fma(a, x[i], y[j]); });
}

void vlm_shim_dscal(const i64 *np, const f64 *ap, f64 *x, const i64 *incxp) {
    const i64 n = *np, incx = *incxp;
    const f64 a = *ap;
    if (n <= 0 || !vector_fits(n, incx)) return;
    if (incx == 1) {
#pragma omp simd
        for (i64 k = 0; k < n; ++k) x[k] *= a;
        return;
    }
    for_pairs(n, incx, incx, [&](i64 i, i64) { x[i] *= a; });
}

f64 vlm_shim_ddot(const i64 *np, const f64 *x, const i64 *incxp, const f64 *y, const i64 *incyp) {
    const i64 n = *np, incx = *incxp, incy = *incyp;
    if (n <= 0) return 0.0;
    if (!vector_fits(n, incx) || !vector_fits(n, incy)) return NOT_A_NUMBER;
    if (incx == 1 && incy == 1) {
        // Two running sums: halves the dependency chain of the reduction.
        f64 s0 = 0.0, s1 = 0.0;
        i64 k = 0;
        for (; k + 1 < n; k += 2) {
            s0 = std::fma(x[k], y[k], s0);
            s1 = std::fma(x[k + 1], y[k + 1], s1);
        }
        if (k < n) s0 = std::fma(x[k], y[k], s0);
        return s0 + s1;
    }
    f64 s = 0.0;
    for_pairs(n, incx, incy, [&](i64 i, i64 j) { s = std::fma(x[i], y[j], s); });
    return s;
}

f64 vlm_shim_dnrm2(const i64 *np, const f64 *x, const i64 *incxp) {
    const i64 n = *np, incx = *incxp;
    if (n <= 0 || incx == 0) return 0.0;
    if (!vector_fits(n, incx)) return NOT_A_NUMBER;
    // Scaled sum of squares: scale is the largest magnitude seen so far, so no
    // intermediate square overflows or underflows needlessly.
    f64 scale = 0.0, ssq = 1.0;
    for_pairs(n, incx, incx, [&](i64 i, i64) {
        const f64 v = x[i];
        if (v == 0.0) return;
        const f64 a = std::fabs(v);
        if (scale < a) {
            const f64 q = scale / a;
            ssq = 1.0 + ssq * q * q;
            scale = a;
        } else {
            const f64 q = v / scale;
            ssq += q * q;
        }
    });
    return scale * std::sqrt(ssq);
}

void vlm_shim_dpotrf(const char *uplo, const i64 *np, f64 *a, const i64 *ldap, i64 *info) {
    const i64 n = *np, lda = *ldap;
    const bool upper = is_upper_char(uplo);
    *info = 0;
    if (n > 0 && !matrix_fits(n, n, lda)) {  // argument 4 (lda) is illegal
        *info = -4;
        return;
    }
    // A(i, j) of the stored triangle; the lower case is the transpose of the
    // upper one, so one loop serves both.
    auto at = [&](i64 i, i64 j) -> f64 & { return upper ? a[i + j * lda] : a[j + i * lda]; };
    for (i64 j = 0; j < n; ++j) {
        f64 d = at(j, j);
        for (i64 k = 0; k < j; ++k) d -= at(k, j) * at(k, j);
        if (!(d > 0.0)) {
            *info = j + 1;
            return;
        }
        const f64 piv = std::sqrt(d);
        at(j, j) = piv;
        for (i64 i = j + 1; i < n; ++i) {
            f64 s = at(j, i);
            for (i64 k = 0; k < j; ++k) s -= at(k, j) * at(k, i);
            at(j, i) = s / piv;
        }
    }
}

void vlm_shim_dtrtrs(const char *uplo, const char *trans, const char *diag, const i64 *np,
                     const i64 *nrhsp, const f64 *a, const i64 *ldap, f64 *b, const i64 *ldbp,
                     i64 *info) {
    const i64 n = *np, nrhs = *nrhsp, lda = *ldap, ldb = *ldbp;
    const bool upper = is_upper_char(uplo), transpose = !is_no_trans(trans);
    const bool unit = is_upper_char(diag);
    *info = 0;
    // Illegal arguments, numbered as in the signature: lda (7), ldb (9).
    if (n > 0 && !matrix_fits(n, n, lda)) {
        *info = -7;
        return;
    }
    if (n > 0 && nrhs > 0 && !matrix_fits(n, nrhs, ldb)) {
        *info = -9;
        return;
    }
    if (!unit) {
        for (i64 i = 0; i < n; ++i) {
            if (a[i + i * lda] == 0.0) {
                *info = i + 1;
                return;
            }
        }
    }
    if (nrhs <= 0) return;
    // op(A)(i, k): transposing swaps the indices and turns an upper triangle
    // into a lower one, so only the direction of substitution depends on both.
    auto op = [&](i64 i, i64 k) { return transpose ? a[k + i * lda] : a[i + k * lda]; };
    const bool backward = upper != transpose;
    for (i64 c = 0; c < nrhs; ++c) {
        f64 *x = b + c * ldb;
        for (i64 step = 0; step < n; ++step) {
            const i64 i = backward ? n - 1 - step : step;
            f64 s = x[i];
            // The terms of x[i] are the values already solved: those after it
            // when substituting backward, those before it otherwise. One loop
            // over that range (two made GCC 12 for aarch64 warn of an
            // overflow in a copy of the loop that never runs).
            const i64 first = backward ? i + 1 : 0, last = backward ? n : i;
            for (i64 k = first; k < last; ++k) s -= op(i, k) * x[k];
            x[i] = unit ? s : s / a[i + i * lda];
        }
    }
}

}  // extern "C"
