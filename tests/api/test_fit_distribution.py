"""fit_distribution against closed forms, scipy.stats' fits and iminuit on
real and simulated data; model comparison; loglike/AIC/BIC conventions of
FitResult; named parameters and fixed values in fit."""

import math
import warnings

import numpy as np
import pytest

import Velmora
from Velmora.likelihoods import fit_distribution

st = pytest.importorskip("scipy.stats")

# Lieblein and Zelen (1956): millions of revolutions to failure of 23 ball bearings.
BALL_BEARINGS = np.array(
    [17.88, 28.92, 33.00, 41.52, 42.12, 45.60, 48.48, 51.84, 51.96, 54.12, 55.56, 67.80,
     68.64, 68.64, 68.88, 84.12, 93.12, 98.64, 105.12, 105.84, 127.92, 128.04, 173.40]
)  # fmt: skip


def sample(seed=0):
    return np.random.default_rng(seed)


def test_normal_matches_its_closed_form():
    x = sample().normal(170.0, 7.0, 400)
    r = fit_distribution(x, "normal")
    sigma = x.std()  # the MLE divides by n
    np.testing.assert_allclose(r.x, [x.mean(), sigma], rtol=1e-7)
    # Observed information at the MLE: se(mu) = sigma/sqrt(n), se(sigma) = sigma/sqrt(2n).
    np.testing.assert_allclose(r.se, [sigma / 20, sigma / math.sqrt(800)], rtol=1e-4)
    expected = -0.5 * x.size * (math.log(2 * math.pi * sigma**2) + 1)
    assert r.loglike == pytest.approx(expected, rel=1e-12)


def test_lognormal_and_exponential_match_their_closed_forms():
    x = sample(1).lognormal(0.3, 0.8, 300)
    r = fit_distribution(x, "lognormal")
    np.testing.assert_allclose(r.x, [np.log(x).mean(), np.log(x).std()], rtol=1e-7)
    e = fit_distribution(x, "exponential")
    assert e.x[0] == pytest.approx(x.mean(), rel=1e-8)
    assert e.se[0] == pytest.approx(x.mean() / math.sqrt(x.size), rel=1e-4)


@pytest.mark.parametrize(
    "name", ["normal", "logistic", "gumbel", "cauchy", "t", "gamma", "weibull"]
)
@pytest.mark.parametrize("unit", [1e-9, 1e9])
def test_estimates_errors_and_intervals_do_not_depend_on_units(name, unit):
    rng = sample(2)
    x = rng.gamma(2.0, 3.0, 300) if name in ("gamma", "weibull") else rng.logistic(3.0, 1.0, 300)
    a, b = fit_distribution(x, name), fit_distribution(x * unit, name)
    scaled = np.array([n not in ("df", "shape") for n in a.names], dtype=float)
    factor = np.where(scaled == 1, unit, 1.0)
    assert b.success
    assert (np.abs(b.x / factor - a.x) <= 1e-4 * a.se).all()  # to well within an error
    np.testing.assert_allclose(b.se / factor, a.se, rtol=1e-3)
    np.testing.assert_allclose(b.ci() / factor[:, None], a.ci(), rtol=1e-3)
    assert b.loglike == pytest.approx(a.loglike - x.size * math.log(unit), rel=1e-9)


def test_normal_interval_is_the_wald_interval():
    x = sample(12).normal(1e6, 3.0, 100)
    r = fit_distribution(x, "normal", fixed={"sigma": 3.0})
    low, high = r.ci()[0]
    assert (low + high) / 2 == pytest.approx(x.mean(), abs=1e-9 * 1e6)
    assert (high - low) / 2 == pytest.approx(1.959963984540054 * 0.3, rel=1e-4)
    assert r.x[1] == 3.0 and r.se[1] == 0 and r.upper[1] == 3.0


@pytest.mark.parametrize(
    "name, peer, draw, fit_kw",
    [
        ("weibull", "weibull_min", lambda r: r.weibull(1.3, 200) * 4, {"floc": 0}),
        ("gamma", "gamma", lambda r: r.gamma(0.7, 2.0, 200), {"floc": 0}),
        ("beta", "beta", lambda r: r.beta(0.6, 3.0, 200), {"floc": 0, "fscale": 1}),
        ("t", "t", lambda r: 2 + r.standard_t(3.0, 300), {}),
        ("logistic", "logistic", lambda r: r.logistic(1.0, 2.0, 200), {}),
        ("gumbel", "gumbel_r", lambda r: r.gumbel(1.0, 2.0, 200), {}),
        ("cauchy", "cauchy", lambda r: r.standard_cauchy(200), {}),
    ],
)
def test_agrees_with_scipy_fit_and_is_never_worse(name, peer, draw, fit_kw):
    x = draw(sample(3))
    r = fit_distribution(x, name)
    dist = getattr(st, peer)
    params = dist.fit(x, **fit_kw)
    peer_loglike = dist.logpdf(x, *params).sum()
    assert r.success
    assert r.loglike >= peer_loglike - 1e-7 * abs(peer_loglike)
    assert r.loglike == pytest.approx(peer_loglike, abs=1e-3)


def test_ball_bearings_weibull_against_scipy_and_iminuit():
    r = fit_distribution(BALL_BEARINGS, "weibull")
    shape, _, scale = st.weibull_min.fit(BALL_BEARINGS, floc=0)
    np.testing.assert_allclose(r.x, [shape, scale], rtol=1e-4)
    iminuit = pytest.importorskip("iminuit")
    from iminuit.cost import UnbinnedNLL

    cost = UnbinnedNLL(BALL_BEARINGS, lambda x, k, lam: st.weibull_min.pdf(x, k, scale=lam))
    m = iminuit.Minuit(cost, k=1.5, lam=70.0)
    m.limits = [(0.01, None), (1.0, None)]
    m.migrad()
    m.hesse()
    # iminuit stops at EDM < 2e-4: its estimate is as close as that allows,
    # its log-likelihood no higher than ours.
    np.testing.assert_allclose(r.x, m.values, rtol=3e-4)
    np.testing.assert_allclose(r.se, m.errors, rtol=5e-3)
    assert -m.fval / 2 <= r.loglike + 1e-9
    assert r.errors["shape"] == r.se[0] and r.values["scale"] == r.x[1]


def test_censored_exponential_matches_the_closed_form():
    t = np.array([5.0, 8.0, 12.0, 3.0, 20.0, 20.0, 20.0, 7.5])
    censored = np.array([0, 0, 0, 0, 1, 1, 1, 0], dtype=bool)
    failures = (~censored).sum()
    r = fit_distribution(t, "exponential", censored=censored)
    scale = t.sum() / failures
    assert r.x[0] == pytest.approx(scale, rel=1e-8)
    assert r.se[0] == pytest.approx(scale / math.sqrt(failures), rel=1e-4)
    # Weibull with its shape held at 1 is the same model.
    w = fit_distribution(t, "weibull", censored=censored, fixed={"shape": 1.0})
    assert w.x[1] == pytest.approx(scale, rel=1e-7)
    assert w.loglike == pytest.approx(r.loglike, rel=1e-12)
    assert w.nparams == 1 and w.se[0] == 0


def test_censored_weibull_matches_a_direct_maximisation():
    from scipy.optimize import minimize

    rng = sample(4)
    life = rng.weibull(2.0, 80) * 10
    limit = 11.0
    t, censored = np.minimum(life, limit), life > limit
    r = fit_distribution(t, "weibull", censored=censored)

    def nll(q):
        k, lam = np.exp(q)
        return -(
            st.weibull_min.logpdf(t[~censored], k, scale=lam).sum()
            + st.weibull_min.logsf(t[censored], k, scale=lam).sum()
        )

    peer = minimize(
        nll, np.log([1.5, 9.0]), method="Nelder-Mead", options={"xatol": 1e-10, "fatol": 1e-12}
    )
    np.testing.assert_allclose(r.x, np.exp(peer.x), rtol=1e-5)
    assert r.loglike == pytest.approx(-peer.fun, rel=1e-10)


def test_discrete_fits_have_closed_forms():
    k = sample(5).poisson(4.2, 500)
    r = fit_distribution(k, "poisson")
    assert r.x[0] == pytest.approx(k.mean(), rel=1e-8)
    assert r.loglike == pytest.approx(st.poisson.logpmf(k, k.mean()).sum(), rel=1e-12)
    g = sample(6).geometric(0.3, 400)
    assert fit_distribution(g, "geometric").x[0] == pytest.approx(1 / g.mean(), rel=1e-7)
    b = sample(7).binomial(12, 0.35, 300)
    assert fit_distribution(b, "binom", trials=12).x[0] == pytest.approx(b.mean() / 12, rel=1e-7)


def test_comparison_ranks_by_aic_and_counts_parameters():
    x = sample(8).weibull(2.5, 2000) * 7
    table = fit_distribution(x, ["exponential", "gamma", "weibull", "lognormal"])
    assert table.best.distribution == "weibull"
    aics = [r.aic for r in table]
    assert aics == sorted(aics)
    for r in table:
        assert r.aic == pytest.approx(2 * r.nparams - 2 * r.loglike)
        assert r.bic == pytest.approx(r.nparams * math.log(2000) - 2 * r.loglike)
    assert "weibull" in str(table).splitlines()[1]
    auto = fit_distribution(-x, "auto")  # negative data: only the normal applies
    assert [r.distribution for r in auto] == ["normal"]


def test_pareto_scale_is_the_sample_minimum_and_counted():
    x = (sample(9).pareto(2.5, 300) + 1) * 2
    r = fit_distribution(x, "pareto")
    xm = x.min()
    assert r.x[1] == xm and r.nparams == 2
    assert r.x[0] == pytest.approx(x.size / np.log(x / xm).sum(), rel=1e-7)


def test_weights_and_summary_show_the_model_numbers():
    x = np.array([1.0, 2.0, 3.0, 4.0])
    r = fit_distribution(x, "exponential", weights=[1, 2, 3, 4], level=0.9)
    assert r.nobs == 10
    assert r.x[0] == pytest.approx((x * [1, 2, 3, 4]).sum() / 10)
    text = r.summary()
    assert "Log-lik." in text and "AIC" in text and "BIC" in text and "[0.05" in text


# --- FitResult conventions and named parameters in fit ---------------------------


def gaussian_nll(p, x):
    mu, sigma = p
    return 0.5 * np.sum(((x - mu) / sigma) ** 2) + x.size * np.log(sigma)


def test_loglike_reads_the_objective_through_errordef():
    x = sample(10).normal(3.0, 1.0, 50)
    nll = fit_distribution(x, "normal")
    chi2 = Velmora.fit(
        lambda p: 2 * nll.fun + 0 * p[0] + np.sum((p - nll.x) ** 2), nll.x, errordef=1.0
    )
    assert chi2.loglike == pytest.approx(-nll.fun, rel=1e-12)
    plain = Velmora.fit(gaussian_nll, [1.0, 2.0], args=(x,), bounds=[(None, None), (0, None)])
    assert plain.nobs is None and math.isnan(plain.bic) and math.isfinite(plain.aic)
    counted = Velmora.fit(
        gaussian_nll, [1.0, 2.0], args=(x,), bounds=[(None, None), (0, None)], nobs=50
    )
    assert counted.bic == pytest.approx(2 * math.log(50) - 2 * counted.loglike)
    assert counted.loglike == pytest.approx(plain.loglike, rel=1e-9)


def test_named_start_bounds_and_fixed_values():
    x = sample(11).normal(172.0, 6.0, 200)
    r = Velmora.fit(
        gaussian_nll, {"mu": 150.0, "sigma": 5.0}, args=(x,), bounds={"sigma": (0, None)}
    )
    assert r.names == ("mu", "sigma")
    assert r.values["mu"] == pytest.approx(x.mean(), rel=1e-6)
    held = Velmora.fit(gaussian_nll, {"mu": 150.0, "sigma": 5.0}, args=(x,), fixed={"mu": 170.0})
    assert held.values["mu"] == 170.0 and held.errors["mu"] == 0.0
    assert held.values["sigma"] == pytest.approx(np.sqrt(np.mean((x - 170.0) ** 2)), rel=1e-5)
    positional = Velmora.fit(
        gaussian_nll, [150.0, 5.0], args=(x,), names=["m", "s"], fixed={"s": 6.0}
    )
    assert positional.x[1] == 6.0 and positional.fixed.tolist() == [False, True]


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        (
            {"x0": {"mu": 1.0, "sigma": 1.0}, "fixed": {"tau": 1.0}},
            ValueError,
            "no parameter 'tau'",
        ),
        (
            {"x0": {"mu": 1.0, "sigma": 1.0}, "bounds": {"tau": (0, 1)}},
            ValueError,
            "no parameter 'tau'",
        ),
        ({"x0": [1.0, 1.0], "fixed": {"mu": 1.0}}, ValueError, "need names"),
        ({"x0": {"mu": 1.0, "sigma": 1.0}, "fixed": {"mu": math.nan}}, ValueError, "finite"),
        ({"x0": {"mu": 1.0, "sigma": 1.0}, "fixed": [1.0]}, TypeError, "mapping"),
        ({"x0": [1.0, 1.0], "nobs": -3}, ValueError, "nobs"),
    ],
)
def test_bad_named_arguments(kwargs, error, match):
    x = np.array([1.0, 2.0, 3.0])
    with pytest.raises(error, match=match):
        Velmora.fit(gaussian_nll, args=(x,), **kwargs)


def test_fit_distribution_refusals():
    with pytest.raises(ValueError, match="no parameter 'loc'"):
        fit_distribution([1.0, 2.0], "weibull", fixed={"loc": 0.0})
    with pytest.raises(ValueError, match="outside its support"):
        fit_distribution([1.0, -2.0], ["gamma", "normal"])
    with pytest.raises(ValueError, match="level"):
        fit_distribution([1.0, 2.0], "normal", level=1.5)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        fit_distribution(np.array([1.0, 2.0, 4.0]), "gamma")


def test_counts_of_doctor_visits_match_statsmodels():
    sm = pytest.importorskip("statsmodels.api")
    y = sm.datasets.randhie.load_pandas().data["mdvis"].to_numpy()
    ones = np.ones((y.size, 1))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        nb = sm.NegativeBinomial(y, ones).fit(disp=0)
        poisson = sm.Poisson(y, ones).fit(disp=0)
    r = fit_distribution(y, "nbinom")
    n, p = r.x
    # statsmodels' NB2: log mean and alpha = 1 / n.
    np.testing.assert_allclose([math.log(n * (1 - p) / p), 1 / n], nb.params, rtol=1e-6)
    assert r.loglike == pytest.approx(nb.llf, rel=1e-10)
    assert r.aic == pytest.approx(nb.aic, rel=1e-10) and r.bic == pytest.approx(nb.bic, rel=1e-10)
    assert fit_distribution(y, "poisson").loglike == pytest.approx(poisson.llf, rel=1e-10)


# Gehan (1965): weeks of remission under 6-MP, 1 where the remission was still going on.
GEHAN_WEEKS = [6, 6, 6, 6, 7, 9, 10, 10, 11, 13, 16, 17, 19, 20, 22, 23, 25, 32, 32, 34, 35]
GEHAN_CENSORED = [0, 0, 0, 1, 0, 1, 0, 1, 1, 0, 0, 1, 1, 1, 0, 0, 1, 1, 1, 1, 1]


def test_gehan_remissions_exponential_closed_form_and_weibull_nests_it():
    t, c = np.array(GEHAN_WEEKS, float), np.array(GEHAN_CENSORED, bool)
    e = fit_distribution(t, "exponential", censored=c)
    assert e.x[0] == pytest.approx(359 / 9, rel=1e-8)  # total time over the 9 relapses
    assert e.loglike == pytest.approx(-9 * math.log(359 / 9) - 9, rel=1e-12)
    w = fit_distribution(t, "weibull", censored=c)
    assert w.loglike >= e.loglike  # the exponential is the Weibull with shape 1
    ranked = fit_distribution(t, "auto", censored=c)
    assert {r.distribution for r in ranked} == {"normal", "lognormal", "exponential", "weibull"}


@pytest.mark.parametrize("start", [{"shape": 5.0}, [0.5, 10.0], None])
def test_any_start_reaches_the_same_fit(start):
    x = sample(13).weibull(1.5, 200) * 3
    r = fit_distribution(x, "weibull", start=start)
    reference = fit_distribution(x, "weibull")
    assert r.success and (np.abs(r.x - reference.x) <= 1e-4 * reference.se).all()
