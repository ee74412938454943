"""The ready-made likelihoods as native objectives: values against scipy.stats,
analytic gradients against differences over each distribution's parameter
range and far tails, censoring, weights, the binned deviance, the per-row
form for fit_many, and the refusals."""

import ctypes

import numpy as np
import pytest

import Velmora
from Velmora.likelihoods import Likelihood

st = pytest.importorskip("scipy.stats")

_VALUE_GRAD = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)


def value_and_gradient(lik, p):
    p = np.array(p, dtype=np.float64)
    g = np.full(p.size, np.nan)
    f = _VALUE_GRAD(lik.grad)(p.ctypes.data, g.ctypes.data, lik.ctx)
    return f, g


def scipy_logpdf(name, x, p, trials=None):
    """The peer's log-density in our parametrisation."""
    return {
        "normal": lambda: st.norm.logpdf(x, p[0], p[1]),
        "lognormal": lambda: st.lognorm.logpdf(x, p[1], scale=np.exp(p[0])),
        "exponential": lambda: st.expon.logpdf(x, scale=p[0]),
        "gamma": lambda: st.gamma.logpdf(x, p[0], scale=p[1]),
        "weibull": lambda: st.weibull_min.logpdf(x, p[0], scale=p[1]),
        "beta": lambda: st.beta.logpdf(x, p[0], p[1]),
        "t": lambda: st.t.logpdf(x, p[0], p[1], p[2]),
        "logistic": lambda: st.logistic.logpdf(x, p[0], p[1]),
        "gumbel": lambda: st.gumbel_r.logpdf(x, p[0], p[1]),
        "cauchy": lambda: st.cauchy.logpdf(x, p[0], p[1]),
        "pareto": lambda: st.pareto.logpdf(x, p[0], scale=p[1]),
        "poisson": lambda: st.poisson.logpmf(x, p[0]),
        "binomial": lambda: st.binom.logpmf(x, trials, p[0]),
        "nbinom": lambda: st.nbinom.logpmf(x, p[0], p[1]),
        "geometric": lambda: st.geom.logpmf(x, p[0]),
    }[name]()


def scipy_logsf(name, x, p):
    return {
        "normal": lambda: st.norm.logsf(x, p[0], p[1]),
        "lognormal": lambda: st.lognorm.logsf(x, p[1], scale=np.exp(p[0])),
        "exponential": lambda: st.expon.logsf(x, scale=p[0]),
        "weibull": lambda: st.weibull_min.logsf(x, p[0], scale=p[1]),
        "logistic": lambda: st.logistic.logsf(x, p[0], p[1]),
        "gumbel": lambda: st.gumbel_r.logsf(x, p[0], p[1]),
        "cauchy": lambda: st.cauchy.logsf(x, p[0], p[1]),
        "pareto": lambda: st.pareto.logsf(x, p[0], scale=p[1]),
    }[name]()


# (distribution, data including far-tail values, parameter points across the range)
CASES = [
    ("normal", [-40.0, -1.0, 0.3, 2.0, 60.0], [(0.0, 1.0), (3.0, 0.05), (-2.0, 40.0)]),
    ("lognormal", [1e-30, 0.2, 1.0, 7.0, 1e25], [(0.0, 1.0), (2.0, 0.2), (-1.0, 5.0)]),
    ("exponential", [0.0, 1e-9, 0.5, 3.0, 900.0], [(1.0,), (1e-3,), (250.0,)]),
    ("gamma", [1e-200, 1e-3, 0.7, 4.0, 300.0], [(0.3, 2.0), (2.5, 1.0), (60.0, 0.05)]),
    ("weibull", [1e-12, 0.1, 1.0, 3.0, 40.0], [(0.4, 1.0), (1.7, 3.0), (8.0, 2.0)]),
    ("beta", [1e-12, 0.01, 0.5, 0.97, 1 - 1e-12], [(0.3, 0.6), (2.5, 1.5), (40.0, 80.0)]),
    ("t", [-1e6, -3.0, 0.1, 2.0, 1e9], [(1.0, 0.0, 1.0), (4.0, 1.0, 2.0), (300.0, -1.0, 0.5)]),
    ("logistic", [-800.0, -2.0, 0.0, 1.5, 900.0], [(0.0, 1.0), (3.0, 0.2), (-5.0, 30.0)]),
    ("gumbel", [-30.0, -2.0, 0.0, 1.5, 900.0], [(0.0, 1.0), (3.0, 0.5), (-5.0, 30.0)]),
    ("cauchy", [-1e200, -2.0, 0.0, 1.5, 1e180], [(0.0, 1.0), (3.0, 0.2), (-5.0, 30.0)]),
    ("pareto", [2.0, 2.5, 10.0, 1e6], [(0.5, 1.9), (3.0, 1.5), (30.0, 1.0)]),
    ("poisson", [0.0, 1.0, 5.0, 40.0, 700.0], [(0.01,), (3.0,), (500.0,)]),
    ("nbinom", [0.0, 1.0, 7.0, 300.0], [(0.5, 0.5), (3.0, 0.1), (40.0, 0.9)]),
    ("geometric", [1.0, 2.0, 9.0, 400.0], [(0.01,), (0.4,), (0.99,)]),
    ("binomial", [0.0, 3.0, 7.0, 20.0], [(0.01,), (0.4,), (0.99,)]),
]


@pytest.mark.parametrize("name, data, points", CASES, ids=[c[0] for c in CASES])
def test_values_match_scipy_and_gradients_match_differences(name, data, points):
    x = np.array(data)
    trials = 20 if name == "binomial" else None
    lik = Likelihood(x, name, trials=trials)
    for p in points:
        f, g = value_and_gradient(lik, p)
        assert np.isfinite(f) and np.isfinite(g).all()
        assert lik(p) == pytest.approx(f, rel=1e-15)
        peer = scipy_logpdf(name, x, p, trials)
        ours_terms = [-Likelihood([v], name, trials=trials)(p) for v in x]
        finite = np.isfinite(peer)  # where the peer's is finite, ours agrees
        np.testing.assert_allclose(np.array(ours_terms)[finite], peer[finite], rtol=1e-9, atol=1e-9)
        # Central differences on the log scale of positive parameters.
        for j in range(len(p)):
            h = 1e-6 * max(abs(p[j]), 1e-3)
            up, down = list(p), list(p)
            up[j] += h
            down[j] -= h
            numeric = (lik(up) - lik(down)) / (2 * h)
            assert g[j] == pytest.approx(numeric, rel=1e-5, abs=1e-6 * (1 + abs(f)))


CENSORING = [
    "normal",
    "lognormal",
    "exponential",
    "weibull",
    "logistic",
    "gumbel",
    "cauchy",
    "pareto",
]


@pytest.mark.parametrize("name", CENSORING)
def test_censored_terms_are_the_log_survival_function_with_its_gradient(name):
    x = np.array([2.1, 2.5, 4.0, 9.0, 60.0, 400.0])
    flags = np.array([0, 1, 0, 1, 1, 1], dtype=bool)
    p = (1.5, 2.0)[: 1 if name == "exponential" else 2]
    if name in ("normal", "logistic", "gumbel", "cauchy"):
        p = (3.0, 1.5)
    lik = Likelihood(x, name, censored=flags)
    expected = -(scipy_logpdf(name, x[~flags], p).sum() + scipy_logsf(name, x[flags], p).sum())
    f, g = value_and_gradient(lik, p)
    assert f == pytest.approx(expected, rel=1e-10)
    for j in range(len(p)):
        h = 1e-6 * abs(p[j])
        up, down = list(p), list(p)
        up[j] += h
        down[j] -= h
        assert g[j] == pytest.approx((lik(up) - lik(down)) / (2 * h), rel=1e-5, abs=1e-8)


def test_normal_survival_stays_finite_beyond_where_erfc_underflows():
    lik = Likelihood([0.0, 50.0, 1e4], "normal", censored=[False, True, True])
    f, g = value_and_gradient(lik, (0.0, 1.0))
    expected = -st.norm.logpdf(0.0) - st.norm.logsf([50.0, 1e4]).sum()
    assert np.isfinite(g).all()
    assert f == pytest.approx(expected, rel=1e-12)


def test_integer_weights_are_repetitions():
    x = np.array([1.2, 3.4, 0.7, 2.2])
    w = np.array([3, 0, 1, 2])
    weighted = Likelihood(x, "gamma", weights=w)
    repeated = Likelihood(np.repeat(x, w), "gamma")
    for p in [(1.3, 2.0), (4.0, 0.5)]:
        f1, g1 = value_and_gradient(weighted, p)
        f2, g2 = value_and_gradient(repeated, p)
        np.testing.assert_allclose([f1, *g1], [f2, *g2], rtol=1e-13)
    assert weighted.nobs == 6


def test_binned_deviance_fit_lands_near_the_unbinned_fit():
    rng = np.random.default_rng(5)
    x = rng.normal(10.0, 2.0, 20000)
    counts, edges = np.histogram(x, bins=60)
    edges = edges.copy()
    edges[0], edges[-1] = -np.inf, np.inf
    lik = Likelihood.binned(counts, edges, "normal")
    assert lik.errordef == 1.0
    r = Velmora.fit(lik, lik.start, bounds=lik.bounds, names=lik.names, errordef=lik.errordef)
    unbinned = Velmora.fit_distribution(x, "normal")
    np.testing.assert_allclose(r.x, unbinned.x, atol=0.2 * unbinned.se.max())
    np.testing.assert_allclose(r.se, unbinned.se, rtol=0.05)
    assert r.success
    f, g = value_and_gradient(lik, r.x)
    assert f >= 0 and np.abs(g * r.se).max() < 1e-3  # at the optimum, in units of its errors


def test_rows_run_in_fit_many_as_separate_fits():
    rng = np.random.default_rng(8)
    table = np.full((4, 50), np.nan)
    sizes = [50, 30, 45, 12]
    for k, m in enumerate(sizes):
        table[k, :m] = rng.weibull(1.5 + k / 4, m) * (k + 1)
    rows = Likelihood.rows(table, "weibull")
    many = Velmora.fit_many(rows, rows.start, data=rows.data, bounds=rows.bounds, names=rows.names)
    assert many.success.all()
    for k, m in enumerate(sizes):
        single = Velmora.fit_distribution(table[k, :m], "weibull")
        np.testing.assert_allclose(many.x[k], single.x, rtol=1e-5)
        np.testing.assert_allclose(many.se[k], single.se, rtol=1e-3)


def test_minimize_takes_a_likelihood():
    x = np.array([0.5, 1.5, 2.0, 4.5])
    lik = Likelihood(x, "exponential")
    r = Velmora.minimize(lik, [1.0], bounds=[(1e-9, None)])
    assert r.success and r.x[0] == pytest.approx(x.mean(), rel=1e-4)


@pytest.mark.parametrize(
    "data, name, kwargs, match",
    [
        ([1.0, -2.0], "weibull", {}, "index 1 is outside"),
        ([0.5, 1.0], "beta", {}, "strictly between 0 and 1"),
        ([1.0, 2.5], "poisson", {}, "whole numbers"),
        ([0.0, 2.0], "geometric", {}, "whole numbers >= 1"),
        ([1.0, 2.0], "binomial", {}, "trials"),
        ([1.0, 12.0], "binomial", {"trials": 10}, "outside its support"),
        ([1.0, 2.0], "gamma", {"censored": [True, False]}, "does not take censored"),
        ([1.0, 2.0], "weibull", {"censored": [True, True]}, "every observation is censored"),
        ([1.0, 2.0], "weibull", {"weights": [1.0]}, "weights must hold 2"),
        ([1.0, 2.0], "weibull", {"weights": [1.0, -1.0]}, "weights must hold 2"),
        ([1.0, np.nan], "normal", {}, "finite values"),
        ([], "normal", {}, "empty"),
        ([1.0], "frechet", {}, "unknown distribution"),
    ],
)
def test_bad_input_is_refused_with_a_clear_message(data, name, kwargs, match):
    with pytest.raises(ValueError, match=match):
        Likelihood(data, name, **kwargs)


def test_the_caller_data_is_copied_not_kept():
    x = np.array([1.0, 2.0, 3.0])
    lik = Likelihood(x, "exponential")
    before = lik([2.0])
    x[:] = 100.0
    assert lik([2.0]) == before


@pytest.mark.parametrize("name", ["normal", "weibull", "gumbel", "cauchy", "logistic"])
def test_binned_gradient_matches_differences_with_tail_bins(name):
    edges = np.array([-np.inf, 0.05, 0.5, 1.0, 2.0, 4.0, 30.0, np.inf])
    counts = np.array([1.0, 4.0, 20.0, 30.0, 12.0, 3.0, 1.0])
    if name == "weibull":
        edges[0] = 0.0
    lik = Likelihood.binned(counts, edges, name)
    p = (1.5, 1.2)
    f, g = value_and_gradient(lik, p)
    assert np.isfinite(f) and np.isfinite(g).all()
    for j in range(2):
        h = 1e-6 * abs(p[j])
        up, down = list(p), list(p)
        up[j] += h
        down[j] -= h
        assert g[j] == pytest.approx((lik(up) - lik(down)) / (2 * h), rel=1e-5, abs=1e-7)


def test_weights_and_censoring_together():
    x = np.array([2.0, 3.0, 5.0, 8.0])
    flags = np.array([False, True, False, True])
    w = np.array([2.0, 1.0, 3.0, 1.0])
    lik = Likelihood(x, "weibull", weights=w, censored=flags)
    p = (1.3, 4.0)
    expected = -(
        (w[~flags] * st.weibull_min.logpdf(x[~flags], p[0], scale=p[1])).sum()
        + (w[flags] * st.weibull_min.logsf(x[flags], p[0], scale=p[1])).sum()
    )
    assert lik(p) == pytest.approx(expected, rel=1e-12)


def test_fit_many_takes_named_starts_and_bounds():
    rng = np.random.default_rng(9)
    table = rng.weibull(2.0, (3, 40)) * 5
    rows = Likelihood.rows(table, "weibull")
    named = Velmora.fit_many(
        rows,
        {"shape": rows.start[:, 0], "scale": 4.0},
        data=rows.data,
        bounds={"shape": (0, None), "scale": (0, None)},
    )
    plain = Velmora.fit_many(rows, rows.start, data=rows.data, bounds=rows.bounds, names=rows.names)
    assert named.names == ("shape", "scale")
    np.testing.assert_allclose(named.x, plain.x, rtol=1e-5)


@pytest.mark.parametrize("count", [1e9, -1.0, np.nan, 2.5])
def test_fit_many_refuses_a_table_whose_rows_would_be_read_beyond(count):
    rows = Likelihood.rows(np.ones((2, 5)) + np.arange(5), "exponential")
    table = rows.data.copy()
    table[1, 0] = count
    with pytest.raises(ValueError, match="row 1 does not describe"):
        Velmora.fit_many(rows, rows.start, data=table, bounds=rows.bounds)
    with pytest.raises(ValueError, match="table of Likelihood.rows"):
        Velmora.fit_many(rows, rows.start, data=np.ones((2, 3)), bounds=rows.bounds)
