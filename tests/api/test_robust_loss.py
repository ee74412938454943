"""Robust losses in least_squares, curve_fit and curve_fit_many, against
SciPy's least_squares and curve_fit (method 'trf') run as black boxes on the
example of SciPy's documentation: an exponential decay with outliers."""

import numpy as np
import pytest
from scipy import optimize as sopt

import Velmora as V

LOSSES = ["soft_l1", "huber", "cauchy", "arctan"]
TIGHT = {"ftol": 1e-14, "xtol": 1e-14, "gtol": 1e-14}

T = np.linspace(0, 10, 40)
Y = 0.5 + 2.0 * np.exp(-T) + 0.1 * np.random.default_rng(0).standard_normal(T.size)
Y[[3, 17, 30]] += 2.0  # outliers


def model(t, a, b, c):
    return a + b * np.exp(c * t)


def residuals(p, t=T, y=Y):
    return model(t, *p) - y


START = np.array([1.0, 1.0, -0.5])


@pytest.mark.parametrize("f_scale", [0.1, 1.0])
@pytest.mark.parametrize("loss", LOSSES)
def test_least_squares_equals_scipy(loss, f_scale):
    ours = V.least_squares(residuals, START, loss=loss, f_scale=f_scale, **TIGHT)
    peer = sopt.least_squares(residuals, START, loss=loss, f_scale=f_scale, **TIGHT)
    assert ours.success
    np.testing.assert_allclose(ours.x, peer.x, rtol=1e-6, atol=1e-8)
    np.testing.assert_allclose(ours.cost, peer.cost, rtol=1e-10)
    np.testing.assert_allclose(ours.fun, residuals(ours.x), rtol=1e-12)  # the plain residuals
    np.testing.assert_allclose(ours.jac, peer.jac, rtol=1e-5, atol=1e-6)
    np.testing.assert_allclose(ours.grad, peer.grad, atol=1e-6)
    assert ours.optimality < 1e-6


def test_robust_fit_resists_outliers_where_plain_does_not():
    plain = V.least_squares(residuals, START)
    robust = V.least_squares(residuals, START, loss="soft_l1", f_scale=0.1)
    truth = np.array([0.5, 2.0, -1.0])
    assert np.abs(robust.x - truth).max() < 0.5 * np.abs(plain.x - truth).max()


def test_linear_loss_is_plain_least_squares():
    a = V.least_squares(residuals, START, loss="linear", f_scale=7.0)
    b = V.least_squares(residuals, START)
    np.testing.assert_array_equal(a.x, b.x)


@pytest.mark.parametrize("loss", LOSSES)
def test_curve_fit_equals_scipy_trf(loss):
    ours, ours_cov = V.curve_fit(model, T, Y, p0=START, loss=loss, f_scale=0.1, **TIGHT)
    peer, peer_cov = sopt.curve_fit(
        model, T, Y, p0=START, method="trf", loss=loss, f_scale=0.1, **TIGHT
    )
    np.testing.assert_allclose(ours, peer, rtol=1e-6)
    np.testing.assert_allclose(ours_cov, peer_cov, rtol=1e-5)


@pytest.mark.parametrize(
    "sigma", [None, np.full(T.size, 0.2), 0.04 * (np.eye(T.size) + 0.3)], ids=["none", "sd", "cov"]
)
def test_curve_fit_reports_scipys_weighted_residuals_not_the_loss_scaled_ones(sigma):
    kw = dict(p0=START, loss="soft_l1", f_scale=0.5, sigma=sigma, full_output=True, **TIGHT)
    ours = V.curve_fit(model, T, Y, **kw)
    peer = sopt.curve_fit(model, T, Y, method="trf", **kw)
    np.testing.assert_allclose(ours[2]["fvec"], peer[2]["fvec"], rtol=1e-5, atol=1e-8)
    plain = model(T, *ours[0]) - Y
    weighted = plain if sigma is None else np.linalg.solve(np.linalg.cholesky(np.atleast_2d(
        sigma if sigma.ndim == 2 else np.diag(sigma**2))), plain)  # fmt: skip
    np.testing.assert_allclose(ours[2]["fvec"], weighted, rtol=1e-10, atol=1e-12)


def test_curve_fit_with_bounds_and_sigma():
    kw = dict(p0=START, loss="huber", f_scale=0.5, sigma=np.full(T.size, 0.2), **TIGHT)
    bounds = ([0, 0, -5], [5, 5, 0])
    ours, _ = V.curve_fit(model, T, Y, bounds=bounds, **kw)
    peer, _ = sopt.curve_fit(model, T, Y, bounds=bounds, method="trf", **kw)
    np.testing.assert_allclose(ours, peer, rtol=1e-6)


def test_curve_fit_many_row_by_row_equals_curve_fit():
    ys = np.stack([Y, Y + 0.3, 2 * Y])
    many = V.curve_fit_many(model, T, ys, p0=START, loss="cauchy", f_scale=0.2, **TIGHT)
    for k, y in enumerate(ys):
        one, cov, info, message, ier = V.curve_fit(
            model, T, y, p0=START, loss="cauchy", f_scale=0.2, full_output=True, **TIGHT
        )
        np.testing.assert_allclose(many.x[k], one, rtol=1e-7)
        # a loss reports as least_squares does, in a row as alone
        assert (many.status[k], many.message[k]) == (ier, message)


def test_native_residuals_with_a_loss():
    numba = pytest.importorskip("numba")
    from numba import types

    t, y = T.copy(), Y.copy()

    @numba.cfunc(
        types.void(types.CPointer(types.float64), types.CPointer(types.float64), types.voidptr)
    )
    def native(p, out, ctx):
        for i in range(t.size):
            out[i] = p[0] + p[1] * np.exp(p[2] * t[i]) - y[i]

    ours = V.least_squares(
        V.NativeResiduals(native, T.size), START, loss="soft_l1", f_scale=0.1, **TIGHT
    )
    peer = sopt.least_squares(residuals, START, loss="soft_l1", f_scale=0.1, **TIGHT)
    np.testing.assert_allclose(ours.x, peer.x, rtol=1e-6)
    np.testing.assert_allclose(ours.fun, residuals(ours.x), rtol=1e-12)


@pytest.mark.parametrize(
    "kwargs, match",
    [
        ({"loss": "l1"}, "loss must be one of"),
        ({"loss": lambda z: z}, "callable loss is not supported"),
        ({"loss": "huber", "f_scale": 0.0}, "f_scale"),
        ({"loss": "huber", "f_scale": float("nan")}, "f_scale"),
    ],
)
def test_bad_loss_is_refused_before_any_evaluation(kwargs, match):
    calls = []

    def counted(p):
        calls.append(1)
        return residuals(p)

    with pytest.raises(ValueError, match=match):
        V.least_squares(counted, START, **kwargs)
    with pytest.raises(ValueError, match=match):
        V.curve_fit(lambda t, a, b, c: counted([a, b, c]), T, Y, p0=START, **kwargs)
    assert calls == []


def test_a_native_models_residuals_with_a_loss_are_the_weighted_ones():
    numba = pytest.importorskip("numba")
    from numba import carray, types

    @numba.cfunc(
        types.void(
            types.CPointer(types.float64),
            types.int64,
            types.CPointer(types.float64),
            types.CPointer(types.float64),
            types.voidptr,
        )
    )
    def native(tp, m, pp, outp, ctx):
        t, p, out = carray(tp, m), carray(pp, 3), carray(outp, m)
        for i in range(m):
            out[i] = p[0] + p[1] * np.exp(p[2] * t[i])

    sigma = np.full(T.size, 0.2)
    kw = dict(p0=START, loss="cauchy", sigma=sigma, full_output=True, **TIGHT)
    popt, _, info, _, _ = V.curve_fit(native, T, Y, **kw)
    np.testing.assert_allclose(info["fvec"], (model(T, *popt) - Y) / sigma, rtol=1e-10, atol=1e-12)
