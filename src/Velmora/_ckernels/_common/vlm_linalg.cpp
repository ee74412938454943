// Dense real linear algebra over contiguous row-major matrices.
//
// Every inner loop runs along a contiguous row with unit stride over pointers
// that do not alias, so the compiler turns it into vector code: substitutions
// and factorisations are written as row updates (axpy) or as row-by-row inner
// products (dot); A B is computed in register tiles. Where an accumulation
// order is part of the contract (A^T B and the Gram matrix add their rank-one
// terms row after row) the loops keep that order; plain inner products may
// use partial sums.
#include "vlm_linalg.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "vlm_vecmath.h"

namespace {

// The functions marked VLM_VECTOR_CLONES carry every O(n^2) and O(n^3) loop
// of this unit and are built per instruction set (vlm_vecmath.h); they have
// internal linkage, so only the names vlm_linalg.h declares are exported. Each
// is entered once per call of an exported kernel, or once per row.

// Helpers of a multiversioned function are inlined into each of its
// versions, so that they are compiled for that version's instruction set.
#define VLM_INLINE [[gnu::always_inline]] inline

// Byte size of an r x c array of `elem`-byte elements, refused (false) when
// a size is negative or the product does not fit a signed 64-bit count: such
// a size cannot describe a real buffer, and a wrapped product would allocate
// or touch the wrong amount of memory.
bool byte_count(i64 r, i64 c, i64 elem, size_t *bytes) {
    i64 count = 0, total = 0;
    if (r < 0 || c < 0) return false;
    if (__builtin_mul_overflow(r, c, &count) || __builtin_mul_overflow(count, elem, &total))
        return false;
    *bytes = static_cast<size_t>(total);
    return true;
}

// An r x c operand with both sizes positive whose byte count overflows: no
// caller can hold it, and its row offsets i*c would overflow. The kernels
// that only touch caller buffers write nothing for such a size (empty and
// negative sizes keep their own rules).
bool impossible(i64 r, i64 c) {
    size_t bytes = 0;
    return r > 0 && c > 0 && !byte_count(r, c, sizeof(f64), &bytes);
}
bool impossible(i64 r, i64 c, i64 s, i64 t, i64 u, i64 v) {
    return impossible(r, c) || impossible(s, t) || impossible(u, v);
}

// Sum of a[k] * b[k] in sixteen interleaved partial sums: one running sum
// would make every addition wait for the previous one.
VLM_VECTOR_CLONES f64 dot_unit(const f64 *__restrict a, const f64 *__restrict b, i64 n) {
    constexpr int LANES = 16;
    f64 part[LANES] = {};
    i64 k = 0;
    for (; k + LANES <= n; k += LANES)
        for (int l = 0; l < LANES; ++l) part[l] += a[k + l] * b[k + l];
    f64 tail = 0.0;
    for (; k < n; ++k) tail += a[k] * b[k];
    for (int width = LANES / 2; width > 0; width /= 2)  // pairwise combination
        for (int l = 0; l < width; ++l) part[l] += part[l + width];
    return part[0] + tail;
}

// out[t] = sum of a[k] * b[t * b_stride + k] for t < 4: four inner products
// sharing one pass over a, each split over vector lanes.
VLM_VECTOR_CLONES void dot4(const f64 *__restrict a, const f64 *__restrict b, i64 b_stride, i64 n,
                            f64 *__restrict out) {
    const f64 *b0 = b, *b1 = b0 + b_stride, *b2 = b1 + b_stride, *b3 = b2 + b_stride;
    f64 s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
#pragma omp simd reduction(+ : s0, s1, s2, s3)
    for (i64 k = 0; k < n; ++k) {
        s0 += a[k] * b0[k];
        s1 += a[k] * b1[k];
        s2 += a[k] * b2[k];
        s3 += a[k] * b3[k];
    }
    out[0] = s0;
    out[1] = s1;
    out[2] = s2;
    out[3] = s3;
}

// out[j] = (row j of B) . a for j < m, with B (m x p) row-major.
void dots_with_rows(const f64 *__restrict a, const f64 *__restrict B, i64 p, i64 m,
                    f64 *__restrict out) {
    i64 j = 0;
    for (; j + 4 <= m; j += 4) dot4(a, B + j * p, p, p, out + j);
    for (; j < m; ++j) out[j] = dot_unit(a, B + j * p, p);
}

// y += alpha * x over n contiguous elements, each element in order.
VLM_INLINE void axpy_inline(f64 alpha, const f64 *__restrict x, f64 *__restrict y, i64 n) {
#pragma omp simd
    for (i64 k = 0; k < n; ++k) y[k] += alpha * x[k];
}

VLM_VECTOR_CLONES void axpy(f64 alpha, const f64 *__restrict x, f64 *__restrict y, i64 n) {
    axpy_inline(alpha, x, y, n);
}

// y[j] += sign * coef[t * coef_stride] * x[t * x_stride + j] for t < count and
// j < len, adding the terms to each y[j] one at a time in increasing t, so
// the result is that of `count` single row updates in order. Four source
// rows go per pass, which loads and stores y once per four terms. sign is
// +1 or -1 and multiplies exactly.
VLM_INLINE void accumulate_rows_inline(f64 *__restrict y, i64 len, const f64 *__restrict coef,
                                       i64 coef_stride, const f64 *__restrict x, i64 x_stride,
                                       i64 count, f64 sign) {
    i64 t = 0;
    for (; t + 4 <= count; t += 4) {
        const f64 *c = coef + t * coef_stride;
        const f64 c0 = sign * c[0], c1 = sign * c[coef_stride], c2 = sign * c[2 * coef_stride],
                  c3 = sign * c[3 * coef_stride];
        const f64 *x0 = x + t * x_stride, *x1 = x0 + x_stride, *x2 = x1 + x_stride,
                  *x3 = x2 + x_stride;
#pragma omp simd
        for (i64 j = 0; j < len; ++j) {
            f64 v = y[j];
            v += c0 * x0[j];
            v += c1 * x1[j];
            v += c2 * x2[j];
            v += c3 * x3[j];
            y[j] = v;
        }
    }
    for (; t < count; ++t) {
        const f64 c0 = sign * coef[t * coef_stride];
        const f64 *x0 = x + t * x_stride;
#pragma omp simd
        for (i64 j = 0; j < len; ++j) y[j] += c0 * x0[j];
    }
}

VLM_VECTOR_CLONES void accumulate_rows(f64 *__restrict y, i64 len, const f64 *__restrict coef,
                                       i64 coef_stride, const f64 *__restrict x, i64 x_stride,
                                       i64 count, f64 sign) {
    accumulate_rows_inline(y, len, coef, coef_stride, x, x_stride, count, sign);
}

// ---- register-blocked product -------------------------------------------
//
// out = A B is computed in tiles of up to MR rows by NR columns, each held in
// vector registers for the whole pass over a block of KC inner indices: per
// index the tile loads one row of the B sliver, broadcasts one element of
// each A row and does MR x NR multiply-adds, so every loaded value feeds
// several of them. Each output element is an inner product over k taken in
// order within a block, the blocks' partial sums added in order.

// Four doubles: one AVX register, two SSE registers at the baseline level.
// Loads and stores go through memcpy: rows carry no vector alignment.
typedef f64 v4 __attribute__((vector_size(32)));

constexpr int MR = 6;           // tile rows: 6 x 2 accumulators fill 12 of 16 AVX registers
constexpr int NR = 8;           // tile columns, two vectors
constexpr i64 KC = 256;         // inner block: a packed sliver of B is KC x NR doubles (16 KiB)
constexpr i64 DIRECT_B = 4096;  // B read in place up to this many elements (32 KiB)

// The ROWS x 4*VECS tile at c (row stride ldc) becomes (accumulate: gains)
// the product of ROWS rows of A (stride lda) and kc rows of a B sliver
// (stride ldb). Only the first `width` columns are written, but 4*VECS
// columns of every sliver row are read.
template <int ROWS, int VECS>
VLM_INLINE void tile(const f64 *__restrict a, i64 lda, const f64 *__restrict b, i64 ldb, i64 kc,
                     f64 *__restrict c, i64 ldc, i64 width, bool accumulate) {
    v4 acc[ROWS][VECS] = {};
    for (i64 k = 0; k < kc; ++k) {
        v4 bk[VECS];
#pragma GCC unroll 2
        for (int v = 0; v < VECS; ++v) __builtin_memcpy(&bk[v], b + k * ldb + 4 * v, sizeof(v4));
#pragma GCC unroll 6
        for (int r = 0; r < ROWS; ++r) {
            const f64 ark = a[r * lda + k];
            const v4 av = {ark, ark, ark, ark};
#pragma GCC unroll 2
            for (int v = 0; v < VECS; ++v) acc[r][v] += av * bk[v];
        }
    }
    if (width == 4 * VECS) {
#pragma GCC unroll 6
        for (int r = 0; r < ROWS; ++r)
#pragma GCC unroll 2
            for (int v = 0; v < VECS; ++v) {
                f64 *dst = c + r * ldc + 4 * v;
                v4 sum = acc[r][v];
                if (accumulate) {
                    v4 old;
                    __builtin_memcpy(&old, dst, sizeof old);
                    sum += old;
                }
                __builtin_memcpy(dst, &sum, sizeof sum);
            }
        return;
    }
    // A narrow last sliver: lane by lane, with constant lane numbers so the
    // accumulators stay in registers.
#pragma GCC unroll 6
    for (int r = 0; r < ROWS; ++r)
#pragma GCC unroll 8
        for (int j = 0; j < 4 * VECS; ++j)
            if (j < width) {
                f64 *dst = c + r * ldc + j;
                *dst = accumulate ? *dst + acc[r][j / 4][j % 4] : acc[r][j / 4][j % 4];
            }
}

// Rows [0, rows) of A against one B sliver, as one tile of up to MR rows.
template <int VECS>
VLM_INLINE void short_tile(const f64 *a, i64 lda, const f64 *b, i64 ldb, i64 kc, f64 *c, i64 ldc,
                           i64 rows, i64 width, bool accumulate) {
    switch (rows) {
        case 1: tile<1, VECS>(a, lda, b, ldb, kc, c, ldc, width, accumulate); break;
        case 2: tile<2, VECS>(a, lda, b, ldb, kc, c, ldc, width, accumulate); break;
        case 3: tile<3, VECS>(a, lda, b, ldb, kc, c, ldc, width, accumulate); break;
        case 4: tile<4, VECS>(a, lda, b, ldb, kc, c, ldc, width, accumulate); break;
        case 5: tile<5, VECS>(a, lda, b, ldb, kc, c, ldc, width, accumulate); break;
        case 6: tile<6, VECS>(a, lda, b, ldb, kc, c, ldc, width, accumulate); break;
        default: break;
    }
}

// All n rows against one B sliver: full tiles of MR rows, then the rest. A
// rest of one to three rows would leave too few independent accumulators
// to hide the latency of the multiply-adds, so it shares the rows of the
// last full tile in two tiles of four or five.
template <int VECS>
VLM_INLINE void sliver_times_rows(const f64 *a, i64 lda, const f64 *b, i64 ldb, i64 kc, f64 *c,
                                  i64 ldc, i64 n, i64 width, bool accumulate) {
    const i64 rest = n % MR;
    const i64 full = n / MR - (rest < 4 && rest > 0 && n > MR ? 1 : 0);
    for (i64 t = 0; t < full; ++t)
        tile<MR, VECS>(a + t * MR * lda, lda, b, ldb, kc, c + t * MR * ldc, ldc, width, accumulate);
    i64 i = full * MR, left = n - i;
    if (left > MR) {
        const i64 first = (left + 1) / 2;
        short_tile<VECS>(a + i * lda, lda, b, ldb, kc, c + i * ldc, ldc, first, width, accumulate);
        i += first;
        left -= first;
    }
    short_tile<VECS>(a + i * lda, lda, b, ldb, kc, c + i * ldc, ldc, left, width, accumulate);
}

// out = A B for the last W (1 to 3) columns of out, too narrow for a vector:
// each row keeps its W sums in scalars.
template <int W>
VLM_INLINE void narrow_columns(const f64 *__restrict A, const f64 *__restrict B,
                               f64 *__restrict out, i64 n, i64 p, i64 m) {
    for (i64 i = 0; i < n; ++i) {
        f64 s[W] = {};
        for (i64 k = 0; k < p; ++k) {
            const f64 aik = A[i * p + k];
#pragma GCC unroll 3
            for (int j = 0; j < W; ++j) s[j] += aik * B[k * m + j];
        }
#pragma GCC unroll 3
        for (int j = 0; j < W; ++j) out[i * m + j] = s[j];
    }
}

// out = A B with B small enough to stay in cache and be read in place: one
// pass over the whole depth p per tile, slivers of 8 then 4 columns, and the
// last columns by scalars.
VLM_VECTOR_CLONES void matmul_in_place(const f64 *__restrict A, const f64 *__restrict B,
                                       f64 *__restrict out, i64 n, i64 p, i64 m) {
    i64 j0 = 0;
    for (; j0 + NR <= m; j0 += NR)
        sliver_times_rows<2>(A, p, B + j0, m, p, out + j0, m, n, NR, false);
    if (j0 + 4 <= m) {
        sliver_times_rows<1>(A, p, B + j0, m, p, out + j0, m, n, 4, false);
        j0 += 4;
    }
    switch (m - j0) {
        case 1: narrow_columns<1>(A, B + j0, out + j0, n, p, m); break;
        case 2: narrow_columns<2>(A, B + j0, out + j0, n, p, m); break;
        case 3: narrow_columns<3>(A, B + j0, out + j0, n, p, m); break;
        default: break;
    }
}

// Copies kc rows of `width` columns (stride ldb) into a contiguous sliver of
// NR columns, zero-padded on the right.
VLM_INLINE void pack_sliver(const f64 *__restrict b, i64 ldb, i64 kc, i64 width,
                            f64 *__restrict sliver) {
    for (i64 k = 0; k < kc; ++k) {
        f64 *dst = sliver + k * NR;
        for (i64 j = 0; j < width; ++j) dst[j] = b[k * ldb + j];
        for (i64 j = width; j < NR; ++j) dst[j] = 0.0;
    }
}

// out = A B for a larger B: blocks of KC inner indices, each 8-column sliver
// of the block copied into a stack buffer that stays in the first-level
// cache while every row of A passes over it. The copy also keeps a
// power-of-two row stride from mapping a sliver's rows onto a few cache sets.
VLM_VECTOR_CLONES void matmul_packed(const f64 *__restrict A, const f64 *__restrict B,
                                     f64 *__restrict out, i64 n, i64 p, i64 m) {
    alignas(64) f64 sliver[KC * NR];
    for (i64 k0 = 0; k0 < p; k0 += KC) {
        const i64 kc = p - k0 < KC ? p - k0 : KC;
        for (i64 j0 = 0; j0 < m; j0 += NR) {
            const i64 width = m - j0 < NR ? m - j0 : NR;
            pack_sliver(B + k0 * m + j0, m, kc, width, sliver);
            sliver_times_rows<2>(A + k0, p, sliver, NR, kc, out + j0, m, n, width, k0 > 0);
        }
    }
}

VLM_INLINE void fill(f64 *__restrict y, f64 value, i64 n) {
    for (i64 k = 0; k < n; ++k) y[k] = value;
}

VLM_INLINE void copy(const f64 *__restrict x, f64 *__restrict y, i64 n) {
    if (n > 0) std::memcpy(y, x, static_cast<size_t>(n) * sizeof(f64));
}

VLM_INLINE void scale(f64 *__restrict y, f64 factor, i64 n) {
#pragma omp simd
    for (i64 k = 0; k < n; ++k) y[k] *= factor;
}

VLM_INLINE void divide(f64 *__restrict y, f64 divisor, i64 n) {
#pragma omp simd
    for (i64 k = 0; k < n; ++k) y[k] /= divisor;
}

VLM_INLINE void swap_rows(f64 *__restrict a, f64 *__restrict b, i64 n) {
#pragma omp simd
    for (i64 k = 0; k < n; ++k) {
        const f64 t = a[k];
        a[k] = b[k];
        b[k] = t;
    }
}

// Machine epsilon 2^-52 of the double format: the Cholesky pivot tolerance is
// n * eps relative to the largest (jittered) diagonal entry.
constexpr f64 EPS = 2.220446049250313e-16;

// Sum of a[k] * b[k], inlined into each version of its caller. A short row
// takes one running sum: the set-up and final reduction of a vector loop
// would cost more than they save, and the caller's neighbouring sums overlap
// with it anyway.
VLM_INLINE f64 dot_inline(const f64 *__restrict a, const f64 *__restrict b, i64 n) {
    f64 s = 0.0;
    if (n < 16) {
        for (i64 k = 0; k < n; ++k) s += a[k] * b[k];
        return s;
    }
#pragma omp simd reduction(+ : s)
    for (i64 k = 0; k < n; ++k) s += a[k] * b[k];
    return s;
}

// Cholesky factor of S (lower triangle read, `add` on the diagonal) into a
// cleared L, column by column (Crout order). Every entry is the inner product
// of two contiguous rows of L, as in the row-by-row order, but the entries
// below one diagonal element depend only on earlier columns: their inner
// products and divisions overlap instead of each waiting for the entry to
// its left. Returns n, or the first row whose pivot is at or below `tol`
// (the columns before it are then filled in every row).
VLM_VECTOR_CLONES i64 cholesky_by_columns(const f64 *__restrict S, f64 add, f64 tol,
                                          f64 *__restrict L, i64 n) {
    for (i64 j = 0; j < n; ++j) {
        const f64 *Lj = L + j * n;
        const f64 s = (S[j * n + j] + add) - dot_inline(Lj, Lj, j);
        if (s <= tol) return j;  // a NaN pivot passes and propagates
        const f64 d = std::sqrt(s);
        L[j * n + j] = d;
        for (i64 i = j + 1; i < n; ++i) {
            f64 *Li = L + i * n;
            Li[j] = (S[i * n + j] - dot_inline(Li, Lj, j)) / d;
        }
    }
    return n;
}

// Forward and backward substitution of one right-hand side with the LU
// factors (unit lower L, upper U): each step is an inner product along a
// contiguous row of the factor.
VLM_VECTOR_CLONES void lu_substitute_vector(const f64 *__restrict LU, f64 *__restrict x, i64 n) {
    for (i64 i = 1; i < n; ++i) x[i] -= dot_inline(LU + i * n, x, i);
    for (i64 i = n - 1; i >= 0; --i) {
        const f64 *row = LU + i * n;
        const f64 d = 1.0 / row[i];
        x[i] = (x[i] - dot_inline(row + i + 1, x + i + 1, n - 1 - i)) * d;
    }
}

// The same for m right-hand sides held as the columns of X (n x m): each step
// updates a whole contiguous row of X.
VLM_VECTOR_CLONES void lu_substitute_rows(const f64 *__restrict LU, f64 *__restrict X, i64 n,
                                          i64 m) {
    for (i64 i = 1; i < n; ++i) accumulate_rows_inline(X + i * m, m, LU + i * n, 1, X, m, i, -1.0);
    for (i64 i = n - 1; i >= 0; --i) {
        f64 *xi = X + i * m;
        accumulate_rows_inline(xi, m, LU + i * n + i + 1, 1, X + (i + 1) * m, m, n - 1 - i, -1.0);
        scale(xi, 1.0 / LU[i * n + i], m);
    }
}

// Doolittle elimination with partial pivoting on whole rows, for n >= 1. The
// first row holding the largest magnitude wins (NaN never does); only an
// exactly zero pivot is refused (-2).
VLM_VECTOR_CLONES i64 lu_eliminate(f64 *__restrict A, i64 *__restrict pivot, i64 n) {
    for (i64 k = 0; k + 1 < n; ++k) {
        f64 *rk = A + k * n;
        i64 p = k;
        f64 best = std::fabs(rk[k]);
        for (i64 i = k + 1; i < n; ++i) {
            const f64 v = std::fabs(A[i * n + k]);
            if (v > best) {
                best = v;
                p = i;
            }
        }
        pivot[k] = p;
        if (best == 0.0) return -2;
        if (p != k) swap_rows(rk, A + p * n, n);
        const f64 inv = 1.0 / rk[k];
        for (i64 i = k + 1; i < n; ++i) {
            f64 *ri = A + i * n;
            const f64 l = ri[k] * inv;
            ri[k] = l;
            axpy_inline(-l, rk + k + 1, ri + k + 1, n - k - 1);
        }
    }
    pivot[n - 1] = n - 1;
    return A[(n - 1) * n + (n - 1)] == 0.0 ? -2 : 0;
}

// ---- Householder QR with column pivoting -----------------------------------
// The factorisation works on the transpose At (n x m), whose rows are the
// columns of A: every norm, inner product and update then runs along
// contiguous memory, also for the tall, narrow Jacobians of least squares
// (20 x 3), where strided column walks would cost more than the arithmetic.

// Euclidean norm of x[0 .. count). The plain sum of squares serves when it
// neither overflows nor comes near underflow; otherwise the values are
// scaled by the largest magnitude first. NaN propagates.
VLM_INLINE f64 norm_inline(const f64 *__restrict x, i64 count) {
    f64 sum = 0.0;
#pragma omp simd reduction(+ : sum)
    for (i64 i = 0; i < count; ++i) sum += x[i] * x[i];
    if (sum < std::numeric_limits<f64>::infinity() && sum > 0x1p-900) return std::sqrt(sum);
    f64 big = 0.0;
    for (i64 i = 0; i < count; ++i) {
        const f64 a = std::fabs(x[i]);
        if (!(a <= big)) big = a;  // also takes a NaN, which then propagates
    }
    if (big == 0.0 || !std::isfinite(big)) return big;
    sum = 0.0;
    for (i64 i = 0; i < count; ++i) {
        const f64 t = x[i] / big;
        sum += t * t;
    }
    return big * std::sqrt(sum);
}

// Column k (row k of At, length m) becomes the Householder vector v (v[k] = 1
// implied, stored after it) of the reflector H = I - tau v v^T that maps the
// column's entries k .. m-1 onto beta e_k; entry k becomes beta. Returns tau
// (0: the column needs no reflection).
VLM_INLINE f64 make_reflector(f64 *__restrict col, i64 m, i64 k) {
    const f64 tail = norm_inline(col + k + 1, m - k - 1);
    if (tail == 0.0) return 0.0;
    const f64 x0 = col[k];
    const f64 big = std::fmax(std::fabs(x0), tail);
    const f64 alpha =
        big < 0x1p500 && big > 0x1p-500 ? std::sqrt(x0 * x0 + tail * tail) : std::hypot(x0, tail);
    const f64 beta = x0 >= 0.0 ? -alpha : alpha;  // no cancellation in x0 - beta
    scale(col + k + 1, 1.0 / (x0 - beta), m - k - 1);
    col[k] = beta;
    return (beta - x0) / beta;
}

// H_k applied to a later column (entries k .. m-1): col -= tau (v . col) v.
VLM_INLINE void apply_reflector(const f64 *__restrict v_col, f64 tau, f64 *__restrict col, i64 m,
                                i64 k) {
    const i64 len = m - k - 1;
    const f64 s = tau * (col[k] + dot_inline(v_col + k + 1, col + k + 1, len));
    col[k] -= s;
    axpy_inline(-s, v_col + k + 1, col + k + 1, len);
}

// After row k of R is formed, the norm of a later column over entries
// k+1 .. m-1 follows from the old one by subtracting R[k][j]^2. When most of
// it cancels that way (against `ref`, the norm when last computed in full),
// it is recomputed from the entries instead.
VLM_INLINE void downdate_norm(const f64 *__restrict col, i64 m, i64 k, f64 &norm, f64 &ref) {
    if (norm == 0.0) return;
    const f64 r = std::fabs(col[k]) / norm;
    const f64 left = std::fmax(0.0, (1.0 - r) * (1.0 + r));
    const f64 q = norm / ref;
    if (left * q * q > 1.4901161193847656e-08) {  // sqrt(EPS)
        norm *= std::sqrt(left);
    } else {
        norm = k + 1 < m ? norm_inline(col + k + 1, m - k - 1) : 0.0;
        ref = norm;
    }
}

// The factorisation of vlm_qr_pivoted on At (n x m), with the column norms
// in norm and ref (n values each).
VLM_VECTOR_CLONES void qr_columns(f64 *__restrict At, i64 m, i64 n, f64 *__restrict tau,
                                  i64 *__restrict perm, f64 *__restrict norm, f64 *__restrict ref) {
    for (i64 j = 0; j < n; ++j) {
        perm[j] = j;
        norm[j] = ref[j] = norm_inline(At + j * m, m);
    }
    const i64 steps = m < n ? m : n;
    for (i64 k = 0; k < steps; ++k) {
        i64 best = k;  // the largest remaining norm; a NaN is never picked
        for (i64 j = k + 1; j < n; ++j)
            if (norm[j] > norm[best]) best = j;
        if (best != k) {
            swap_rows(At + k * m, At + best * m, m);
            const i64 p = perm[k];
            perm[k] = perm[best];
            perm[best] = p;
            norm[best] = norm[k];
            ref[best] = ref[k];
        }
        f64 *vk = At + k * m;
        tau[k] = make_reflector(vk, m, k);
        for (i64 j = k + 1; j < n; ++j) {
            f64 *col = At + j * m;
            if (tau[k] != 0.0) apply_reflector(vk, tau[k], col, m, k);
            downdate_norm(col, m, k, norm[j], ref[j]);
        }
    }
}

// out (c x r) = the transpose of in (r x c).
VLM_INLINE void transpose(const f64 *__restrict in, f64 *__restrict out, i64 r, i64 c) {
    for (i64 i = 0; i < r; ++i)
        for (i64 j = 0; j < c; ++j) out[j * r + i] = in[i * c + j];
}

// qsort needs a consistent total order; a comparison that calls NaN equal to
// everything is not one (qsort may then misbehave), so NaN sorts after every
// number. Numbers compare as (a > b) - (a < b).
int vlm_cmp_f64(const void *pa, const void *pb) {
    const f64 a = *static_cast<const f64 *>(pa);
    const f64 b = *static_cast<const f64 *>(pb);
    const int a_nan = std::isnan(a), b_nan = std::isnan(b);
    if (a_nan || b_nan) return a_nan - b_nan;
    return (a > b) - (a < b);
}

}  // namespace

extern "C" {

// ---- storage and products ---------------------------------------------------

void vlm_zero_mat(f64 *out, i64 r, i64 c) {
    size_t bytes = 0;
    if (r <= 0 || c <= 0 || !byte_count(r, c, sizeof(f64), &bytes)) return;
    std::memset(out, 0, bytes);
}

void vlm_sym_inplace(f64 *P, i64 n) {
    if (impossible(n, n)) return;
    for (i64 i = 0; i < n; ++i)
        for (i64 j = i + 1; j < n; ++j) {
            const f64 v = 0.5 * (P[i * n + j] + P[j * n + i]);
            P[i * n + j] = v;
            P[j * n + i] = v;
        }
}

void vlm_matmul(const f64 *__restrict A, const f64 *__restrict B, f64 *__restrict out, i64 n, i64 p,
                i64 m) {
    if (n <= 0 || m <= 0 || impossible(n, p, p, m, n, m)) return;
    i64 b_elems = 0;
    if (p <= 0)
        vlm_zero_mat(out, n, m);
    else if (!__builtin_mul_overflow(p, m, &b_elems) && b_elems <= DIRECT_B)
        matmul_in_place(A, B, out, n, p, m);
    else
        matmul_packed(A, B, out, n, p, m);
}

// Sum over the rows r of the outer products (row r of A)^T (row r of B).
void vlm_matmul_atb(const f64 *__restrict A, const f64 *__restrict B, f64 *__restrict out, i64 n,
                    i64 p, i64 m) {
    if (impossible(n, p, n, m, p, m)) return;
    vlm_zero_mat(out, p, m);
    if (n <= 0 || p <= 0 || m <= 0) return;
    // Blocks of four rows keep the per-element order r = 0, 1, 2, ...
    for (i64 r = 0; r < n; r += 4) {
        const i64 rows = n - r < 4 ? n - r : 4;
        for (i64 a = 0; a < p; ++a)
            accumulate_rows(out + a * m, m, A + r * p + a, p, B + r * m, m, rows, 1.0);
    }
}

void vlm_matmul_abt(const f64 *__restrict A, const f64 *__restrict B, f64 *__restrict out, i64 n,
                    i64 p, i64 m) {
    if (n <= 0 || m <= 0 || impossible(n, p, m, p, n, m)) return;
    for (i64 i = 0; i < n; ++i) dots_with_rows(A + i * p, B, p, m, out + i * m);
}

void vlm_matmul_abt_plus_c(const f64 *__restrict A, const f64 *__restrict B,
                           const f64 *__restrict C, f64 *__restrict out, i64 n, i64 p, i64 m) {
    if (n <= 0 || m <= 0 || impossible(n, p, m, p, n, m)) return;
    for (i64 i = 0; i < n; ++i) {
        f64 *row = out + i * m;
        dots_with_rows(A + i * p, B, p, m, row);
        for (i64 j = 0; j < m; ++j) row[j] = C[i * m + j] + row[j];
    }
}

void vlm_matvec(const f64 *__restrict A, const f64 *__restrict x, f64 *__restrict out, i64 n,
                i64 m) {
    if (impossible(n, m, n, 1, m, 1)) return;
    dots_with_rows(x, A, m, n, out);
}

void vlm_matvec_plus_vec(const f64 *__restrict A, const f64 *__restrict x, const f64 *__restrict b,
                         f64 *__restrict out, i64 n, i64 m) {
    if (impossible(n, m, n, 1, m, 1)) return;
    dots_with_rows(x, A, m, n, out);
    for (i64 i = 0; i < n; ++i) out[i] = b[i] + out[i];
}

// out may be a or b: each element is read before it is written, at the same
// index, so the loop has no carried dependence even then.
void vlm_vsub(const f64 *a, const f64 *b, f64 *out, i64 n) {
    if (impossible(n, 1)) return;
#pragma omp simd
    for (i64 i = 0; i < n; ++i) out[i] = a[i] - b[i];
}

f64 vlm_dot(const f64 *a, const f64 *b, i64 n) {
    if (impossible(n, 1)) return std::numeric_limits<f64>::quiet_NaN();
    return n > 0 ? dot_unit(a, b, n) : 0.0;
}

// ---- Cholesky family --------------------------------------------------------

int vlm_chol(const f64 *__restrict S, f64 jitter, f64 *__restrict L, i64 n) {
    size_t bytes = 0;
    if (n > 0 && !byte_count(n, n, sizeof(f64), &bytes)) return -1;  // no n x n buffer exists
    vlm_zero_mat(L, n, n);
    if (n <= 0) return 0;
    const f64 add = jitter > 0.0 ? jitter : 0.0;  // zero, negative and NaN jitter are ignored

    f64 largest = 0.0;  // NaN diagonals never raise it
    for (i64 i = 0; i < n; ++i) {
        const f64 d = S[i * n + i] + add;
        if (d > largest) largest = d;
    }
    const f64 pivot_tol = (static_cast<f64>(n) * EPS) * largest;

    const i64 failed = cholesky_by_columns(S, add, pivot_tol, L, n);
    if (failed == n) return 0;
    // Row `failed` keeps its finished off-diagonal part; the later rows
    // hold partial columns that a row-by-row factorisation would not have
    // reached, and are cleared again.
    const i64 later = failed + 1;
    if (later < n) vlm_zero_mat(L + later * n, n - later, n);
    return -1;
}

f64 vlm_logdet_from_chol(const f64 *L, i64 n) {
    if (impossible(n, n)) return std::numeric_limits<f64>::quiet_NaN();
    f64 s = 0.0;
    for (i64 i = 0; i < n; ++i) s += std::log(L[i * n + i]);
    return s + s;
}

// out may be b: b[i] is read before out[i] is written.
void vlm_forward_subst(const f64 *__restrict L, const f64 *b, f64 *out, i64 n) {
    if (impossible(n, n)) return;
    for (i64 i = 0; i < n; ++i) {
        const f64 *Li = L + i * n;
        out[i] = (b[i] - dot_unit(Li, out, i)) / Li[i];
    }
}

// L^T is upper triangular with rows = columns of L. Instead of walking those
// columns with stride n, each solved out[i] is subtracted from the earlier
// entries along row i of L (contiguous).
void vlm_backward_subst_chol_t(const f64 *__restrict L, const f64 *b, f64 *out, i64 n) {
    // n <= 0 also keeps n - 1 from overflowing for the most negative n.
    if (n <= 0 || impossible(n, n)) return;
    if (out != b) copy(b, out, n);
    for (i64 i = n - 1; i >= 0; --i) {
        const f64 *Li = L + i * n;
        out[i] /= Li[i];
        axpy(-out[i], Li, out, i);
    }
}

// Lower triangle of the sum of the rows' outer products, then mirrored.
void vlm_gram(const f64 *__restrict X, f64 *__restrict G, i64 n, i64 p) {
    if (impossible(n, p, p, p, n, 1)) return;
    vlm_zero_mat(G, p, p);
    if (n <= 0 || p <= 0) return;
    // Blocks of four rows keep the per-element order r = 0, 1, 2, ... and
    // read X once.
    for (i64 r = 0; r < n; r += 4) {
        const i64 rows = n - r < 4 ? n - r : 4;
        const f64 *x = X + r * p;
        for (i64 a = 0; a < p; ++a) accumulate_rows(G + a * p, a + 1, x + a, p, x, p, rows, 1.0);
    }
    for (i64 a = 1; a < p; ++a)
        for (i64 b = 0; b < a; ++b) G[b * p + a] = G[a * p + b];
}

void vlm_gram_rhs(const f64 *__restrict X, const f64 *__restrict y, f64 *__restrict g, i64 n,
                  i64 p) {
    if (p < 1 || impossible(n, p, n, 1, p, 1)) return;
    fill(g, 0.0, p);
    if (n > 0) accumulate_rows(g, p, y, 1, X, p, n, 1.0);
}

int vlm_chol_solve(const f64 *G, const f64 *g, f64 *coef, f64 *scratch_L, i64 p) {
    const int status = vlm_chol(G, 0.0, scratch_L, p);
    if (status != 0) return status;
    vlm_forward_subst(scratch_L, g, coef, p);
    vlm_backward_subst_chol_t(scratch_L, coef, coef, p);
    return 0;
}

// G^-1 = L^-T L^-1, solved for all columns at once: the forward pass builds
// the rows of L^-1 from the identity, the backward pass turns them into the
// rows of G^-1; every update is along a contiguous row of Pinv.
int vlm_chol_inv(const f64 *__restrict G, f64 *__restrict Pinv, f64 *__restrict scratch_L, i64 p) {
    const int status = vlm_chol(G, 0.0, scratch_L, p);
    if (status != 0 || p <= 0) return status;
    const f64 *L = scratch_L;
    for (i64 i = 0; i < p; ++i) {
        f64 *row = Pinv + i * p;
        fill(row, 0.0, p);
        row[i] = 1.0;
        accumulate_rows(row, p, L + i * p, 1, Pinv, p, i, -1.0);
        divide(row, L[i * p + i], p);
    }
    for (i64 i = p - 1; i >= 0; --i) {
        f64 *row = Pinv + i * p;
        if (i + 1 < p)  // column i of L below the diagonal weights the later rows
            accumulate_rows(row, p, L + (i + 1) * p + i, p, Pinv + (i + 1) * p, p, p - 1 - i, -1.0);
        divide(row, L[i * p + i], p);
    }
    return 0;
}

// ---- QR factorisation ----------------------------------------------------------

i64 vlm_qr_pivoted(f64 *__restrict A, i64 m, i64 n, f64 *__restrict tau, i64 *__restrict perm,
                   f64 *__restrict work) {
    size_t bytes = 0;
    i64 mn = 0;
    if (A == nullptr || tau == nullptr || perm == nullptr || work == nullptr || m < 1 || n < 1 ||
        !byte_count(m, n, sizeof(f64), &bytes) || __builtin_add_overflow(m * n, 2 * n, &mn) ||
        !byte_count(mn, 1, sizeof(f64), &bytes))
        return -1;
    f64 *At = work;
    transpose(A, At, m, n);
    qr_columns(At, m, n, tau, perm, work + m * n, work + m * n + n);
    transpose(At, A, n, m);
    return 0;
}

void vlm_qr_apply_qt(const f64 *__restrict QR, const f64 *__restrict tau, f64 *__restrict b, i64 m,
                     i64 n) {
    if (m < 1 || n < 1 || impossible(m, n)) return;
    const i64 steps = m < n ? m : n;
    for (i64 k = 0; k < steps; ++k) {
        if (tau[k] == 0.0) continue;
        f64 s = b[k];
        for (i64 i = k + 1; i < m; ++i) s += QR[i * n + k] * b[i];
        s *= tau[k];
        b[k] -= s;
        for (i64 i = k + 1; i < m; ++i) b[i] -= s * QR[i * n + k];
    }
}

// ---- LU family --------------------------------------------------------------

i64 vlm_lu_factor_inplace(f64 *__restrict A, i64 *__restrict pivot, i64 n) {
    size_t bytes = 0;
    if (pivot == nullptr || n < 1 || A == nullptr || !byte_count(n, n, sizeof(f64), &bytes))
        return -1;
    return lu_eliminate(A, pivot, n);
}

f64_lu vlm_lu_factor(const f64 *A, i64 n) {
    f64_lu rec = {nullptr, nullptr, n, -1};
    size_t mat_bytes = 0, piv_bytes = 0;
    if (A == nullptr || n < 1 || !byte_count(n, n, sizeof(f64), &mat_bytes) ||
        !byte_count(n, 1, sizeof(i64), &piv_bytes))
        return rec;
    f64 *lu = static_cast<f64 *>(std::malloc(mat_bytes));
    i64 *piv = static_cast<i64 *>(std::malloc(piv_bytes));
    if (lu == nullptr || piv == nullptr) {
        std::free(lu);
        std::free(piv);
        return rec;
    }
    std::memcpy(lu, A, mat_bytes);
    rec.lu = lu;
    rec.piv = piv;
    rec.err = vlm_lu_factor_inplace(lu, piv, n);
    return rec;
}

void vlm_lu_free(f64_lu *lu) {
    if (lu == nullptr) return;
    std::free(lu->lu);
    std::free(lu->piv);
    *lu = f64_lu{nullptr, nullptr, 0, 0};
}

void vlm_lu_solve(const f64 *__restrict LU, const i64 *__restrict piv, const f64 *__restrict B,
                  f64 *__restrict X, i64 n, i64 m) {
    size_t bytes = 0;
    if (n < 1 || m < 1 || !byte_count(n, m, sizeof(f64), &bytes)) return;
    std::memcpy(X, B, bytes);
    for (i64 k = 0; k < n; ++k) {
        const i64 p = piv[k];
        // An index outside the matrix comes from no factorisation; skipping
        // it keeps every access inside X.
        if (p != k && p >= 0 && p < n) swap_rows(X + k * m, X + p * m, m);
    }
    if (m == 1)
        lu_substitute_vector(LU, X, n);
    else
        lu_substitute_rows(LU, X, n, m);
}

i64 vlm_solve(const f64 *A, const f64 *B, i64 n, i64 m, f64 *X) {
    size_t bytes = 0;
    // Refuse what no buffer can satisfy before allocating anything.
    if (m < 0 || (m > 0 && (B == nullptr || X == nullptr)) ||
        !byte_count(n, m, sizeof(f64), &bytes))
        return -1;
    f64_lu lu = vlm_lu_factor(A, n);
    const i64 code = lu.err;
    if (code == 0) vlm_lu_solve(lu.lu, lu.piv, B, X, n, m);
    vlm_lu_free(&lu);
    return code;
}

i64 vlm_inv(const f64 *A, i64 n, f64 *Ainv) {
    size_t bytes = 0;
    if (A == nullptr || Ainv == nullptr || n < 1 || !byte_count(n, n, sizeof(f64), &bytes))
        return -1;
    f64 *identity = static_cast<f64 *>(std::malloc(bytes));
    if (identity == nullptr) return -1;
    std::memset(identity, 0, bytes);
    for (i64 i = 0; i < n; ++i) identity[i * n + i] = 1.0;
    const i64 code = vlm_solve(A, identity, n, n, Ainv);
    std::free(identity);
    return code;
}

// ---- sort and median --------------------------------------------------------

void vlm_sort_f64(f64 *arr, i64 n) {
    if (n > 1 && !impossible(n, 1))
        std::qsort(arr, static_cast<size_t>(n), sizeof(f64), vlm_cmp_f64);
}

f64 vlm_median_f64(f64 *arr, i64 n) {
    if (n <= 0 || impossible(n, 1)) return std::numeric_limits<f64>::quiet_NaN();
    vlm_sort_f64(arr, n);
    // The sort gathers NaNs at the end: any NaN leaves the median undefined.
    if (std::isnan(arr[n - 1])) return std::numeric_limits<f64>::quiet_NaN();
    const i64 h = n / 2;
    return n % 2 == 1 ? arr[h] : (arr[h] + arr[h - 1]) * 0.5;
}

}  // extern "C"
