"""Real dense linear algebra of the shared numerics library, through ctypes."""

import ctypes
import importlib
import math
import re
from functools import reduce
from pathlib import Path

import numpy as np
import pytest

import native
from native import ptr

MODULES = ["transforms._transforms", "optim._optim", "distributions._distributions"]
HEADER = Path(__file__).parents[2] / "src/Velmora/_ckernels/_common/vlm_linalg.h"
LINALG = set(re.findall(r"VLM_EXPORT [^(]*?\b(vlm_\w+)\(", HEADER.read_text()))
SIZES = [0, 1, 2, 3, 7, 16, 33, 64]
EPS = np.finfo(float).eps
SENTINEL = 7.25


@pytest.fixture(scope="module", params=MODULES)
def lib(request):
    return native.load(importlib.import_module(f"Velmora._ckernels.{request.param}"))


def f(*shape, value=SENTINEL):
    return np.full(shape, value)


def arr(x):
    return np.ascontiguousarray(x, dtype=np.float64)


def ip(a):
    return ptr(a, ctypes.c_int64)


def rand(rng, *shape):
    return rng.standard_normal(shape)


def spd(rng, n):
    x = rand(rng, n, n)
    return x @ x.T + n * np.eye(n)


def solve_tol(a):
    """Relative forward-error bound for a backward-stable solve with a."""
    n = a.shape[0]
    return 64 * max(n, 1) * EPS * (np.linalg.cond(a) if n else 1.0)


@pytest.mark.parametrize("module", MODULES)
def test_every_kernel_exported_by_every_module(module):
    names = native.exported_names(importlib.import_module(f"Velmora._ckernels.{module}"))
    assert len(LINALG) == 28 and LINALG <= names and LINALG <= set(native.COMMON)
    assert "vlm_cmp_f64" not in names  # the sort's comparison stays private


# ---- products ----------------------------------------------------------------


@pytest.mark.parametrize("n", SIZES)
def test_products_agree_with_numpy(lib, n):
    rng = np.random.default_rng(n)
    p, m = max(n - 1, 0), n + 2
    a, b_pm, b_nm, b_mp = rand(rng, n, p), rand(rng, p, m), rand(rng, n, m), rand(rng, m, p)
    c, x, y = rand(rng, n, m), rand(rng, m), rand(rng, n)
    cases = [  # (call, output shape, reference, elementwise bound for |error| / (p eps))
        (
            lambda o: lib.vlm_matmul(ptr(a), ptr(b_pm), ptr(o), n, p, m),
            (n, m),
            a @ b_pm,
            abs(a) @ abs(b_pm),
        ),
        (
            lambda o: lib.vlm_matmul_atb(ptr(a), ptr(b_nm), ptr(o), n, p, m),
            (p, m),
            a.T @ b_nm,
            abs(a.T) @ abs(b_nm),
        ),
        (
            lambda o: lib.vlm_matmul_abt(ptr(a), ptr(b_mp), ptr(o), n, p, m),
            (n, m),
            a @ b_mp.T,
            abs(a) @ abs(b_mp.T),
        ),
        (
            lambda o: lib.vlm_matmul_abt_plus_c(ptr(a), ptr(b_mp), ptr(c), ptr(o), n, p, m),
            (n, m),
            c + a @ b_mp.T,
            abs(c) + abs(a) @ abs(b_mp.T),
        ),
        (
            lambda o: lib.vlm_matvec(ptr(b_nm), ptr(x), ptr(o), n, m),
            (n,),
            b_nm @ x,
            abs(b_nm) @ abs(x),
        ),
        (
            lambda o: lib.vlm_matvec_plus_vec(ptr(b_nm), ptr(x), ptr(y), ptr(o), n, m),
            (n,),
            b_nm @ x + y,
            abs(b_nm) @ abs(x) + abs(y),
        ),
    ]
    for call, shape, ref, bound in cases:
        out = f(*shape)
        call(out)
        assert np.all(abs(out - ref) <= 2 * (max(p, m) + 1) * EPS * bound)
    assert lib.vlm_dot(ptr(x), ptr(x), m) == pytest.approx(x @ x, rel=4 * m * EPS, abs=0)


def test_rank_one_accumulation_runs_over_rows_in_order(lib):
    # Added row by row, 1e16 + 1 rounds back to 1e16 and the sum ends at 0;
    # any other grouping of the three terms gives 1.
    col = [1e16, 1.0, -1e16]
    assert reduce(lambda s, t: s + t, col, 0.0) == 0.0
    ones, b = arr([[1.0]] * 3), arr([[v] for v in col])
    out, g = f(1, 1), f(2, 2)
    lib.vlm_matmul_atb(ptr(ones), ptr(b), ptr(out), 3, 1, 1)
    lib.vlm_gram(ptr(arr(np.hstack([ones, b]))), ptr(g), 3, 2)
    assert out[0, 0] == 0.0 and g[1, 0] == 0.0 and g[0, 1] == 0.0


# Orders around the edges of the product's register tiles (6 rows by 8 or 4
# columns, scalar last columns) and of its blocks (256 inner indices; B read
# in place up to 4096 elements, packed beyond).
EDGE_ORDERS = [1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 17, 31, 33, 63, 65, 255, 257]
EDGE_SHAPES = [(n, n, n) for n in EDGE_ORDERS] + [
    (1, 9, 5),
    (7, 1, 13),
    (13, 7, 1),
    (257, 3, 2),
    (5, 257, 33),
    (65, 255, 17),
    (3, 513, 7),
    (2, 600, 9),
    (13, 4, 1030),
    (64, 64, 64),
    (11, 64, 65),
    (9, 5, 12),
    (257, 17, 20),
]


@pytest.mark.parametrize("n, p, m", EDGE_SHAPES)
def test_matmul_tile_and_block_edges(lib, n, p, m):
    rng = np.random.default_rng(n * 1000003 + p * 1009 + m)
    a, b = rand(rng, n, p), rand(rng, p, m)
    out = f(n * m + 16)  # with a guard zone past the end
    lib.vlm_matmul(ptr(a), ptr(b), ptr(out), n, p, m)
    err = abs(out[: n * m].reshape(n, m) - a @ b)
    assert np.all(err <= 2 * (p + 1) * EPS * (abs(a) @ abs(b)))
    assert np.all(out[n * m :] == SENTINEL)


@pytest.mark.parametrize("n, p, m", [(3, 3, 3), (7, 5, 13), (17, 300, 9), (6, 2, 1030)])
def test_matmul_non_finite_values_propagate(lib, n, p, m):
    # Every term is a product of two elements: an infinity meets a zero
    # (NaN), an infinity or a finite value, so each output element is NaN,
    # an infinity or finite exactly as its terms say.
    rng = np.random.default_rng(p)
    a, b = rand(rng, n, p), rand(rng, p, m)
    a[n // 2, p // 2], a[0, p - 1], b[p // 2, m - 1], b[0, 0] = math.inf, math.nan, 0.0, -math.inf
    out = f(n, m)
    lib.vlm_matmul(ptr(a), ptr(b), ptr(out), n, p, m)
    with np.errstate(invalid="ignore"):
        ref = (a[:, :, None] * b[None, :, :]).sum(axis=1)
    assert np.array_equal(np.isnan(out), np.isnan(ref))
    assert np.array_equal(out[np.isinf(ref)], ref[np.isinf(ref)])
    finite = np.isfinite(ref)
    assert np.allclose(out[finite], ref[finite], rtol=1e-12, atol=1e-12 * p)


@pytest.mark.parametrize(
    "call, size, expected",
    [
        ("vlm_zero_mat(o, 0, 3)", 3, [SENTINEL] * 3),
        ("vlm_zero_mat(o, 3, 0)", 3, [SENTINEL] * 3),
        ("vlm_matmul(a, a, o, 2, 0, 3)", 6, [0.0] * 6),
        ("vlm_matmul(a, a, o, 0, 2, 3)", 6, [SENTINEL] * 6),
        ("vlm_matmul(a, a, o, 2, 2, 0)", 6, [SENTINEL] * 6),
        ("vlm_matmul_atb(a, a, o, 0, 2, 3)", 6, [0.0] * 6),
        ("vlm_matmul_abt(a, a, o, 2, 0, 3)", 6, [0.0] * 6),
        ("vlm_matmul_abt_plus_c(a, a, c, o, 2, 0, 3)", 6, [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]),
        ("vlm_matvec(a, a, o, 3, 0)", 3, [0.0] * 3),
        ("vlm_matvec_plus_vec(a, a, c, o, 3, 0)", 3, [1.0, 2.0, 3.0]),
        ("vlm_gram(a, o, 0, 2)", 4, [0.0] * 4),
        ("vlm_gram_rhs(a, a, o, 0, 2)", 2, [0.0] * 2),
        ("vlm_gram_rhs(a, a, o, 3, 0)", 2, [SENTINEL] * 2),
    ],
)
def test_zero_sizes(lib, call, size, expected):
    env = {"a": ptr(f(8, value=9.0)), "c": ptr(arr(np.arange(1.0, 7.0))), "o": None}
    out = f(size)
    env["o"] = ptr(out)
    eval("lib." + call, {"lib": lib}, env)
    assert out.tolist() == expected


def test_small_elementwise_kernels(lib):
    p = arr([[1, 2], [4, 3]])
    lib.vlm_sym_inplace(ptr(p), 2)
    assert p.tolist() == [[1, 3], [3, 3]]
    a, b = arr([5, 7, 9]), arr([1, 2, 3])
    lib.vlm_vsub(ptr(a), ptr(b), ptr(a), 3)
    lib.vlm_vsub(ptr(a), ptr(b), ptr(b), 3)
    assert a.tolist() == [4, 5, 6] and b.tolist() == [3, 3, 3]
    assert lib.vlm_dot(ptr(a), ptr(b), 0) == 0.0


# ---- Cholesky family -----------------------------------------------------------


@pytest.mark.parametrize("n", SIZES)
def test_cholesky_family_agrees_with_numpy(lib, n):
    rng = np.random.default_rng(100 + n)
    s, b = spd(rng, n), rand(rng, n)
    tol = solve_tol(s)
    low = f(n, n)
    assert lib.vlm_chol(ptr(s), 0.0, ptr(low), n) == 0
    assert np.array_equal(low, np.tril(low))
    assert np.allclose(low, np.linalg.cholesky(s) if n else low, rtol=tol, atol=tol * math.sqrt(n))
    assert lib.vlm_logdet_from_chol(ptr(low), n) == pytest.approx(
        np.linalg.slogdet(s)[1] if n else 0.0, abs=tol * n + 1e-300
    )
    for name, mat in (("vlm_forward_subst", low), ("vlm_backward_subst_chol_t", low.T)):
        out, inplace = f(n), b.copy()
        getattr(lib, name)(ptr(low), ptr(b), ptr(out), n)
        getattr(lib, name)(ptr(low), ptr(inplace), ptr(inplace), n)
        assert np.array_equal(out, inplace)
        assert np.linalg.norm(
            out - (np.linalg.solve(mat, b) if n else out)
        ) <= tol * np.linalg.norm(out)

    x, y = rand(rng, n + 3, n), rand(rng, n + 3)
    g, rhs, coef, pinv = f(n, n), f(n), f(n), f(n, n)
    lib.vlm_gram(ptr(x), ptr(g), n + 3, n)
    lib.vlm_gram_rhs(ptr(x), ptr(y), ptr(rhs), n + 3, n)
    assert np.array_equal(g, g.T)
    assert np.all(abs(g - x.T @ x) <= 2 * (n + 4) * EPS * (abs(x.T) @ abs(x)))
    assert np.all(abs(rhs - x.T @ y) <= 2 * (n + 4) * EPS * (abs(x.T) @ abs(y)))
    assert lib.vlm_chol_solve(ptr(s), ptr(b), ptr(coef), ptr(f(n, n)), n) == 0
    assert lib.vlm_chol_inv(ptr(s), ptr(pinv), ptr(f(n, n)), n) == 0
    if n:
        assert np.linalg.norm(coef - np.linalg.solve(s, b)) <= tol * np.linalg.norm(coef)
        assert np.linalg.norm(pinv - np.linalg.inv(s)) <= tol * np.linalg.norm(pinv)


R2 = math.sqrt(2.0)
TOL2 = 4.440892098500626e-16  # 2 * 2^-52 * 1 for diag(1, t)


@pytest.mark.parametrize(
    "s, jitter, status, factor",
    [
        ([[4, 2], [2, 3]], 0.0, 0, [[2, 0], [1, R2]]),
        ([[4, 99], [2, 3]], 0.0, 0, [[2, 0], [1, R2]]),  # upper triangle ignored
        ([[4, 2], [2, 3]], -1.0, 0, [[2, 0], [1, R2]]),  # negative jitter ignored
        ([[4, 2], [2, 3]], math.nan, 0, [[2, 0], [1, R2]]),
        ([[0]], 0.0, -1, [[0]]),
        ([[1, 0], [0, 1e-17]], 0.0, -1, [[1, 0], [0, 0]]),
        ([[1, 0], [0, 1e-17]], 1e-15, 0, None),
        ([[1, 0], [0, TOL2]], 0.0, -1, [[1, 0], [0, 0]]),  # at the tolerance: refused
        (
            [[1, 0], [0, math.nextafter(TOL2, 1)]],
            0.0,
            0,
            [[1, 0], [0, math.sqrt(math.nextafter(TOL2, 1))]],
        ),
        (
            [[4, 2, 0], [2, 1, 0], [0, 0, 1]],
            0.0,
            -1,
            [[2, 0, 0], [1, 0, 0], [0, 0, 0]],
        ),  # rows so far
    ],
)
def test_chol_exact_cases(lib, s, jitter, status, factor):
    s = arr(s)
    n = s.shape[0]
    low = f(n, n)
    assert lib.vlm_chol(ptr(s), jitter, ptr(low), n) == status
    if factor is not None:
        assert low.tolist() == factor


@pytest.mark.parametrize("n, k", [(3, 1), (5, 3), (16, 15), (40, 30)])
def test_chol_failure_leaves_rows_up_to_the_failing_pivot(lib, n, k):
    # Pivot k is made exactly -1 (its Schur complement is shifted down by
    # one); the rows before it are complete, row k has its entries left of
    # the diagonal, every later row is zero.
    rng = np.random.default_rng(n)
    s = spd(rng, n)
    head = s[:k, :k]
    s[k, k] = s[k, :k] @ np.linalg.solve(head, s[:k, k]) - 1.0
    low = f(n, n)
    assert lib.vlm_chol(ptr(s), 0.0, ptr(low), n) == -1
    ref = np.zeros((n, n))
    ref[:k, :k] = np.linalg.cholesky(head)
    ref[k, :k] = np.linalg.solve(ref[:k, :k], s[k, :k])
    assert np.allclose(low, ref, rtol=1e-12, atol=1e-12)
    assert not low[k, k:].any() and not low[k + 1 :].any() and not np.triu(low, 1).any()


def test_chol_edge_values(lib):
    low = arr([[2, 0], [1, R2]])
    assert lib.vlm_logdet_from_chol(ptr(low), 2) == pytest.approx(math.log(8.0), rel=1e-15)
    assert lib.vlm_logdet_from_chol(ptr(low), 0) == 0.0
    assert lib.vlm_chol(ptr(f(1)), 0.0, ptr(f(1)), 0) == 0
    nan_l = f(1, 1)
    assert lib.vlm_chol(ptr(arr([[math.nan]])), 0.0, ptr(nan_l), 1) == 0 and math.isnan(nan_l[0, 0])
    g, coef, pinv = arr([[4, 2], [2, 3]]), f(2), f(2, 2)
    assert lib.vlm_chol_solve(ptr(g), ptr(arr([2, 1])), ptr(coef), ptr(f(2, 2)), 2) == 0
    assert lib.vlm_chol_inv(ptr(g), ptr(pinv), ptr(f(2, 2)), 2) == 0
    assert np.allclose(coef, [0.5, 0], rtol=0, atol=4 * EPS)
    assert np.allclose(pinv, [[0.375, -0.25], [-0.25, 0.5]], rtol=4 * EPS)
    bad = arr([[1, 2], [2, 1]])
    coef, pinv = f(2), f(2, 2)
    assert lib.vlm_chol_solve(ptr(bad), ptr(arr([1, 1])), ptr(coef), ptr(f(2, 2)), 2) == -1
    assert lib.vlm_chol_inv(ptr(bad), ptr(pinv), ptr(f(2, 2)), 2) == -1
    assert (coef == SENTINEL).all() and (pinv == SENTINEL).all()


# ---- QR factorisation --------------------------------------------------------------


def qr(lib, a):
    """(factors, tau, perm, status) of vlm_qr_pivoted on a copy of a."""
    m, n = a.shape
    fac, tau, perm = arr(a).copy(), f(min(m, n)), np.full(n, -9, np.int64)
    status = lib.vlm_qr_pivoted(ptr(fac), m, n, ptr(tau), ip(perm), ptr(f(m * n + 2 * n)))
    return fac, tau, perm, status


def qt(lib, fac, tau, b):
    b = arr(b).copy()
    lib.vlm_qr_apply_qt(ptr(fac), ptr(tau), ptr(b), *fac.shape)
    return b


def graded(rng, m, n, cond):
    """An m x n matrix with singular values from 1 down to 1/cond."""
    u, _ = np.linalg.qr(rand(rng, m, n))
    v, _ = np.linalg.qr(rand(rng, n, n))
    return (u * np.geomspace(1.0, 1.0 / cond, n)) @ v.T


@pytest.mark.parametrize(
    "m, n, cond",
    [(1, 1, 1), (5, 5, 1e3), (20, 3, 1e8), (3, 7, 1), (64, 16, 1e12), (33, 2, 1e15), (2, 1, 1)],
)
def test_qr_reproduces_the_matrix_with_a_graded_r(lib, m, n, cond):
    rng = np.random.default_rng(m * 100 + n)
    a = graded(rng, m, n, cond) if m >= n else rand(rng, m, n)
    fac, tau, perm, status = qr(lib, a)
    k = min(m, n)
    assert status == 0 and sorted(perm) == list(range(n))
    r = np.triu(fac[:k])
    # Q^T applied to each column of A P gives R over zeros, to backward-stable accuracy.
    qtap = np.column_stack([qt(lib, fac, tau, a[:, j]) for j in perm])
    scale = max(m, n) * 8 * EPS * np.linalg.norm(a, 2)
    assert np.abs(qtap[:k] - r).max() <= scale and np.abs(qtap[k:]).max(initial=0) <= scale
    d = np.abs(np.diag(r))
    assert np.all(d[1:] <= d[:-1] * (1 + 1e-12))  # the pivoting orders the diagonal
    if m >= n:
        # The R factor's smallest diagonal tracks the smallest singular value.
        assert d[-1] == pytest.approx(np.linalg.svd(a, compute_uv=False)[-1], rel=0.9)


def test_qr_least_squares_beats_the_normal_equations_on_an_ill_conditioned_fit(lib):
    # A degree-7 polynomial on [0, 1]: cond(A) ~ 1e5 after column scaling,
    # squared by A^T A. The QR solution keeps about 11 digits.
    t = np.linspace(0.0, 1.0, 40)
    a = np.vander(t, 8, increasing=True)
    coef = np.arange(1.0, 9.0)
    b = a @ coef + 1e-3 * np.cos(17 * t)
    want = np.linalg.lstsq(a, b, rcond=None)[0]
    fac, tau, perm, _ = qr(lib, a)
    y = qt(lib, fac, tau, b)[:8]
    u = np.linalg.solve(np.triu(fac[:8]), y)
    got = np.empty(8)
    got[perm] = u
    assert np.abs(got - want).max() <= 1e-8 * np.abs(want).max()


@pytest.mark.parametrize(
    "a, diagonal, det",
    [
        ([[3.0], [4.0]], [-5.0], None),
        ([[0.0, 0.0], [0.0, 0.0]], [0.0, 0.0], None),  # nothing to reflect
        ([[1.0, 2.0], [2.0, 4.0], [3.0, 6.0]], None, 0.0),  # rank one: R[1][1] vanishes
        ([[1e300, 1.0], [2e300, 1.0]], None, 1e300),  # squares would overflow
        ([[1e-300, 0.0], [1e-300, 1.0]], None, 1e-300),  # and underflow
    ],
)
def test_qr_exact_and_extreme_cases(lib, a, diagonal, det):
    a = arr(a)
    fac, tau, perm, status = qr(lib, a)
    assert status == 0 and np.isfinite(fac).all()
    d = np.diag(np.triu(fac[: min(a.shape)]))
    if diagonal is not None:
        assert d.tolist() == diagonal
    else:
        assert abs(d[0]) == pytest.approx(math.hypot(*a[:, perm[0]]), rel=1e-15)
        # |det A| = |R[0][0] R[1][1]| for a square A; a third row adds nothing here.
        assert abs(d[0]) * abs(d[1]) == pytest.approx(det, rel=1e-14, abs=1e-14 * abs(d[0]))


def test_qr_with_nan_spreads_it_and_stays_in_bounds(lib):
    a = arr([[1.0, math.nan, 2.0], [3.0, 1.0, 0.5], [0.0, 2.0, 1.0], [1.0, 1.0, 1.0]])
    fac, tau, perm, status = qr(lib, a)
    assert status == 0 and sorted(perm) == [0, 1, 2] and perm[0] != 1
    assert np.isnan(fac).any()


def test_qr_invalid_calls_write_nothing(lib):
    a, tau, work = f(4), f(2), f(6)
    perm = np.full(2, -9, np.int64)
    for m, n in ((0, 2), (2, 0), (-1, 2), (2**62, 2**62), (2, 2**62)):
        assert lib.vlm_qr_pivoted(ptr(a), m, n, ptr(tau), ip(perm), ptr(work)) == -1
        lib.vlm_qr_apply_qt(ptr(a), ptr(tau), ptr(work), m, n)
    assert lib.vlm_qr_pivoted(None, 2, 2, ptr(tau), ip(perm), ptr(work)) == -1
    assert (
        (a == SENTINEL).all()
        and (tau == SENTINEL).all()
        and (work == SENTINEL).all()
        and (perm == -9).all()
    )


# ---- LU family --------------------------------------------------------------------


@pytest.mark.parametrize("n", SIZES[1:])
def test_lu_family_agrees_with_numpy(lib, n):
    rng = np.random.default_rng(200 + n)
    a = rand(rng, n, n)
    tol = solve_tol(a)
    rec = lib.vlm_lu_factor(ptr(a), n)
    assert rec.err == 0 and rec.n == n
    lu = np.ctypeslib.as_array(rec.lu, (n, n)).copy()
    piv = np.ctypeslib.as_array(rec.piv, (n,)).copy()
    b, x = rand(rng, n, 2), f(n, 2)
    lib.vlm_lu_solve(rec.lu, rec.piv, ptr(b), ptr(x), n, 2)
    assert np.linalg.norm(x - np.linalg.solve(a, b)) <= tol * np.linalg.norm(x)
    lib.vlm_lu_free(ctypes.byref(rec))
    low, up, permuted = np.tril(lu, -1) + np.eye(n), np.triu(lu), a.copy()
    for k, p in enumerate(piv):
        assert k <= p < n
        permuted[[k, p]] = permuted[[p, k]]
    assert np.all(abs(low) <= 1.0)  # partial pivoting bounds the multipliers
    assert np.linalg.norm(low @ up - permuted) <= 8 * n * EPS * np.linalg.norm(abs(low) @ abs(up))
    for m in (1, 3):
        b, x = rand(rng, n, m), f(n, m)
        assert lib.vlm_solve(ptr(a), ptr(b), n, m, ptr(x)) == 0
        assert np.linalg.norm(x - np.linalg.solve(a, b)) <= tol * np.linalg.norm(x)
    inv = f(n, n)
    assert lib.vlm_inv(ptr(a), n, ptr(inv)) == 0
    assert np.linalg.norm(inv - np.linalg.inv(a)) <= tol * np.linalg.norm(inv)


@pytest.mark.parametrize(
    "a, code, pivot, factors",
    [
        ([[0, 1], [1, 0]], 0, [1, 1], [[1, 0], [0, 1]]),
        ([[1, 2], [-1, 3]], 0, [0, 1], [[1, 2], [-1, 5]]),  # tie keeps the first row
        ([[1, 2], [2, 4]], -2, [1, 1], [[2, 4], [0.5, 0]]),
        ([[0, 1], [0, 2]], -2, [0, -9], [[0, 1], [0, 2]]),  # stops at step 0
        ([[5]], 0, [0], [[5]]),
        ([[0]], -2, [0], [[0]]),
    ],
)
def test_lu_exact_cases(lib, a, code, pivot, factors):
    a = arr(a)
    n = a.shape[0]
    piv = np.full(n, -9, dtype=np.int64)
    rec = lib.vlm_lu_factor(ptr(a), n)
    assert lib.vlm_lu_factor_inplace(ptr(a), ip(piv), n) == code
    assert piv.tolist() == pivot and a.tolist() == factors
    assert rec.err == code and rec.lu and rec.piv  # the record owns its buffers even on -2
    assert np.ctypeslib.as_array(rec.lu, (n, n)).tolist() == factors
    lib.vlm_lu_free(ctypes.byref(rec))
    assert (not rec.lu, not rec.piv, rec.n, rec.err) == (True, True, 0, 0)
    lib.vlm_lu_free(ctypes.byref(rec))
    lib.vlm_lu_free(None)


def test_lu_invalid_calls_write_nothing(lib):
    a, piv = f(2, 2), np.full(2, -9, dtype=np.int64)
    for args in (
        (ptr(a), None, 2),
        (None, ip(piv), 2),
        (ptr(a), ip(piv), 0),
        (ptr(a), ip(piv), -1),
    ):
        assert lib.vlm_lu_factor_inplace(*args) == -1
    assert (a == SENTINEL).all() and (piv == -9).all()
    for args, n in (((None, 2), 2), ((ptr(a), 0), 0), ((ptr(a), -3), -3)):
        rec = lib.vlm_lu_factor(*args)
        assert (not rec.lu, not rec.piv, rec.n, rec.err) == (True, True, n, -1)


def test_solve_and_inv_exact_cases_and_failures(lib):
    x = f(2)
    assert lib.vlm_solve(ptr(arr([[2, 1], [1, 3]])), ptr(arr([3, 5])), 2, 1, ptr(x)) == 0
    assert np.allclose(x, [0.8, 1.4], rtol=4 * EPS)
    inv = f(2, 2)
    assert lib.vlm_inv(ptr(arr([[4, 7], [2, 6]])), 2, ptr(inv)) == 0
    assert np.allclose(inv, [[0.6, -0.7], [-0.2, 0.4]], rtol=8 * EPS)
    singular, x, inv = arr([[1, 2], [2, 4]]), f(2, 3), f(2, 2)
    assert lib.vlm_solve(ptr(singular), ptr(f(2, 3)), 2, 3, ptr(x)) == -2
    assert lib.vlm_inv(ptr(singular), 2, ptr(inv)) == -2
    assert lib.vlm_inv(ptr(singular), 0, ptr(inv)) == -1
    assert lib.vlm_solve(ptr(singular), ptr(x), 0, 3, ptr(x)) == -1
    assert lib.vlm_solve(ptr(singular), None, 2, 3, ptr(x)) == -1
    assert lib.vlm_solve(ptr(singular), ptr(x), 2, -1, ptr(x)) == -1
    assert (x == SENTINEL).all() and (inv == SENTINEL).all()


# ---- sort and median ---------------------------------------------------------------


@pytest.mark.parametrize(
    "values, median, after",
    [
        ([3, 1, 2], 2.0, [1, 2, 3]),
        ([4, 1, 3, 2], 2.5, [1, 2, 3, 4]),
        ([-7.5], -7.5, [-7.5]),
        ([2, math.inf, -math.inf, 2, 0], 2.0, [-math.inf, 0, 2, 2, math.inf]),
    ],
)
def test_median_sorts_in_place(lib, values, median, after):
    a = arr(values)
    assert lib.vlm_median_f64(ptr(a), len(a)) == median
    assert a.tolist() == after


@pytest.mark.parametrize(
    "values",
    [
        [1, math.nan, 2],
        [3, math.nan, 1, 2],
        [math.nan],
        [math.nan, math.nan],
        [math.inf, math.nan, -math.inf],
        list(range(100)) + [math.nan],
    ],
)
def test_median_with_nan_is_nan(lib, values):
    a = arr(values)
    assert math.isnan(lib.vlm_median_f64(ptr(a), len(a)))
    assert math.isnan(np.median(values))  # the convention NumPy users know
    # The array is still left sorted, NaNs last.
    finite = sorted(v for v in values if not math.isnan(v))
    assert a[: len(finite)].tolist() == finite and np.isnan(a[len(finite) :]).all()


def test_sort_and_median_edges(lib):
    assert math.isnan(lib.vlm_median_f64(ptr(f(1)), 0))
    a = np.random.default_rng(3).standard_normal(1001)
    ref = np.sort(a)
    lib.vlm_sort_f64(ptr(a), len(a))
    assert np.array_equal(a, ref)
    # NaNs are gathered after every number, which keeps qsort's order consistent.
    b = arr([3, math.nan, 1, math.nan, 2])
    lib.vlm_sort_f64(ptr(b), 5)
    assert b[:3].tolist() == [1, 2, 3] and np.isnan(b[3:]).all()


# ---- hostile sizes -------------------------------------------------------------------

HOSTILE = """
import ctypes, importlib, sys
import numpy as np
import native
from native import ptr
lib = native.load(importlib.import_module("Velmora._ckernels." + sys.argv[1]))
a, x, piv = np.full(4, 7.25), np.full(4, 7.25), np.full(4, -9, dtype=np.int64)
for n in (2**29, 2**31, 2**32, 2**62):  # the first is too big to allocate, the others overflow n*n
    rec = lib.vlm_lu_factor(ptr(a), n)
    assert (not rec.lu, not rec.piv, rec.n, rec.err) == (True, True, n, -1), n
    assert lib.vlm_inv(ptr(a), n, ptr(x)) == -1, n
for n in (2**32, 2**62):
    assert lib.vlm_lu_factor_inplace(ptr(a), ptr(piv, ctypes.c_int64), n) == -1
for n, m in ((2, 2**62), (2**32, 2**32), (2**62, 4)):
    assert lib.vlm_solve(ptr(a), ptr(a), n, m, ptr(x)) == -1
    lib.vlm_lu_solve(ptr(a), ptr(piv, ctypes.c_int64), ptr(a), ptr(x), n, m)
lib.vlm_zero_mat(ptr(x), 2**32, 2**32)
assert lib.vlm_chol(ptr(a), 0.0, ptr(x), 2**32) == -1
assert lib.vlm_chol_inv(ptr(a), ptr(x), ptr(x), 2**62) == -1
assert (a == 7.25).all() and (x == 7.25).all() and (piv == -9).all()
print("ok")
"""


@pytest.mark.parametrize("module", MODULES)
def test_hostile_sizes_are_refused(module):
    run = native.run_python(HOSTILE, module, timeout=60)
    assert run.returncode == 0 and run.stdout.strip() == "ok", run.stderr


# Sizes for which some operand's byte count overflows make the kernels that
# only touch caller buffers write nothing (NaN from the value-returning ones),
# and the most negative order is an empty one for the Cholesky solve (its
# backward pass once computed n - 1 and walked off the buffers).
IMPOSSIBLE = """
import ctypes, importlib, math, sys
import numpy as np
import native
from native import ptr
lib = native.load(importlib.import_module("Velmora._ckernels." + sys.argv[1]))
a, b, c, out = (np.full(8, 7.25) for _ in range(4))
A, B, C, O = ptr(a), ptr(b), ptr(c), ptr(out)
big, huge, neg = 2**61, 2**62, -2**63
for n, p, m in ((huge, 1, 1), (1, huge, 1), (1, 1, huge), (2**32, 2**32, 1), (1, 2**32, 2**32),
                (big, 0, 1), (1, 0, big)):
    lib.vlm_matmul(A, B, O, n, p, m)
    lib.vlm_matmul_atb(A, B, O, n, p, m)
    lib.vlm_matmul_abt(A, B, O, n, p, m)
    lib.vlm_matmul_abt_plus_c(A, B, C, O, n, p, m)
for n, m in ((huge, 1), (1, huge), (2**32, 2**32), (big, 0), (0, big)):
    lib.vlm_matvec(A, B, O, n, m)
    lib.vlm_matvec_plus_vec(A, B, C, O, n, m)
    lib.vlm_gram(A, O, n, m)
    lib.vlm_gram_rhs(A, B, O, n, m)
for n in (2**32, huge, 2**63 - 1):
    lib.vlm_sym_inplace(O, n)
    lib.vlm_forward_subst(A, B, O, n)
    lib.vlm_backward_subst_chol_t(A, B, O, n)
    assert math.isnan(lib.vlm_logdet_from_chol(A, n))
for n in (big, huge, 2**63 - 1):
    lib.vlm_vsub(A, B, O, n)
    lib.vlm_sort_f64(O, n)
    assert math.isnan(lib.vlm_dot(A, B, n)) and math.isnan(lib.vlm_median_f64(O, n))
for n in (neg, -1):
    assert lib.vlm_chol_solve(A, B, O, C, n) == 0
    lib.vlm_backward_subst_chol_t(A, B, O, n)
    assert lib.vlm_chol_inv(A, O, C, n) == 0
assert all((v == 7.25).all() for v in (a, b, c, out))
print("ok")
"""


@pytest.mark.parametrize("module", MODULES)
def test_impossible_and_most_negative_sizes_write_nothing(module):
    run = native.run_python(IMPOSSIBLE, module, timeout=60)
    assert run.returncode == 0 and run.stdout.strip() == "ok", run.stderr
