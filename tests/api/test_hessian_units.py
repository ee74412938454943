"""Standard errors that do not depend on the units of the parameters.

Each model is fitted from the exact estimate (statsmodels' Newton fit) with
its regressors rescaled so that coefficients are multiplied by 1e-3 .. 1e5,
and the standard errors are compared with the exact observed information
written out analytically at the reported point.
"""

import warnings

import numpy as np
import pytest

import Velmora
from Velmora import IdentifiabilityWarning

sm = pytest.importorskip("statsmodels.api")

SCALES = [1e-3, 1.0, 1e5]
# Relative accuracy of the standard errors: gradients differenced, values differenced.
TOLERANCE = {True: 1e-6, False: 1e-4}


def _rescaled(model, X, y, scale, columns):
    """The model with X's `columns` divided by scale (their coefficients scale
    times larger), started at the estimate carried over from the unscaled fit
    (Newton from zero can diverge in extreme units)."""
    start = model(X, y)[3]
    X = np.array(X, dtype=float)
    X[:, columns] /= scale
    nll, grad, hessian, _ = model(X, y)
    factor = np.ones(X.shape[1])
    factor[columns] = scale
    return nll, grad, hessian, start * factor


def _logit(X, y):
    def nll(b):
        eta = X @ b
        return np.sum(np.logaddexp(0.0, eta) - y * eta)

    def grad(b):
        return X.T @ (1.0 / (1.0 + np.exp(-(X @ b))) - y)

    def hessian(b):
        p = 1.0 / (1.0 + np.exp(-(X @ b)))
        return X.T @ (X * (p * (1.0 - p))[:, None])

    start = sm.Logit(y, X).fit(disp=0, method="newton", tol=1e-12).params
    return nll, grad, hessian, start


def _poisson(X, y):
    def nll(b):
        eta = X @ b
        return np.sum(np.exp(eta) - y * eta)

    def grad(b):
        return X.T @ (np.exp(X @ b) - y)

    def hessian(b):
        return X.T @ (X * np.exp(X @ b)[:, None])

    start = sm.Poisson(y, X).fit(disp=0, method="newton", tol=1e-12).params
    return nll, grad, hessian, start


def _gamma_inverse(X, y):
    # The canonical link: eta = 1 / mu, the dispersion fixed at the GLM's
    # estimate so that the curvature is statsmodels' information.
    fit = sm.GLM(y, X, family=sm.families.Gamma()).fit(method="newton", tol=1e-12)
    phi = fit.scale

    def nll(b):
        eta = X @ b
        return np.sum(y * eta - np.log(eta)) / phi

    def grad(b):
        return X.T @ (y - 1.0 / (X @ b)) / phi

    def hessian(b):
        return X.T @ (X / ((X @ b) ** 2)[:, None]) / phi

    return nll, grad, hessian, fit.params


def _least_squares(X, y):
    # Gaussian errors with the residual variance fixed at its estimate: the
    # standard errors are OLS's.
    ols = sm.OLS(y, X).fit()
    sigma2 = ols.scale

    def nll(b):
        r = y - X @ b
        return 0.5 * (r @ r) / sigma2

    def grad(b):
        return -X.T @ (y - X @ b) / sigma2

    def hessian(b):
        return X.T @ X / sigma2

    return nll, grad, hessian, ols.params


def _spector(scale):
    d = sm.datasets.spector.load_pandas()
    X = sm.add_constant(d.exog.to_numpy(float))
    return _rescaled(_logit, X, d.endog.to_numpy(float), scale, [1, 2])


def _longley(scale):
    d = sm.datasets.longley.load_pandas()
    X = sm.add_constant(d.exog.to_numpy(float))
    return _rescaled(_least_squares, X, d.endog.to_numpy(float), scale, [2, 5])


def _scotland(scale):
    d = sm.datasets.scotland.load_pandas()
    X = sm.add_constant(d.exog.to_numpy(float))
    return _rescaled(_gamma_inverse, X, d.endog.to_numpy(float), scale, [1, 4])


def _counts(scale):
    # Simulated counts with a regressor in large units beside one in small units.
    rng = np.random.default_rng(3)
    n = 2000
    X = np.column_stack([np.ones(n), rng.normal(size=n), rng.uniform(0, 1e4, n)])
    y = rng.poisson(np.exp(0.5 + 0.3 * X[:, 1] + 1e-4 * X[:, 2])).astype(float)
    return _rescaled(_poisson, X, y, scale, [1, 2])


MODELS = {"spector logit": _spector, "longley OLS": _longley, "scotland gamma": _scotland}
MODELS["poisson counts"] = _counts


def _fit_quietly(*args, **kwargs):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        r = Velmora.fit(*args, **kwargs)
    return r, [w for w in caught if issubclass(w.category, IdentifiabilityWarning)]


# Value differences lose about eps |f| / (change over the step) per entry;
# these correlation forms have eigenvalues of 4e-9 (longley) and 5e-5 with
# |f| = 1e5 errordef (scotland), beyond what plain second differences of
# values resolve without extrapolation.
_BEYOND_VALUES = pytest.mark.xfail(reason="too ill-conditioned for value differences")


def _cases():
    for model in MODELS:
        for with_gradient in (True, False):
            marks = (
                [_BEYOND_VALUES]
                if model in {"longley OLS", "scotland gamma"} and not with_gradient
                else []
            )
            yield pytest.param(
                model,
                with_gradient,
                marks=marks,
                id=f"{model}-{'gradient' if with_gradient else 'values'}",
            )


@pytest.mark.parametrize("scale", SCALES)
@pytest.mark.parametrize("model, with_gradient", list(_cases()))
def test_standard_errors_are_the_exact_ones_in_any_units(model, scale, with_gradient):
    nll, grad, hessian, start = MODELS[model](scale)
    r, identifiability = _fit_quietly(nll, start, jac=grad if with_gradient else None)
    assert not identifiability, [str(w.message) for w in identifiability]
    assert r.unidentified == ()
    exact = np.sqrt(np.diag(np.linalg.inv(hessian(r.x))))
    np.testing.assert_allclose(r.se, exact, rtol=TOLERANCE[with_gradient])


@pytest.mark.parametrize("with_gradient", [True, False], ids=["gradient", "values"])
@pytest.mark.parametrize("scale", [1e-6, 1e-3, 1e3, 1e6])
def test_rescaling_one_parameter_rescales_its_standard_error_only(scale, with_gradient):
    # A normal sample's mean in units 1/scale: its standard error scales, the
    # other does not move, both to the accuracy of the differencing.
    x = np.random.default_rng(0).normal(170.0, 7.0, 400)

    def nll(p, unit):
        mu, log_sigma = p[0] / unit, p[1]
        z = (x - mu) * np.exp(-log_sigma)
        return 0.5 * z @ z + x.size * log_sigma

    def grad(p, unit):
        mu, log_sigma = p[0] / unit, p[1]
        r = (x - mu) * np.exp(-2 * log_sigma)
        return np.array([-r.sum() / unit, x.size - ((x - mu) ** 2).sum() * np.exp(-2 * log_sigma)])

    start = np.array([x.mean(), np.log(x.std())])
    jac = grad if with_gradient else None
    base, _ = _fit_quietly(nll, start, args=(1.0,), jac=jac)
    scaled, warned = _fit_quietly(nll, start * [scale, 1.0], args=(scale,), jac=jac)
    assert not warned
    np.testing.assert_allclose(scaled.se / [scale, 1.0], base.se, rtol=TOLERANCE[with_gradient])
    np.testing.assert_allclose(base.se, [7.0 / 20, 1 / np.sqrt(800)], rtol=0.05)


@pytest.mark.parametrize("with_gradient", [True, False], ids=["gradient", "values"])
def test_intercept_and_slope_on_a_long_time_axis_are_identified(with_gradient):
    # t in [0, 1e5]: the Hessian's entries span ten orders of magnitude but it
    # inverts fine, so both standard errors are the marginal ones.
    t = np.linspace(0.0, 1e5, 50)
    y = 2.0 + 3e-5 * t + np.random.default_rng(1).normal(0, 0.1, t.size)
    X = np.column_stack([np.ones_like(t), t])
    nll, grad, hessian, start = _least_squares(X, y)
    r, warned = _fit_quietly(nll, start, jac=grad if with_gradient else None)
    assert not warned and r.unidentified == ()
    exact = np.sqrt(np.diag(np.linalg.inv(hessian(r.x))))
    np.testing.assert_allclose(r.se, exact, rtol=TOLERANCE[with_gradient])


@pytest.mark.parametrize("with_gradient", [True, False], ids=["gradient", "values"])
@pytest.mark.parametrize("edge", [1e-3, 1e-6])
def test_probes_beyond_the_domain_shrink_the_step(edge, with_gradient):
    # The objective is undefined a small fraction of a standard error above
    # the estimate: the step shrinks until its probes are finite.
    def nll(p):
        if p[0] > 1.0 + edge:
            return np.nan
        return 0.5 * (p[0] - 1.0) ** 2 + 0.5 * (p[1] / 4.0) ** 2

    def grad(p):
        return np.array([p[0] - 1.0, p[1] / 16.0])

    r, warned = _fit_quietly(nll, [1.0, 0.0], jac=grad if with_gradient else None)
    assert not warned
    np.testing.assert_allclose(r.se, [1.0, 4.0], rtol=TOLERANCE[with_gradient])


def test_an_objective_finite_only_at_the_estimate_gives_nan_and_says_why():
    def nll(p):
        return 0.0 if p[0] == 1.0 else np.nan

    with pytest.warns(IdentifiabilityWarning, match="not finite at every Hessian probe of x0\\)"):
        r = Velmora.fit(nll, [1.0])
    assert np.isnan(r.se).all() and r.unidentified == ("x0",)


def test_a_truly_flat_direction_is_still_flat_in_any_units():
    # Only a + b matters, with a measured in units 1e6 times larger.
    def nll(p):
        return 0.5 * (p[0] * 1e6 + p[1] - 3.0) ** 2

    with pytest.warns(IdentifiabilityWarning):
        r = Velmora.fit(nll, [1e-6, 2.0])
    assert set(r.unidentified) == {"x0", "x1"}


@pytest.mark.parametrize("with_gradient", [True, False], ids=["gradient", "values"])
def test_the_message_names_the_parameter_whose_probes_fail(with_gradient):
    # Finite only where b is exactly 2: a's probes are fine, b's never are.
    def nll(p):
        return 0.5 * p[0] ** 2 if p[1] == 2.0 else np.inf

    def grad(p):
        return np.array([p[0], 0.0])

    with pytest.warns(IdentifiabilityWarning, match=r"Hessian probe of b\)"):
        r = Velmora.fit(nll, [0.0, 2.0], jac=grad if with_gradient else None, names=["a", "b"])
    assert np.isnan(r.se).all()
