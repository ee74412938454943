"""Velmora.curve_fit against SciPy's curve_fit run as a black box, and its
weights, bounds, covariance, outputs and refusals."""

import warnings

import numpy as np
import pytest

import Velmora

from lsq_problems import BY_NAME, PROBLEMS, exp_decay, exp_decay_jac

scipy_optimize = pytest.importorskip("scipy.optimize")

EXP = BY_NAME["exp_decay"]


def scipy_fit(*args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return scipy_optimize.curve_fit(*args, **kwargs)


def assert_same_fit(ours, theirs, popt_rtol=1e-6, pcov_rtol=1e-4):
    (p, c), (ps, cs) = ours[:2], theirs[:2]
    np.testing.assert_allclose(p, ps, rtol=popt_rtol, atol=popt_rtol * 1e-3 * np.abs(ps).max())
    # Covariances relative to the standard errors they imply.
    scale = np.sqrt(np.outer(np.diag(cs), np.diag(cs)))
    assert np.all(np.abs(c - cs) <= pcov_rtol * scale), np.abs(c - cs) / scale


@pytest.mark.parametrize("problem", PROBLEMS, ids=lambda p: p.name)
def test_same_fit_and_evaluations_as_scipy(problem):
    ours = Velmora.curve_fit(
        problem.f, problem.xdata, problem.ydata, p0=problem.p0, full_output=True
    )
    theirs = scipy_fit(problem.f, problem.xdata, problem.ydata, p0=problem.p0, full_output=True)
    assert_same_fit(ours, theirs)
    # The same iteration: the same evaluations, outcome and message.
    assert ours[2]["nfev"] == theirs[2]["nfev"] and ours[4] == theirs[4] and ours[3] == theirs[3]
    np.testing.assert_allclose(ours[2]["fvec"], theirs[2]["fvec"], rtol=1e-5, atol=1e-9)


@pytest.mark.parametrize("name", ["exp_decay", "gaussian", "michaelis_menten"])
def test_analytic_jacobian(name):
    p = BY_NAME[name]
    ours = Velmora.curve_fit(p.f, p.xdata, p.ydata, p0=p.p0, jac=p.jac, full_output=True)
    theirs = scipy_fit(p.f, p.xdata, p.ydata, p0=p.p0, jac=p.jac, full_output=True)
    assert_same_fit(ours, theirs, popt_rtol=1e-8)
    assert ours[2]["nfev"] == theirs[2]["nfev"] and ours[2]["njev"] == theirs[2]["njev"]


@pytest.mark.parametrize("kind", ["vector", "matrix", "absolute", "absolute_matrix"])
def test_weighted_fits(kind):
    rng = np.random.default_rng(5)
    sigma = rng.uniform(0.01, 0.1, EXP.xdata.size)
    if "matrix" in kind:
        corr = 0.3 ** np.abs(np.subtract.outer(np.arange(sigma.size), np.arange(sigma.size)))
        sigma = np.outer(sigma, sigma) * corr
    absolute = kind.startswith("absolute")
    args = (EXP.f, EXP.xdata, EXP.ydata)
    ours = Velmora.curve_fit(*args, p0=EXP.p0, sigma=sigma, absolute_sigma=absolute)
    theirs = scipy_fit(*args, p0=EXP.p0, sigma=sigma, absolute_sigma=absolute)
    assert_same_fit(ours, theirs)


def test_absolute_sigma_is_the_inverse_weighted_normal_matrix():
    sigma = np.linspace(0.05, 0.2, EXP.xdata.size)
    p, c = Velmora.curve_fit(
        exp_decay,
        EXP.xdata,
        EXP.ydata,
        p0=EXP.p0,
        sigma=sigma,
        absolute_sigma=True,
        jac=exp_decay_jac,
    )
    J = exp_decay_jac(EXP.xdata, *p) / sigma[:, None]
    np.testing.assert_allclose(c, np.linalg.inv(J.T @ J), rtol=1e-9)
    # Without absolute_sigma the same matrix scaled by the residual variance.
    _, c_rel = Velmora.curve_fit(
        exp_decay, EXP.xdata, EXP.ydata, p0=EXP.p0, sigma=sigma, jac=exp_decay_jac
    )
    r = (exp_decay(EXP.xdata, *p) - EXP.ydata) / sigma
    np.testing.assert_allclose(c_rel, c * (r @ r) / (r.size - 3), rtol=1e-7)


def test_covariance_sigma_equals_whitened_data():
    # A diagonal covariance matrix is the vector of its square roots.
    sigma = np.linspace(0.05, 0.2, EXP.xdata.size)
    a = Velmora.curve_fit(exp_decay, EXP.xdata, EXP.ydata, p0=EXP.p0, sigma=sigma)
    b = Velmora.curve_fit(exp_decay, EXP.xdata, EXP.ydata, p0=EXP.p0, sigma=np.diag(sigma**2))
    np.testing.assert_allclose(
        a[0], b[0], rtol=1e-8
    )  # the rounding of 1/sigma and of the factor differ
    np.testing.assert_allclose(a[1], b[1], rtol=1e-6)


@pytest.mark.parametrize("degree", [1, 3, 5])
def test_linear_models_give_the_exact_least_squares_solution(degree):
    x = np.linspace(-1.0, 3.0, 40)
    rng = np.random.default_rng(degree)
    y = np.polyval(rng.normal(size=degree + 1), x) + 0.1 * rng.standard_normal(x.size)

    def poly(x, *c):
        return np.polyval(c, x)

    def poly_jac(x, *c):
        return np.vander(x, len(c))

    want = np.linalg.lstsq(np.vander(x, degree + 1), y, rcond=None)[0]
    got, _ = Velmora.curve_fit(poly, x, y, p0=np.zeros(degree + 1), jac=poly_jac)
    np.testing.assert_allclose(got, want, rtol=1e-10, atol=1e-12 * np.abs(want).max())
    # Differences carry rounding errors of about 1e-8 relative into J, and so
    # into the solution, amplified by the condition number.
    got, _ = Velmora.curve_fit(poly, x, y, p0=np.zeros(degree + 1))
    np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-7 * np.abs(want).max())


@pytest.mark.parametrize(
    "bounds, p0, active",
    [
        (([0, 0, 0], [10, 1.0, 10]), [1.0, 0.5, 0.5], 1),  # b wants 1.32: held at 1.0
        (([2.6, 0, -1], [10, 5, 1]), [3.0, 0.5, 0.5], 0),  # a wants 2.48: held at 2.6
        (([-np.inf, 1.4, -np.inf], np.inf), [1.0, 1.5, 0.5], 1),  # a lower bound only
        (([0, 0, 0], [10, 5, 10]), [1.0, 0.5, 0.5], None),  # no bound active
        (
            (np.array([-np.inf, 1.4, -np.inf]), np.full(3, np.inf)),
            [1.0, 1.5, 0.5],
            1,
        ),  # NumPy arrays
    ],
)
def test_bounds_active_near_the_solution(bounds, p0, active):
    ours, _ = Velmora.curve_fit(EXP.f, EXP.xdata, EXP.ydata, p0=p0, bounds=bounds)
    theirs, _ = scipy_fit(EXP.f, EXP.xdata, EXP.ydata, p0=p0, bounds=bounds)
    lb, ub = (np.broadcast_to(np.asarray(b, float), 3) for b in bounds)
    assert np.all((lb <= ours) & (ours <= ub))
    np.testing.assert_allclose(ours, theirs, rtol=1e-6)
    if active is not None:
        assert np.isclose(ours[active], lb[active], rtol=1e-9) or np.isclose(
            ours[active], ub[active], rtol=1e-9
        )


def test_bounds_keep_every_evaluation_inside():
    seen = []

    def model(t, a, b, c):
        seen.append((a, b, c))
        return exp_decay(t, a, b, c)

    Velmora.curve_fit(
        model, EXP.xdata, EXP.ydata, p0=[1.0, 1.0, 0.0], bounds=([0.5, 1.0, 0.0], [3.0, 2.0, 0.4])
    )
    p = np.array(seen)
    assert np.all(p >= [0.5, 1.0, 0.0]) and np.all(p <= [3.0, 2.0, 0.4])


def test_default_start_inside_bounds_as_scipy_chooses():
    bounds = ([0, 0, -5], [5, np.inf, np.inf])
    ours = Velmora.curve_fit(exp_decay, EXP.xdata, EXP.ydata, bounds=bounds)
    theirs = scipy_fit(exp_decay, EXP.xdata, EXP.ydata, bounds=bounds)
    np.testing.assert_allclose(ours[0], theirs[0], rtol=1e-6)


def test_rank_deficient_model_warns_and_gives_infinite_covariance():
    def redundant(t, a, b, k):  # only a + b is determined
        return (a + b) * np.exp(-k * t)

    y = redundant(EXP.xdata, 2.0, 0.5, 1.3) + 0.01 * np.cos(5 * EXP.xdata)
    for jac in (
        None,
        lambda t, a, b, k: np.column_stack([np.exp(-k * t)] * 2 + [-(a + b) * t * np.exp(-k * t)]),
    ):
        with pytest.warns(
            Velmora.OptimizeWarning, match="Covariance of the parameters could not be estimated"
        ):
            p, c = Velmora.curve_fit(redundant, EXP.xdata, y, p0=[1.0, 1.0, 1.0], jac=jac)
        assert np.isinf(c).all()
        np.testing.assert_allclose(p[0] + p[1], 2.5, rtol=0.01)


def test_as_many_points_as_parameters_warns():
    with pytest.warns(Velmora.OptimizeWarning):
        p, c = Velmora.curve_fit(exp_decay, EXP.xdata[:3], EXP.ydata[:3], p0=[1.0, 1.0, 1.0])
    assert np.isinf(c).all()
    np.testing.assert_allclose(exp_decay(EXP.xdata[:3], *p), EXP.ydata[:3], atol=1e-6)


def test_scale_of_parameters_does_not_decide_the_rank():
    # Parameters of very different sizes: well determined, finite covariance.
    x = np.linspace(0.0, 1.0, 30)
    y = 1e-6 * x + 1e6 * x**2 + np.cos(9 * x)
    _, c = Velmora.curve_fit(lambda x, a, b: a * x + b * x**2, x, y, p0=[1.0, 1.0])
    assert np.isfinite(c).all() and c[0, 0] > 0


def test_full_output_without_bounds_is_leastsqs():
    popt, _, info, mesg, ier = Velmora.curve_fit(
        exp_decay, EXP.xdata, EXP.ydata, p0=EXP.p0, full_output=True
    )
    assert set(info) == {"fvec", "nfev", "fjac", "ipvt", "qtf"} and ier == 1
    assert mesg.startswith("Both actual and predicted relative reductions")
    n = popt.size
    # fjac.T[:n] holds R of J[:, ipvt] = Q R: R^T R is J^T J permuted.
    R = np.triu(info["fjac"].T[:n])
    J = exp_decay_jac(EXP.xdata, *popt)[:, info["ipvt"]]
    np.testing.assert_allclose(R.T @ R, J.T @ J, rtol=1e-6)
    assert info["ipvt"].dtype == np.int32 and sorted(info["ipvt"]) == [0, 1, 2]


def test_full_output_with_bounds_is_least_squares():
    out = Velmora.curve_fit(
        exp_decay, EXP.xdata, EXP.ydata, p0=EXP.p0, bounds=(-10, 10), full_output=True
    )
    theirs = scipy_fit(
        exp_decay, EXP.xdata, EXP.ydata, p0=EXP.p0, bounds=(-10, 10), full_output=True
    )
    assert set(out[2]) == set(theirs[2]) == {"nfev", "fvec"}
    assert out[3] in {
        "`ftol` termination condition is satisfied.",
        "`gtol` termination condition is satisfied.",
        "`xtol` termination condition is satisfied.",
        "Both `ftol` and `xtol` termination conditions are satisfied.",
    }
    assert out[4] in (1, 2, 3, 4)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (
            {"maxfev": 5},
            "Optimal parameters not found: Number of calls to function has reached maxfev = 5.",
        ),
        (
            {"max_nfev": 3, "method": "trf"},
            "Optimal parameters not found: The maximum number of function evaluations is exceeded.",
        ),
        (
            {"max_nfev": 2, "bounds": (0, 10)},
            "Optimal parameters not found: The maximum number of function evaluations is exceeded.",
        ),
    ],
)
def test_budget_exhausted_raises_runtime_error_as_scipy(kwargs, message):
    with pytest.raises(RuntimeError) as ours:
        Velmora.curve_fit(exp_decay, EXP.xdata, EXP.ydata, p0=EXP.p0, **kwargs)
    assert str(ours.value) == message
    with pytest.raises(RuntimeError) as theirs:
        scipy_fit(exp_decay, EXP.xdata, EXP.ydata, p0=EXP.p0, **kwargs)
    assert str(theirs.value) == message


def test_solver_keywords_reach_the_solver():
    loose = Velmora.curve_fit(
        exp_decay, EXP.xdata, EXP.ydata, p0=EXP.p0, full_output=True, ftol=1e-3, xtol=1e-3
    )
    theirs = scipy_fit(
        exp_decay, EXP.xdata, EXP.ydata, p0=EXP.p0, full_output=True, ftol=1e-3, xtol=1e-3
    )
    assert loose[3] == theirs[3] and loose[2]["nfev"] == theirs[2]["nfev"]
    for kwargs in (
        {"epsfcn": 1e-10},
        {"diff_step": 1e-5},
        {"factor": 1.0},
        {"diag": [1.0, 2.0, 3.0]},
        {"x_scale": [1.0, 0.1, 1.0]},
        {"gtol": 1e-3},
    ):
        p, _ = Velmora.curve_fit(exp_decay, EXP.xdata, EXP.ydata, p0=EXP.p0, **kwargs)
        np.testing.assert_allclose(p, theirs[0], rtol=1e-3)
    p, _, info, _, _ = Velmora.curve_fit(
        exp_decay, EXP.xdata, EXP.ydata, p0=EXP.p0, factor=0.1, full_output=True
    )
    assert info["nfev"] != loose[2]["nfev"]


def test_multiple_predictors_and_xdata_passed_through():
    p = BY_NAME["plane_with_bump"]
    seen = []

    def model(xy, *q):
        seen.append(xy)
        return p.f(xy, *q)

    Velmora.curve_fit(model, p.xdata.tolist(), p.ydata, p0=p.p0)
    assert all(type(s) is np.ndarray and s.shape == p.xdata.shape for s in seen)

    class Points:  # not array-like: handed over as it is
        def __init__(self, t):
            self.t = t

    got, _ = Velmora.curve_fit(
        lambda pts, a, b, c: exp_decay(pts.t, a, b, c), Points(EXP.xdata), EXP.ydata, p0=EXP.p0
    )
    np.testing.assert_allclose(
        got, Velmora.curve_fit(exp_decay, EXP.xdata, EXP.ydata, p0=EXP.p0)[0]
    )


def test_parameters_are_numpy_floats_and_ydata_any_shape():
    kinds = set()

    def model(t, a, b, c):
        kinds.update({type(a), type(b), type(c)})
        return exp_decay(t, a, b, c).reshape(4, 5)

    p, _ = Velmora.curve_fit(model, EXP.xdata, EXP.ydata.reshape(4, 5), p0=EXP.p0)
    assert kinds == {np.float64}
    np.testing.assert_allclose(p, Velmora.curve_fit(exp_decay, EXP.xdata, EXP.ydata, p0=EXP.p0)[0])


def test_constant_model_broadcasts():
    p, c = Velmora.curve_fit(lambda t, level: level, EXP.xdata, EXP.ydata)
    np.testing.assert_allclose(p, [EXP.ydata.mean()], rtol=1e-9)
    np.testing.assert_allclose(c, [[EXP.ydata.var(ddof=1) / EXP.ydata.size]], rtol=1e-6)


def test_nan_policy_omit_drops_points():
    y = EXP.ydata.copy()
    y[[3, 7]] = np.nan
    keep = ~np.isnan(y)
    ours = Velmora.curve_fit(exp_decay, EXP.xdata, y, p0=EXP.p0, nan_policy="omit")
    want = Velmora.curve_fit(exp_decay, EXP.xdata[keep], y[keep], p0=EXP.p0)
    np.testing.assert_array_equal(ours[0], want[0])
    with pytest.raises(ValueError):
        Velmora.curve_fit(exp_decay, EXP.xdata, y, p0=EXP.p0, nan_policy="raise")


def test_arguments_are_not_modified():
    x, y, p0, sigma = EXP.xdata.copy(), EXP.ydata.copy(), np.array(EXP.p0), np.full(20, 0.1)
    Velmora.curve_fit(exp_decay, x, y, p0=p0, sigma=sigma, bounds=([1.0, 0, 0], [3, 3, 3]))
    assert (
        np.array_equal(x, EXP.xdata) and np.array_equal(y, EXP.ydata) and list(p0) == list(EXP.p0)
    )
    assert (sigma == 0.1).all()


class Boom(Exception):
    pass


def test_model_exceptions_propagate_unchanged():
    exc = Boom("model")
    calls = []

    def model(t, a, b, c):
        calls.append(1)
        if len(calls) == 5:
            raise exc
        return exp_decay(t, a, b, c)

    for jac in (None, exp_decay_jac):
        calls.clear()
        with pytest.raises(Boom) as info:
            Velmora.curve_fit(model, EXP.xdata, EXP.ydata, p0=EXP.p0, jac=jac)
        assert info.value is exc and len(calls) == 5

    def bad_jac(t, a, b, c):
        raise exc

    with pytest.raises(Boom) as info:
        Velmora.curve_fit(exp_decay, EXP.xdata, EXP.ydata, p0=EXP.p0, jac=bad_jac)
    assert info.value is exc


Y = EXP.ydata


@pytest.mark.parametrize(
    "call, exc, match",
    [
        (
            lambda: Velmora.curve_fit(exp_decay, EXP.xdata, np.r_[Y[:-1], np.nan]),
            ValueError,
            "infs or NaNs",
        ),
        (
            lambda: Velmora.curve_fit(exp_decay, np.r_[EXP.xdata[:-1], np.inf], Y),
            ValueError,
            "infs or NaNs",
        ),
        (
            lambda: Velmora.curve_fit(exp_decay, EXP.xdata, Y, sigma=np.ones(3)),
            ValueError,
            "incorrect shape",
        ),
        (
            lambda: Velmora.curve_fit(exp_decay, EXP.xdata, Y, sigma=np.ones((20, 3))),
            ValueError,
            "incorrect shape",
        ),
        (
            lambda: Velmora.curve_fit(exp_decay, EXP.xdata, Y, sigma=-np.eye(20)),
            ValueError,
            "positive definite",
        ),
        (
            lambda: Velmora.curve_fit(exp_decay, EXP.xdata, Y, sigma=np.zeros(20)),
            ValueError,
            "positive",
        ),
        (
            lambda: Velmora.curve_fit(exp_decay, EXP.xdata, Y, sigma=np.full(20, np.nan)),
            ValueError,
            "finite",
        ),
        (
            lambda: Velmora.curve_fit(exp_decay, EXP.xdata[:2], Y[:2]),
            TypeError,
            "must not exceed the number of data",
        ),
        (
            lambda: Velmora.curve_fit(exp_decay, EXP.xdata, Y, p0=[1, 2]),
            ValueError,
            "p0 has 2 values",
        ),
        (
            lambda: Velmora.curve_fit(exp_decay, EXP.xdata, Y, p0=[1, 2, 3, 4]),
            ValueError,
            "p0 has 4 values",
        ),
        (
            lambda: Velmora.curve_fit(exp_decay, EXP.xdata, Y, p0=[1, np.nan, 3]),
            ValueError,
            "finite",
        ),
        (
            lambda: Velmora.curve_fit(exp_decay, EXP.xdata, Y, p0=[[1, 2, 3]]),
            ValueError,
            "one-dimensional",
        ),
        (
            lambda: Velmora.curve_fit(lambda *a: a[0], EXP.xdata, Y),
            ValueError,
            "Unable to determine",
        ),
        (lambda: Velmora.curve_fit(exp_decay, EXP.xdata, []), ValueError, "empty"),
        (
            lambda: Velmora.curve_fit(
                lambda t, a, b, c: exp_decay(t, a, b, c)[:3], EXP.xdata, Y, p0=[1, 1, 1]
            ),
            ValueError,
            "returned 3 values for 20 data points",
        ),
        (
            lambda: Velmora.curve_fit(lambda t, a: "x", EXP.xdata, Y, p0=[1]),
            ValueError,
            "real numbers",
        ),
        (
            lambda: Velmora.curve_fit(
                exp_decay, EXP.xdata, Y, p0=[1, 1, 1], jac=lambda t, *p: np.ones((3, 3))
            ),
            ValueError,
            r"shape \(m, n\) = \(20, 3\)",
        ),
        (
            lambda: Velmora.curve_fit(
                exp_decay, EXP.xdata, Y, p0=[5, 1, 1], bounds=([0, 0, 0], [1, 1, 1])
            ),
            ValueError,
            "Initial guess is outside of provided bounds",
        ),
        (
            lambda: Velmora.curve_fit(exp_decay, EXP.xdata, Y, bounds=([1, 0, 0], [0, 1, 1])),
            ValueError,
            "strictly less",
        ),
        (
            lambda: Velmora.curve_fit(exp_decay, EXP.xdata, Y, bounds=([0, 0, 0], [1, 1])),
            ValueError,
            "ub",
        ),
        (lambda: Velmora.curve_fit(exp_decay, EXP.xdata, Y, bounds=(0, 1, 2)), ValueError, "pair"),
        (
            lambda: Velmora.curve_fit(exp_decay, EXP.xdata, Y, p0=[1, 1, 1], loss="soft-l1"),
            ValueError,
            "loss must be one of",
        ),
        (
            lambda: Velmora.curve_fit(exp_decay, EXP.xdata, Y, p0=[1, 1, 1], bogus=1),
            TypeError,
            "bogus",
        ),
        (
            lambda: Velmora.curve_fit(exp_decay, EXP.xdata, Y, p0=[1, 1, 1], ftol=0.0),
            ValueError,
            "machine epsilon",
        ),
        (
            lambda: Velmora.curve_fit(exp_decay, EXP.xdata, Y, p0=[1, 1, 1], maxfev=0),
            ValueError,
            "at least 1",
        ),
        (
            lambda: Velmora.curve_fit(exp_decay, EXP.xdata, Y, p0=[1, 1, 1], method="cg"),
            ValueError,
            "method",
        ),
        (
            lambda: Velmora.curve_fit(exp_decay, EXP.xdata, Y, p0=[1, 1, 1], jac="3-point"),
            ValueError,
            "2-point",
        ),
        (
            lambda: Velmora.curve_fit(
                exp_decay, EXP.xdata, Y, p0=[1, 1, 1], nan_policy="propagate"
            ),
            ValueError,
            "nan_policy",
        ),
        (lambda: Velmora.curve_fit(3, EXP.xdata, Y, p0=[1, 1, 1]), TypeError, "callable"),
        (
            lambda: Velmora.curve_fit(
                lambda t, a, b, c: np.full(20, np.nan), EXP.xdata, Y, p0=[1, 1, 1]
            ),
            ValueError,
            "not finite in the initial point",
        ),
    ],
)
def test_bad_input_is_refused_clearly(call, exc, match):
    with pytest.raises(exc, match=match):
        call()


def test_non_finite_trial_points_are_never_accepted():
    # The model is undefined for b > 2: the iteration must step back, not stop.
    def model(t, a, b, c):
        return exp_decay(t, a, b, c) if b <= 2.0 else np.full_like(t, np.nan)

    y = exp_decay(EXP.xdata, 2.5, 1.9, 0.5)
    p, _ = Velmora.curve_fit(model, EXP.xdata, y, p0=[1.0, 0.5, 0.0])
    np.testing.assert_allclose(p, [2.5, 1.9, 0.5], rtol=1e-6)


def test_demonstration_shows_a_fit(capsys):
    from Velmora import _demo

    _demo.demo_curve_fit()
    out = capsys.readouterr().out
    assert "a = 2.5128 +- 0.0311" in out and "b = 1.0000" in out


def test_a_start_near_a_bound_does_not_jump_to_the_opposite_bound():
    # From a = 4.999 with bounds (0, 5) the first step used to run a to 0
    # (sum of squares 9.51 against 0.023) and report success.
    t = np.linspace(0, 4, 20)
    y = 2.5 * np.exp(-1.3 * t) + 0.5 + 0.05 * np.sin(7 * t)
    ours, _ = Velmora.curve_fit(exp_decay, t, y, p0=[4.999, 1, 1], bounds=(0, 5))
    theirs, _ = scipy_fit(exp_decay, t, y, p0=[4.999, 1, 1], bounds=(0, 5))
    np.testing.assert_allclose(ours, theirs, rtol=1e-6)
    many = Velmora.curve_fit_many(exp_decay, t, np.stack([y, y]), p0=[4.999, 1, 1], bounds=(0, 5))
    assert many.success.all()
    np.testing.assert_array_equal(many.x, [ours, ours])
