"""Standard errors that do not depend on the units of the parameters: fits
started at the exact estimate of real regressions, with regressors rescaled
so that their coefficients change by 1e-3 ... 1e5, against statsmodels'
Newton fits and the exact observed information."""

import warnings

import numpy as np
import pytest
from scipy import special

import Velmora

sm = pytest.importorskip("statsmodels.api")

SCALES = [1e-3, 1.0, 1e2, 1e5]


def spector_logit(scale):
    data = sm.datasets.spector.load_pandas()
    X = sm.add_constant(data.exog).to_numpy(dtype=float)
    X[:, 1:3] *= scale
    y = data.endog.to_numpy(dtype=float)
    ref = sm.Logit(y, X).fit(disp=0, method="newton", tol=1e-14, maxiter=100)

    def nll(b):
        eta = X @ b
        return float(np.sum(np.logaddexp(0.0, eta) - y * eta))

    def grad(b):
        return X.T @ (special.expit(X @ b) - y)

    return nll, grad, ref.params, ref.bse


def known_variance_regression(X, y):
    """A normal linear model with the residual variance held at its
    estimate: the coefficients' Hessian is X'X / s^2 exactly."""
    b = np.linalg.lstsq(X, y, rcond=None)[0]
    s2 = float(np.sum((y - X @ b) ** 2)) / y.size

    def nll(beta):
        r = y - X @ beta
        return 0.5 * float(r @ r) / s2

    def grad(beta):
        return -X.T @ (y - X @ beta) / s2

    return nll, grad, b, np.sqrt(np.diag(np.linalg.inv(X.T @ X) * s2))


def fit_quietly(nll, start, jac):
    with warnings.catch_warnings():
        warnings.simplefilter("error", Velmora.IdentifiabilityWarning)
        return Velmora.fit(nll, start, jac=jac)


@pytest.mark.parametrize("scale", SCALES)
@pytest.mark.parametrize("gradient", [True, False])
def test_logistic_standard_errors_are_statsmodels_at_any_units(scale, gradient):
    nll, grad, params, bse = spector_logit(scale)
    r = fit_quietly(nll, params, grad if gradient else None)
    assert r.success and not r.unidentified
    np.testing.assert_allclose(r.se, bse, rtol=1e-6 if gradient else 1e-4)


@pytest.mark.parametrize("scale", SCALES)
def test_an_intercept_and_a_slope_on_a_long_axis_are_both_identified(scale):
    # t in [0, 1e5]: the intercept's and the slope's curvatures differ by 1e9.
    t = np.linspace(0.0, 1e5, 50)
    y = 2.0 + 3e-5 * t + np.random.default_rng(1).normal(0.0, 0.1, t.size)
    nll, grad, b, se = known_variance_regression(np.column_stack([np.ones_like(t), t * scale]), y)
    for jac, rtol in ((grad, 1e-8), (None, 1e-6)):
        r = fit_quietly(nll, b, jac)
        assert not r.unidentified
        np.testing.assert_allclose(r.se, se, rtol=rtol)  # the marginal errors, not conditional


@pytest.mark.parametrize("scale", [1e-3, 1.0, 1e5])
def test_an_ill_conditioned_regression_with_its_gradient(scale):
    # Longley's macro-economic series: the design's condition number is 5e9.
    data = sm.datasets.longley.load_pandas()
    X = sm.add_constant(data.exog).to_numpy(dtype=float)
    X[:, 1:3] *= scale
    nll, grad, b, se = known_variance_regression(X, data.endog.to_numpy(dtype=float))
    r = fit_quietly(nll, b, grad)
    assert not r.unidentified
    np.testing.assert_allclose(r.se, se, rtol=1e-5)
