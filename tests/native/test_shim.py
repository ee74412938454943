"""The vector and triangular-solve kernels of the optimizer, through ctypes."""

import ctypes
import importlib

import numpy as np
import pytest

import native

byref = ctypes.byref


@pytest.fixture(scope="module")
def lib():
    return native.load(importlib.import_module("Velmora._ckernels.optim._optim"))


def I(v):
    return byref(native.i64(v))


def F(v):
    return byref(native.f64(v))


def P(a):
    return native.ptr(a)


def strided(a, n, inc):
    """The logical vector of length n with increment inc stored in a."""
    if n <= 0:
        return np.array([])
    start = 0 if inc >= 0 else (1 - n) * inc
    return a[start + inc * np.arange(n)]


def test_exports(lib):
    names = native.exported_names(importlib.import_module("Velmora._ckernels.optim._optim"))
    shims = {n for n in names if n.startswith("vlm_shim_")}
    assert shims == {
        "vlm_shim_dcopy",
        "vlm_shim_daxpy",
        "vlm_shim_dscal",
        "vlm_shim_ddot",
        "vlm_shim_dnrm2",
        "vlm_shim_dpotrf",
        "vlm_shim_dtrtrs",
    }
    assert {"setulb", "vlm_lbfgsb"} <= names


INCS = [(1, 1), (2, 1), (-1, 1), (1, -2), (-3, -1), (0, 1)]


@pytest.mark.parametrize("n", [0, 1, 2, 5, 8])
@pytest.mark.parametrize("incx,incy", INCS)
def test_vector_kernels_match_numpy(lib, n, incx, incy):
    rng = np.random.default_rng([n, incx + 5, incy + 5])
    size = max(1, 1 + (n - 1) * max(abs(incx), abs(incy), 1))
    x = rng.standard_normal(size)
    y = rng.standard_normal(size)
    xv, yv = strided(x, n, incx), strided(y, n, incy)

    dot = lib.vlm_shim_ddot(I(n), P(x), I(incx), P(y), I(incy))
    assert dot == pytest.approx(float(np.dot(xv, yv)), rel=1e-14, abs=1e-14)

    y2 = y.copy()
    lib.vlm_shim_daxpy(I(n), F(-0.75), P(x), I(incx), P(y2), I(incy))
    if incy != 0:
        np.testing.assert_allclose(strided(y2, n, incy), yv - 0.75 * xv, rtol=1e-14, atol=1e-15)

    y3 = y.copy()
    lib.vlm_shim_dcopy(I(n), P(x), I(incx), P(y3), I(incy))
    if incy != 0 and n > 0:
        np.testing.assert_array_equal(strided(y3, n, incy), xv)
    if n <= 0:
        np.testing.assert_array_equal(y3, y)

    if incx != 0:
        x2 = x.copy()
        lib.vlm_shim_dscal(I(n), F(3.0), P(x2), I(incx))
        np.testing.assert_array_equal(strided(x2, n, incx), 3.0 * xv)
        nrm = lib.vlm_shim_dnrm2(I(n), P(x), I(incx))
        assert nrm == pytest.approx(float(np.linalg.norm(xv)), rel=1e-14)


def test_negative_increment_walks_backwards(lib):
    x = np.array([1.0, 2.0, 3.0])
    y = np.zeros(3)
    lib.vlm_shim_dcopy(I(3), P(x), I(-1), P(y), I(1))
    np.testing.assert_array_equal(y, [3.0, 2.0, 1.0])


@pytest.mark.parametrize("n", [0, 3])
def test_dnrm2_zero_increment_is_zero(lib, n):
    x = np.array([5.0, 1.0, 2.0])
    assert lib.vlm_shim_dnrm2(I(n), P(x), I(0)) == 0.0


@pytest.mark.parametrize("scale", [1e200, 1e-200, 1.0])
def test_dnrm2_scaled_no_overflow(lib, scale):
    x = np.array([3.0 * scale, 0.0, -4.0 * scale])
    assert lib.vlm_shim_dnrm2(I(3), P(x), I(1)) == pytest.approx(5.0 * scale, rel=1e-15)


def test_daxpy_zero_multiplier_still_propagates_nan(lib):
    x = np.array([np.inf, 1.0])
    y = np.array([1.0, 2.0])
    lib.vlm_shim_daxpy(I(2), F(0.0), P(x), I(1), P(y), I(1))
    assert np.isnan(y[0]) and y[1] == 2.0


def spd(n, seed):
    rng = np.random.default_rng(seed)
    a = rng.standard_normal((n, n))
    return a @ a.T + n * np.eye(n)


def column_major(a, ld):
    """Column-major storage of a with leading dimension ld (padding is NaN)."""
    n, c = a.shape
    buf = np.full((c, ld), np.nan)
    buf[:, :n] = a.T
    return buf.reshape(-1)


def from_column_major(buf, n, c, ld):
    return buf.reshape(c, ld)[:, :n].T


@pytest.mark.parametrize("uplo", [b"U", b"u", b"L", b"x"])
@pytest.mark.parametrize("n", [1, 4])
def test_dpotrf_factor_and_other_triangle_untouched(lib, uplo, n):
    a = spd(n, n)
    ld = n + 2
    buf = column_major(a, ld)
    info = native.i64(-5)
    lib.vlm_shim_dpotrf(uplo, I(n), P(buf), I(ld), byref(info))
    assert info.value == 0
    out = from_column_major(buf, n, n, ld)
    ref = np.linalg.cholesky(a)  # lower L with A = L L'
    if uplo.upper() == b"U":
        np.testing.assert_allclose(np.triu(out), ref.T, rtol=1e-13, atol=1e-14)
        np.testing.assert_array_equal(np.tril(out, -1), np.tril(a, -1))
    else:
        np.testing.assert_allclose(np.tril(out), ref, rtol=1e-13, atol=1e-14)
        np.testing.assert_array_equal(np.triu(out, 1), np.triu(a, 1))
    assert np.isnan(buf.reshape(n, ld)[:, n:]).all()  # padding untouched


@pytest.mark.parametrize("a11,info_expected", [(1.0, 2), (np.nan, 2), (-3.0, 2)])
def test_dpotrf_reports_first_nonpositive_pivot(lib, a11, info_expected):
    a = np.array([[1.0, 2.0], [2.0, a11]])
    buf = column_major(a, 2)
    info = native.i64(0)
    lib.vlm_shim_dpotrf(b"U", I(2), P(buf), I(2), byref(info))
    assert info.value == info_expected
    out = from_column_major(buf, 2, 2, 2)
    # column 0 is factored (sqrt(1) = 1, 2/1 = 2); the failing pivot is left as it was
    assert out[0, 0] == 1.0 and out[0, 1] == 2.0
    np.testing.assert_array_equal(out[1, 1], a11)


def test_dpotrf_first_pivot_zero(lib):
    buf = column_major(np.array([[0.0, 1.0], [1.0, 4.0]]), 2)
    info = native.i64(0)
    lib.vlm_shim_dpotrf(b"L", I(2), P(buf), I(2), byref(info))
    assert info.value == 1


def test_dpotrf_empty(lib):
    info = native.i64(7)
    buf = np.zeros(1)
    lib.vlm_shim_dpotrf(b"U", I(0), P(buf), I(1), byref(info))
    assert info.value == 0


@pytest.mark.parametrize("uplo", [b"U", b"L"])
@pytest.mark.parametrize("trans", [b"N", b"T", b"C", b"t"])
@pytest.mark.parametrize("diag", [b"N", b"U"])
def test_dtrtrs_against_numpy(lib, uplo, trans, diag):
    n, nrhs, lda, ldb = 4, 3, 6, 5
    rng = np.random.default_rng(3)
    full = rng.standard_normal((n, n)) + 4 * np.eye(n)
    tri = np.triu(full) if uplo == b"U" else np.tril(full)
    if diag == b"U":
        tri = tri.copy()
        np.fill_diagonal(tri, 1.0)
        np.fill_diagonal(full, 0.0)  # stored diagonal must be ignored
    stored = full.copy()
    a = column_major(stored, lda)
    b = rng.standard_normal((n, nrhs))
    bbuf = column_major(b, ldb)
    info = native.i64(-1)
    lib.vlm_shim_dtrtrs(
        uplo, trans, diag, I(n), I(nrhs), P(a), I(lda), P(bbuf), I(ldb), byref(info)
    )
    assert info.value == 0
    op = tri if trans.upper() == b"N" else tri.T
    np.testing.assert_allclose(
        from_column_major(bbuf, n, nrhs, ldb), np.linalg.solve(op, b), rtol=1e-12
    )


def test_dtrtrs_zero_diagonal(lib):
    a = column_major(np.array([[2.0, 1.0, 0.0], [0.0, 3.0, 1.0], [0.0, 0.0, 0.0]]), 3)
    b = np.array([1.0, 2.0, 3.0])
    info = native.i64(0)
    lib.vlm_shim_dtrtrs(b"U", b"N", b"N", I(3), I(1), P(a), I(3), P(b), I(3), byref(info))
    assert info.value == 3
    np.testing.assert_array_equal(b, [1.0, 2.0, 3.0])  # untouched
    lib.vlm_shim_dtrtrs(b"U", b"N", b"u", I(3), I(1), P(a), I(3), P(b), I(3), byref(info))
    assert info.value == 0
    np.testing.assert_allclose(b, np.linalg.solve([[1, 1, 0], [0, 1, 1], [0, 0, 1.0]], [1, 2, 3.0]))


# Sizes no array can have: vectors whose span (n - 1)|inc| + 1 overflows a byte
# count, and matrices with a negative leading dimension or one that reaches
# beyond such a count. Run in a child process: touching memory there would
# end it.
HOSTILE = """
import ctypes, importlib, math, sys
import numpy as np
import native
lib = native.load(importlib.import_module("Velmora._ckernels.optim._optim"))
I = lambda v: ctypes.byref(native.i64(v))
x, y = np.full(4, 7.25), np.full(4, 7.25)
X, Y, a = native.ptr(x), native.ptr(y), ctypes.byref(native.f64(2.0))
for n, inc in ((2**62, 1), (2**61, -1), (3, 2**62), (3, -2**63), (2, 2**63 - 1)):
    lib.vlm_shim_dcopy(I(n), X, I(inc), Y, I(1 if n > 3 else inc))
    lib.vlm_shim_daxpy(I(n), a, X, I(inc), Y, I(inc))
    lib.vlm_shim_dscal(I(n), a, Y, I(inc))
    assert math.isnan(lib.vlm_shim_ddot(I(n), X, I(inc), Y, I(inc)))
    assert math.isnan(lib.vlm_shim_dnrm2(I(n), X, I(inc)))
info = native.i64(0)
for n, lda in ((2, -1), (2, 2**62), (2**62, 2**62), (2**32, 2**32)):
    lib.vlm_shim_dpotrf(b"U", I(n), Y, I(lda), ctypes.byref(info))
    assert info.value == -4, (n, lda, info.value)
    lib.vlm_shim_dtrtrs(b"U", b"N", b"N", I(n), I(1), X, I(lda), Y, I(4), ctypes.byref(info))
    assert info.value == -7, (n, lda, info.value)
for nrhs, ldb in ((2, -3), (2**62, 2), (3, 2**62)):
    lib.vlm_shim_dtrtrs(b"L", b"T", b"U", I(2), I(nrhs), X, I(2), Y, I(ldb), ctypes.byref(info))
    assert info.value == -9, (nrhs, ldb, info.value)
assert (x == 7.25).all() and (y == 7.25).all()
print("ok")
"""


def test_hostile_sizes_touch_nothing():
    run = native.run_python(HOSTILE, timeout=60)
    assert run.returncode == 0 and run.stdout.strip() == "ok", run.stderr
