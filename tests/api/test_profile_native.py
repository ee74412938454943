"""Profile-likelihood intervals of native objectives (numba cfuncs): exact
intervals of the normal and binomial models, rescaled data, ends at a
bound, objectives without a value on part of the domain, and objectives
that raise."""

import math
import warnings

import numpy as np
import pytest

import Velmora
from Velmora.profile import IntervalAtBoundWarning

numba = pytest.importorskip("numba")
brentq = pytest.importorskip("scipy.optimize").brentq
norm_ppf = pytest.importorskip("scipy.stats").norm.ppf
types = numba.types

ONE_SE = 0.6826894921370859


# The context of each objective: the count of values, then the values.
@numba.cfunc(types.float64(types.CPointer(types.float64), types.CPointer(types.float64)))
def normal_nll(x, ctx):
    # log of a negative sigma is NaN: an unbounded sigma has no value below 0
    n = int(ctx[0])
    q = 0.0
    for k in range(n):
        d = ctx[1 + k] - x[0]
        q += d * d
    return n * math.log(x[1]) + q / (2.0 * x[1] * x[1]) if x[1] > 0 else math.nan


@numba.cfunc(types.float64(types.CPointer(types.float64), types.CPointer(types.float64)))
def binomial_nll(x, ctx):
    k, n, p = ctx[0], ctx[1], x[0]
    return -(k * math.log(p) if k > 0 else 0.0) - ((n - k) * math.log1p(-p) if n > k else 0.0)


def native(fn, ctx):
    return Velmora.NativeObjective(fn.address, ctx=ctx.ctypes.data)


def normal_context(scale):
    data = np.random.default_rng(7).normal(1.0, 2.0, 60) * scale
    return np.concatenate([[data.size], data]), data


def normal_exact(data, rise):
    """The likelihood-ratio intervals of the normal mean and sigma: the
    profile of the mean is n/2 log(1 + (mu - m)^2 / s^2), that of sigma
    n log(s) + S / (2 s^2) with S the sum of squared deviations."""
    n, m = data.size, data.mean()
    s_hat = data.std()
    half = s_hat * math.sqrt(math.expm1(2.0 * rise / n))
    big_s = n * s_hat**2

    def g(s):
        return n * math.log(s / s_hat) + big_s / (2 * s * s) - n / 2 - rise

    return np.array(
        [[m - half, m + half], [brentq(g, 1e-3 * s_hat, s_hat), brentq(g, s_hat, 1e3 * s_hat)]]
    )


@pytest.mark.parametrize("scale", [1e-3, 1.0, 1e6])
@pytest.mark.parametrize("level", [ONE_SE, 0.95])
@pytest.mark.parametrize("bounded", [True, False], ids=["sigma>0", "nan-below-0"])
def test_normal_intervals_are_exact_at_any_scale(scale, level, bounded):
    # Unbounded, sigma has no value below 0: line searches of the re-fits
    # that step there must come back, not end the interval falsely.
    ctx, data = normal_context(scale)
    bounds = [(None, None), (0, None) if bounded else (None, None)]
    start = [data.mean() + 0.2 * data.std(), 1.2 * data.std()]
    r = Velmora.fit(native(normal_nll, ctx), start, bounds=bounds)
    np.testing.assert_allclose(r.x, [data.mean(), data.std()], atol=1e-4 * r.se.max())
    z = norm_ppf(0.5 + level / 2)
    exact = normal_exact(data, 0.5 * z * z)
    ends = r.ci(level, method="profile")
    np.testing.assert_allclose(ends, exact, rtol=0, atol=1e-5 * data.std())


@pytest.mark.parametrize("scale", [1.0, 1e4])
def test_profile_points_are_the_closed_form(scale):
    # The re-fits stop on a relative decrease, which at |fun| ~ 600 (scale
    # 1e4) is loose unless tightened: the points must still be exact to
    # well under the accuracy of an interval's end.
    ctx, data = normal_context(scale)
    start = [data.mean() + 0.2 * data.std(), 1.2 * data.std()]
    r = Velmora.fit(native(normal_nll, ctx), start, bounds=[(None, None), (0, None)])
    p = r.profile("x1", bound=3, size=9)
    big_s = ((data - data.mean()) ** 2).sum()
    expected = data.size * np.log(p.x) + big_s / (2 * p.x**2)
    assert p.success.all()
    np.testing.assert_allclose(p.fun, expected, rtol=0, atol=5e-8)


def binomial_exact(k, n, rise):
    p_hat = k / n

    def g(p):
        f = -(k * math.log(p) if k else 0.0) - ((n - k) * math.log1p(-p) if n > k else 0.0)
        f_hat = -(k * math.log(p_hat) if k else 0.0) - (
            (n - k) * math.log1p(-p_hat) if n > k else 0.0
        )
        return f - f_hat - rise

    low = brentq(g, 1e-15, p_hat) if k > 0 else 0.0
    high = brentq(g, p_hat, 1 - 1e-15) if k < n else 1.0
    return low, high


@pytest.mark.parametrize(("k", "n"), [(7, 20), (1, 50), (199, 200)])
@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_binomial_interval_is_the_likelihood_ratio_one(k, n, kind):
    # One parameter: each profile point is a single evaluation.
    ctx = np.array([k, n], dtype=float)
    r = Velmora.fit(native(binomial_nll, ctx), [0.5], bounds=[(0, 1)], kind=kind)
    ends = r.ci(0.95, method="profile")
    np.testing.assert_allclose(ends[0], binomial_exact(k, n, 0.5 * 1.959963984540054**2), rtol=1e-5)


@pytest.mark.parametrize(("k", "side"), [(0, 0), (30, 1)])
def test_an_end_that_never_rises_enough_is_the_bound(k, side):
    # All failures (or all successes): the estimate sits near the bound and
    # the likelihood never falls by the rise on that side.
    ctx = np.array([k, 30], dtype=float)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", Velmora.BoundaryWarning)  # the estimate is the bound
        r = Velmora.fit(native(binomial_nll, ctx), [0.5], bounds=[(0, 1)])
    with pytest.warns(IntervalAtBoundWarning, match="x0"):
        ends = r.ci(0.95, method="profile")
    assert ends[0, side] == float(side)
    found = Velmora.profile.profile_intervals(r, 0.95)
    assert found.valid[0] and (found.at_lower[0], found.at_upper[0])[side]


def test_native_and_python_objectives_agree():
    ctx, data = normal_context(1.0)

    def python_nll(x):
        return data.size * math.log(x[1]) + ((data - x[0]) ** 2).sum() / (2 * x[1] ** 2)

    bounds = [(None, None), (0, None)]
    ends = [
        Velmora.fit(f, [0.0, 1.0], bounds=bounds).ci(0.9, method="profile")
        for f in (native(normal_nll, ctx), python_nll)
    ]
    np.testing.assert_allclose(ends[0], ends[1], rtol=1e-6)


class Interrupted(Exception):
    pass


@pytest.mark.parametrize("after", [1, 15, 60])
def test_an_exception_of_the_objective_ends_the_profile_unchanged(after):
    ctx, data = normal_context(1.0)
    calls = [0]
    live = [False]

    def python_nll(x):
        if live[0]:
            calls[0] += 1
            if calls[0] >= after:
                raise Interrupted(calls[0])
        return data.size * math.log(x[1]) + ((data - x[0]) ** 2).sum() / (2 * x[1] ** 2)

    r = Velmora.fit(python_nll, [0.0, 1.0], bounds=[(None, None), (0, None)])
    x = r.x.copy()
    live[0] = True
    with warnings.catch_warnings(), pytest.raises(Interrupted):
        r.ci(0.95, method="profile")
    with pytest.raises(Interrupted):
        r.profile("x1", size=5)
    np.testing.assert_array_equal(r.x, x)


def _with(arguments, **changes):
    # positions after fit's six: cov_y 6, fun 7, rise 8, tol 9, which 10
    at = {"cov_y": 6, "fun": 7, "rise": 8, "tol": 9, "which": 10}
    out = list(arguments)
    for key, value in changes.items():
        out[at[key]] = value
    return out


@pytest.mark.parametrize(
    "changes",
    [
        {"cov_y": np.zeros(3)},
        {"fun": math.nan},
        {"rise": 0.0},
        {"tol": math.inf},
        {"which": np.array([2], dtype=np.int64)},
        {"which": np.array([-1], dtype=np.int64)},
        {"which": np.array([0.0])},
    ],
    ids=lambda c: next(iter(c)),
)
def test_the_native_driver_refuses_bad_arguments(changes):
    from Velmora._ckernels.optim import _fitting
    from Velmora.profile import _native_arguments

    ctx, _ = normal_context(1.0)
    r = Velmora.fit(native(normal_nll, ctx), [0.5, 1.5], bounds=[(None, None), (0, None)])
    good = [*_native_arguments(r), 0.5, 1e-7, np.arange(2, dtype=np.int64)]
    ends = _fitting.profile_ends(*good)[0]
    np.testing.assert_allclose(ends, r.ci(ONE_SE, method="profile"))
    with pytest.raises(ValueError):
        _fitting.profile_ends(*_with(good, **changes))


def test_the_ends_of_a_quadratic_profile_take_few_re_fits():
    # A normal mean with the variance known: the profile is the quadratic
    # itself, so the end is where the Wald end is, found in a few re-fits.
    from Velmora.profile import profile_intervals

    x = np.random.default_rng(8).normal(3.0, 2.0, 50)

    def nll(p):
        return 0.5 * float(np.sum((x - p[0]) ** 2 + (x - p[1]) ** 2)) / 4.0

    r = Velmora.fit(nll, [0.0, 0.0], names=["a", "b"])
    found = profile_intervals(r, 0.95)
    np.testing.assert_allclose(found.low, r.ci(0.95)[:, 0], rtol=1e-6)
    assert found.nfit <= 3 * 4
