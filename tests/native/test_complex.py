"""Complex dense linear algebra exported by every module: c128_matmul, the LU
factorisation, solve and inverse, checked against NumPy's complex128 results
and against small cases worked out by hand."""

import ctypes
import importlib
import textwrap

import numpy as np
import pytest

import native
from native import c128

MODULES = [
    "Velmora._ckernels.transforms._transforms",
    "Velmora._ckernels.optim._optim",
    "Velmora._ckernels.distributions._distributions",
]
FUNCTIONS = [
    "c128_matmul",
    "c128_lu_factor_inplace",
    "c128_lu_factor",
    "c128_lu_free",
    "c128_lu_solve",
    "c128_solve",
    "c128_inv",
]
SIZES = [0, 1, 2, 3, 7, 16, 33, 64]
EPS = np.finfo(float).eps
SENTINEL = 7.0 - 3.0j
BIG, TINY = 2.0**1000, 2.0**-520


@pytest.fixture(scope="module", params=MODULES, ids=lambda name: name.rsplit(".", 1)[-1])
def lib(request):
    return native.load(importlib.import_module(request.param))


def cptr(array):
    assert array.dtype == np.complex128 and array.flags.c_contiguous
    return native.ptr(array, c128)


def cmat(rows):
    return np.array(rows, dtype=np.complex128)


def random_matrix(rng, r, c):
    return rng.standard_normal((r, c)) + 1j * rng.standard_normal((r, c))


def sentinel(shape):
    return np.full(shape, SENTINEL, dtype=np.complex128)


def factor_inplace(lib, A):
    """(code, factors, pivots) of the in-place factorisation of a copy of A;
    unwritten pivot entries stay -7."""
    lu = np.array(A, dtype=np.complex128)
    piv = np.full(len(lu), -7, dtype=np.int64)
    code = lib.c128_lu_factor_inplace(cptr(lu), native.ptr(piv, ctypes.c_int64), len(lu))
    return code, lu, piv


def solve(lib, A, B):
    A = np.ascontiguousarray(A, dtype=np.complex128)
    B = np.ascontiguousarray(B, dtype=np.complex128)
    X = sentinel(B.shape)
    return lib.c128_solve(cptr(A), cptr(B), len(A), B.shape[1], cptr(X)), X


def inverse(lib, A):
    A = np.ascontiguousarray(A, dtype=np.complex128)
    out = sentinel(A.shape)
    return lib.c128_inv(cptr(A), len(A), cptr(out)), out


def unpack(lu):
    n = len(lu)
    return np.tril(lu, -1) + np.eye(n), np.triu(lu)


def permuted(A, piv):
    """The rows of A with the recorded interchanges replayed in order."""
    P = np.array(A, dtype=np.complex128)
    for k, p in enumerate(piv):
        P[[k, p]] = P[[p, k]]
    return P


# --- exports ----------------------------------------------------------------


@pytest.mark.parametrize("module", MODULES)
def test_every_module_exports_the_complex_family_and_no_helper(module):
    names = native.exported_names(importlib.import_module(module))
    assert set(FUNCTIONS) <= names
    assert {n for n in names if n.startswith("c128")} == set(FUNCTIONS)


# --- product ------------------------------------------------------------------


@pytest.mark.parametrize(
    "m,n,p", [(s, s, s) for s in SIZES] + [(1, 7, 3), (33, 2, 16), (3, 64, 1), (7, 1, 33)]
)
def test_matmul_agrees_with_numpy(lib, m, n, p):
    rng = np.random.default_rng(1000 + 100 * m + 10 * n + p)
    A, B = random_matrix(rng, m, n), random_matrix(rng, n, p)
    out = sentinel((m, p))
    lib.c128_matmul(cptr(A), cptr(B), m, n, p, cptr(out))
    bound = 4 * (n + 2) * EPS * (np.abs(A) @ np.abs(B))
    assert np.all(np.abs(out - A @ B) <= bound)


def test_matmul_of_one_by_one(lib):
    out = sentinel((1, 1))
    lib.c128_matmul(cptr(cmat([[1 + 2j]])), cptr(cmat([[3 + 4j]])), 1, 1, 1, cptr(out))
    assert out[0, 0] == -5 + 10j


def test_matmul_with_empty_inner_dimension_writes_zeros(lib):
    out = sentinel((3, 2))
    empty = np.zeros((1, 1), dtype=np.complex128)
    lib.c128_matmul(cptr(empty), cptr(empty), 3, 0, 2, cptr(out))
    assert np.all(out == 0)


@pytest.mark.parametrize("m,p", [(0, 3), (3, 0), (-1, 3), (3, -2)])
def test_matmul_with_empty_output_writes_nothing(lib, m, p):
    A, B = np.ones((3, 3), dtype=np.complex128), np.ones((3, 3), dtype=np.complex128)
    out = sentinel((3, 3))
    lib.c128_matmul(cptr(A), cptr(B), m, 3, p, cptr(out))
    assert np.all(out == SENTINEL)


# --- factorisation ------------------------------------------------------------


@pytest.mark.parametrize("n", SIZES[1:])
def test_factors_reproduce_the_permuted_matrix(lib, n):
    rng = np.random.default_rng(2000 + n)
    A = random_matrix(rng, n, n)
    code, lu, piv = factor_inplace(lib, A)
    assert code == 0
    assert np.all(piv >= np.arange(n)) and piv[-1] == n - 1
    L, U = unpack(lu)
    # Partial pivoting keeps every multiplier inside the unit disc.
    assert np.all(np.abs(np.tril(lu, -1)) <= 1 + 4 * EPS)
    assert np.allclose(L @ U, permuted(A, piv), rtol=0, atol=8 * n * EPS * np.abs(A).max())


@pytest.mark.parametrize("n", [1, 3, 16])
def test_allocating_factorisation_matches_in_place_and_leaves_input(lib, n):
    A = random_matrix(np.random.default_rng(3000 + n), n, n)
    before = A.copy()
    rec = lib.c128_lu_factor(cptr(A), n)
    try:
        assert (rec.n, rec.err) == (n, 0)
        code, lu, piv = factor_inplace(lib, A)
        assert np.array_equal(np.ctypeslib.as_array(rec.piv, (n,)), piv)
        got = np.ctypeslib.as_array(ctypes.cast(rec.lu, ctypes.POINTER(ctypes.c_double)), (n, n, 2))
        assert np.array_equal(got[..., 0] + 1j * got[..., 1], lu)
        assert np.array_equal(A, before)
    finally:
        lib.c128_lu_free(ctypes.byref(rec))


@pytest.mark.parametrize(
    "rows,pivots,factors",
    [
        # Equal moduli |1|^2 = |i|^2: the first row stays, the multiplier is i.
        ([[1, 0], [1j, 1]], [0, 1], [[1, 0], [1j, 1]]),
        # Equal moduli with different phases: |1+i|^2 = |-1+i|^2 = 2.
        ([[1 + 1j, 2], [-1 + 1j, 0]], [0, 1], [[1 + 1j, 2], [1j, -2j]]),
        # |2i|^2 = 4 > 1: the second row becomes the pivot row.
        ([[1, 0], [2j, 1]], [1, 1], [[2j, 1], [-0.5j, 0.5j]]),
        # A tie at the second step, after an exchange at the first.
        ([[1, 0, 0], [2, 1, 0], [0, 0.5j, 1]], [1, 1, 2], [[2, 1, 0], [0.5, -0.5, 0], [0, -1j, 1]]),
        # A NaN never wins the pivot search.
        ([[1, 0, 0], [np.nan, 1, 0], [2, 0, 1]], [2, 1, 2], None),
    ],
)
def test_pivot_choice(lib, rows, pivots, factors):
    code, lu, piv = factor_inplace(lib, cmat(rows))
    assert piv.tolist() == pivots
    if factors is not None:
        assert code == 0
        assert np.array_equal(lu, cmat(factors))


@pytest.mark.parametrize(
    "rows,pivots",
    [
        ([[1, 0], [0, 0]], [0, 1]),  # zero at the last step
        ([[0, 1], [0, 2j]], [0, -7]),  # zero first column
        ([[1, 0, 0], [0, 0, 1], [0, 0, 1j]], [0, 1, -7]),  # zero column below step 1
        ([[0]], [0]),
        # Squared modulus underflows to zero, so this counts as singular.
        ([[1e-170 + 1e-170j]], [0]),
    ],
)
def test_zero_pivot_stops_with_pivots_written_so_far(lib, rows, pivots):
    code, _, piv = factor_inplace(lib, cmat(rows))
    assert code == -2
    assert piv.tolist() == pivots


def test_in_place_factorisation_refuses_invalid_calls_without_writing(lib):
    A = sentinel((2, 2))
    piv = np.full(2, -7, dtype=np.int64)
    piv_p = native.ptr(piv, ctypes.c_int64)
    assert lib.c128_lu_factor_inplace(cptr(A), None, 2) == -1
    assert lib.c128_lu_factor_inplace(None, piv_p, 2) == -1
    assert lib.c128_lu_factor_inplace(cptr(A), piv_p, 0) == -1
    assert lib.c128_lu_factor_inplace(cptr(A), piv_p, -3) == -1
    assert np.all(A == SENTINEL) and np.all(piv == -7)


@pytest.mark.parametrize("n", [0, -4, 2])
def test_allocating_factorisation_that_cannot_start(lib, n):
    A = None if n == 2 else cptr(np.ones((1, 1), dtype=np.complex128))
    rec = lib.c128_lu_factor(A, n)
    assert (bool(rec.lu), bool(rec.piv), rec.n, rec.err) == (False, False, n, -1)
    lib.c128_lu_free(ctypes.byref(rec))


def test_free_clears_the_record_and_is_harmless_twice(lib):
    # A singular matrix: the record still owns its buffers.
    rec = lib.c128_lu_factor(cptr(cmat([[1, 2], [2, 4]])), 2)
    assert rec.err == -2 and bool(rec.lu) and bool(rec.piv)
    lib.c128_lu_free(ctypes.byref(rec))
    assert (bool(rec.lu), bool(rec.piv), rec.n, rec.err) == (False, False, 0, 0)
    lib.c128_lu_free(ctypes.byref(rec))
    lib.c128_lu_free(None)


# --- solves and inverses --------------------------------------------------------


def condition_tolerance(A):
    n = len(A)
    return 16 * n * EPS * np.linalg.cond(A)


@pytest.mark.parametrize("n", SIZES[1:])
@pytest.mark.parametrize("m", [1, 3, "n"])
def test_solve_agrees_with_numpy(lib, n, m):
    m = n if m == "n" else m
    rng = np.random.default_rng(4000 + 10 * n + m)
    A, B = random_matrix(rng, n, n), random_matrix(rng, n, m)
    before = A.copy()
    code, X = solve(lib, A, B)
    assert code == 0
    ref = np.linalg.solve(A, B)
    assert np.linalg.norm(X - ref) <= condition_tolerance(A) * np.linalg.norm(ref)
    assert np.array_equal(A, before)


@pytest.mark.parametrize("n", [2, 7, 33])
def test_factor_once_solve_many(lib, n):
    rng = np.random.default_rng(5000 + n)
    A = random_matrix(rng, n, n)
    rec = lib.c128_lu_factor(cptr(A), n)
    try:
        assert rec.err == 0
        for m in (1, 4):
            B = random_matrix(rng, n, m)
            X = sentinel((n, m))
            lib.c128_lu_solve(rec.lu, rec.piv, cptr(B), cptr(X), n, m)
            ref = np.linalg.solve(A, B)
            assert np.linalg.norm(X - ref) <= condition_tolerance(A) * np.linalg.norm(ref)
    finally:
        lib.c128_lu_free(ctypes.byref(rec))


@pytest.mark.parametrize("n", SIZES[1:])
def test_inverse_agrees_with_numpy(lib, n):
    A = random_matrix(np.random.default_rng(6000 + n), n, n)
    code, inv = inverse(lib, A)
    assert code == 0
    ref = np.linalg.inv(A)
    assert np.linalg.norm(inv - ref) <= condition_tolerance(A) * np.linalg.norm(ref)


@pytest.mark.parametrize(
    "rows,rhs,expected",
    [
        ([[1j]], [[1]], [[-1j]]),
        ([[2, 0], [0, 1 + 1j]], [[2], [2]], [[1], [1 - 1j]]),
        # Divisors with |re| = |im|: exact quotients.
        ([[1 + 1j]], [[3 + 1j]], [[2 - 1j]]),
        ([[1 - 1j]], [[3 + 1j]], [[1 + 2j]]),
        ([[-2 + 2j]], [[4]], [[-1 - 1j]]),
        # Smith's division needs no |b|^2, which would overflow here.
        ([[BIG + BIG * 1j]], [[BIG]], [[0.5 - 0.5j]]),
        ([[BIG + BIG * 1j, 0], [BIG, BIG]], [[BIG], [1.5 * BIG - 0.5j * BIG]], [[0.5 - 0.5j], [1]]),
        # |b|^2 is subnormal but not zero: still a valid pivot.
        ([[TINY - TINY * 1j]], [[TINY * 1j]], [[-0.5 + 0.5j]]),
    ],
)
def test_exact_solves(lib, rows, rhs, expected):
    code, X = solve(lib, cmat(rows), cmat(rhs))
    assert code == 0
    assert np.array_equal(X, cmat(expected))


@pytest.mark.parametrize("divisor,negative_zero", [(1 - 1j, False), (-1 + 1j, True)])
def test_equal_magnitudes_take_the_real_part_branch(lib, divisor, negative_zero):
    # For |re| = |im| both branches of Smith's division give the same finite
    # quotients; they differ only in the sign of a zero real part of 0 / b,
    # which shows which one ran: the real-part branch gives
    # (0 + 0*r) / (b.re + r*b.im) with r = b.im / b.re.
    code, X = solve(lib, cmat([[divisor]]), cmat([[0]]))
    assert code == 0 and X[0, 0] == 0
    assert np.signbit(X[0, 0].real) == negative_zero


def test_inverse_of_exchange_matrix_is_itself(lib):
    A = cmat([[0, 1], [1, 0]])
    code, inv = inverse(lib, A)
    assert code == 0 and np.array_equal(inv, A)


@pytest.mark.parametrize("rows", [[[0, 0], [0, 0]], [[1, 1j], [1j, -1]], [[0]]])
def test_singular_matrix_leaves_outputs_untouched(lib, rows):
    A = cmat(rows)
    code, X = solve(lib, A, np.ones((len(A), 2), dtype=np.complex128))
    assert code == -2 and np.all(X == SENTINEL)
    code, inv = inverse(lib, A)
    assert code == -2 and np.all(inv == SENTINEL)


def test_invalid_calls_return_minus_one_and_write_nothing(lib):
    A = cmat([[2, 1], [1, 3]])
    B = np.ones((2, 1), dtype=np.complex128)
    X = sentinel((2, 2))
    assert lib.c128_inv(cptr(A), 0, cptr(X)) == -1
    assert lib.c128_inv(cptr(A), -1, cptr(X)) == -1
    assert lib.c128_inv(None, 2, cptr(X)) == -1
    assert lib.c128_inv(cptr(A), 2, None) == -1
    assert lib.c128_solve(cptr(A), cptr(B), 0, 1, cptr(X)) == -1
    assert lib.c128_solve(None, cptr(B), 2, 1, cptr(X)) == -1
    assert lib.c128_solve(cptr(A), None, 2, 1, cptr(X)) == -1
    assert lib.c128_solve(cptr(A), cptr(B), 2, 1, None) == -1
    assert lib.c128_solve(cptr(A), cptr(B), 2, -1, cptr(X)) == -1
    assert np.all(X == SENTINEL)
    # No right-hand side: the factorisation still reports on A.
    assert lib.c128_solve(cptr(A), None, 2, 0, None) == 0
    assert lib.c128_solve(cptr(cmat([[0]])), None, 1, 0, None) == -2


# --- hostile sizes ------------------------------------------------------------------

HOSTILE = textwrap.dedent("""
    import ctypes, importlib, sys
    import numpy as np
    import native
    from native import c128

    lib = native.load(importlib.import_module(sys.argv[1]))
    buf = np.full((4, 4), 7 - 3j)
    piv = np.full(4, -7, dtype=np.int64)
    p = native.ptr(buf, c128)
    q = native.ptr(piv, ctypes.c_int64)
    huge = [2**62, 2**63 - 1, 2**32, 2**31 + 1, 2**30, 2**28]
    codes, owned = [], False
    for n in huge:
        rec = lib.c128_lu_factor(p, n)
        codes.append(rec.err)
        owned |= bool(rec.lu) or bool(rec.piv)
        lib.c128_lu_free(ctypes.byref(rec))
        codes.append(lib.c128_inv(p, n, p))
    for n in huge[:4]:
        codes.append(lib.c128_lu_factor_inplace(p, q, n))
    for n, m in [(1, 2**62), (2, 2**62), (2**32, 2**32), (1, 2**60)]:
        codes.append(lib.c128_solve(p, p, n, m, p))
        lib.c128_lu_solve(p, q, p, p, n, m)
    for m, n, k in [(1, 2**62, 1), (2**32, 1, 2**32), (2**62, 0, 1), (1, 1, 2**62)]:
        lib.c128_matmul(p, p, m, n, k, p)
    untouched = bool(np.all(buf == 7 - 3j) and np.all(piv == -7))
    print(sorted(set(codes)), owned, untouched)
""")


@pytest.mark.parametrize("module", MODULES)
def test_overflowing_sizes_are_refused(module):
    run = native.run_python(HOSTILE, module)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["[-1]", "False", "True"]
