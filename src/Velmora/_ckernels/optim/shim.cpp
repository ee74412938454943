// Small self-contained vector and triangular-solve kernels for the L-BFGS-B
// iteration, in the reference calling convention (scalars by pointer).
#include "shim.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "../_common/vlm_vecmath.h"
#include "shim_kernels.h"

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
    return !__builtin_mul_overflow(static_cast<uint64_t>(cols - 1), static_cast<uint64_t>(ld),
                                   &last) &&
           !__builtin_add_overflow(last, static_cast<uint64_t>(rows - 1), &last) &&
           addressable(last);
}

constexpr f64 NOT_A_NUMBER = std::numeric_limits<f64>::quiet_NaN();

bool is_upper_char(const char *c) { return (*c & ~0x20) == 'U'; }
bool is_no_trans(const char *c) { return (*c & ~0x20) == 'N'; }

}  // namespace

// The fused kernels are built once per instruction set: with FMA in the
// instruction set std::fma is one instruction instead of a library call per
// element, and the result is the same (a fused product is exact either way).
// Nothing else in them could be contracted.
VLM_VECTOR_CLONES f64 vlm::shim::dot(i64 n, const f64 *x, const f64 *y) {
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

VLM_VECTOR_CLONES void vlm::shim::axpy(i64 n, f64 a, const f64 *x, f64 *y) {
#pragma omp simd
    for (i64 k = 0; k < n; ++k) y[k] = std::fma(a, x[k], y[k]);
}

extern "C" {

void vlm_shim_dcopy(const i64 *np, const f64 *x, const i64 *incxp, f64 *y, const i64 *incyp) {
    const i64 n = *np, incx = *incxp, incy = *incyp;
    if (n <= 0 || !vector_fits(n, incx) || !vector_fits(n, incy)) return;
    if (incx == 1 && incy == 1) {
        vlm::shim::copy(n, x, y);
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
        vlm::shim::axpy(n, a, x, y);
        return;
    }
    for_pairs(n, incx, incy, [&](i64 i, i64 j) { y[j] = std::fma(a, x[i], y[j]); });
}

void vlm_shim_dscal(const i64 *np, const f64 *ap, f64 *x, const i64 *incxp) {
    const i64 n = *np, incx = *incxp;
    const f64 a = *ap;
    if (n <= 0 || !vector_fits(n, incx)) return;
    if (incx == 1) {
        vlm::shim::scal(n, a, x);
        return;
    }
    for_pairs(n, incx, incx, [&](i64 i, i64) { x[i] *= a; });
}

f64 vlm_shim_ddot(const i64 *np, const f64 *x, const i64 *incxp, const f64 *y, const i64 *incyp) {
    const i64 n = *np, incx = *incxp, incy = *incyp;
    if (n <= 0) return 0.0;
    if (!vector_fits(n, incx) || !vector_fits(n, incy)) return NOT_A_NUMBER;
    if (incx == 1 && incy == 1) return vlm::shim::dot(n, x, y);
    f64 s = 0.0;
    for_pairs(n, incx, incy, [&](i64 i, i64 j) { s = std::fma(x[i], y[j], s); });
    return s;
}

f64 vlm_shim_dnrm2(const i64 *np, const f64 *x, const i64 *incxp) {
    const i64 n = *np, incx = *incxp;
    if (n <= 0 || incx == 0) return 0.0;
    if (!vector_fits(n, incx)) return NOT_A_NUMBER;
    return vlm::shim::nrm2(n, x + start_index(n, incx), incx);
}

void vlm_shim_dpotrf(const char *uplo, const i64 *np, f64 *a, const i64 *ldap, i64 *info) {
    const i64 n = *np, lda = *ldap;
    const bool upper = is_upper_char(uplo);
    *info = 0;
    if (n > 0 && !matrix_fits(n, n, lda)) {  // argument 4 (lda) is illegal
        *info = -4;
        return;
    }
    // The stored lower triangle is the upper triangle of the transpose.
    *info =
        upper ? vlm::shim::cholesky_upper(n, a, 1, lda) : vlm::shim::cholesky_upper(n, a, lda, 1);
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
    // op(A)(i, k) is a[i + k*lda], or a[k + i*lda] transposed; transposing
    // turns an upper triangle into a lower one.
    const i64 rs = transpose ? lda : 1, cs = transpose ? 1 : lda;
    *info = vlm::shim::solve_triangular(n, nrhs, a, rs, cs, upper != transpose, unit, b, ldb);
}

}  // extern "C"
