"""Ill-conditioned fits against least-squares solutions computed with 50
significant digits (mpmath): the accuracy a QR factorisation of the Jacobian
keeps where the normal equations would lose it (their error grows with the
square of the condition number)."""

import warnings

import mpmath
import numpy as np
import pytest

import Velmora

scipy_optimize = pytest.importorskip("scipy.optimize")


def exact_linear(A, y):
    """The least-squares solution of A c = y to 50 digits (the normal equations
    solved in 50-digit arithmetic, which more than covers cond(A)^2)."""
    with mpmath.workdps(50):
        M = mpmath.matrix(A.tolist())
        b = mpmath.matrix(y.tolist())
        return np.array([float(v) for v in mpmath.lu_solve(M.T * M, M.T * b)])


def exact_nonlinear(f, jac, x, y, p):
    """Gauss-Newton in 50-digit arithmetic from p (already near the solution):
    the iteration converges to the stationary point to all digits."""
    with mpmath.workdps(50):
        p = mpmath.matrix([mpmath.mpf(v) for v in p])
        xs = [mpmath.mpf(v) for v in x]
        for _ in range(60):
            r = mpmath.matrix([f(xi, *p) - mpmath.mpf(yi) for xi, yi in zip(xs, y)])
            J = mpmath.matrix([jac(xi, *p) for xi in xs])
            p = p - mpmath.lu_solve(J.T * J, J.T * r)
        return np.array([float(v) for v in p])


def longley():
    sm = pytest.importorskip("statsmodels.api")
    data = sm.datasets.longley.load_pandas()
    return np.asarray(data.exog, dtype=float), np.asarray(data.endog, dtype=float)


def linear_model(A):
    def f(_, *c):
        return A @ np.array(c)

    def jac(_, *c):
        return A

    return f, jac


@pytest.mark.parametrize("case", ["longley", "degree 9 on [0, 1]"])
def test_ill_conditioned_linear_models_to_the_digits_the_conditioning_allows(case):
    if case == "longley":  # NIST's hardest classical linear test: cond ~ 5e9, 4e4 with unit columns
        X, y = longley()
        A = np.column_stack([np.ones(len(y)), X])
        rtol = 1e-10
    else:  # cond ~ 2e6 with unit columns: 5e12 for the normal equations
        x = np.linspace(0.0, 1.0, 50)
        A = np.vander(x, 10, increasing=True)
        y = np.cos(3.0 * x) + 1e-3 * np.sin(40.0 * x)
        rtol = 1e-8
    want = exact_linear(A, y)
    f, jac = linear_model(A)
    got, _ = Velmora.curve_fit(f, None, y, p0=np.zeros(A.shape[1]), jac=jac)
    np.testing.assert_allclose(got, want, rtol=rtol, atol=rtol * np.abs(want).max())
    lstsq = np.linalg.lstsq(A, y, rcond=None)[0]
    assert np.abs(got - want).max() <= 100 * max(
        np.abs(lstsq - want).max(), 1e-16 * np.abs(want).max()
    )


def two_exp(t, a1, k1, a2, k2):
    return a1 * np.exp(-k1 * t) + a2 * np.exp(-k2 * t)


def two_exp_mp(t, a1, k1, a2, k2):
    return a1 * mpmath.exp(-k1 * t) + a2 * mpmath.exp(-k2 * t)


def two_exp_jac_mp(t, a1, k1, a2, k2):
    e1, e2 = mpmath.exp(-k1 * t), mpmath.exp(-k2 * t)
    return [e1, -a1 * t * e1, e2, -a2 * t * e2]


def thurber(x, *b):  # a ratio of cubics (the form of NIST's Thurber model)
    return (b[0] + b[1] * x + b[2] * x**2 + b[3] * x**3) / (
        1 + b[4] * x + b[5] * x**2 + b[6] * x**3
    )


def thurber_mp(x, *b):
    return thurber(x, *b)


def thurber_jac_mp(x, *b):
    num = b[0] + b[1] * x + b[2] * x**2 + b[3] * x**3
    den = 1 + b[4] * x + b[5] * x**2 + b[6] * x**3
    return [
        1 / den,
        x / den,
        x**2 / den,
        x**3 / den,
        -num * x / den**2,
        -num * x**2 / den**2,
        -num * x**3 / den**2,
    ]


HARD = {
    # close decay rates: the two terms are nearly collinear (cond ~ 4e4 with unit columns)
    "two exponentials, rates 1 and 1.15": (
        two_exp,
        two_exp_mp,
        two_exp_jac_mp,
        np.linspace(0, 8, 60),
        (1.0, 1.0, 2.0, 1.15),
        (0.5, 0.8, 2.5, 1.3),
        1e-4,
    ),
    "ratio of cubics": (
        thurber,
        thurber_mp,
        thurber_jac_mp,
        np.linspace(-3, 2, 40),
        (1300.0, 1500.0, 600.0, 75.0, 0.96, 0.4, 0.05),
        (1000.0, 1000.0, 400.0, 40.0, 0.7, 0.3, 0.03),
        1.0,
    ),
}


def as_numpy_jacobian(jac_mp):
    def jac(x, *p):
        with mpmath.workdps(30):
            return np.array(
                [[float(v) for v in jac_mp(mpmath.mpf(float(xi)), *map(mpmath.mpf, p))] for xi in x]
            )

    return jac


@pytest.mark.parametrize("name", list(HARD))
def test_hard_nonlinear_fits_reach_the_exact_solution(name):
    f, f_mp, jac_mp, x, true, p0, noise = HARD[name]
    y = f(x, *true) + noise * np.cos(7.0 * x)
    jac = as_numpy_jacobian(jac_mp)
    ours, _ = Velmora.curve_fit(f, x, y, p0=p0, jac=jac, maxfev=10000, xtol=1e-14, ftol=1e-14)
    want = exact_nonlinear(f_mp, jac_mp, x, y, ours)
    scale = np.abs(want).max()
    assert np.abs(ours - want).max() <= 1e-6 * scale
    # With differences the Jacobian carries errors of about 1e-8 relative,
    # which the conditioning amplifies, for SciPy as for us.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs, _ = scipy_optimize.curve_fit(f, x, y, p0=p0, maxfev=10000)
    default, _ = Velmora.curve_fit(f, x, y, p0=p0, maxfev=10000)
    scipy_error = np.abs(theirs - want).max() / scale
    assert np.abs(default - want).max() / scale <= max(1e-6, 20 * scipy_error)


def quartic_residuals(p):
    """(p - 0.5, 0.1 p^2): the sum of squares has its minimum at p* below."""
    return np.concatenate([p - 0.5, 0.1 * p * p])


QUARTIC_MINIMUM = 0.4975367667339528  # the real root of 2 (p - 1/2) + 0.04 p^3


@pytest.mark.parametrize("high", [5.0, 1e6, 1e13, 1e300])
@pytest.mark.parametrize("start", [0.0, 1e-12])
def test_a_start_on_a_bound_at_zero_reaches_the_minimum_inside_any_wide_interval(high, start):
    # The difference steps next to 0 must follow the parameter, not the
    # interval: stepping a fraction of (0, 1e13) measured a secant and
    # called a point next to the bound a minimum.
    r = Velmora.least_squares(quartic_residuals, [start], bounds=(0.0, high))
    assert r.success, r.message
    np.testing.assert_allclose(r.x, QUARTIC_MINIMUM, rtol=1e-7)
    popt, _ = Velmora.curve_fit(
        lambda t, p: np.where(t == 0, p - 0.5, 0.1 * p * p), np.array([0.0, 1.0]),
        np.zeros(2), p0=[start], bounds=(0.0, high),
    )  # fmt: skip
    np.testing.assert_allclose(popt, QUARTIC_MINIMUM, rtol=1e-7)


@pytest.mark.parametrize("start", [-2147483649.0, -1e6, 1e9, -1e4])
@pytest.mark.parametrize("max_nfev", [None, 40])
def test_a_start_far_from_the_minimum_ends_there_or_says_it_did_not(start, max_nfev):
    # Difference steps sized by a start 1e9 away measure secants near the
    # minimum; neither that nor the start's sum of squares may pass for
    # optimality at a point 10 from it.
    r = Velmora.least_squares(quartic_residuals, [start], max_nfev=max_nfev)
    best = 0.5 * np.sum(quartic_residuals(np.array([QUARTIC_MINIMUM])) ** 2)
    if max_nfev is None:
        assert r.success, r.message
    if r.success:
        assert r.cost <= best * (1 + 1e-4), (r.x, r.cost, best)
