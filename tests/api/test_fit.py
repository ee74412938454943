"""Velmora.fit on Python objectives: standard errors against closed forms,
fixed parameters, errordef, flat directions, intervals, coverage, the summary
table, bad input and exceptions from user code."""

import math
import warnings

import numpy as np
import pytest
from scipy import stats

import Velmora
from Velmora import ConvergenceWarning, FitResult, IdentifiabilityWarning, fit

TIGHT = {"gtol": 1e-10, "ftol": 1e-15}
RNG = np.random.default_rng(20240517)
NORMAL = RNG.normal(3.0, 2.0, 400)
EXPONENTIAL = RNG.exponential(0.5, 300)
SUCCESSES, TRIALS = 37, 250


def normal_nll(p, d):
    mu, s = p
    return d.size * math.log(s) + float(np.sum((d - mu) ** 2)) / (2.0 * s * s)


def normal_grad(p, d):
    mu, s = p
    r = d - mu
    return [-float(np.sum(r)) / s**2, d.size / s - float(np.sum(r * r)) / s**3]


def exponential_nll(p, d):
    return -d.size * math.log(p[0]) + p[0] * float(np.sum(d))


def exponential_grad(p, d):
    return [-d.size / p[0] + float(np.sum(d))]


def binomial_nll(p, k, n):
    return -(k * math.log(p[0]) + (n - k) * math.log1p(-p[0]))


def binomial_grad(p, k, n):
    return [-(k / p[0]) + (n - k) / (1.0 - p[0])]


# (objective, gradient, args, start, bounds, the MLE, the standard errors at an estimate x)
CLOSED_FORMS = {
    "normal": (
        normal_nll,
        normal_grad,
        (NORMAL,),
        [0.0, 1.0],
        [(None, None), (0.0, None)],
        lambda: [NORMAL.mean(), NORMAL.std()],
        lambda x: [x[1] / math.sqrt(NORMAL.size), x[1] / math.sqrt(2 * NORMAL.size)],
    ),
    "exponential": (
        exponential_nll,
        exponential_grad,
        (EXPONENTIAL,),
        [1.0],
        [(0.0, None)],
        lambda: [1.0 / EXPONENTIAL.mean()],
        lambda x: [x[0] / math.sqrt(EXPONENTIAL.size)],
    ),
    "binomial": (
        binomial_nll,
        binomial_grad,
        (SUCCESSES, TRIALS),
        [0.5],
        [(0.0, 1.0)],
        lambda: [SUCCESSES / TRIALS],
        lambda x: [math.sqrt(x[0] * (1 - x[0]) / TRIALS)],
    ),
}


@pytest.mark.parametrize("model", sorted(CLOSED_FORMS))
@pytest.mark.parametrize("gradient", ["jac", "differences", "nelder-mead"])
@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_standard_errors_match_closed_forms(model, gradient, kind):
    nll, grad, args, x0, bounds, mle, se_at = CLOSED_FORMS[model]
    kwargs = {"jac": grad} if gradient == "jac" else {}
    if gradient == "nelder-mead":
        kwargs.update(
            method="Nelder-Mead",
            options={"xatol": 1e-12, "fatol": 1e-14, "maxiter": 4000, "maxfev": 8000},
        )
    else:
        kwargs["options"] = TIGHT
    r = fit(nll, x0, args=args, bounds=bounds, kind=kind, **kwargs)
    assert r.success and r.unidentified == ()
    np.testing.assert_allclose(r.x, mle(), rtol=1e-7)
    # The Hessian alone, free of the optimizer's tolerance: closed form at the estimate.
    np.testing.assert_allclose(r.se, se_at(r.x), rtol=1e-6)
    np.testing.assert_allclose(np.diag(r.cov), r.se**2)
    lo, hi = r.ci().T
    assert np.all((lo < r.x) & (r.x < hi))


def test_errordef_scales_the_covariance():
    # A chi-square is twice the negative log-likelihood: with errordef=1 the
    # same standard errors come out.
    r = fit(normal_nll, [0.0, 1.0], args=(NORMAL,), bounds=[(None, None), (0, None)], options=TIGHT)
    chi2 = fit(
        lambda p, d: 2.0 * normal_nll(p, d),
        [0.0, 1.0],
        args=(NORMAL,),
        bounds=[(None, None), (0, None)],
        options=TIGHT,
        errordef=1.0,
    )
    np.testing.assert_allclose(chi2.se, r.se, rtol=1e-6)
    half = fit(
        normal_nll,
        [0.0, 1.0],
        args=(NORMAL,),
        bounds=[(None, None), (0, None)],
        options=TIGHT,
        errordef=2.0,
    )
    np.testing.assert_allclose(half.se, 2.0 * r.se, rtol=1e-6)


def test_result_shapes_names_and_counts():
    seen = []

    def nll(p, d):
        seen.append(p.copy())
        return normal_nll(p, d)

    r = fit(
        nll,
        np.array([0.0, 1.0]),
        args=(NORMAL,),
        jac=normal_grad,
        bounds=[(None, None), (0, None)],
        names=["mu", "sigma"],
    )
    assert isinstance(r, FitResult) and r.names == ("mu", "sigma")
    assert r.x.shape == r.se.shape == (2,) and r.cov.shape == r.corr.shape == r.hessian.shape == (
        2,
        2,
    )
    assert r.nfev == len(seen) == r.minimize_result.nfev + 4  # 2n gradients for the Hessian
    assert r.njev == r.minimize_result.njev + 4
    np.testing.assert_allclose(r.minimize_result.x, [r.x[0], math.log(r.x[1])])
    np.testing.assert_allclose(np.diag(r.corr), 1.0)
    np.testing.assert_allclose(r.hessian, r.hessian.T)
    # Hessian on y = (mu, log sigma): d2/dlogs2 of the NLL at the optimum is 2n.
    np.testing.assert_allclose(
        r.hessian, np.diag([NORMAL.size / r.x[1] ** 2, 2.0 * NORMAL.size]), rtol=1e-5, atol=1e-3
    )
    assert fit(normal_nll, [0.0, 1.0], args=(NORMAL,), bounds=[(None, None), (0, None)]).names == (
        "x0",
        "x1",
    )


def test_fixed_parameters_are_left_out():
    seen = []

    def nll(p, d):
        seen.append(p[1])
        return normal_nll(p[[0, 2]], d)

    r = fit(
        nll,
        [0.0, 7.5, 1.0],
        args=(NORMAL,),
        bounds=[(None, None), (7.5, 7.5), (0, None)],
        names=["mu", "c", "sigma"],
    )
    assert set(seen) == {7.5} and r.x[1] == 7.5
    assert r.fixed.tolist() == [False, True, False] and r.hessian.shape == (2, 2)
    assert r.se[1] == 0.0 and not r.cov[1].any() and not r.cov[:, 1].any()
    assert np.isnan(r.corr[1]).all()
    assert r.ci()[1].tolist() == [7.5, 7.5]
    free = fit(normal_nll, [0.0, 1.0], args=(NORMAL,), bounds=[(None, None), (0, None)])
    np.testing.assert_allclose(r.se[[0, 2]], free.se, rtol=1e-9)
    assert "fixed at 7.5" in r.summary()


def sum_model(p, d):
    """mu = a + b: a and b are not identified, sigma is."""
    return normal_nll([p[0] + p[1], p[2]], d)


def sum_model_grad(p, d):
    g = normal_grad([p[0] + p[1], p[2]], d)
    return [g[0], g[0], g[1]]


@pytest.mark.parametrize(
    "method,jac", [("L-BFGS-B", sum_model_grad), ("L-BFGS-B", None), ("Nelder-Mead", None)]
)
def test_rank_deficient_model_warns_and_gives_nan(method, jac):
    with pytest.warns(
        IdentifiabilityWarning, match="flat or not positive .*: no standard errors for a, b$"
    ):
        r = fit(
            sum_model,
            [0.0, 0.5, 1.0],
            args=(NORMAL,),
            jac=jac,
            method=method,
            bounds=[(None, None), (None, None), (0, None)],
            names=["a", "b", "sigma"],
        )
    assert r.unidentified == ("a", "b")
    assert np.isnan(r.se[:2]).all() and np.isnan(r.cov[:2]).all() and np.isnan(r.ci()[:2]).all()
    assert abs(r.x[0] + r.x[1] - NORMAL.mean()) < 1e-4
    # sigma keeps its exact standard error.
    np.testing.assert_allclose(r.se[2], r.x[2] / math.sqrt(2 * NORMAL.size), rtol=1e-5)
    assert "Not identified by the Hessian" in r.summary()


def test_a_hessian_that_cannot_be_formed_flags_every_parameter():
    # Finite at the optimum and far from it, NaN at every step near it.
    def nll(p, d):
        return normal_nll(p, d) if p[0] == d.mean() or abs(p[0] - d.mean()) > 1e-3 else math.nan

    with pytest.warns(IdentifiabilityWarning, match="could not be formed .*for x0, x1$"):
        r = fit(
            nll,
            [NORMAL.mean(), 1.0],
            args=(NORMAL,),
            bounds=[(None, None), (0, None)],
            method="Nelder-Mead",
            options={"xatol": 1e-9, "fatol": 1e-9},
        )
    assert np.isnan(r.se).all() and np.isnan(r.cov).all()


@pytest.mark.parametrize("wall", [1e-2, 1e-4])
def test_probes_outside_the_domain_shrink_until_the_hessian_is_formed(wall):
    # NaN from `wall` above the optimum on: the Hessian's probes that land
    # there halve their steps until they fall inside.
    exact = fit(normal_nll, [1.0, 1.0], args=(NORMAL,), bounds=[(None, None), (0, None)])
    top = exact.x[0] + wall

    def nll(p, d):
        return normal_nll(p, d) if p[0] < top else math.nan

    r = fit(nll, exact.x, args=(NORMAL,), bounds=[(None, None), (0, None)])
    assert r.success and not r.unidentified
    np.testing.assert_allclose(r.se, exact.se, rtol=1e-3)


def test_a_parameter_the_objective_ignores_is_flagged_alone():
    with pytest.warns(IdentifiabilityWarning, match="for unused$"):
        r = fit(
            lambda p, d: normal_nll(p[:2], d),
            [0.0, 1.0, 4.0],
            args=(NORMAL,),
            bounds=[(None, None), (0, None), (None, None)],
            names=["mu", "sigma", "unused"],
        )
    assert np.isfinite(r.se[:2]).all() and np.isnan(r.se[2])


@pytest.mark.parametrize("jac", [True, False])
def test_strong_correlation_is_not_mistaken_for_a_flat_direction(jac):
    # Least squares with two covariates whose correlation is 0.9999 and very
    # different scales: identified, and the covariance is sigma^2 (X'X)^-1.
    rng = np.random.default_rng(5)
    u = rng.normal(size=2000)
    X = np.column_stack([u, 1e-3 * (u + 0.0142 * rng.normal(size=2000))])
    yobs = X @ [1.0, 500.0] + rng.normal(size=2000)

    def chi2(b):
        r = yobs - X @ b
        return float(r @ r)

    def chi2_grad(b):
        return -2.0 * X.T @ (yobs - X @ b)

    with warnings.catch_warnings():
        warnings.simplefilter("error", IdentifiabilityWarning)
        r = fit(
            chi2,
            [0.0, 0.0],
            jac=chi2_grad if jac else None,
            errordef=1.0,
            options={"gtol": 1e-12, "ftol": 1e-15, "maxiter": 5000},
        )
    np.testing.assert_allclose(r.cov, np.linalg.inv(X.T @ X), rtol=1e-4 if jac else 1e-3)


def test_intervals_map_back_inside_their_bounds():
    # 2 successes in 400: a symmetric Wald interval on p would reach below 0.
    r = fit(binomial_nll, [0.5], args=(2, 400), bounds=[(0.0, 1.0)], options=TIGHT)
    for level in (0.5, 0.95, 0.999999):
        lo, hi = r.ci(level)[0]
        assert 0.0 < lo < r.x[0] < hi < 1.0
    assert r.x[0] - 1.96 * r.se[0] < 0.0
    # Wald on the logit scale, mapped back.
    y, se_y = math.log(r.x[0] / (1 - r.x[0])), r.se[0] / (r.x[0] * (1 - r.x[0]))
    z = stats.norm.ppf(0.975)
    np.testing.assert_allclose(
        r.ci()[0], 1.0 / (1.0 + np.exp(-(y + np.array([-z, z]) * se_y))), rtol=1e-9
    )
    # An upper bound maps the other way round: the interval stays ordered.
    up = fit(lambda p: exponential_nll(-p, EXPONENTIAL), [-1.0], bounds=[(None, 0.0)])
    lo, hi = up.ci()[0]
    assert lo < up.x[0] < hi < 0.0
    # A free parameter gets x +- z se exactly.
    free = fit(normal_nll, [0.0, 1.0], args=(NORMAL,), bounds=[(None, None), (0, None)])
    np.testing.assert_allclose(
        free.ci(0.9)[0],
        free.x[0] + np.array([-1, 1]) * stats.norm.ppf(0.95) * free.se[0],
        rtol=1e-12,
    )


def test_coverage_of_the_intervals():
    # 1000 simulated gamma samples of 60 observations; sufficient statistics
    # keep each fit cheap. 95% intervals must cover 93 to 97% of the time.
    rng = np.random.default_rng(11)
    shape, rate, n = 2.0, 3.0, 60
    covered = np.zeros(2)
    bounds = [(0.0, None), (0.0, None)]
    for _ in range(1000):
        d = rng.gamma(shape, 1.0 / rate, n)
        s, sl = float(d.sum()), float(np.log(d).sum())

        def nll(p, s=s, sl=sl):
            k, b = p
            return n * (math.lgamma(k) - k * math.log(b)) - (k - 1.0) * sl + b * s

        r = fit(nll, [1.0, 1.0], bounds=bounds)
        lo, hi = r.ci().T
        covered += (lo <= [shape, rate]) & ([shape, rate] <= hi)
    assert np.all((930 <= covered) & (covered <= 970)), covered


def test_summary_and_repr():
    r = fit(
        normal_nll,
        [0.0, 1.0],
        args=(NORMAL,),
        bounds=[(None, None), (0, None)],
        names=["mu", "sigma"],
    )
    text = r.summary()
    assert text == str(r)
    for piece in (
        "mu",
        "sigma",
        "estimate",
        "std err",
        "[0.025",
        "0.975]",
        "(0, inf)",
        "CONVERGENCE",
        f"{r.x[0]:.6g}",
        f"{r.se[1]:.6g}",
    ):
        assert piece in text
    assert "[0.05" in r.summary(0.9) and "0.95]" in r.summary(0.9)
    assert repr(r).startswith("<FitResult mu=")


def test_failed_run_warns_and_reports():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        r = fit(
            normal_nll,
            [0.0, 1.0],
            args=(NORMAL,),
            bounds=[(None, None), (0, None)],
            options={"maxiter": 2},
        )
    assert any(
        w.category is ConvergenceWarning and "did not converge" in str(w.message) for w in caught
    )
    assert not r.success and r.status == 5 and "NOT converged" in r.summary()


class Boom(Exception):
    pass


@pytest.mark.parametrize("phase", ["start", "run", "hessian"])
@pytest.mark.parametrize("jac", [None, normal_grad])
def test_exceptions_from_the_objective_propagate(phase, jac):
    calls = []
    boom = Boom()
    limit = [math.inf]

    def nll(p, d):
        calls.append(1)
        if len(calls) >= limit[0]:
            raise boom
        return normal_nll(p, d)

    kwargs = {"args": (NORMAL,), "jac": jac, "bounds": [(None, None), (0, None)]}
    r = fit(nll, [0.0, 1.0], **kwargs)
    limit[0] = {"start": 1, "run": 3, "hessian": r.nfev}[phase]
    calls.clear()
    with pytest.raises(Boom) as info:
        fit(nll, [0.0, 1.0], **kwargs)
    assert info.value is boom and len(calls) == limit[0]


@pytest.mark.parametrize(
    "kwargs,exc,match",
    [
        ({"names": ["a"]}, ValueError, "names has 1 entries for 2 parameters"),
        ({"names": ["a", "a"]}, ValueError, "distinct"),
        ({"names": "ab"}, TypeError, "sequence of strings"),
        ({"names": ["a", 1]}, TypeError, r"names\[1\]"),
        ({"x0": [0.0, -1.0]}, ValueError, "x0 of parameter 'x1' is -1.0, outside its bounds"),
        ({"x0": [0.0, 0.0]}, ValueError, "x0 of parameter 'x1' is 0.0, on its bound"),
        ({"x0": [math.nan, 1.0]}, ValueError, "x0 of parameter 'x0' is nan"),
        ({"x0": [1.0, 1.0], "bounds": [(0, 0), (0, None)]}, ValueError, "fixed at 0"),
        ({"bounds": [(1, 1), (1, 1)], "x0": [1, 1]}, ValueError, "nothing to estimate"),
        ({"bounds": [(-1e308, 1e308), (0, None)]}, ValueError, "wider than the largest float"),
        ({"errordef": 0}, ValueError, "errordef"),
        ({"errordef": math.inf}, ValueError, "errordef"),
        ({"errordef": "1"}, TypeError, "errordef"),
        ({"kind": "tanh"}, ValueError, "kind"),
        ({"method": "BFGS"}, ValueError, "unknown method"),
        ({"options": {"maxiterr": 3}}, ValueError, "unknown option 'maxiterr'"),
        ({"jac": normal_grad, "method": "Nelder-Mead"}, ValueError, "jac must be None"),
    ],
)
def test_bad_input_raises_before_any_evaluation(kwargs, exc, match):
    calls = []

    def nll(p, d):
        calls.append(1)
        return normal_nll(p, d)

    kwargs = {"x0": [0.0, 1.0], "bounds": [(None, None), (0, None)], **kwargs}
    x0 = kwargs.pop("x0")
    with pytest.raises(exc, match=match):
        fit(nll, x0, args=(NORMAL,), **kwargs)
    assert calls == []


@pytest.mark.parametrize("method", ["L-BFGS-B", "Nelder-Mead"])
@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
def test_objective_not_finite_at_the_start(method, value):
    calls = []

    def nll(p):
        calls.append(1)
        return value

    with pytest.raises(ValueError, match="not finite at x0"):
        fit(nll, [1.0, 2.0], method=method)
    assert len(calls) == 1


@pytest.mark.parametrize("level", [0.0, 1.0, -0.5, 1.5, math.nan])
def test_bad_levels(level):
    r = fit(normal_nll, [0.0, 1.0], args=(NORMAL,), bounds=[(None, None), (0, None)])
    with pytest.raises(ValueError, match="level"):
        r.ci(level)
    with pytest.raises(ValueError, match="level"):
        r.summary(level)
    with pytest.raises(TypeError, match="level"):
        r.ci("0.9")


def test_inputs_are_not_modified_and_results_are_new():
    x0 = np.array([0.0, 1.0])
    bounds = [(None, None), (0.0, None)]
    r = fit(normal_nll, x0, args=(NORMAL,), bounds=bounds)
    assert x0.tolist() == [0.0, 1.0] and bounds == [(None, None), (0.0, None)]
    corr = r.corr
    corr[0, 1] = 5.0
    assert r.corr[0, 1] != 5.0


def test_public_names():
    assert Velmora.fit is fit and issubclass(IdentifiabilityWarning, UserWarning)
    assert issubclass(ConvergenceWarning, UserWarning) and IdentifiabilityWarning is not UserWarning
    assert {"fit", "FitResult", "IdentifiabilityWarning", "ConvergenceWarning"} <= set(dir(Velmora))


LBFGSB_OPTIONS = (10, 100, 100, 20, 1e7, 1e-5, 0.0)


@pytest.mark.parametrize(
    "args,exc",
    [
        (
            (
                (0, normal_nll, None, (NORMAL,)),
                [0.0, 1.0],
                None,
                LBFGSB_OPTIONS,
                print,
                (0, 3, 0.5, 1e-6),
            ),
            TypeError,
        ),
        (
            (
                (0, normal_nll, None, (NORMAL,)),
                [0.0, 1.0],
                None,
                LBFGSB_OPTIONS,
                None,
                (2, 3, 0.5, 1e-6),
            ),
            ValueError,
        ),
        (
            (
                (0, normal_nll, None, (NORMAL,)),
                [0.0, 1.0],
                None,
                LBFGSB_OPTIONS,
                None,
                (0, 5, 0.5, 1e-6),
            ),
            ValueError,
        ),
        (
            (
                (0, normal_nll, None, (NORMAL,)),
                [0.0, 1.0],
                None,
                LBFGSB_OPTIONS,
                None,
                (0, 3, -1.0, 1e-6),
            ),
            ValueError,
        ),
        (
            (
                (0, normal_nll, None, (NORMAL,)),
                [0.0, 1.0],
                None,
                LBFGSB_OPTIONS,
                None,
                (1, 3, 0.5, 1e-6),
            ),
            TypeError,
        ),
        (
            (
                (0, normal_nll, None, (NORMAL,)),
                [0.0, 1.0],
                (np.zeros(2), np.zeros(2), np.array([0, 7])),
                LBFGSB_OPTIONS,
                None,
                (0, 3, 0.5, 1e-6),
            ),
            TypeError,
        ),
        (
            (
                (0, normal_nll, None, (NORMAL,)),
                [0.0, 1.0],
                (np.array([np.nan, 0.0]), np.full(2, np.inf)),
                LBFGSB_OPTIONS,
                None,
                (0, 3, 0.5, 1e-6),
            ),
            ValueError,
        ),
        (
            (
                (0, normal_nll, None, (NORMAL,)),
                [0.0, 1.0],
                (np.ones(2), np.zeros(2)),
                LBFGSB_OPTIONS,
                None,
                (0, 3, 0.5, 1e-6),
            ),
            ValueError,
        ),
    ],
)
def test_private_fit_refuses_malformed_calls(args, exc):
    from Velmora._ckernels.optim import _fitting

    objective, x, *rest = args
    with pytest.raises(exc):
        _fitting.fit(objective, np.array(x), *rest)


def test_private_fit_reports_a_run_that_never_started():
    from Velmora._ckernels.optim import _fitting

    calls = []
    out = _fitting.fit(
        (0, lambda x: calls.append(1) or 1.0, None, ()),
        np.array([0.0, 1.0]),
        None,
        (0, 100, 100, 20, 1e7, 1e-5, 0.0),
        None,
        (0, 3, 0.5, 1e-6),
    )  # no correction pairs
    assert out[0] == 6 and out[3] == 7 and calls == []
