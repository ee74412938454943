// Dense complex linear algebra over row-major c128 matrices: product, LU with
// partial pivoting, solve, inverse. All loops run along whole contiguous rows,
// so the interleaved real and imaginary parts are processed together.
#include "vlm_complex.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr c128 ZERO = {0.0, 0.0};
constexpr c128 ONE = {1.0, 0.0};

// Number of elements of an r x c matrix, or -1 when r or c is negative or the
// byte count of the matrix would not fit in the address space. Every size
// product goes through here before it is used to allocate or copy, so a
// hostile size is refused instead of wrapping around to a small buffer.
i64 element_count(i64 r, i64 c) {
    i64 count;
    if (r < 0 || c < 0 || __builtin_mul_overflow(r, c, &count)) return -1;
    if (count > static_cast<i64>(PTRDIFF_MAX / sizeof(c128))) return -1;
    return count;
}

c128 *alloc_c128(i64 count) {
    return static_cast<c128 *>(std::malloc(static_cast<size_t>(count) * sizeof(c128)));
}

// y += a * x over one row. Subtracting a multiple of a row passes -a, which
// is exact, so y - a*x and y + (-a)*x round alike.
inline void row_axpy(c128 *__restrict y, c128 a, const c128 *__restrict x, i64 len) {
#pragma omp simd
    for (i64 j = 0; j < len; ++j) y[j] = c128_add(y[j], c128_mul(a, x[j]));
}

inline void row_divide(c128 *__restrict y, c128_smith s, i64 len) {
#pragma omp simd
    for (i64 j = 0; j < len; ++j) y[j] = c128_smith_div(y[j], s);
}

inline c128 negate(c128 a) { return c128_make(-a.re, -a.im); }

inline void swap_rows(c128 *a, c128 *b, i64 len) { std::swap_ranges(a, a + len, b); }

}  // namespace

extern "C" {

// Row i of out accumulates A[i][k] * (row k of B) for k = 0, 1, ...: every
// output element still sums its terms in increasing k from zero, and the
// inner loop walks rows of B and out with unit stride.
void c128_matmul(const c128 *__restrict A, const c128 *__restrict B, i64 m, i64 n, i64 p,
                 c128 *__restrict out) {
    if (m <= 0 || p <= 0 || element_count(m, p) < 0) return;
    const i64 inner = n > 0 ? n : 0;
    if (element_count(m, inner) < 0 || element_count(inner, p) < 0) return;
    for (i64 i = 0; i < m; ++i) {
        c128 *__restrict row = out + i * p;
        std::fill(row, row + p, ZERO);
        for (i64 k = 0; k < inner; ++k) row_axpy(row, A[i * inner + k], B + k * p, p);
    }
}

i64 c128_lu_factor_inplace(c128 *A, i64 *pivot, i64 n) {
    if (pivot == nullptr || n < 1 || A == nullptr || element_count(n, n) < 0) return -1;
    for (i64 k = 0; k + 1 < n; ++k) {
        // Largest squared modulus in column k; a strict comparison keeps the
        // first of equal candidates and never lets a NaN win.
        i64 p = k;
        f64 best = c128_abs2(A[k * n + k]);
        for (i64 i = k + 1; i < n; ++i) {
            const f64 size = c128_abs2(A[i * n + k]);
            if (size > best) {
                best = size;
                p = i;
            }
        }
        pivot[k] = p;
        if (best == 0.0) return -2;
        if (p != k) swap_rows(A + k * n, A + p * n, n);

        c128 *__restrict pivot_row = A + k * n;
        const c128_smith by_pivot = c128_smith_of(pivot_row[k]);
        for (i64 i = k + 1; i < n; ++i) {
            c128 *__restrict row = A + i * n;
            const c128 l = c128_smith_div(row[k], by_pivot);
            row[k] = l;
            row_axpy(row + k + 1, negate(l), pivot_row + k + 1, n - k - 1);
        }
    }
    pivot[n - 1] = n - 1;
    return c128_abs2(A[(n - 1) * n + (n - 1)]) == 0.0 ? -2 : 0;
}

c128_lu c128_lu_factor(const c128 *A, i64 n) {
    const c128_lu failed = {nullptr, nullptr, n, -1};
    if (A == nullptr || n < 1) return failed;
    const i64 count = element_count(n, n);
    if (count < 0) return failed;
    c128 *lu = alloc_c128(count);
    i64 *piv = static_cast<i64 *>(std::malloc(static_cast<size_t>(n) * sizeof(i64)));
    if (lu == nullptr || piv == nullptr) {
        std::free(lu);
        std::free(piv);
        return failed;
    }
    std::memcpy(lu, A, static_cast<size_t>(count) * sizeof(c128));
    return {lu, piv, n, c128_lu_factor_inplace(lu, piv, n)};
}

void c128_lu_free(c128_lu *lu) {
    if (lu == nullptr) return;
    std::free(lu->lu);
    std::free(lu->piv);
    *lu = {nullptr, nullptr, 0, 0};
}

void c128_lu_solve(const c128 *__restrict LU, const i64 *__restrict piv, const c128 *__restrict B,
                   c128 *__restrict X, i64 n, i64 m) {
    const i64 count = element_count(n, m);
    if (count <= 0 || element_count(n, n) < 0 || LU == nullptr || piv == nullptr || B == nullptr ||
        X == nullptr)
        return;
    std::memcpy(X, B, static_cast<size_t>(count) * sizeof(c128));

    // P B: replay the interchanges in the order they were made.
    for (i64 k = 0; k < n; ++k)
        if (piv[k] != k) swap_rows(X + k * m, X + piv[k] * m, m);

    // L Y = P B, unit diagonal.
    for (i64 i = 1; i < n; ++i)
        for (i64 j = 0; j < i; ++j) row_axpy(X + i * m, negate(LU[i * n + j]), X + j * m, m);

    // U X = Y, one Smith divisor per row.
    for (i64 i = n - 1; i >= 0; --i) {
        for (i64 k = i + 1; k < n; ++k) row_axpy(X + i * m, negate(LU[i * n + k]), X + k * m, m);
        row_divide(X + i * m, c128_smith_of(LU[i * n + i]), m);
    }
}

i64 c128_solve(const c128 *A, const c128 *B, i64 n, i64 m, c128 *X) {
    // Refuse what cannot be a pair of n x m buffers before factoring.
    const i64 count = element_count(n, m);
    if (count < 0 || (count > 0 && (B == nullptr || X == nullptr))) return -1;
    c128_lu lu = c128_lu_factor(A, n);
    const i64 code = lu.err;
    if (code == 0) c128_lu_solve(lu.lu, lu.piv, B, X, n, m);
    c128_lu_free(&lu);
    return code;
}

i64 c128_inv(const c128 *A, i64 n, c128 *Ainv) {
    if (A == nullptr || n < 1 || Ainv == nullptr) return -1;
    const i64 count = element_count(n, n);
    if (count < 0) return -1;
    c128 *identity = alloc_c128(count);
    if (identity == nullptr) return -1;
    std::fill(identity, identity + count, ZERO);
    for (i64 i = 0; i < n; ++i) identity[i * n + i] = ONE;
    const i64 code = c128_solve(A, identity, n, n, Ainv);
    std::free(identity);
    return code;
}

}  // extern "C"
