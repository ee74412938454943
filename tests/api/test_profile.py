"""Profile likelihood: FitResult.profile, ci(method="profile"), contour.

Checked against closed forms (the likelihood-ratio intervals of a normal
mean and variance and of a binomial proportion) and against iminuit's
MINOS on the same objectives."""

import math
import warnings

import numpy as np
import pytest
from scipy import optimize as sopt
from scipy import stats

import Velmora as V
from Velmora.profile import IntervalAtBoundWarning, profile_intervals

DATA = np.random.default_rng(1).normal(2.0, 3.0, 40)
N = DATA.size
MEAN = DATA.mean()
S0 = np.mean((DATA - MEAN) ** 2)  # the maximum-likelihood variance


def normal_nll(p):
    mu, var = p
    return 0.5 * N * math.log(var) + 0.5 * np.sum((DATA - mu) ** 2) / var


def normal_chi2(p):
    return 2.0 * normal_nll(p)


def normal_fit(objective=normal_nll, errordef=0.5, method="L-BFGS-B"):
    return V.fit(
        objective,
        [0.0, 1.0],
        bounds=[(None, None), (0, None)],
        names=["mu", "var"],
        errordef=errordef,
        method=method,
    )


def exact_mean_interval(level):
    # Profiling out the variance: n/2 log(1 + (mu - mean)^2 / s0) = z^2 / 2.
    z2 = stats.norm.ppf(0.5 + level / 2) ** 2
    half = math.sqrt(S0 * math.expm1(z2 / N))
    return MEAN - half, MEAN + half


def exact_variance_interval(level):
    # The mean profiles to the sample mean: n/2 (log(v/s0) + s0/v - 1) = z^2 / 2.
    z2 = stats.norm.ppf(0.5 + level / 2) ** 2

    def rise(v):
        return 0.5 * N * (math.log(v / S0) + S0 / v - 1) - z2 / 2

    return sopt.brentq(rise, 1e-3 * S0, S0), sopt.brentq(rise, S0, 1e3 * S0)


@pytest.mark.parametrize("level", [0.6827, 0.95, 0.99])
@pytest.mark.parametrize(
    "objective, errordef, method",
    [
        (normal_nll, 0.5, "L-BFGS-B"),
        (normal_chi2, 1.0, "L-BFGS-B"),
        (normal_nll, 0.5, "Nelder-Mead"),
    ],
)
def test_normal_intervals_are_the_likelihood_ratio_ones(level, objective, errordef, method):
    r = normal_fit(objective, errordef, method)
    ci = r.ci(level, method="profile")
    np.testing.assert_allclose(ci[0], exact_mean_interval(level), rtol=1e-6)
    np.testing.assert_allclose(ci[1], exact_variance_interval(level), rtol=1e-5)
    # asymmetric where the likelihood is: the variance's upper side is longer
    assert ci[1, 1] - r.x[1] > r.x[1] - ci[1, 0]


def binomial_fit(k, n):
    def nll(p):
        p = p[0]
        return -(k * math.log(p) if k else 0.0) - ((n - k) * math.log1p(-p) if n - k else 0.0)

    return V.fit(nll, [0.3], bounds=[(0, 1)], names=["p"])


@pytest.mark.parametrize("k, n", [(3, 20), (11, 30), (1, 200)])
def test_binomial_interval_is_the_likelihood_ratio_one(k, n):
    level = 0.95
    z2 = stats.norm.ppf(0.975) ** 2
    p_hat = k / n

    def rise(p):
        return k * math.log(p_hat / p) + (n - k) * math.log((1 - p_hat) / (1 - p)) - z2 / 2

    exact = sopt.brentq(rise, 1e-12, p_hat), sopt.brentq(rise, p_hat, 1 - 1e-12)
    found = profile_intervals(binomial_fit(k, n), level)
    np.testing.assert_allclose([found.low[0], found.high[0]], exact, rtol=1e-5)
    assert not found.at_lower[0] and not found.at_upper[0] and found.valid[0]


@pytest.mark.parametrize("k, side", [(0, "lower"), (20, "upper")])
def test_interval_reaching_a_bound_says_so(k, side):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        r = binomial_fit(k, 20)
    with pytest.warns(IntervalAtBoundWarning, match=f"p \\({side}\\)"):
        ci = r.ci(0.95, method="profile")
    # the other end is the likelihood-ratio one: 20 log(1/(1-p)) = z^2 / 2
    other = -math.expm1(-(stats.norm.ppf(0.975) ** 2) / 2 / 20)
    if side == "lower":
        assert ci[0, 0] == 0.0
        assert ci[0, 1] == pytest.approx(other, rel=1e-4)
    else:
        assert ci[0, 1] == 1.0
        assert ci[0, 0] == pytest.approx(1 - other, rel=1e-4)
    found = profile_intervals(r, 0.95)
    assert (found.at_lower[0], found.at_upper[0]) == (side == "lower", side == "upper")


def test_unbounded_side_never_reached_is_not_valid():
    # a likelihood that flattens out towards +inf: the upper end does not exist
    # (the exponent capped so that the far lower side the profile explores
    # stays finite: the fit walks down the flat tail until EDM is small)
    def nll(x):
        e = math.exp(min(-x[0], 700.0))
        return math.log1p(e) + 0.1 * e

    r = V.fit(nll, [0.0])
    found = profile_intervals(r, 0.95)
    assert found.high[0] == math.inf and not found.valid[0]


def test_profile_is_the_objective_minimized_over_the_others():
    r = normal_fit()
    p = r.profile("mu", size=21)
    assert p.name == "mu" and p.x.size == 21 and p.success.all()
    # the variance profiles out to the mean squared deviation from mu
    expected = [normal_nll([mu, np.mean((DATA - mu) ** 2)]) for mu in p.x]
    np.testing.assert_allclose(p.fun, expected, rtol=1e-9)
    # three standard errors either side
    np.testing.assert_allclose(p.x[[0, -1]], r.x[0] + np.array([-3, 3]) * r.se[0], rtol=1e-9)
    q = r.profile("var", bound=(5.0, 12.0), size=8)
    np.testing.assert_allclose(q.x[[0, -1]], [5.0, 12.0])
    assert np.all(q.fun >= r.fun - 1e-9)
    # a bounded parameter's default range stays inside its bounds
    assert np.all(r.profile("var", bound=50, size=5).x > 0)


@pytest.mark.parametrize("level", [0.6827, 0.9])
def test_contour_of_two_parameters_lies_on_the_rise(level):
    r = normal_fit()
    c = r.contour("mu", "var", level, size=12)
    assert c.points.shape == (12, 2) and not c.at_bound.any()
    rise = 0.5 * stats.chi2.ppf(level, 2)
    # with nothing else to re-fit, the boundary is where the objective rises so much
    values = np.array([normal_nll(p) for p in c.points]) - r.fun
    np.testing.assert_allclose(values, rise, rtol=1e-5)


def test_contour_matches_minos_extremes():
    iminuit = pytest.importorskip("iminuit")
    r = normal_fit()
    m = iminuit.Minuit(lambda mu, var: normal_nll([mu, var]), mu=0.0, var=1.0)
    m.errordef = 0.5
    m.limits["var"] = (0, None)
    m.migrad()
    m.minos()
    ci = r.ci(0.6826894921370859, method="profile")
    for i, name in enumerate(["mu", "var"]):
        minos = m.merrors[name]
        np.testing.assert_allclose(
            ci[i], [m.values[name] + minos.lower, m.values[name] + minos.upper], rtol=1e-3
        )
    c = r.contour("mu", "var", size=64)
    box = m.mncontour("mu", "var", size=64)
    np.testing.assert_allclose(c.points.min(0), box.min(0), rtol=2e-2)
    np.testing.assert_allclose(c.points.max(0), box.max(0), rtol=2e-2)


def test_three_parameters_minos():
    iminuit = pytest.importorskip("iminuit")
    x = np.linspace(0, 4, 30)
    y = 2.0 * np.exp(-0.7 * x) + 0.3 + np.random.default_rng(3).normal(0, 0.05, x.size)

    def chi2(p):
        return float(np.sum(((y - p[0] * np.exp(-p[1] * x) - p[2]) / 0.05) ** 2))

    r = V.fit(chi2, [1.0, 1.0, 0.0], errordef=1.0, names=["a", "k", "c"])
    m = iminuit.Minuit(lambda a, k, c: chi2([a, k, c]), a=1.0, k=1.0, c=0.0)
    m.errordef = 1.0
    m.migrad()
    m.minos()
    ci = r.ci(0.6826894921370859, method="profile")
    for i, name in enumerate("akc"):
        e = m.merrors[name]
        np.testing.assert_allclose(
            ci[i] - r.x[i], [e.lower, e.upper], rtol=1e-2, atol=1e-3 * r.se[i]
        )


def test_fixed_parameter_keeps_its_value():
    r = V.fit(normal_nll, [0.0, S0], bounds=[(None, None), (S0, S0)], names=["mu", "var"])
    ci = r.ci(0.95, method="profile")
    assert ci[1].tolist() == [S0, S0]
    z2 = stats.norm.ppf(0.975) ** 2
    # a known variance: mean +- z sqrt(s0 / n) exactly
    np.testing.assert_allclose(ci[0], MEAN + np.array([-1, 1]) * math.sqrt(z2 * S0 / N), rtol=1e-6)


def test_native_objective_profiles():
    r = V.fit("rosenbrock", [0.5, 0.5], errordef=1.0)
    ci = r.ci(0.6827, method="profile")
    assert np.all(ci[:, 0] < r.x) and np.all(r.x < ci[:, 1])
    for i in range(2):
        p = r.profile(f"x{i}", size=5)
        assert p.success.all() and p.fun.min() >= r.fun - 1e-12


def calls_counted():
    calls = []

    def nll(p):
        calls.append(1)
        return normal_nll(p)

    return nll, calls


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda r: r.profile("sigma"), ValueError, "no parameter named 'sigma'"),
        (lambda r: r.ci(1.0, method="profile"), ValueError, "strictly between 0 and 1"),
        (lambda r: r.ci(0.0, method="profile"), ValueError, "strictly between 0 and 1"),
        (lambda r: r.contour("mu", "mu"), ValueError, "two different parameters"),
        (lambda r: r.contour("mu", "var", 1.5), ValueError, "strictly between 0 and 1"),
        (lambda r: r.contour("mu", "nu"), ValueError, "no parameter named 'nu'"),
        (lambda r: r.ci(0.9, method="minos"), ValueError, "'wald' or 'profile'"),
        (lambda r: r.profile("mu", size=1), ValueError, "size must be an integer >= 2"),
        (lambda r: r.profile("mu", bound=-1), ValueError, "bound must be"),
        (lambda r: r.profile("var", bound=(-1, 3)), ValueError, "leaves the bounds"),
        (lambda r: r.profile(3.5), TypeError, "named by a string"),
        (lambda r: r.profile(5), IndexError, "out of range"),
    ],
)
def test_bad_input_is_refused_before_any_refit(call, error, match):
    nll, calls = calls_counted()
    r = normal_fit(nll)
    calls.clear()
    with pytest.raises(error, match=match):
        call(r)
    assert calls == []


def test_exception_from_the_objective_propagates():
    state = {"armed": False}

    def nll(p):
        if state["armed"]:
            raise KeyError("boom")
        return normal_nll(p)

    r = normal_fit(nll)
    state["armed"] = True
    with pytest.raises(KeyError, match="boom"):
        r.ci(0.9, method="profile")


def test_fixed_parameter_has_no_profile():
    r = V.fit(normal_nll, [0.0, S0], bounds=[(None, None), (S0, S0)], names=["mu", "var"])
    with pytest.raises(ValueError, match="'var' is fixed"):
        r.profile("var")
    with pytest.raises(ValueError, match="'var' is fixed"):
        r.contour("mu", "var")


def test_profile_results_show_in_notebooks():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        r = binomial_fit(0, 20)
        found = profile_intervals(r, 0.9)
    assert "at bound: lower" in found._repr_html_()
    r = normal_fit()
    assert r.profile("mu", size=3)._repr_html_().count("<tr>") == 4
    assert r.contour("mu", "var", size=4)._repr_html_().count("<tr>") == 5


def test_args_and_gradient_reach_the_refits():
    def nll_and_grad(p, data):
        mu, var = p
        d = data - mu
        value = 0.5 * data.size * math.log(var) + 0.5 * np.sum(d**2) / var
        grad = np.array([-np.sum(d) / var, 0.5 * data.size / var - 0.5 * np.sum(d**2) / var**2])
        return value, grad

    r = V.fit(nll_and_grad, [0.0, 1.0], args=(DATA,), jac=True, bounds=[(None, None), (0, None)])
    ci = r.ci(0.95, method="profile")
    np.testing.assert_allclose(ci[0], exact_mean_interval(0.95), rtol=1e-6)
    np.testing.assert_allclose(ci[1], exact_variance_interval(0.95), rtol=1e-5)


def test_a_pickled_result_round_trips_without_its_objective():
    import copy
    import pickle

    r = V.fit(lambda p: float(np.sum((np.asarray(p) - 1.0) ** 2)), [0.0, 0.0])
    restored = pickle.loads(pickle.dumps(r))
    np.testing.assert_array_equal(restored.ci(0.9), r.ci(0.9))
    with pytest.raises(ValueError, match="restored from a pickle"):
        restored.ci(0.9, method="profile")
    np.testing.assert_allclose(
        copy.deepcopy(r).ci(0.9, method="profile"), r.ci(0.9, method="profile")
    )


@pytest.mark.threads
def test_native_profiles_on_threads_equal_the_serial_ones():
    from concurrent.futures import ThreadPoolExecutor

    results = [V.fit("rosenbrock", [0.5 + 0.1 * k, 0.5], errordef=1.0) for k in range(4)]
    serial = [r.ci(0.9, method="profile") for r in results]
    with ThreadPoolExecutor(4) as pool:
        parallel = list(pool.map(lambda r: r.ci(0.9, method="profile"), results))
    for a, b in zip(serial, parallel):
        np.testing.assert_array_equal(a, b)


@pytest.mark.threads
def test_profiles_on_threads_leave_the_warning_filters_as_they_were():
    from concurrent.futures import ThreadPoolExecutor

    before = list(warnings.filters)
    fits = [normal_fit() for _ in range(4)]
    with ThreadPoolExecutor(4) as pool:
        list(pool.map(lambda r: r.ci(0.9, method="profile"), fits * 3))
    assert warnings.filters == before
