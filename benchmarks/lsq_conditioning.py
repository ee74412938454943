"""Normal equations or QR for the Levenberg-Marquardt step: what each keeps
of an ill-conditioned least-squares problem.

    PYTHONPATH=src python benchmarks/lsq_conditioning.py

For each Jacobian J and residual vector r below, the Gauss-Newton step s
(min ||J s + r||) and the unscaled covariance (J^T J)^-1 are formed three ways
and compared with 50-digit values (mpmath):

  normal   the package's Gram matrix and Cholesky kernels (vlm_gram,
           vlm_gram_rhs, vlm_chol_solve, vlm_chol_inv) on J with unit columns,
           the best the normal equations can do;
  qr       the package's pivoted Householder QR (vlm_qr_pivoted,
           vlm_qr_apply_qt) and triangular substitutions, as the solver does;
  numpy    numpy.linalg.lstsq / pinv (LAPACK), for reference.

The error of the normal equations grows with cond(J)^2, that of QR with
cond(J): past cond ~ 1e8 (with unit columns) the normal equations lose every
digit, or the Cholesky factorisation fails outright.
"""

import ctypes
import importlib
import os
import sys

import mpmath
import numpy as np

sys.path.insert(
    0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support")
)
import native
from native import ptr

LIB = native.load(importlib.import_module("Velmora._ckernels.optim._fitting"))


def exact(J, r):
    with mpmath.workdps(60):
        M, b = mpmath.matrix(J.tolist()), mpmath.matrix((-r).tolist())
        G = M.T * M
        step = mpmath.lu_solve(G, M.T * b)
        cov = G**-1
        return (
            np.array([float(v) for v in step]),
            np.array([[float(cov[i, j]) for j in range(J.shape[1])] for i in range(J.shape[1])]),
        )


def normal_equations(J, r):
    m, n = J.shape
    d = np.linalg.norm(J, axis=0)
    Js = np.ascontiguousarray(J / d)
    G, g, s, L, cov = np.empty((n, n)), np.empty(n), np.empty(n), np.empty((n, n)), np.empty((n, n))
    LIB.vlm_gram(ptr(Js), ptr(G), m, n)
    LIB.vlm_gram_rhs(ptr(Js), ptr(np.ascontiguousarray(-r)), ptr(g), m, n)
    if LIB.vlm_chol_solve(ptr(G), ptr(g), ptr(s), ptr(L), n) != 0:
        return None, None
    LIB.vlm_chol_inv(ptr(G), ptr(cov), ptr(L), n)
    return s / d, cov / np.outer(d, d)


def qr(J, r):
    m, n = J.shape
    d = np.linalg.norm(J, axis=0)
    a = np.ascontiguousarray(J / d)
    tau, perm, work, b = (
        np.empty(n),
        np.empty(n, np.int64),
        np.empty(m * n + 2 * n),
        np.ascontiguousarray(-r),
    )
    LIB.vlm_qr_pivoted(ptr(a), m, n, ptr(tau), ptr(perm, ctypes.c_int64), ptr(work))
    LIB.vlm_qr_apply_qt(ptr(a), ptr(tau), ptr(b), m, n)
    Rt = np.ascontiguousarray(np.triu(a[:n]).T)  # R^T, lower
    u = np.empty(n)
    LIB.vlm_backward_subst_chol_t(ptr(Rt), ptr(b), ptr(u), n)  # R u = (Q^T b)[:n]
    inv = np.empty((n, n))
    for k in range(n):
        e, col = np.eye(n)[k].copy(), np.empty(n)
        LIB.vlm_forward_subst(ptr(Rt), ptr(e), ptr(col), n)
        LIB.vlm_backward_subst_chol_t(ptr(Rt), ptr(col), ptr(col), n)
        inv[:, k] = col
    s, cov = np.empty(n), np.empty((n, n))
    s[perm] = u
    cov[np.ix_(perm, perm)] = inv
    return s / d, cov / np.outer(d, d)


def numpy_lstsq(J, r):
    return np.linalg.lstsq(J, -r, rcond=None)[0], np.linalg.pinv(J.T @ J)


def error(got, want):
    if got is None:
        return "failed"
    return f"{np.abs(got - want).max() / np.abs(want).max():.1e}"


def problems():
    t = np.linspace(0.0, 1.0, 50)
    for degree in (5, 9, 12):
        yield (
            f"polynomial degree {degree} on [0, 1]",
            np.vander(t, degree + 1, increasing=True),
            np.cos(3 * t),
        )
    try:
        import statsmodels.api as sm

        data = sm.datasets.longley.load_pandas()
        X = np.column_stack([np.ones(len(data.endog)), np.asarray(data.exog, float)])
        yield "Longley (NIST linear)", X, np.asarray(data.endog, float)
    except ImportError:
        pass
    x = np.linspace(0, 8, 60)
    for k2 in (1.15, 1.02):
        p = (1.0, 1.0, 2.0, k2)
        e1, e2 = np.exp(-p[1] * x), np.exp(-p[3] * x)
        J = np.column_stack([e1, -p[0] * x * e1, e2, -p[2] * x * e2])
        yield f"two exponentials, rates 1 and {k2}", J, 1e-3 * np.cos(7 * x)


def main():
    print(
        f"{'problem':<36} {'cond(J N^-1)':>12}  {'step: normal':>12} {'qr':>8} {'numpy':>8}   "
        f"{'cov: normal':>11} {'qr':>8} {'numpy':>8}"
    )
    for name, J, r in problems():
        J = np.ascontiguousarray(J, dtype=float)
        cond = np.linalg.cond(J / np.linalg.norm(J, axis=0))
        step, cov = exact(J, r)
        rows = [f(J, r) for f in (normal_equations, qr, numpy_lstsq)]
        print(
            f"{name:<36} {cond:12.1e}  {error(rows[0][0], step):>12} {error(rows[1][0], step):>8} "
            f"{error(rows[2][0], step):>8}   {error(rows[0][1], cov):>11} {error(rows[1][1], cov):>8} "
            f"{error(rows[2][1], cov):>8}"
        )


if __name__ == "__main__":
    main()
