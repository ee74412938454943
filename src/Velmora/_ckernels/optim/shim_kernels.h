// The arithmetic of the vector and triangular-solve shims, apart from their
// calling convention: the exported shims check their by-pointer arguments
// and call these; the L-BFGS-B iteration calls them directly (inline, with
// unit strides), so that a product of two 10-vectors costs no argument
// checks and no call per element. Internal: not exported, not installed.
//
// Each kernel fixes the order of its operations: a caller that must
// reproduce results bit for bit relies on it.
#ifndef VLM_SHIM_KERNELS_H
#define VLM_SHIM_KERNELS_H

#include <cmath>

#include "../_common/vlm_common.h"

namespace vlm::shim {

// sum of x[k] y[k] over unit strides: two running sums of fused products,
// even k in one and odd k in the other, added at the end.
f64 dot(i64 n, const f64 *x, const f64 *y);

// y[k] := y[k] + a x[k], fused, over unit strides.
void axpy(i64 n, f64 a, const f64 *x, f64 *y);

inline void scal(i64 n, f64 a, f64 *x) {
#pragma omp simd
    for (i64 k = 0; k < n; ++k) x[k] *= a;
}

inline void copy(i64 n, const f64 *x, f64 *y) {
    for (i64 k = 0; k < n; ++k) y[k] = x[k];
}

// Euclidean norm of x[0], x[inc], ..., x[(n-1) inc] (inc != 0) by a scaled
// sum of squares: scale is the largest magnitude seen so far, so no
// intermediate square overflows or underflows needlessly.
inline f64 nrm2(i64 n, const f64 *x, i64 inc) {
    f64 scale = 0.0, ssq = 1.0;
    for (i64 k = 0; k < n; ++k) {
        const f64 v = x[k * inc];
        if (v == 0.0) continue;
        const f64 a = std::fabs(v);
        if (scale < a) {
            const f64 q = scale / a;
            ssq = 1.0 + ssq * q * q;
            scale = a;
        } else {
            const f64 q = v / scale;
            ssq += q * q;
        }
    }
    return scale * std::sqrt(ssq);
}

// The triangular kernels see an n x n matrix through two strides: element
// (i, j) at a[i*rs + j*cs]. With rs = 1, cs = lda that is the column-major
// matrix itself; with rs = lda, cs = 1 its transpose (so the stored lower
// triangle becomes an upper one).

// Cholesky factor U (U'U = A) of the upper triangle, in place, column by
// column. Returns 0, or j + 1 for the first column j whose pivot is not
// positive (zero, negative or NaN; the columns before it are factored).
inline i64 cholesky_upper(i64 n, f64 *a, i64 rs, i64 cs) {
    for (i64 j = 0; j < n; ++j) {
        f64 *aj = a + j * cs;  // column j
        f64 d = aj[j * rs];
        for (i64 k = 0; k < j; ++k) d -= aj[k * rs] * aj[k * rs];
        if (!(d > 0.0)) return j + 1;
        const f64 piv = std::sqrt(d);
        aj[j * rs] = piv;
        for (i64 i = j + 1; i < n; ++i) {
            f64 *ai = a + i * cs;
            f64 s = ai[j * rs];
            for (i64 k = 0; k < j; ++k) s -= aj[k * rs] * ai[k * rs];
            ai[j * rs] = s / piv;
        }
    }
    return 0;
}

// Solves A x = b in place for one right-hand side, A triangular: upper
// (backward substitution) or lower (forward). x[i] = (b[i] - sum of
// A(i, k) x[k] over the solved k, in increasing k) / A(i, i), the division
// omitted for a unit diagonal.
inline void substitute(i64 n, const f64 *a, i64 rs, i64 cs, bool upper, bool unit, f64 *x) {
    for (i64 step = 0; step < n; ++step) {
        const i64 i = upper ? n - 1 - step : step;
        const f64 *ai = a + i * rs;  // row i
        f64 s = x[i];
        const i64 first = upper ? i + 1 : 0, last = upper ? n : i;
        for (i64 k = first; k < last; ++k) s -= ai[k * cs] * x[k];
        x[i] = unit ? s : s / ai[i * cs];
    }
}

// The same for the nrhs columns of b (column c at b + c*ldb), after checking
// a non-unit diagonal: returns i + 1 for the first exactly-zero A(i, i),
// with b untouched, else 0.
inline i64 solve_triangular(i64 n, i64 nrhs, const f64 *a, i64 rs, i64 cs, bool upper, bool unit,
                            f64 *b, i64 ldb) {
    if (!unit) {
        for (i64 i = 0; i < n; ++i)
            if (a[i * (rs + cs)] == 0.0) return i + 1;
    }
    for (i64 c = 0; c < nrhs; ++c) substitute(n, a, rs, cs, upper, unit, b + c * ldb);
    return 0;
}

}  // namespace vlm::shim

#endif  // VLM_SHIM_KERNELS_H
