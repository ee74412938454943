/* Dense complex linear algebra: matrix product, LU factorisation with partial
   pivoting, solves with several right-hand sides, inverse.

   Matrices are contiguous row-major arrays of c128 without a leading
   dimension: element (i, j) of an r x c matrix is at index i*c + j. Pointer
   arguments never alias one another. Sizes are i64; failures come back as
   codes: 0 success, -1 invalid call (null pointer, order below 1, sizes whose
   byte count does not fit in memory) or allocation failure, -2 singular (a
   pivot that is exactly zero). */
#ifndef VLM_COMPLEX_H
#define VLM_COMPLEX_H

#include "vlm_common.h"

VLM_EXTERN_C_BEGIN

/* Result of c128_lu_factor. The record owns `lu` (n x n factors: U on and
   above the diagonal, the multipliers of the unit lower factor below it) and
   `piv` (piv[k] is the row exchanged with row k at step k; replay in
   increasing k) until c128_lu_free, whatever `err` says. */
typedef struct c128_lu {
    c128 *lu;
    i64 *piv;
    i64 n;
    i64 err;
} c128_lu;

/* out = A * B with A m x n, B n x p, out m x p; note the sizes come before
   the output. Each element is summed over k in increasing order from zero;
   n <= 0 gives zeros, m <= 0 or p <= 0 writes nothing. */
VLM_EXPORT void c128_matmul(const c128 *A, const c128 *B, i64 m, i64 n, i64 p, c128 *out);

/* Doolittle elimination with partial pivoting (largest squared modulus, the
   first row on ties) on whole rows of A, which receives the factors. Returns
   -1 without writing for a null argument or n < 1; -2 on an exactly zero
   pivot, with pivot[0..k] written and A partly eliminated; else 0. */
VLM_EXPORT i64 c128_lu_factor_inplace(c128 *A, i64 *pivot, i64 n);

/* Factors a copy of A (A is only read). {null, null, n, -1} when A is null,
   n < 1 or memory is short; otherwise the record owns its buffers, also when
   err is -2. */
VLM_EXPORT c128_lu c128_lu_factor(const c128 *A, i64 n);

/* Frees the record's buffers and clears all four fields; a null record or a
   cleared one is left alone, so calling it twice is harmless. */
VLM_EXPORT void c128_lu_free(c128_lu *lu);

/* X = A^-1 B from the factors of A, for the m columns of B (n x m). */
VLM_EXPORT void c128_lu_solve(const c128 *LU, const i64 *piv, const c128 *B, c128 *X, i64 n, i64 m);

/* Solves A X = B (A n x n, B and X n x m); note the sizes come before the
   output. X is written only when the code is 0; A is never modified. */
VLM_EXPORT i64 c128_solve(const c128 *A, const c128 *B, i64 n, i64 m, c128 *X);

/* Ainv = A^-1 (n x n). Ainv is written only when the code is 0; n <= 0 gives
   -1. */
VLM_EXPORT i64 c128_inv(const c128 *A, i64 n, c128 *Ainv);

VLM_EXTERN_C_END

/* Complex arithmetic of this unit. Internal linkage: nothing here leaves a
   module. */

static inline c128 c128_make(f64 re, f64 im) {
    c128 z;
    z.re = re;
    z.im = im;
    return z;
}

static inline c128 c128_add(c128 a, c128 b) { return c128_make(a.re + b.re, a.im + b.im); }

static inline c128 c128_sub(c128 a, c128 b) { return c128_make(a.re - b.re, a.im - b.im); }

static inline c128 c128_mul(c128 a, c128 b) {
    return c128_make(a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re);
}

/* Squared modulus; no square root, so it overflows above about 1e154 and
   underflows below about 1e-162. */
static inline f64 c128_abs2(c128 a) { return a.re * a.re + a.im * a.im; }

/* Smith's division by a fixed divisor b, split so that the ratio and the
   denominator are formed once and reused across a row. Dividing by the larger
   of the two parts of b keeps the ratio |r| <= 1, which avoids the overflow
   and underflow of the textbook formula through |b|^2. Equal magnitudes take
   the real-part branch. */
typedef struct c128_smith {
    f64 r;        /* b.im / b.re, or b.re / b.im */
    f64 den;      /* b.re + r*b.im, or b.im + r*b.re */
    int real_big; /* |b.re| >= |b.im| */
} c128_smith;

static inline c128_smith c128_smith_of(c128 b) {
    c128_smith s;
    s.real_big = (b.re < 0 ? -b.re : b.re) >= (b.im < 0 ? -b.im : b.im);
    if (s.real_big) {
        s.r = b.im / b.re;
        s.den = b.re + s.r * b.im;
    } else {
        s.r = b.re / b.im;
        s.den = b.im + s.r * b.re;
    }
    return s;
}

static inline c128 c128_smith_div(c128 a, c128_smith s) {
    if (s.real_big) return c128_make((a.re + a.im * s.r) / s.den, (a.im - a.re * s.r) / s.den);
    return c128_make((a.re * s.r + a.im) / s.den, (a.im * s.r - a.re) / s.den);
}

static inline c128 c128_div(c128 a, c128 b) { return c128_smith_div(a, c128_smith_of(b)); }

#endif /* VLM_COMPLEX_H */
