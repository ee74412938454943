"""Velmora.sample: posteriors with closed forms reproduced within their Monte
Carlo error, the diagnostics against processes of known autocorrelation,
divergences reported, the seed's bits independent of the threads, and bad
input refused before any work."""

import _thread
import ctypes
import math
import re
import shutil
import subprocess
import threading
import warnings

import numpy as np
import pytest
from scipy import stats

import Velmora
from Velmora import NativeObjective, SamplingWarning
from Velmora._ckernels.sample import _sample
from Velmora.sampling import diagnostics

DENSITIES_C = r"""
#include <math.h>
#include <stdint.h>
#include <time.h>

/* 0.5 (x - mu)' P (x - mu) with ctx = {n, mu[0 .. n), P[0 .. n*n)}. */
double gauss_fg(const double *x, double *g, void *ctx) {
    const double *c = (const double *)ctx;
    int64_t n = (int64_t)c[0];
    const double *mu = c + 1, *P = c + 1 + n;
    double f = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        double s = 0.0;
        for (int64_t j = 0; j < n; ++j) s += P[i * n + j] * (x[j] - mu[j]);
        g[i] = s;
        f += 0.5 * (x[i] - mu[i]) * s;
    }
    return f;
}
double gauss(const double *x, void *ctx) {
    double g[64];
    return gauss_fg(x, g, ctx);
}

/* The same, spinning for about 50 microseconds first. */
double slow_gauss_fg(const double *x, double *g, void *ctx) {
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    do clock_gettime(CLOCK_MONOTONIC, &b);
    while ((b.tv_sec - a.tv_sec) * 1e9 + (b.tv_nsec - a.tv_nsec) < 5e4);
    return gauss_fg(x, g, ctx);
}

/* Poisson counts (N of them, summing to S) with a Gamma(a, b) prior on the
   rate: ctx = {N, S, a, b}. */
double gamma_poisson_fg(const double *x, double *g, void *ctx) {
    const double *c = (const double *)ctx;
    g[0] = c[0] - c[1] / x[0] + c[3] - (c[2] - 1.0) / x[0];
    return c[0] * x[0] - c[1] * log(x[0]) + c[3] * x[0] - (c[2] - 1.0) * log(x[0]);
}
double gamma_poisson(const double *x, void *ctx) {
    double g[1];
    return gamma_poisson_fg(x, g, ctx);
}
"""

SIGMA_SCHOOLS = np.array([15.0, 10.0, 16.0, 11.0, 9.0, 11.0, 10.0, 18.0])

VALUE = (ctypes.c_double, [ctypes.POINTER(ctypes.c_double), ctypes.c_void_p])
VALUE_GRAD = (
    ctypes.c_double,
    [ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_double), ctypes.c_void_p],
)


@pytest.fixture(scope="module")
def dlib(tmp_path_factory):
    gcc = shutil.which("gcc") or shutil.which("cc")
    if gcc is None:
        pytest.skip("no C compiler")
    folder = tmp_path_factory.mktemp("densities")
    src, lib = folder / "densities.c", folder / "densities.so"
    src.write_text(DENSITIES_C)
    subprocess.run([gcc, "-O2", "-shared", "-fPIC", "-o", str(lib), str(src), "-lm"], check=True)
    dll = ctypes.CDLL(str(lib))
    for name in ("gauss", "gamma_poisson"):
        getattr(dll, name).restype, getattr(dll, name).argtypes = VALUE
    for name in ("gauss_fg", "slow_gauss_fg", "gamma_poisson_fg"):
        getattr(dll, name).restype, getattr(dll, name).argtypes = VALUE_GRAD
    return dll


def native_gauss(dlib, mu, cov):
    """The Gaussian N(mu, cov) as a native objective (and its context, to keep)."""
    mu = np.asarray(mu, dtype=float)
    ctx = np.concatenate([[mu.size], mu, np.linalg.inv(cov).ravel()])
    return NativeObjective(dlib.gauss, ctx=ctx.ctypes.data, grad=dlib.gauss_fg), ctx


def quiet_sample(*args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SamplingWarning)
        return Velmora.sample(*args, **kwargs)


def assert_matches(result, mean, sd):
    """Posterior means and sds within 4 Monte Carlo standard errors, R-hat < 1.01."""
    assert np.all(result.rhat < 1.01), result.rhat
    np.testing.assert_array_less(np.abs(result.mean - mean), 4 * result.mcse)
    np.testing.assert_array_less(np.abs(result.sd - sd), 4 * result.mcse_sd)


# --- the generator ----------------------------------------------------------------


@pytest.mark.parametrize(
    "counter, key, expected",
    [  # the known-answer vectors of Salmon et al. (2011) for Philox4x32-10
        ((0, 0, 0, 0), (0, 0), (0x6627E8D5, 0xE169C58D, 0xBC57AC4C, 0x9B00DBD8)),
        ((2**32 - 1,) * 4, (2**32 - 1,) * 2, (0x408F276D, 0x41C83B0E, 0xA20BC7C6, 0x6D5451FD)),
        (
            (0x243F6A88, 0x85A308D3, 0x13198A2E, 0x03707344),
            (0xA4093822, 0x299F31D0),
            (0xD16CFE09, 0x94FDCCEB, 0x5001E420, 0x24126EA1),
        ),
    ],
)
def test_philox_known_answers(counter, key, expected):
    assert _sample.philox4x32_10(counter, key) == expected


# --- exact posteriors ---------------------------------------------------------------


def test_normal_mean_with_known_variance():
    rng = np.random.default_rng(0)
    sigma, data = 2.0, rng.normal(3.0, 2.0, size=20)

    def nll(x, y):
        r = x[0] - y
        return 0.5 * np.sum(r * r) / sigma**2, np.array([np.sum(r) / sigma**2])

    result = quiet_sample(nll, [0.0], args=(data,), jac=True, seed=1, tune=500)
    assert result.draws.shape == (4, 1000, 1)
    assert_matches(result, data.mean(), sigma / math.sqrt(data.size))


@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_beta_binomial_through_the_interval_map(kind):
    k, N, a, b = 7, 30, 2.0, 3.0

    # The logit map can round p to 0 or 1 far out in the tails: NumPy's log
    # gives an infinite value there, which ends the trajectory as divergent.
    def log_density(x, s, f):
        p = x[0]
        with np.errstate(all="ignore"):
            return -(s * np.log(p) + f * np.log1p(-p)), np.array([-s / p + f / (1 - p)])

    def nll(x):
        return log_density(x, k, N - k)

    def prior(x):  # Beta(a, b)
        return log_density(x, a - 1, b - 1)

    result = quiet_sample(
        nll, [0.5], jac=True, prior=prior, bounds=[(0, 1)], kind=kind, seed=2, tune=500
    )
    exact = stats.beta(a + k, b + N - k)
    assert np.all((result.draws > 0) & (result.draws < 1))
    assert_matches(result, exact.mean(), exact.std())


def test_gamma_poisson_through_the_log_map_native(dlib):
    counts = np.array([3, 0, 2, 5, 1, 4, 2, 2])
    a, b = 2.0, 0.5
    ctx = np.array([counts.size, counts.sum(), a, b], dtype=float)
    objective = NativeObjective(dlib.gamma_poisson, ctx=ctx.ctypes.data, grad=dlib.gamma_poisson_fg)
    result = quiet_sample(objective, [1.0], bounds=[(0, None)], seed=3, tune=500)
    exact = stats.gamma(a + counts.sum(), scale=1 / (b + counts.size))
    assert np.all(result.draws > 0)
    assert_matches(result, exact.mean(), exact.std())


def test_native_likelihood_with_a_python_prior(dlib):
    # N(x | 0, 1) likelihood times a N(2, 1) prior: N(1, 1/2) per coordinate.
    objective, ctx = native_gauss(dlib, [0.0, 0.0], np.eye(2))

    def prior(x):
        return 0.5 * float((x - 2) @ (x - 2)), x - 2

    result = quiet_sample(objective, [0.0, 0.0], prior=prior, seed=14, tune=500)
    assert_matches(result, [1.0, 1.0], [math.sqrt(0.5)] * 2)


def correlated_gaussian(n, rho=0.9):
    scales = np.linspace(0.5, 3.0, n)
    corr = rho ** np.abs(np.subtract.outer(np.arange(n), np.arange(n)))
    return np.arange(n, dtype=float) - n / 2, corr * np.outer(scales, scales)


@pytest.mark.parametrize(
    "n, rho, mass_matrix",
    [(5, 0.9, "dense"), (5, 0.5, "diag"), pytest.param(50, 0.9, "dense", marks=pytest.mark.slow)],
)
def test_correlated_gaussian(dlib, n, rho, mass_matrix):
    mu, cov = correlated_gaussian(n, rho)
    objective, ctx = native_gauss(dlib, mu, cov)
    result = quiet_sample(objective, np.zeros(n), seed=4, mass_matrix=mass_matrix)
    assert_matches(result, mu, np.sqrt(np.diag(cov)))
    if mass_matrix == "dense":  # the adapted metric is the posterior covariance, roughly
        np.testing.assert_allclose(result.inv_metric.mean(axis=0), cov, atol=0.25 * cov.max())


def test_fixed_parameter_and_a_fit_as_start(dlib):
    mu, cov = correlated_gaussian(3)
    objective, ctx = native_gauss(dlib, mu, cov)
    bounds = [(None, None), (mu[1], mu[1]), (None, None)]
    fitted = Velmora.fit(objective, [0.0, mu[1], 0.0], bounds=bounds)
    result = quiet_sample(objective, fitted, bounds=bounds, seed=5, tune=300, draws=300)
    assert result.unconstrained.shape == (4, 300, 2)
    assert np.all(result.draws[:, :, 1] == mu[1])
    assert np.isnan(result.rhat[1]) and np.all(result.rhat[[0, 2]] < 1.05)


# --- divergences ----------------------------------------------------------------------


def centred_funnel(x):
    """Neal's funnel: v ~ N(0, 3^2), x_i | v ~ N(0, e^v), nine of them."""
    v, z = x[0], x[1:]
    f = v * v / 18 + 0.5 * np.sum(z * z) * math.exp(-v) + 0.5 * z.size * v
    g = np.empty_like(x)
    g[0] = v / 9 - 0.5 * np.sum(z * z) * math.exp(-v) + 0.5 * z.size
    g[1:] = z * math.exp(-v)
    return f, g


def centred_schools(x):
    """Centred eight schools: theta_j ~ N(mu, tau), tau ~ half-Cauchy(0, 5)."""
    y = np.array([28.0, 8.0, -3.0, 7.0, -1.0, 1.0, 18.0, 12.0])
    mu, tau, theta = x[0], x[1], x[2:]
    r, d = (y - theta) / SIGMA_SCHOOLS, (theta - mu) / tau
    f = 0.5 * (r @ r + d @ d + mu * mu / 25) + 8 * math.log(tau) + math.log1p(tau * tau / 25)
    g_tau = -(d @ d) / tau + 8 / tau + 2 * tau / 25 / (1 + tau * tau / 25)
    return f, np.concatenate([[-(d / tau).sum() + mu / 25, g_tau], -r / SIGMA_SCHOOLS + d / tau])


@pytest.mark.parametrize(
    "nll, start, bounds, settings",
    [
        (centred_funnel, np.ones(10), None, dict(seed=6, tune=300, draws=300)),
        (
            centred_schools,
            np.r_[0.0, 1.0, np.zeros(8)],
            [(None, None), (0, None)] + [(None, None)] * 8,
            dict(seed=1, tune=300, draws=300, chains=2),
        ),
    ],
)
def test_centred_hierarchies_report_divergences(nll, start, bounds, settings):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = Velmora.sample(nll, start, jac=True, bounds=bounds, **settings)
    assert result.diverging.sum() > 0
    said = [str(w.message) for w in caught if issubclass(w.category, SamplingWarning)]
    assert any(f"{result.diverging.sum()} of" in m and "divergence" in m for m in said), said


def test_nan_inside_the_trajectory_is_a_divergence():
    def nll(x):  # a standard normal cut off (NaN) above 1
        return (math.nan if x[0] > 1.0 else 0.5 * x[0] ** 2), x.copy()

    result = quiet_sample(nll, [0.0], jac=True, seed=7, tune=200, draws=200, chains=2)
    assert result.diverging.any()
    assert np.all(result.draws <= 1.0)


# --- seeds and threads -----------------------------------------------------------------


def test_same_seed_same_bits_for_any_workers(dlib):
    mu, cov = correlated_gaussian(4)
    objective, ctx = native_gauss(dlib, mu, cov)
    kw = dict(seed=11, tune=200, draws=100, chains=3)
    runs = [quiet_sample(objective, np.zeros(4), workers=w, **kw) for w in (1, 2, None)]
    for other in runs[1:]:
        for field in ("draws", "logp", "step_size", "tree_depth", "diverging"):
            assert np.array_equal(getattr(runs[0], field), getattr(other, field))
    assert not np.array_equal(runs[0].draws[0], runs[0].draws[1])  # chains differ
    different = quiet_sample(objective, np.zeros(4), **{**kw, "seed": 12})
    assert not np.array_equal(different.draws, runs[0].draws)


def test_python_and_native_give_the_same_chain(dlib):
    mu, cov = correlated_gaussian(2)
    objective, ctx = native_gauss(dlib, mu, cov)
    P = np.linalg.inv(cov)

    def nll(x):
        r = x - mu
        return 0.5 * r @ P @ r, P @ r

    # Rounding differs between the two (sums in another order) and grows
    # through the step size's adaptation: a short warm-up keeps it small.
    kw = dict(seed=13, tune=5, draws=30, chains=2)
    native, python = (
        quiet_sample(objective, [0.0, 0.0], **kw),
        quiet_sample(nll, [0.0, 0.0], jac=True, **kw),
    )
    np.testing.assert_allclose(native.draws, python.draws, rtol=1e-9, atol=1e-9)
    assert python.seed == 13


def test_ctrl_c_stops_native_chains(dlib):
    objective, ctx = native_gauss(dlib, [0.0, 0.0], np.eye(2))
    slow = NativeObjective(dlib.gauss, ctx=ctx.ctypes.data, grad=dlib.slow_gauss_fg)
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):  # otherwise hours of draws
            Velmora.sample(slow, np.zeros(2), draws=10**6, tune=0, chains=2, workers=2, seed=0)
    finally:
        timer.cancel()


def test_return_partial_keeps_the_completed_draws(dlib):
    objective, ctx = native_gauss(dlib, [0.0, 0.0], np.eye(2))
    slow = NativeObjective(dlib.gauss, ctx=ctx.ctypes.data, grad=dlib.slow_gauss_fg)
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.warns(SamplingWarning, match="interrupted"):
            result = Velmora.sample(
                slow, np.zeros(2), draws=10**6, tune=0, chains=2, return_partial=True, seed=0
            )
    finally:
        timer.cancel()
    kept = result.draws.shape[1]
    assert 0 < kept < 10**6 and result.logp.shape == (2, kept)
    assert np.all(np.isfinite(result.draws))


def test_progress_line(dlib, capsys):
    objective, ctx = native_gauss(dlib, [0.0, 0.0], np.eye(2))
    slow = NativeObjective(dlib.gauss, ctx=ctx.ctypes.data, grad=dlib.slow_gauss_fg)
    quiet_sample(slow, np.zeros(2), draws=1500, tune=0, chains=2, seed=0, progress=True)
    assert re.search(r"sample: \d+/3000 draws, [\d,]+/s, \d+ divergent", capsys.readouterr().err)


# --- diagnostics ------------------------------------------------------------------------


def ar1(phi, chains, draws, seed, shift=None):
    rng = np.random.default_rng(seed)
    e = rng.normal(size=(chains, draws))
    x = np.empty_like(e)
    x[:, 0] = e[:, 0] / math.sqrt(1 - phi**2)
    for i in range(1, draws):
        x[:, i] = phi * x[:, i - 1] + e[:, i]
    if shift is not None:
        x += np.asarray(shift)[:, None]
    return x


@pytest.mark.parametrize("phi", [0.0, 0.5, 0.9])
def test_ess_of_autoregressive_chains(phi):
    d = diagnostics(ar1(phi, 4, 4000, seed=1))
    exact = 4 * 4000 * (1 - phi) / (1 + phi)
    assert d["ess_bulk"] == pytest.approx(exact, rel=0.2)
    assert d["ess_mean"] == pytest.approx(exact, rel=0.2)
    assert d["rhat"] < 1.01


@pytest.mark.parametrize("phi", [0.0, 0.7, 0.95])
def test_diagnostics_agree_with_arviz(phi):
    az = pytest.importorskip("arviz")
    x = ar1(phi, 4, 1000, seed=4, shift=[0, 0, 0, 0.2])
    d = diagnostics(x)
    assert d["rhat"] == pytest.approx(float(np.ravel(az.rhat(x))[0]), rel=1e-6)
    for method in ("bulk", "tail", "mean"):  # Geyer's sequence may end one lag apart
        ess = float(np.ravel(az.ess(x, method=method))[0])
        assert d[f"ess_{method}"] == pytest.approx(ess, rel=0.01)
    assert d["mcse"] == pytest.approx(float(np.ravel(az.mcse(x))[0]), rel=0.01)


def test_rhat_flags_chains_that_disagree():
    assert diagnostics(ar1(0.5, 4, 1000, seed=2, shift=[0, 0, 0, 1.5]))["rhat"] > 1.1
    # the same location, different scales: the folded R-hat sees it
    x = ar1(0.0, 4, 1000, seed=3) * np.array([1, 1, 1, 4])[:, None]
    assert diagnostics(x)["rhat"] > 1.05


def test_diagnostics_of_constant_or_short_draws_are_nan():
    assert all(math.isnan(v) for v in diagnostics(np.ones((2, 100))).values())
    assert math.isnan(diagnostics(np.random.default_rng(0).normal(size=(2, 3)))["rhat"])


# --- bad input and user errors ----------------------------------------------------------


def normal_nll(x):
    return 0.5 * float(x @ x), x.copy()


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        (dict(draws=0), ValueError, "draws must be at least 1"),
        (dict(chains=0), ValueError, "chains must be at least 1"),
        (dict(bounds=[(1, 0), (None, None)]), ValueError, "crossed"),
        (dict(bounds=[(1, 2), (None, None)]), ValueError, "outside its bounds"),
        (dict(bounds=[(0, None), (None, None)]), ValueError, "on its bound"),
        (dict(mass_matrix="full"), ValueError, "mass_matrix"),
        (dict(target_accept=1.0), ValueError, "target_accept"),
        (dict(jac=None), ValueError, "jac=grad.*NativeObjective"),
        (dict(seed=-1), ValueError, "seed"),
        (dict(names=["a"]), ValueError, "names"),
    ],
)
def test_bad_input_is_refused_before_any_work(kwargs, error, match):
    calls = []

    def nll(x):
        calls.append(1)
        return normal_nll(x)

    args = {"jac": True, **kwargs}
    with pytest.raises(error, match=match):
        Velmora.sample(nll, np.zeros(2), **args)
    assert not calls


@pytest.mark.parametrize(
    "nll, match",
    [
        (lambda x: (math.inf, x.copy()), "not finite at x0"),
        (lambda x: (0.5 * float(x @ x), np.zeros(3)), "gradient must hold n = 2"),
        (lambda x: (0.5 * float(x @ x), np.full(2, math.nan)), "gradient .* not finite"),
    ],
)
def test_bad_density_at_the_start(nll, match):
    with pytest.raises(ValueError, match=match):
        Velmora.sample(nll, np.zeros(2), jac=True)


def test_exception_from_the_objective_propagates():
    class Boom(Exception):
        pass

    count = [0]

    def nll(x):
        count[0] += 1
        if count[0] == 50:
            raise Boom("from nll")
        return normal_nll(x)

    with pytest.raises(Boom, match="from nll"):
        Velmora.sample(nll, np.zeros(2), jac=True, seed=0)


def test_builtin_and_gradient_free_native_objectives_are_refused(dlib):
    with pytest.raises(ValueError, match="no gradient"):
        Velmora.sample("rosen", np.zeros(2))
    with pytest.raises(ValueError, match="grad=fg"):
        Velmora.sample(NativeObjective(dlib.gauss), np.zeros(2))


def private_run_args(**change):
    args = dict(
        objective=(0, normal_nll, True, ()),
        prior=None,
        x0=np.zeros(2),
        bounds=None,
        jitter=np.ones(2),
        settings=(10, 10, 1, 5, 0, 3, 1, 0, 0.8, 1000.0),
        workers=1,
        report=None,
        partial=False,
    )
    args.update(change)
    return tuple(args.values())


@pytest.mark.parametrize(
    "change, error",
    [
        (dict(objective=(0, normal_nll, None, ())), ValueError),  # no gradient
        (dict(objective=(1, 0, 0, 0)), ValueError),  # null address
        (dict(x0=np.zeros(3)), ValueError),  # jitter of another length
        (dict(x0=np.zeros((2, 1))), ValueError),
        (dict(bounds=(np.zeros(2), np.ones(2), np.array([0, 7]))), TypeError),  # not (lo, hi)
        (dict(bounds=(np.ones(2), np.zeros(2))), ValueError),  # crossed
        (dict(bounds=(np.zeros(3), np.ones(3))), ValueError),  # another length
        (dict(settings=(10, 10, 1, 31, 0, 3, 1, 0, 0.8, 1000.0)), ValueError),
        (dict(settings=(10, 10, 0, 5, 0, 3, 1, 0, 0.8, 1000.0)), ValueError),
        (dict(settings=(10,)), TypeError),
        (dict(workers=0), ValueError),
        (dict(report=1), TypeError),
    ],
)
def test_private_run_refuses_malformed_arguments(change, error):
    with pytest.raises(error):
        _sample.run(*private_run_args(**change))


def test_private_diagnostics_refuses_other_layouts():
    with pytest.raises(ValueError):
        _sample.diagnostics(np.zeros((2, 10, 3))[:, ::2])  # not contiguous
    with pytest.raises(ValueError):
        _sample.diagnostics(np.zeros((2, 10)))


# --- the result -------------------------------------------------------------------------


def test_summary_and_xarray():
    result = quiet_sample(
        normal_nll, np.zeros(2), jac=True, names=["a", "b"], seed=8, tune=200, draws=200
    )
    text = result.summary()
    assert "Velmora.sample" in text and "ess_bulk" in text and "\na " in text
    pytest.importorskip("xarray")
    ds = result.to_xarray()
    assert ds["b"].shape == (4, 200) and np.array_equal(ds["b"].values, result.draws[:, :, 1])


def test_to_arviz():
    az = pytest.importorskip("arviz")
    result = quiet_sample(
        normal_nll, np.zeros(2), jac=True, names=["a", "b"], seed=10, tune=50, draws=60
    )
    data = result.to_arviz()
    assert isinstance(data, az.InferenceData)
    assert np.array_equal(data.posterior["b"].values, result.draws[:, :, 1])
    assert np.array_equal(data.sample_stats["diverging"].values, result.diverging)


def test_to_arviz_names_the_extra_when_missing():
    try:
        import arviz  # noqa: F401
    except ImportError:
        result = quiet_sample(normal_nll, np.zeros(1), jac=True, seed=9, tune=50, draws=50)
        with pytest.raises(ImportError, match=r"Velmora\[arviz\]"):
            result.to_arviz()
    else:
        pytest.skip("arviz is installed")


# --- calibration --------------------------------------------------------------------------


def eight_schools_nll(x, y):
    """Non-centred: mu ~ N(0, 5), tau ~ half-N(0, 5), z_j ~ N(0, 1),
    y_j ~ N(mu + tau z_j, sigma_j)."""
    mu, tau, z = x[0], x[1], x[2:]
    r = (y - mu - tau * z) / SIGMA_SCHOOLS
    f = 0.5 * (r @ r + z @ z + mu * mu / 25 + tau * tau / 25)
    w = r / SIGMA_SCHOOLS
    g = np.concatenate([[-w.sum() + mu / 25, -(w @ z) + tau / 25], -tau * w + z])
    return f, g


def sbc_ranks(simulations, seed, draws=200, thin=4):
    rng = np.random.default_rng(seed)
    bounds = [(None, None), (0, None)] + [(None, None)] * 8
    ranks = []
    for s in range(simulations):
        mu, tau, z = rng.normal(0, 5), abs(rng.normal(0, 5)), rng.normal(size=8)
        y = rng.normal(mu + tau * z, SIGMA_SCHOOLS)
        start = np.concatenate([[0.0, 1.0], np.zeros(8)])
        result = quiet_sample(
            eight_schools_nll,
            start,
            args=(y,),
            jac=True,
            bounds=bounds,
            seed=s,
            chains=1,
            tune=300,
            draws=draws,
        )
        kept = result.draws[0, ::thin]
        ranks.append([(kept[:, 0] < mu).sum(), (kept[:, 1] < tau).sum()])
    return np.array(ranks), draws // thin + 1


def assert_uniform_ranks(ranks, levels, bins):
    for column in ranks.T:
        counts = np.bincount(column * bins // levels, minlength=bins)
        assert stats.chisquare(counts).pvalue > 0.001, counts


def test_sbc_eight_schools_small():
    ranks, levels = sbc_ranks(20, seed=1, draws=100, thin=2)
    assert_uniform_ranks(ranks, levels, bins=4)


@pytest.mark.slow
def test_sbc_eight_schools():
    ranks, levels = sbc_ranks(300, seed=2)
    assert_uniform_ranks(ranks, levels, bins=10)
