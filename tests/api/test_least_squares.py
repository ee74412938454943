"""Velmora.least_squares against SciPy's least_squares (method 'lm') run as a
black box; its result, options and refusals."""

import warnings

import numpy as np
import pytest

import Velmora

from lsq_problems import BY_NAME, PROBLEMS
from native import run_python

scipy_optimize = pytest.importorskip("scipy.optimize")

EXP = BY_NAME["exp_decay"]
FIELDS = [
    "x",
    "cost",
    "fun",
    "jac",
    "grad",
    "optimality",
    "active_mask",
    "nfev",
    "njev",
    "status",
    "message",
    "success",
]


def scipy_lm(*args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return scipy_optimize.least_squares(*args, method="lm", **kwargs)


def test_public_names_are_the_functions_and_import_velmora_stays_light():
    import Velmora.least_squares_fits

    assert (
        Velmora.least_squares is Velmora.least_squares_fits.least_squares
        and Velmora.curve_fit is Velmora.least_squares_fits.curve_fit
    )
    assert {
        "least_squares",
        "curve_fit",
        "NativeResiduals",
        "NativeModel",
        "OptimizeWarning",
    } <= set(dir(Velmora))
    assert issubclass(Velmora.OptimizeWarning, UserWarning)
    code = "import sys, Velmora; Velmora.__dir__(); print('numpy' in sys.modules)"
    assert run_python(code).stdout.strip() == "False"


@pytest.mark.parametrize("problem", PROBLEMS, ids=lambda p: p.name)
def test_same_solution_and_evaluations_as_scipy_lm(problem):
    ours = Velmora.least_squares(problem.residuals, problem.p0)
    theirs = scipy_lm(problem.residuals, problem.p0)
    assert list(ours) == FIELDS
    np.testing.assert_allclose(ours.x, theirs.x, rtol=1e-6, atol=1e-12)
    assert ours.cost == pytest.approx(theirs.cost, rel=1e-9)
    assert (ours.nfev, ours.njev, ours.status, ours.message, ours.success) == (
        theirs.nfev,
        theirs.njev,
        theirs.status,
        theirs.message,
        theirs.success,
    )
    np.testing.assert_allclose(ours.fun, theirs.fun, rtol=1e-5, atol=1e-9)
    np.testing.assert_allclose(
        ours.jac, theirs.jac, rtol=1e-5, atol=1e-7 * np.abs(theirs.jac).max()
    )


@pytest.mark.parametrize("name", ["exp_decay", "gaussian", "michaelis_menten"])
def test_analytic_jacobian_counts_as_scipy(name):
    p = BY_NAME[name]
    ours = Velmora.least_squares(p.residuals, p.p0, jac=p.residual_jac)
    theirs = scipy_lm(p.residuals, p.p0, jac=p.residual_jac)
    np.testing.assert_allclose(ours.x, theirs.x, rtol=1e-8)
    assert (ours.nfev, ours.njev, ours.status) == (theirs.nfev, theirs.njev, theirs.status)
    np.testing.assert_array_equal(ours.jac, p.residual_jac(ours.x))  # evaluated at the solution
    np.testing.assert_allclose(ours.grad, ours.jac.T @ ours.fun)
    assert ours.optimality == np.abs(ours.grad).max()


def test_result_fields_are_consistent():
    r = Velmora.least_squares(EXP.residuals, EXP.p0)
    assert type(r) is Velmora.OptimizeResult and r.x.dtype == np.float64
    np.testing.assert_array_equal(r.fun, EXP.residuals(r.x))
    assert r.cost == pytest.approx(0.5 * r.fun @ r.fun, rel=1e-15)
    assert r.active_mask.tolist() == [0, 0, 0] and r.njev is None and r.success


@pytest.mark.parametrize(
    "kwargs, status",
    [
        ({"ftol": 1e-2, "xtol": 1e-15, "gtol": 1e-15}, 2),
        ({"xtol": 1e-2, "ftol": 1e-15, "gtol": 1e-15}, 3),
        ({"gtol": 0.5}, 1),
        ({"ftol": 1e-3, "xtol": 1e-3}, 4),
        ({"max_nfev": 3}, 0),
    ],
)
def test_tolerances_and_budget_as_scipy(kwargs, status):
    ours = Velmora.least_squares(EXP.residuals, EXP.p0, **kwargs)
    theirs = scipy_lm(EXP.residuals, EXP.p0, **kwargs)
    assert (ours.status, ours.message, ours.nfev, ours.success) == (
        status,
        theirs.message,
        theirs.nfev,
        theirs.success,
    )
    assert theirs.status == status


@pytest.mark.parametrize("x_scale", [1.0, [1.0, 0.1, 1.0], "jac", None])
def test_x_scale(x_scale):
    ours = Velmora.least_squares(EXP.residuals, EXP.p0, x_scale=x_scale)
    theirs = scipy_lm(EXP.residuals, EXP.p0, x_scale=x_scale)
    np.testing.assert_allclose(ours.x, theirs.x, rtol=1e-6)
    assert ours.nfev == theirs.nfev


def test_args_kwargs_and_diff_step():
    def res(p, t, y, scale=1.0):
        return scale * (p[0] * np.exp(-p[1] * t) + p[2] - y)

    a = Velmora.least_squares(res, EXP.p0, args=(EXP.xdata, EXP.ydata), kwargs={"scale": 2.0})
    b = Velmora.least_squares(EXP.residuals, EXP.p0)
    np.testing.assert_allclose(a.x, b.x, rtol=1e-7)
    c = Velmora.least_squares(EXP.residuals, EXP.p0, diff_step=1e-4)
    np.testing.assert_allclose(c.x, b.x, rtol=1e-5)
    assert not np.array_equal(c.jac, b.jac)


@pytest.mark.parametrize(
    "bounds",
    [
        ([0, 0, 0], [10, 1.0, 10]),
        ([2.6, -np.inf, -np.inf], np.inf),
        scipy_optimize.Bounds([0, 0, 0], [10, 1.0, 10]),
    ],
)
@pytest.mark.parametrize("x_scale", [None, [1.0, 0.1, 1.0]])
def test_bounds(bounds, x_scale):
    ours = Velmora.least_squares(EXP.residuals, [3.0, 0.5, 0.5], bounds=bounds, x_scale=x_scale)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = scipy_optimize.least_squares(EXP.residuals, [3.0, 0.5, 0.5], bounds=bounds)
    np.testing.assert_allclose(ours.x, theirs.x, rtol=1e-6)
    assert (ours.active_mask != 0).sum() == 1 and ours.success
    lb, ub = (bounds.lb, bounds.ub) if hasattr(bounds, "lb") else bounds
    assert np.all((np.asarray(lb) <= ours.x) & (ours.x <= np.asarray(ub)))


def test_start_on_a_bound_moves_inside():
    seen = []

    def res(p):
        seen.append(p.copy())
        return EXP.residuals(p)

    r = Velmora.least_squares(res, [0.0, 1.0, 0.0], bounds=([0.0, 1.0, 0.0], [5.0, 2.0, 1.0]))
    assert r.success and np.all(np.array(seen) > [0.0, 1.0, 0.0])


def test_each_call_gets_a_new_array():
    seen = []

    def res(p):
        seen.append(p)
        out = EXP.residuals(p)
        p[:] = 1e6  # the callee may scribble on its copy
        return out

    r = Velmora.least_squares(res, EXP.p0)
    assert len({id(s) for s in seen}) == len(seen) and r.success


def test_non_finite_trial_is_shortened_not_accepted():
    def res(p):
        return EXP.residuals(p) if p[1] < 1.4 else np.full(20, np.inf)

    r = Velmora.least_squares(res, [1.0, 0.2, 0.0])
    np.testing.assert_allclose(r.x, Velmora.least_squares(EXP.residuals, EXP.p0).x, rtol=1e-6)


class Boom(Exception):
    pass


def test_exceptions_propagate_unchanged():
    exc = Boom()
    n = [0]

    def res(p):
        n[0] += 1
        if n[0] == 4:
            raise exc
        return EXP.residuals(p)

    with pytest.raises(Boom) as info:
        Velmora.least_squares(res, EXP.p0)
    assert info.value is exc

    def jac(p):
        raise exc

    with pytest.raises(Boom) as info:
        Velmora.least_squares(EXP.residuals, EXP.p0, jac=jac)
    assert info.value is exc


@pytest.mark.parametrize(
    "call, exc, match",
    [
        (
            lambda: Velmora.least_squares(lambda p: p[:3], [1, 1, 1, 1]),
            ValueError,
            "less than the number",
        ),
        (
            lambda: Velmora.least_squares(lambda p: np.ones((4, 5)), EXP.p0),
            ValueError,
            "one-dimensional",
        ),
        (
            lambda: Velmora.least_squares(lambda p: np.r_[EXP.residuals(p), np.nan], EXP.p0),
            ValueError,
            "not finite in the initial point",
        ),
        (lambda: Velmora.least_squares(EXP.residuals, [1, np.nan, 1]), ValueError, "finite"),
        (lambda: Velmora.least_squares(EXP.residuals, [[1, 1, 1]]), ValueError, "one-dimensional"),
        (lambda: Velmora.least_squares(EXP.residuals, []), ValueError, "empty"),
        (
            lambda: Velmora.least_squares(EXP.residuals, EXP.p0, jac=lambda p: np.ones((3, 3))),
            ValueError,
            r"\(20, 3\)",
        ),
        (
            lambda: Velmora.least_squares(
                lambda p: EXP.residuals(p)[: 20 - int(p[0] != 1.0)], EXP.p0
            ),
            ValueError,
            "19 residuals, 20 at the start",
        ),
        (
            lambda: Velmora.least_squares(EXP.residuals, EXP.p0, ftol=1e-17),
            ValueError,
            "machine epsilon",
        ),
        (lambda: Velmora.least_squares(EXP.residuals, EXP.p0, gtol="1"), TypeError, "real number"),
        (
            lambda: Velmora.least_squares(EXP.residuals, EXP.p0, max_nfev=0),
            ValueError,
            "at least 1",
        ),
        (lambda: Velmora.least_squares(EXP.residuals, EXP.p0, diff_step=0.0), ValueError, "> 0"),
        (
            lambda: Velmora.least_squares(EXP.residuals, EXP.p0, x_scale=[1, 0, 1]),
            ValueError,
            "positive",
        ),
        (
            lambda: Velmora.least_squares(EXP.residuals, EXP.p0, x_scale="auto"),
            ValueError,
            "x_scale",
        ),
        (lambda: Velmora.least_squares(EXP.residuals, EXP.p0, method="cg"), ValueError, "method"),
        (
            lambda: Velmora.least_squares(EXP.residuals, EXP.p0, loss="hubber"),
            ValueError,
            "loss must be one of",
        ),
        (
            lambda: Velmora.least_squares(EXP.residuals, EXP.p0, jac="3-point"),
            ValueError,
            "2-point",
        ),
        (lambda: Velmora.least_squares(EXP.residuals, EXP.p0, jac=3), TypeError, "callable"),
        (
            lambda: Velmora.least_squares(EXP.residuals, [5, 1, 1], bounds=(0, 2)),
            ValueError,
            "outside",
        ),
        (
            lambda: Velmora.least_squares(EXP.residuals, EXP.p0, bounds=(1, 1)),
            ValueError,
            "strictly less",
        ),
        (
            lambda: Velmora.least_squares(EXP.residuals, EXP.p0, bounds=([0, 0], 5)),
            ValueError,
            "lb",
        ),
        (
            lambda: Velmora.least_squares(EXP.residuals, EXP.p0, bounds=(np.nan, 5)),
            ValueError,
            "strictly less",
        ),
        (
            lambda: Velmora.least_squares(EXP.residuals, EXP.p0, bounds=(-1e308, 1e308)),
            ValueError,
            "finite",
        ),
        (lambda: Velmora.least_squares("residuals", EXP.p0), TypeError, "callable"),
    ],
)
def test_bad_input_is_refused_clearly(call, exc, match):
    with pytest.raises(exc, match=match):
        call()


# --- starts near a bound, saturated maps, and certified convergence ---------------------


@pytest.mark.parametrize(
    "x0, bounds",
    [
        (4.9, (0.0, 5.0)),
        (5.0 - 1e-6, (0.0, 5.0)),
        (1e-6, (0.0, 5.0)),
        (5.0, (0.0, 5.0)),  # on the bound: moved inside
        (0.0, (0.0, 5.0)),
        (1e-8, (0.0, np.inf)),
        (1e3, (0.0, np.inf)),
        (-1e-7, (-np.inf, 0.0 + 2.5)),
    ],
)
@pytest.mark.parametrize("unit", [1e-6, 1.0, 1e6])
def test_a_start_near_a_bound_finds_the_interior_minimum(x0, bounds, unit):
    # The bound's map is flat near the bound: one Gauss-Newton step in its
    # unconstrained coordinate used to run to the opposite bound and stop
    # there with success (x = 3.4e-11 from 4.9), or stay at the start.
    low, high = (unit * b for b in bounds)
    r = Velmora.least_squares(lambda x: x / unit - 2.0, [unit * x0], bounds=(low, high))
    assert r.success and r.status > 0
    assert r.x[0] == pytest.approx(2.0 * unit, rel=1e-8)


@pytest.mark.parametrize("x0", [1e-30, 4.5e-67, -1e-300])
def test_a_start_near_zero_does_not_lose_its_difference_step(x0):
    # A step relative to |x0| alone vanished in the rounding of p - 0.5: the
    # column came out (almost) zero and the gtol test passed at the start.
    r = Velmora.least_squares(lambda p: np.concatenate([p - 0.5, 0.1 * p * p]), [x0])
    assert r.success and r.x[0] == pytest.approx(0.4975367667339528, rel=1e-7)


def watson(x):
    t = np.arange(1, 30) / 29.0
    j = np.arange(1, x.size)
    first = (j * x[1:] * t[:, None] ** (j - 1)).sum(axis=1)
    second = (x * t[:, None] ** np.arange(x.size)).sum(axis=1)
    return np.concatenate([first - second**2 - 1.0, [x[0], x[1] - x[0] ** 2 - 1.0]])


@pytest.mark.parametrize("scale", [None, 1.0, 1e-3])
def test_difference_steps_do_not_collapse_where_a_coordinate_crosses_zero(scale):
    # Watson's function, n = 6, from 0 (published minimum 2.28767005355e-3):
    # x_1 passes through zero, where a step relative to |x_1| alone made its
    # column noise and the run stopped 14% above the minimum with success.
    r = Velmora.least_squares(watson, np.zeros(6), x_scale=scale)
    assert r.success
    assert 2.0 * r.cost == pytest.approx(2.28767005355e-3, rel=1e-8)


def test_success_is_never_reported_where_the_sum_of_squares_can_still_fall():
    # Bounded fits from random corners of random boxes around each problem's
    # solution: any reported success is a constrained minimum (SciPy's
    # 'trf' from that point, held to a small box around it, finds nothing
    # lower), whatever the units.
    rng = np.random.default_rng(5)
    for p in PROBLEMS:
        if p.name in ("hill", "weibull_cdf"):  # not finite at some corners
            continue
        for unit in (1e-6, 1.0, 1e6):
            s = np.asarray(p.true) / unit
            width = np.abs(s) * rng.uniform(0.5, 3.0, s.size) + 0.01 * np.abs(s)
            lb = s - width * rng.uniform(0.2, 1.5, s.size)
            ub = s + width * rng.uniform(0.2, 1.5, s.size)
            x0 = np.where(rng.random(s.size) < 0.5, lb, ub)
            res = lambda q: p.residuals(q * unit)  # noqa: B023
            r = Velmora.least_squares(res, x0, bounds=(lb, ub))
            if not r.success:
                continue
            near = 0.01 * (ub - lb)
            llb, lub = np.maximum(lb, r.x - near), np.minimum(ub, r.x + near)
            start = np.clip(r.x, llb + 1e-14 * (lub - llb), lub - 1e-14 * (lub - llb))
            local = scipy_optimize.least_squares(
                res, start, bounds=(llb, lub), xtol=1e-12, ftol=1e-12, gtol=1e-12
            )
            assert local.cost >= r.cost * (1 - 1e-4), (p.name, unit, r.x)
