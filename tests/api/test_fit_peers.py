"""Velmora.fit against statsmodels' GenericLikelihoodModel and iminuit's
MIGRAD + HESSE on the same NumPy likelihoods of 10^4 or more observations,
and against the exact observed information where it has a closed form."""

import functools
import math
import warnings

import numpy as np
import pytest
from scipy import special

from Velmora import fit

pytest.importorskip("statsmodels")
pytest.importorskip("iminuit")

RNG = np.random.default_rng(3)


def gamma_nll(p, x):
    k, b = p
    return float(
        -np.sum((k - 1.0) * np.log(x) - b * x) - x.size * (k * math.log(b) - math.lgamma(k))
    )


def gamma_grad(p, x):
    k, b = p
    return [
        -float(np.sum(np.log(x))) - x.size * (math.log(b) - special.digamma(k)),
        float(np.sum(x)) - x.size * k / b,
    ]


def gamma_information(p, x):
    k, b = p
    n = x.size
    return np.array([[n * special.polygamma(1, k), -n / b], [-n / b, n * k / b**2]])


def weibull_nll(p, x):
    c, lam = p
    z = x / lam
    return float(-np.sum(np.log(c / lam) + (c - 1.0) * np.log(z) - z**c))


def weibull_grad(p, x):
    c, lam = p
    lz = np.log(x / lam)
    zc = np.exp(c * lz)
    return [
        -x.size / c - float(np.sum(lz)) + float(np.sum(zc * lz)),
        (c / lam) * (x.size - float(np.sum(zc))),
    ]


def design(n, rng):
    return np.column_stack([np.ones(n), rng.normal(size=n), rng.uniform(-1, 1, n)])


def poisson_nll(beta, X, y):
    eta = X @ beta
    return float(np.sum(np.exp(eta) - y * eta))


def poisson_grad(beta, X, y):
    return X.T @ (np.exp(X @ beta) - y)


def poisson_information(beta, X, y):
    return X.T @ (np.exp(X @ beta)[:, None] * X)


def logistic_nll(beta, X, y):
    eta = X @ beta
    return float(np.sum(np.logaddexp(0.0, eta) - y * eta))


def logistic_grad(beta, X, y):
    return X.T @ (special.expit(X @ beta) - y)


def logistic_information(beta, X, y):
    p = special.expit(X @ beta)
    return X.T @ ((p * (1 - p))[:, None] * X)


def models():
    rng = np.random.default_rng(3)
    X_p, X_l = design(10_000, rng), design(12_000, rng)
    y_p = rng.poisson(np.exp(X_p @ [0.3, 0.5, -0.2])).astype(float)
    y_l = (rng.uniform(size=12_000) < special.expit(X_l @ [-0.5, 1.0, 0.7])).astype(float)
    positive = [(0.0, None), (0.0, None)]
    return {
        # name: (nll, grad, information or None, args, start, bounds)
        "gamma": (
            gamma_nll,
            gamma_grad,
            gamma_information,
            (rng.gamma(2.5, 1 / 1.7, 20_000),),
            [1.0, 1.0],
            positive,
        ),
        "weibull": (
            weibull_nll,
            weibull_grad,
            None,
            (rng.weibull(1.7, 20_000) * 2.5,),
            [1.0, 1.0],
            positive,
        ),
        "poisson": (
            poisson_nll,
            poisson_grad,
            poisson_information,
            (X_p, y_p),
            [0.0, 0.0, 0.0],
            None,
        ),
        "logistic": (
            logistic_nll,
            logistic_grad,
            logistic_information,
            (X_l, y_l),
            [0.0, 0.0, 0.0],
            None,
        ),
    }


MODELS = models()


@functools.cache
def statsmodels_fit(name):
    from statsmodels.base.model import GenericLikelihoodModel

    nll, _, _, args, x0, _ = MODELS[name]

    class Model(GenericLikelihoodModel):
        def loglike(self, params):
            return -nll(params, *args)

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model = Model(np.zeros(len(args[-1])), exog=np.zeros((len(args[-1]), len(x0))))
        res = model.fit(
            start_params=np.array(x0, dtype=float) + 0.1,
            method="bfgs",
            disp=0,
            gtol=1e-9,
            maxiter=2000,
        )
    return np.asarray(res.params), np.asarray(res.bse)


@functools.cache
def iminuit_fit(name):
    from iminuit import Minuit

    nll, *_, args, _, _ = MODELS[name]
    start = statsmodels_fit(name)[0] * 1.05  # near the optimum: HESSE's errors need no limits there
    m = Minuit(lambda p: nll(p, *args), start)
    m.errordef = Minuit.LIKELIHOOD
    m.strategy, m.tol = 2, 1e-6
    m.migrad()
    m.hesse()
    assert m.valid
    return np.array(m.values), np.array(m.errors)


@pytest.mark.parametrize("name", sorted(MODELS))
@pytest.mark.parametrize("gradient", [True, False])
def test_standard_errors_agree_with_statsmodels_and_iminuit(name, gradient):
    nll, grad, information, args, x0, bounds = MODELS[name]
    r = fit(
        nll,
        x0,
        args=args,
        jac=grad if gradient else None,
        bounds=bounds,
        options={"gtol": 1e-9, "ftol": 1e-14},
    )
    assert r.success and not r.unidentified
    sm_x, sm_se = statsmodels_fit(name)
    mi_x, mi_se = iminuit_fit(name)
    np.testing.assert_allclose(r.x, sm_x, rtol=1e-5)
    np.testing.assert_allclose(r.x, mi_x, rtol=1e-4, atol=1e-6)
    np.testing.assert_allclose(r.se, sm_se, rtol=1e-4)
    np.testing.assert_allclose(r.se, mi_se, rtol=1e-4)
    if information is not None:
        exact = np.linalg.inv(information(r.x, *args))
        np.testing.assert_allclose(r.cov, exact, rtol=1e-6 if gradient else 1e-5, atol=1e-12)
