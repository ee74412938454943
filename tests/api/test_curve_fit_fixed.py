"""curve_fit and curve_fit_many with fixed parameters (by name, index or
equal bounds): the fit of the reduced model, the fixed values put back with
zero covariance."""

import numpy as np
import pytest

import Velmora

optimize = pytest.importorskip("scipy.optimize")


def model(x, a, b, c):
    return a * np.exp(-b * x) + c


X = np.linspace(0, 4, 40)
Y = model(X, 3.0, 1.3, 0.5) + 0.02 * np.sin(17 * X)


@pytest.mark.parametrize(
    "kwargs",
    [
        {"fixed": {"c": 0.5}},
        {"fixed": {2: 0.5}},
        {"bounds": ([0, 0, 0.5], [10, 10, 0.5])},
    ],
    ids=["name", "index", "equal-bounds"],
)
def test_curve_fit_holds_a_parameter_like_the_reduced_fit(kwargs):
    popt, pcov = Velmora.curve_fit(model, X, Y, p0=[1.0, 1.0, 0.5], **kwargs)
    ref, ref_cov = optimize.curve_fit(lambda x, a, b: model(x, a, b, 0.5), X, Y, p0=[1.0, 1.0])
    np.testing.assert_allclose(popt[:2], ref, rtol=1e-6)
    assert popt[2] == 0.5
    np.testing.assert_allclose(pcov[:2, :2], ref_cov, rtol=1e-4)
    assert (pcov[2] == 0).all() and (pcov[:, 2] == 0).all()


def test_curve_fit_with_jac_and_without_p0():
    def jac(x, a, b, c):
        e = np.exp(-b * x)
        return np.stack([e, -a * x * e, np.ones_like(x)], 1)

    popt, _ = Velmora.curve_fit(model, X, Y, jac=jac, fixed={"a": 3.0})
    ref, _ = optimize.curve_fit(lambda x, b, c: model(x, 3.0, b, c), X, Y)
    np.testing.assert_allclose(popt, [3.0, *ref], rtol=1e-6)


def test_curve_fit_many_holds_the_parameter_in_every_row():
    rows = np.array([Y, 1.5 * Y, Y + 0.2])
    r = Velmora.curve_fit_many(model, X, rows, p0=[1.0, 1.0, 0.5], fixed={"c": 0.5})
    for k in range(3):
        popt, _ = Velmora.curve_fit(model, X, rows[k], p0=[1.0, 1.0, 0.5], fixed={"c": 0.5})
        np.testing.assert_allclose(r.x[k], popt, rtol=1e-6)
    assert (r.se[:, 2] == 0).all() and (r.ci()[:, 2] == 0.5).all()


@pytest.mark.parametrize(
    "fixed, error",
    [
        ({"d": 1.0}, ValueError),
        ({5: 1.0}, ValueError),
        ([1.0], TypeError),
        ({"a": np.inf}, ValueError),
    ],
)
def test_bad_fixed_values(fixed, error):
    with pytest.raises(error):
        Velmora.curve_fit(model, X, Y, p0=[1.0, 1.0, 0.5], fixed=fixed)


def test_many_rows_start_as_the_single_fit_without_p0():
    t = np.linspace(0.0, 3.0, 25)
    rng = np.random.default_rng(9)
    ys = 4.0 * np.exp(-1.2 * t) + 0.5 + rng.normal(0, 0.01, (3, t.size))

    def model(t, a, k, c):
        return a * np.exp(-k * t) + c

    bounds = ([0.0, 0.0, 0.5], [10.0, 5.0, 0.5])  # c held by equal bounds, no p0
    many = Velmora.curve_fit_many(model, t, ys, bounds=bounds)
    for k, y in enumerate(ys):
        popt, pcov = Velmora.curve_fit(model, t, y, bounds=bounds)
        np.testing.assert_allclose(many.x[k], popt, rtol=1e-10)
        np.testing.assert_allclose(many.cov[k], pcov, rtol=1e-8, atol=1e-300)
