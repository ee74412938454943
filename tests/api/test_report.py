"""fit_curve's report and the bands of a fitted curve, against statsmodels'
OLS (a straight line: the delta method is exact there) and by simulated
coverage of a nonlinear model."""

import math

import numpy as np
import pytest
from scipy import stats

import Velmora as V
from Velmora.report import _t_quantile, band

X = np.linspace(0, 10, 25)
Y = 1.5 + 0.8 * X + np.random.default_rng(2).normal(0, 0.7, X.size)


def line(x, intercept, slope):
    return intercept + slope * x


@pytest.mark.parametrize("dof", [3, 10, 27, 200])
@pytest.mark.parametrize("p", [0.84, 0.975, 0.995])
def test_t_quantile(p, dof):
    assert _t_quantile(p, dof) == pytest.approx(
        stats.t.ppf(p, dof), rel=1.2e-2 if dof < 10 else 1e-4
    )


def test_report_of_a_line_matches_ols():
    sm = pytest.importorskip("statsmodels.api")
    ols = sm.OLS(Y, sm.add_constant(X)).fit()
    r = V.fit_curve(line, X, Y, p0=[0, 1])
    assert r.names == ("intercept", "slope") and r.dof == X.size - 2
    np.testing.assert_allclose(r.x, ols.params, rtol=1e-8)
    np.testing.assert_allclose(r.se, ols.bse, rtol=1e-6)
    np.testing.assert_allclose(r.rsquared, ols.rsquared, rtol=1e-10)
    np.testing.assert_allclose(r.chisqr, ols.ssr, rtol=1e-10)
    np.testing.assert_allclose(r.corr[0, 1], ols.cov_params()[0, 1] / np.prod(ols.bse), rtol=1e-6)
    # the same likelihood up to a constant: AIC and BIC differ from statsmodels' by it
    constant = X.size * (1 + math.log(2 * math.pi))
    assert r.aic + constant == pytest.approx(ols.aic, rel=1e-10)
    assert r.bic + constant == pytest.approx(ols.bic, rel=1e-10)
    new = np.array([-2.0, 0.0, 5.5, 14.0])
    frame = ols.get_prediction(sm.add_constant(new)).summary_frame(alpha=0.1)
    mean, low, high = r.band(new, 0.9)
    np.testing.assert_allclose(mean, frame["mean"], rtol=1e-6)
    np.testing.assert_allclose(low, frame["mean_ci_lower"], rtol=1e-5)
    np.testing.assert_allclose(high, frame["mean_ci_upper"], rtol=1e-5)
    _, low, high = r.band(new, 0.9, kind="prediction")
    np.testing.assert_allclose(low, frame["obs_ci_lower"], rtol=1e-5)
    np.testing.assert_allclose(high, frame["obs_ci_upper"], rtol=1e-5)
    text = r.summary()
    assert "slope" in text and "R-squared" in text and f"{r.aic:.8g}" in text


@pytest.mark.parametrize(
    "sigma", [np.full(X.size, 0.7), 0.49 * (np.eye(X.size) + 0.2)], ids=["sd", "cov"]
)
@pytest.mark.parametrize("missing", [False, True])
def test_figures_use_the_weighted_residuals_of_the_points_fitted(sigma, missing):
    y = Y.copy()
    kept = np.ones(X.size, bool)
    if missing:
        y[[2, 11]] = np.nan
        kept[[2, 11]] = False
    r = V.fit_curve(line, X, y, p0=[0, 1], sigma=sigma, nan_policy="omit" if missing else None)
    s = sigma[kept] if sigma.ndim == 1 else sigma[np.ix_(kept, kept)]
    plain = y[kept] - line(X[kept], *r.x)
    chisqr = plain @ np.linalg.solve(s if s.ndim == 2 else np.diag(s**2), plain)
    assert r.ndata == kept.sum() and r.dof == kept.sum() - 2
    np.testing.assert_allclose(r.residuals, plain, rtol=1e-12)
    np.testing.assert_allclose(r.chisqr, chisqr, rtol=1e-9)
    total = np.sum((y[kept] - y[kept].mean()) ** 2)
    np.testing.assert_allclose(r.rsquared, 1 - plain @ plain / total, rtol=1e-12)


def decay(t, a, k):
    return a * np.exp(-k * t)


def test_bands_cover_at_their_level():
    rng = np.random.default_rng(5)
    t = np.linspace(0, 3, 30)
    truth, new = (2.0, 0.9), np.array([0.5, 2.5, 4.0])
    hits_curve = np.zeros(new.size)
    hits_obs = np.zeros(new.size)
    runs = 400
    for _ in range(runs):
        y = decay(t, *truth) + rng.normal(0, 0.1, t.size)
        r = V.fit_curve(decay, t, y, p0=[1, 1])
        _, low, high = r.band(new, 0.9)
        hits_curve += (low <= decay(new, *truth)) & (decay(new, *truth) <= high)
        observed = decay(new, *truth) + rng.normal(0, 0.1, new.size)
        _, low, high = r.band(new, 0.9, kind="prediction")
        hits_obs += (low <= observed) & (observed <= high)
    # 400 runs: a binomial standard error of 0.015 at 0.9
    assert np.all(np.abs(hits_curve / runs - 0.9) < 0.045)
    assert np.all(np.abs(hits_obs / runs - 0.9) < 0.045)


def test_band_of_a_fit_result_of_a_model():
    def nll(p):
        return 0.5 * np.sum(((Y - line(X, *p)) / 0.7) ** 2)

    r = V.fit(nll, [0.0, 1.0], errordef=0.5)
    mean, low, high = band(line, np.array([1.0, 3.0]), r.x, r.cov, 0.95)
    g = np.stack([np.ones(2), np.array([1.0, 3.0])], 1)
    half = 1.959963984540054 * np.sqrt(np.einsum("ij,jk,ik->i", g, r.cov, g))
    np.testing.assert_allclose(high - mean, half, rtol=1e-6)
    np.testing.assert_allclose(mean - low, half, rtol=1e-6)


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda r: r.band([1.0], 1.5), ValueError, "strictly between 0 and 1"),
        (lambda r: r.band([1.0], kind="tolerance"), ValueError, "'confidence' or 'prediction'"),
        (lambda r: band(line, [1.0], r.x, np.eye(3)), ValueError, "cov must be"),
        (lambda r: band(line, [1.0], r.x, r.cov, kind="prediction"), ValueError, "sigma"),
    ],
)
def test_bad_band_input(call, error, match):
    r = V.fit_curve(line, X, Y, p0=[0, 1])
    with pytest.raises(error, match=match):
        call(r)


def test_weighted_prediction_needs_sigma():
    r = V.fit_curve(line, X, Y, p0=[0, 1], sigma=np.full(X.size, 0.7), absolute_sigma=True)
    with pytest.raises(ValueError, match="needs sigma"):
        r.band([1.0], kind="prediction")
    mean, low, high = r.band([1.0], kind="prediction", sigma=0.7)
    assert high[0] - mean[0] > 1.959 * 0.7


@pytest.mark.parametrize(
    "names, error",
    [(["a"], ValueError), ([1, 2], TypeError), ("ab", TypeError), (["a", "a"], ValueError)],
)
def test_names_follow_fits_rules(names, error):
    with pytest.raises(error, match="names"):
        V.fit_curve(line, X, Y, p0=[0, 1], names=names)
