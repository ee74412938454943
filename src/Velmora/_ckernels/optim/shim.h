/* Dense vector and triangular-solve kernels used by the L-BFGS-B iteration.

   Reference calling convention: every scalar (size, increment, leading
   dimension, multiplier) is passed by pointer, matrices are column-major with
   an explicit leading dimension, character arguments select variants (case
   insensitive) and the two matrix routines report through `info`. A vector of
   length n with increment inc starts at 0 when inc >= 0 and at (1 - n)*inc
   when inc < 0, so a negative increment walks the array backwards.
   Sizes no array can have are refused: a vector spanning more elements than
   a byte count can express is left alone (ddot and dnrm2 give NaN); a matrix
   whose leading dimension is negative or reaches beyond such a count sets
   info to minus that argument's position (dpotrf -4, dtrtrs -7 or -9). */
#ifndef VLM_SHIM_H
#define VLM_SHIM_H

#include "../_common/vlm_common.h"

VLM_EXTERN_C_BEGIN

/* y := x */
VLM_EXPORT void vlm_shim_dcopy(const i64 *n, const f64 *x, const i64 *incx, f64 *y,
                               const i64 *incy);
/* y := y + a*x (no shortcut for a = 0) */
VLM_EXPORT void vlm_shim_daxpy(const i64 *n, const f64 *a, const f64 *x, const i64 *incx, f64 *y,
                               const i64 *incy);
/* x := a*x */
VLM_EXPORT void vlm_shim_dscal(const i64 *n, const f64 *a, f64 *x, const i64 *incx);
/* sum of x[k]*y[k]; 0 when n <= 0 */
VLM_EXPORT f64 vlm_shim_ddot(const i64 *n, const f64 *x, const i64 *incx, const f64 *y,
                             const i64 *incy);
/* Euclidean norm by a scaled sum of squares; 0 when n <= 0 or incx = 0 */
VLM_EXPORT f64 vlm_shim_dnrm2(const i64 *n, const f64 *x, const i64 *incx);
/* Cholesky factorization in place of the triangle named by uplo ("U": A = U'U,
   otherwise A = LL'); info = j + 1 for the first non-positive pivot. */
VLM_EXPORT void vlm_shim_dpotrf(const char *uplo, const i64 *n, f64 *a, const i64 *lda, i64 *info);
/* Solves op(A) X = B in place for nrhs columns of b, A triangular ("U" upper,
   otherwise lower; trans "N" none, otherwise transpose; diag "U" unit);
   info = i + 1 for the first exactly-zero diagonal of a non-unit A. */
VLM_EXPORT void vlm_shim_dtrtrs(const char *uplo, const char *trans, const char *diag, const i64 *n,
                                const i64 *nrhs, const f64 *a, const i64 *lda, f64 *b,
                                const i64 *ldb, i64 *info);

VLM_EXTERN_C_END

#endif /* VLM_SHIM_H */
