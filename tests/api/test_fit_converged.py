"""`fit` and `fit_many` report success only at a certified minimum: the
estimated distance to the minimum (EDM) in standard errors is small whatever
the units, starts in a bound map's saturation zone still find the interior
optimum, and estimates on a bound are named as such, not as unidentified."""

import math
import warnings

import numpy as np
import pytest
from scipy import optimize as sp_optimize

from Velmora import BoundaryWarning, ConvergenceWarning, IdentifiabilityWarning, fit, fit_many

# With default options a reported success must lie this close to the exact
# estimate, in standard errors.
CLOSE = 0.01


def quiet_fit(*args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fit(*args, **kwargs)


def quiet_fit_many(*args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fit_many(*args, **kwargs)


def assert_honest(r, exact, se):
    """A success is within CLOSE standard errors of the exact estimate."""
    if r.success:
        np.testing.assert_array_less(np.abs(np.asarray(r.x) - exact) / se, CLOSE)


# --- starts in the saturation zone of a bound map --------------------------------


def parabola(x, s):
    return 0.5 * ((x[0] - 2.0 * s) / s) ** 2  # minimum 2 s, standard error s


def parabola_grad(x, s):
    return np.array([(x[0] - 2.0 * s) / s**2])


@pytest.mark.parametrize("s", [1e-3, 1.0, 1e5])
@pytest.mark.parametrize(
    "bounds, start",
    [
        ((0.0, 5.0), 4.99),
        ((0.0, 5.0), 1e-6),
        ((0.0, 5.0), 1e-8),
        ((0.0, 5.0), 5.0 - 1e-6),
        ((0.0, None), 1e-6),
        ((0.0, None), 1e-8),
        ((0.0, None), 1e-30),
        ((0.0, 5.0), 1e-300),
        ((None, 5.0), 5.0 - 1e-8),
    ],
)
@pytest.mark.parametrize("jac", [None, parabola_grad])
def test_a_start_next_to_a_bound_finds_the_interior_optimum(s, bounds, start, jac):
    low, high = (None if b is None else b * s for b in bounds)
    r = quiet_fit(parabola, [start * s], args=(s,), jac=jac, bounds=[(low, high)])
    assert r.success, r.message
    assert abs(r.x[0] - 2.0 * s) / s < CLOSE
    assert r.at_bound == ()
    # First-order optimality in x itself, scale-free: |df/dx| * se small.
    assert abs(parabola_grad(r.x, s)[0]) * s < CLOSE


@pytest.mark.parametrize("x0", [4.99, 1e-6, 1e-8])
def test_fit_many_rows_next_to_a_bound_equal_the_fits(x0):
    starts = np.array([[x0], [2.5], [4.0]])
    many = quiet_fit_many(lambda x: parabola(x, 1.0), starts, bounds=[(0.0, 5.0)])
    for k, row in enumerate(starts):
        one = quiet_fit(parabola, row, args=(1.0,), bounds=[(0.0, 5.0)])
        assert many.success[k] == one.success and many.x[k, 0] == one.x[0]
        assert many.edm[k] == one.edm and not many.at_bound[k].any()
    assert many.success.all()


# --- parameters that are small or large numbers ----------------------------------

RNG = np.random.default_rng(2026)
SAMPLE = RNG.normal(3.0, 1.0, 400)


def normal_nll(p, x):
    m, sd = p
    return float(np.sum(0.5 * ((x - m) / sd) ** 2) + x.size * math.log(sd))


def normal_grad(p, x):
    m, sd = p
    z = (x - m) / sd
    return np.array([-np.sum(z) / sd, (x.size - np.sum(z * z)) / sd])


@pytest.mark.parametrize("units", [1e-5, 1e-3, 1.0, 1e3, 1e5])
@pytest.mark.parametrize("jac", [normal_grad, None])
def test_a_normal_sample_in_any_units_is_moved_to_its_estimate(units, jac):
    x = SAMPLE * units
    exact = np.array([x.mean(), x.std()])
    se = np.array([x.std() / math.sqrt(x.size), x.std() / math.sqrt(2 * x.size)])
    start = [1.5 * units, 1.0 * units]
    r = quiet_fit(normal_nll, start, args=(x,), jac=jac, bounds=[(None, None), (0, None)])
    assert_honest(r, exact, se)
    many = quiet_fit_many(
        normal_nll, np.array([start]), args=(x,), jac=jac, bounds=[(None, None), (0, None)]
    )
    assert many.success[0] == r.success and (many.x[0] == r.x).all() and many.edm[0] == r.edm
    if jac is not None:
        # Central differences of a gradient resolve this Hessian at any units.
        assert r.success, r.message
        assert r.edm <= 1e-6 * r.errordef


# --- badly scaled regressions ----------------------------------------------------


def decay_model(p, t):
    a, tau, b = p
    return a * np.exp(-t / tau) + b


def decay_data():
    rng = np.random.default_rng(11)
    t = np.linspace(0.0, 10.0, 400)
    return t, rng.poisson(decay_model([5e4, 2.0, 3e3], t)).astype(float)


def poisson_nll(p, t, c):
    mu = decay_model(p, t)
    return float(np.sum(mu - c * np.log(mu)))


def poisson_derivatives(p, t, c):
    a, tau, b = p
    e = np.exp(-t / tau)
    mu = a * e + b
    d_mu = np.stack([e, a * e * t / tau**2, np.ones_like(t)])
    w = 1.0 - c / mu
    grad = d_mu @ w
    hess = (d_mu * (c / mu**2)) @ d_mu.T
    hess[0, 1] += np.sum(w * e * t / tau**2)
    hess[1, 0] = hess[0, 1]
    hess[1, 1] += np.sum(w * a * e * (t**2 / tau**4 - 2 * t / tau**3))
    return grad, hess


def test_a_likelihood_of_order_a_million_is_certified_at_its_minimum():
    t, c = decay_data()
    exact = sp_optimize.minimize(
        poisson_nll,
        [5e4, 2.0, 3e3],
        args=(t, c),
        jac=lambda p, t, c: poisson_derivatives(p, t, c)[0],
        hess=lambda p, t, c: poisson_derivatives(p, t, c)[1],
        method="trust-exact",
        options={"gtol": 1e-9},
    ).x
    se = np.sqrt(np.diag(np.linalg.inv(poisson_derivatives(exact, t, c)[1])))
    r = quiet_fit(poisson_nll, [4e4, 1.5, 2e3], args=(t, c), bounds=[(0, None)] * 3)
    assert abs(r.fun) > 1e6
    assert r.success, r.message
    assert_honest(r, exact, se)


def spector_logit(scale):
    sm = pytest.importorskip("statsmodels.api")
    data = sm.datasets.spector.load_pandas()
    X = sm.add_constant(data.exog.to_numpy(float))
    X[:, 1:] *= scale
    y = data.endog.to_numpy(float)
    ref = sm.Logit(y, X).fit(disp=0, method="newton", tol=1e-12)
    return X, y, ref.params, ref.bse


def logit_nll(b, X, y):
    eta = X @ b
    return float(np.sum(np.logaddexp(0.0, eta) - y * eta))


def logit_grad(b, X, y):
    return X.T @ (1.0 / (1.0 + np.exp(-(X @ b))) - y)


@pytest.mark.parametrize("scale", [1.0, 1e3, 1e5])
@pytest.mark.parametrize("jac", [logit_grad, None])
def test_a_badly_scaled_logistic_regression_converges_and_says_so(scale, jac):
    X, y, params, bse = spector_logit(scale)
    r = quiet_fit(logit_nll, np.zeros(4), args=(X, y), jac=jac)
    assert_honest(r, params, bse)
    # With difference steps from the curvature, every scale converges.
    assert r.success and r.edm <= 1e-6 * r.errordef


def test_a_false_success_is_reported_with_a_warning_and_the_edm():
    X, y, params, bse = spector_logit(1e5)
    with pytest.warns(ConvergenceWarning, match="EDM"):
        r = fit(logit_nll, np.zeros(4), args=(X, y), edm_tol=1e-300)
    assert not r.success and r.status in (8, 10) and r.edm > 1e-300 * r.errordef
    assert "EDM:" in r.summary() and "NOT converged" in r.summary()


def poisson_regression():
    rng = np.random.default_rng(4)
    n = 20_000
    X = np.column_stack(
        [np.ones(n), rng.normal(size=n), rng.uniform(0, 2, n), rng.binomial(1, 0.3, n)]
    )
    return X, rng.poisson(np.exp(X @ [0.3, 0.5, -0.4, 0.8])).astype(float)


@pytest.mark.parametrize("scale", [1e-3, 1.0, 1e2])
@pytest.mark.parametrize("with_gradient", [True, False])
def test_a_large_poisson_regression_stops_at_its_estimate(scale, with_gradient):
    sm = pytest.importorskip("statsmodels.api")
    X, y = poisson_regression()
    X = X * [1.0, scale, scale, 1.0]
    ref = sm.GLM(y, X, family=sm.families.Poisson()).fit(tol=1e-14)

    def nll(b):
        eta = X @ b
        return float(np.sum(np.exp(eta) - y * eta))

    def grad(b):
        return X.T @ (np.exp(X @ b) - y)

    r = quiet_fit(nll, np.zeros(4), jac=grad if with_gradient else None)
    assert_honest(r, ref.params, ref.bse)
    assert r.success, r.message


# --- estimates on a bound --------------------------------------------------------


def binomial_nll(p, k, n):
    q = p[0]
    return -(k * math.log(q) if k else 0.0) - (n - k) * math.log1p(-q)


@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_a_proportion_with_no_successes_lies_on_its_bound(kind):
    with pytest.warns(BoundaryWarning, match="on their bound .*: p"):
        r = fit(binomial_nll, [0.3], args=(0, 200), bounds=[(0.0, 1.0)], names=["p"], kind=kind)
    assert r.success and r.at_bound == ("p",) and r.unidentified == ()
    assert r.x[0] < 1e-3 and math.isnan(r.se[0])
    assert "not reliable" in r.summary()


@pytest.mark.parametrize("units", [1e-3, 1.0, 1e3])
@pytest.mark.parametrize("jac", [normal_grad, None])
@pytest.mark.parametrize("side", ["lower", "upper"])
def test_a_mean_held_by_its_bound_is_at_the_bound_not_unidentified(units, jac, side):
    data = RNG.normal(170.0, 10.0, 500) * units
    bound = (175.0 if side == "lower" else 165.0) * units
    bounds = [(bound, None) if side == "lower" else (None, bound), (0, None)]
    start = [(180.0 if side == "lower" else 160.0) * units, 5.0 * units]
    with warnings.catch_warnings():
        warnings.simplefilter("error", IdentifiabilityWarning)
        with pytest.warns(BoundaryWarning, match="mu"):
            r = fit(normal_nll, start, args=(data,), jac=jac, bounds=bounds, names=["mu", "sigma"])
    assert r.success, r.message
    assert r.at_bound == ("mu",) and r.unidentified == ()
    assert abs(r.x[0] - bound) < 1e-3 * 10.0 * units
    # sigma's estimate and standard error with mu held at its bound.
    sigma = math.sqrt(np.mean((data - bound) ** 2))
    assert abs(r.x[1] - sigma) < CLOSE * sigma / math.sqrt(2 * data.size)
    np.testing.assert_allclose(r.se[1], sigma / math.sqrt(2 * data.size), rtol=1e-3)


def test_an_interior_estimate_far_from_its_bound_is_not_at_the_bound():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        r = fit(normal_nll, [1.0, 2.0], args=(SAMPLE,), bounds=[(None, None), (0, None)])
    assert r.success and r.at_bound == ()


def test_fit_many_marks_the_rows_at_a_bound():
    starts = np.array([[0.3], [0.3], [0.3]])
    data = np.array([[0.0, 200.0], [40.0, 200.0], [200.0, 200.0]])
    many = quiet_fit_many(lambda p, d: binomial_nll(p, d[0], d[1]), starts, data, bounds=[(0, 1)])
    assert many.at_bound[:, 0].tolist() == [True, False, True]
    assert many.success.all() and not many.unidentified.any()
    for k in range(3):
        one = quiet_fit(binomial_nll, starts[k], args=tuple(data[k]), bounds=[(0, 1)])
        assert one.x[0] == many.x[k, 0] and one.edm == many.edm[k]
        assert bool(one.at_bound) == many.at_bound[k, 0]


# --- the option and what certification costs -------------------------------------


@pytest.mark.parametrize(
    "value, error",
    [(0.0, ValueError), (-1.0, ValueError), (math.nan, ValueError), ("1", TypeError)],
)
def test_edm_tol_is_checked(value, error):
    with pytest.raises(error, match="edm_tol"):
        fit(normal_nll, [1.0, 2.0], args=(SAMPLE,), edm_tol=value)
    with pytest.raises(error, match="edm_tol"):
        fit_many(normal_nll, np.array([[1.0, 2.0]]), args=(SAMPLE,), edm_tol=value)


@pytest.mark.parametrize("jac", [normal_grad, None])
def test_a_converged_fit_pays_nothing_for_its_certificate(jac):
    r = quiet_fit(
        normal_nll,
        [1.0, 2.0],
        args=(SAMPLE,),
        jac=jac,
        bounds=[(None, None), (0, None)],
        options={"ftol": 1e-15, "gtol": 1e-10},
    )
    assert r.success and r.edm <= 1e-6 * r.errordef
    hessian = 2 * 2 if jac is not None else 2 * 2 + 2
    assert r.nfev == r.minimize_result.nfev + hessian


def test_an_infinite_tolerance_accepts_the_minimizer_end_point():
    # The minimizer alone stops in the saturated map next to the far bound.
    loose = quiet_fit(parabola, [4.99], args=(1.0,), bounds=[(0, 5)], edm_tol=math.inf)
    certified = quiet_fit(parabola, [4.99], args=(1.0,), bounds=[(0, 5)])
    assert certified.success and abs(certified.x[0] - 2.0) < CLOSE
    assert loose.nfev < certified.nfev


def parabola_with_a_hole(x):
    # Not finite beyond 2.3, 3 standard errors past the minimum at 2.
    return 0.5 * ((x[0] - 2.0) / 0.1) ** 2 + (0.0 if x[0] < 2.3 else math.nan)


@pytest.mark.parametrize("method", ["L-BFGS-B", "Nelder-Mead"])
@pytest.mark.parametrize("x0", [0.5, 2.29, -40.0])
def test_values_that_are_not_finite_past_the_minimum_do_not_stop_it(method, x0):
    r = quiet_fit(parabola_with_a_hole, [x0], method=method)
    assert r.success, r.message
    assert abs(r.x[0] - 2.0) / 0.1 < CLOSE


def test_a_hessian_that_cannot_be_formed_is_no_certificate():
    # Finite only at the minimum itself: no difference step works.
    def nll(x):
        return 0.5 * (x[0] - 2.0) ** 2 if x[0] == 2.0 else math.nan

    with pytest.warns(ConvergenceWarning, match="EDM nan"):
        r = fit(nll, [2.0], method="Nelder-Mead")
    assert not r.success and math.isnan(r.edm)


class Boom(Exception):
    pass


@pytest.mark.parametrize("many", [False, True])
def test_an_exception_during_the_newton_steps_propagates(many):
    # From 4.99 in (0, 5) the minimizer stops in the map's saturated tail
    # after a few evaluations; the certification's steps take many more.
    calls = []

    def nll(x):
        calls.append(1)
        if len(calls) == 20:
            raise Boom("raised while certifying")
        return parabola(x, 1.0)

    with pytest.raises(Boom, match="while certifying"):
        if many:
            fit_many(nll, np.array([[4.99]]), bounds=[(0.0, 5.0)])
        else:
            fit(nll, [4.99], bounds=[(0.0, 5.0)])


def test_fit_many_rows_without_an_estimate_have_no_edm():
    def nll(x, d):
        return parabola(x, 1.0) if d[0] > 0 else math.nan

    many = quiet_fit_many(nll, np.array([[1.0], [1.0]]), np.array([[1.0], [-1.0]]), bounds=[(0, 5)])
    assert many.success.tolist() == [True, False]
    assert many.edm[0] <= 1e-6 * 0.5 and math.isnan(many.edm[1])
    assert not many.at_bound.any()
