/* Dense real linear algebra: products, Cholesky, LU, sort and median.

   Storage: an r x c matrix is one contiguous row-major array of r*c doubles,
   element (i, j) at index i*c + j, no leading dimension. Vectors are
   contiguous. Every buffer belongs to the caller; only vlm_lu_factor,
   vlm_solve and vlm_inv allocate (see below). Unless a function says
   otherwise, its pointer arguments must not overlap. */
#ifndef VLM_LINALG_H
#define VLM_LINALG_H

#include "vlm_common.h"

VLM_EXTERN_C_BEGIN

/* ---- storage and products ------------------------------------------------
   Empty sizes (zero or negative) follow the rules stated per function; the
   products check no pointers and report nothing. A size for which an operand's
   byte count overflows (no such buffer exists) makes every kernel of this unit
   that does not allocate write nothing; vlm_dot, vlm_logdet_from_chol and
   vlm_median_f64 then return NaN, vlm_chol -1. */

/* out (r x c) = 0; nothing is written when r*c is not positive. */
VLM_EXPORT void vlm_zero_mat(f64 *out, i64 r, i64 c);

/* P (n x n) becomes (P + P^T) / 2; the diagonal is not touched. */
VLM_EXPORT void vlm_sym_inplace(f64 *P, i64 n);

/* out (n x m) = A (n x p) * B (p x m); p <= 0 gives zeros, n or m <= 0 writes
   nothing. A B of more than 4096 elements is copied in slivers through a
   16 KiB buffer on the caller's stack. */
VLM_EXPORT void vlm_matmul(const f64 *A, const f64 *B, f64 *out, i64 n, i64 p, i64 m);

/* out (p x m) = A^T * B with A (n x p), B (n x m): cleared first (also for
   n <= 0), then accumulated as rank-one updates over the rows in increasing
   order. */
VLM_EXPORT void vlm_matmul_atb(const f64 *A, const f64 *B, f64 *out, i64 n, i64 p, i64 m);

/* out (n x m) = A (n x p) * B^T with B (m x p). */
VLM_EXPORT void vlm_matmul_abt(const f64 *A, const f64 *B, f64 *out, i64 n, i64 p, i64 m);

/* out (n x m) = C + A * B^T; the inner product is formed before C is added. */
VLM_EXPORT void vlm_matmul_abt_plus_c(const f64 *A, const f64 *B, const f64 *C, f64 *out, i64 n,
                                      i64 p, i64 m);

/* out (n) = A (n x m) * x (m); m <= 0 gives zeros. */
VLM_EXPORT void vlm_matvec(const f64 *A, const f64 *x, f64 *out, i64 n, i64 m);

/* out (n) = A (n x m) * x (m) + b (n); m <= 0 copies b. */
VLM_EXPORT void vlm_matvec_plus_vec(const f64 *A, const f64 *x, const f64 *b, f64 *out, i64 n,
                                    i64 m);

/* out = a - b element by element; out may be a or b. */
VLM_EXPORT void vlm_vsub(const f64 *a, const f64 *b, f64 *out, i64 n);

/* sum of a[i] * b[i]; 0 for n <= 0. */
VLM_EXPORT f64 vlm_dot(const f64 *a, const f64 *b, i64 n);

/* ---- Cholesky family -----------------------------------------------------
   Status: 0 success, -1 not numerically positive definite. */

/* Lower factor L (n x n, strict upper triangle zero) of the symmetric S, of
   which only the lower triangle is read. A positive jitter is added to the
   diagonal; a pivot at or below n * 2^-52 * (largest jittered diagonal)
   fails with -1, leaving the rows finished so far in L. An order whose n*n
   overflows is refused with -1 before anything is written. */
VLM_EXPORT int vlm_chol(const f64 *S, f64 jitter, f64 *L, i64 n);

/* log det(L L^T) = 2 * sum log L[i][i]; 0 for n <= 0. */
VLM_EXPORT f64 vlm_logdet_from_chol(const f64 *L, i64 n);

/* Solves L out = b; out may be b. */
VLM_EXPORT void vlm_forward_subst(const f64 *L, const f64 *b, f64 *out, i64 n);

/* Solves L^T out = b; out may be b. */
VLM_EXPORT void vlm_backward_subst_chol_t(const f64 *L, const f64 *b, f64 *out, i64 n);

/* G (p x p) = X^T X for X (n x p), exactly symmetric. */
VLM_EXPORT void vlm_gram(const f64 *X, f64 *G, i64 n, i64 p);

/* g (p) = X^T y for X (n x p), y (n); p <= 0 touches nothing. */
VLM_EXPORT void vlm_gram_rhs(const f64 *X, const f64 *y, f64 *g, i64 n, i64 p);

/* Solves G coef = g through the factor left in scratch_L (p x p); coef is
   untouched on failure. */
VLM_EXPORT int vlm_chol_solve(const f64 *G, const f64 *g, f64 *coef, f64 *scratch_L, i64 p);

/* Pinv = G^-1 through the factor left in scratch_L; Pinv is untouched on
   failure and is not symmetrised. */
VLM_EXPORT int vlm_chol_inv(const f64 *G, f64 *Pinv, f64 *scratch_L, i64 p);

/* ---- QR factorisation ---------------------------------------------------
   Householder QR with column pivoting, A P = Q R, for least squares: the
   factor R of A (m x n) has |R[0][0]| >= |R[1][1]| >= ..., so its diagonal
   shows the numerical rank, and R^T R = P^T A^T A P is formed without
   squaring the condition number of A. */

/* Factors A (m x n, m, n >= 1) in place. The first k = min(m, n) rows hold R
   on and above the diagonal; below the diagonal, column j < k holds the
   Householder vector v_j of H_j = I - tau[j] v_j v_j^T (v_j[j] = 1 is implied,
   v_j[i] = 0 for i < j), and Q = H_0 H_1 ... H_{k-1}. perm (n values)
   receives the pivoting: column j of A P is column perm[j] of A. work holds
   m n + 2n values. Returns 0, or -1 with nothing written for a null pointer
   or sizes that describe no buffer. Columns with NaN are never chosen as pivots
   and their NaN spreads through R. */
VLM_EXPORT i64 vlm_qr_pivoted(f64 *A, i64 m, i64 n, f64 *tau, i64 *perm, f64 *work);

/* b (m values) becomes Q^T b, with QR and tau from vlm_qr_pivoted of an
   m x n matrix; its first min(m, n) values are then the coordinates of b
   along the columns of Q. */
VLM_EXPORT void vlm_qr_apply_qt(const f64 *QR, const f64 *tau, f64 *b, i64 m, i64 n);

/* ---- LU family -----------------------------------------------------------
   Codes: 0 success, -1 invalid call (null matrix or pivot array, order below
   1, sizes whose element count overflows) or allocation failure, -2 exactly
   zero pivot. Factors: U on and above the diagonal, the multipliers of the
   unit lower factor below it. piv[k] is the row exchanged with row k at step
   k (replay in increasing k); it is not a permutation. */

typedef struct f64_lu {
    f64 *lu;  /* n x n factors, owned by the record; null if never started */
    i64 *piv; /* n interchange indices, owned by the record */
    i64 n;    /* the order passed in */
    i64 err;  /* 0, -1 or -2 */
} f64_lu;

/* Factors A (n x n) in place with partial pivoting. On -2, pivot holds the
   steps up to the failing one; on -1 nothing is written. */
VLM_EXPORT i64 vlm_lu_factor_inplace(f64 *A, i64 *pivot, i64 n);

/* Factors a copy of A. The record owns its buffers (also when err is -2)
   until vlm_lu_free. */
VLM_EXPORT f64_lu vlm_lu_factor(const f64 *A, i64 n);

/* Frees the record's buffers and clears it; harmless on a cleared record or
   a null pointer. */
VLM_EXPORT void vlm_lu_free(f64_lu *lu);

/* X (n x m) = A^-1 B from the factors of A; one system per column of B. */
VLM_EXPORT void vlm_lu_solve(const f64 *LU, const i64 *piv, const f64 *B, f64 *X, i64 n, i64 m);

/* Solves A X = B (n x m); X is untouched unless the code is 0. */
VLM_EXPORT i64 vlm_solve(const f64 *A, const f64 *B, i64 n, i64 m, f64 *X);

/* Ainv = A^-1 (n x n); Ainv is untouched unless the code is 0. */
VLM_EXPORT i64 vlm_inv(const f64 *A, i64 n, f64 *Ainv);

/* ---- sort and median ------------------------------------------------------ */

/* Sorts ascending in place (NaNs are gathered at the end). */
VLM_EXPORT void vlm_sort_f64(f64 *arr, i64 n);

/* Median of arr, which is left sorted; NaN for n <= 0 and when any element is
   NaN. */
VLM_EXPORT f64 vlm_median_f64(f64 *arr, i64 n);

VLM_EXTERN_C_END

#endif /* VLM_LINALG_H */
