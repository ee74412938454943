"""Velmora.minimize with Python objectives and built-in objectives: the
arguments it takes and refuses, the result it returns, callbacks, and what
happens when user code raises or returns nonsense."""

import ctypes
import gc
import math
import sys
import tracemalloc

import numpy as np
import pytest

import Velmora
from Velmora import NativeObjective, OptimizeResult, minimize
from Velmora._ckernels.optim import _optim


def rosen(x):
    return float(100.0 * (x[1] - x[0] ** 2) ** 2 + (1.0 - x[0]) ** 2)


def rosen_grad(x):
    return np.array(
        [-400.0 * x[0] * (x[1] - x[0] ** 2) - 2.0 * (1.0 - x[0]), 200.0 * (x[1] - x[0] ** 2)]
    )


def sphere(x, *shift):
    c = np.array(shift) if shift else 0.0
    return float(np.sum((x - c) ** 2))


X0 = [-1.2, 1.0]
KEYS = ["x", "fun", "jac", "nit", "nfev", "njev", "status", "success", "message"]


# --- the package surface ------------------------------------------------------------


def test_public_names():
    assert Velmora.minimize is minimize and Velmora.OptimizeResult is OptimizeResult
    assert Velmora.NativeObjective is NativeObjective
    assert {"minimize", "OptimizeResult", "NativeObjective"} <= set(dir(Velmora))
    with pytest.raises(AttributeError):
        Velmora.no_such_name  # noqa: B018


def test_importing_the_package_does_not_import_numpy():
    import subprocess

    code = "import sys, Velmora; print('numpy' in sys.modules)"
    out = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env={"PYTHONPATH": ":".join(sys.path)},
    )
    assert out.stdout.strip() == "False", out.stderr


def test_result_is_a_dict_with_attributes():
    r = minimize(rosen, X0, jac=rosen_grad)
    assert isinstance(r, dict) and isinstance(r, OptimizeResult) and list(r) == KEYS
    assert r.x is r["x"] and r.fun == r["fun"] and r.success is True
    assert type(r.fun) is float and type(r.nit) is int and type(r.status) is int
    assert r.x.dtype == np.float64 and r.jac.shape == (2,)
    np.testing.assert_allclose(r.jac, rosen_grad(r.x), atol=1e-12)  # the gradient at x
    r.extra = 1
    assert r["extra"] == 1 and "extra" in dir(r)
    del r.extra
    with pytest.raises(AttributeError):
        r.extra  # noqa: B018
    text = repr(r)
    assert text.splitlines()[0].strip().startswith("x: array(") and "message: 'CONVERGENCE'" in text
    assert repr(OptimizeResult()) == "OptimizeResult()"


# --- objectives and gradients -------------------------------------------------------


@pytest.mark.parametrize(
    "method", ["L-BFGS-B", "l-bfgs-b", "LBFGSB", "Nelder-Mead", "NELDERMEAD", "neldermead"]
)
def test_method_names_are_case_insensitive(method):
    r = minimize(rosen, X0, method=method)
    assert r.success and np.allclose(r.x, 1.0, atol=1e-3)
    assert (r.jac is None) == ("n" in method.lower().replace("-", "")[:2])


@pytest.mark.parametrize("method", ["BFGS", "nelder mead", "", None, 3])
def test_unknown_method_lists_the_choices(method):
    with pytest.raises(ValueError, match="'L-BFGS-B'.*'Nelder-Mead'"):
        minimize(rosen, X0, method=method)


def test_three_ways_to_give_the_gradient_take_the_same_path():
    by_jac = minimize(rosen, X0, jac=rosen_grad)
    together = minimize(lambda x: (rosen(x), rosen_grad(x)), X0, jac=True)
    as_list = minimize(lambda x: [rosen(x), list(rosen_grad(x))], X0, jac=True)
    for r in (together, as_list):
        assert (r.nit, r.nfev, r.njev, r.fun) == (by_jac.nit, by_jac.nfev, by_jac.njev, by_jac.fun)
        np.testing.assert_array_equal(r.x, by_jac.x)


def test_differences_count_every_evaluation():
    calls = []
    r = minimize(lambda x: calls.append(1) or rosen(x), X0)
    assert r.nfev == len(calls) == 3 * r.njev and r.success


def test_args_reach_fun_and_jac():
    seen = []

    def grad(x, a, b):
        seen.append((a, b))
        return 2.0 * (x - np.array([a, b]))

    r = minimize(sphere, [0.0, 0.0], args=(3.0, -2.0), jac=grad)
    np.testing.assert_allclose(r.x, [3.0, -2.0], atol=1e-8)
    assert seen and set(seen) == {(3.0, -2.0)}
    r = minimize(sphere, [0.0], args=5.0)  # a non-tuple is one argument, as in SciPy
    np.testing.assert_allclose(r.x, [5.0], atol=1e-6)


def test_every_call_gets_a_new_array_it_may_keep_or_modify():
    kept = []

    def fun(x):
        kept.append(x)
        value = rosen(x)
        x[:] = 1e6  # scribbling on the argument changes nothing
        return value

    def jac(x):
        kept.append(x)
        g = rosen_grad(x)
        x[:] = -1e6
        return g

    r = minimize(fun, X0, jac=jac)
    reference = minimize(rosen, X0, jac=rosen_grad)
    assert (r.nit, r.nfev, r.fun) == (reference.nit, reference.nfev, reference.fun)
    assert len({id(x) for x in kept}) == len(kept) and all(
        x.dtype == np.float64 and x.shape == (2,) for x in kept
    )


@pytest.mark.parametrize(
    "x0,n",
    [
        (2.0, 1),
        (np.float32(2.0), 1),
        ([2], 1),
        ((1, 2, 3), 3),
        (np.arange(4), 4),
        (np.array(2.5), 1),
        ([True, False], 2),
    ],
)
def test_x0_forms(x0, n):
    shapes = []
    r = minimize(lambda x: shapes.append(x.shape) or float(np.sum(x**2)), x0)
    assert r.x.shape == (n,) and set(shapes) == {(n,)} and r.success


def test_x0_is_copied_and_never_modified():
    x0 = np.array(X0)
    r = minimize(rosen, x0, jac=rosen_grad)
    np.testing.assert_array_equal(x0, X0)
    assert not np.shares_memory(r.x, x0)


@pytest.mark.parametrize(
    "x0,exc,match",
    [
        (np.zeros((2, 2)), ValueError, "x0 must be a number or a one-dimensional"),
        ([], ValueError, "x0 is empty"),
        (["1", "2"], TypeError, "x0 must hold real numbers"),
        ([1 + 2j], TypeError, "x0 must hold real numbers"),
        ([None, 1.0], TypeError, "x0 must hold real numbers"),
    ],
)
def test_bad_x0(x0, exc, match):
    calls = []
    with pytest.raises(exc, match=match):
        minimize(lambda x: calls.append(1) or 0.0, x0)
    assert calls == []


# --- built-in objectives ----------------------------------------------------------------

BUILTIN_CASES = [
    ("rosenbrock", [-1.2, 1.0], (), None),
    ("quad", [0.0, 0.0], ([1.0, 100.0, 3.0, -2.0],), None),
    ("double_well", [0.3, -0.2, 0.1], (), None),
    ("rosen_halfplane", [0.5, 0.5], (), [(0.0, None), (None, None)]),
]


@pytest.mark.parametrize("name,x0,args,bounds", BUILTIN_CASES)
@pytest.mark.parametrize("options", [{}, {"maxiter": 5}, {"maxcor": 3, "ftol": 1e-12, "eps": 1e-7}])
def test_builtin_names_run_bit_for_bit_as_run_lbfgsb(name, x0, args, bounds, options):
    r = minimize(name, x0, args=args, bounds=bounds, options=options)
    ref = _optim.run_lbfgsb(
        name,
        np.array(x0),
        bounds=bounds,
        params=args[0] if args else None,
        m=options.get("maxcor", 10),
        maxiter=options.get("maxiter", 15000),
        factr=options.get("ftol", 2.220446049250313e-09) / np.finfo(float).eps,
        fd_step=options.get("eps", 0.0),
    )
    assert (r.status, r.message, r.nit, r.nfev, r.fun) == (
        ref["status"],
        ref["message"],
        ref["nit"],
        ref["nfev"],
        ref["fun"],
    )
    np.testing.assert_array_equal(r.x, ref["x"])


@pytest.mark.parametrize("name,x0,args,bounds", BUILTIN_CASES)
@pytest.mark.parametrize("options", [{}, {"maxiter": 7}, {"maxfev": 9, "xatol": 1e-8}])
def test_builtin_names_run_bit_for_bit_as_run_neldermead(name, x0, args, bounds, options):
    r = minimize(name, x0, args=args, bounds=bounds, method="Nelder-Mead", options=options)
    ref = _optim.run_neldermead(
        name,
        np.array(x0),
        bounds=bounds,
        params=args[0] if args else None,
        maxiter=options.get("maxiter", 0),
        maxfun=options.get("maxfev", 0),
        xatol=options.get("xatol", 1e-4),
    )
    assert (r.status, r.message, r.nit, r.nfev, r.fun) == (
        ref["status"],
        ref["message"],
        ref["nit"],
        ref["nfev"],
        ref["fun"],
    )
    np.testing.assert_array_equal(r.x, ref["x"])


@pytest.mark.parametrize(
    "fun,kwargs,match",
    [
        ("Rosenbrock", {}, "unknown built-in objective 'Rosenbrock'"),
        ("quad", {}, "args=\\(params,\\)"),
        ("quad", {"args": ([1.0, 2.0, 3.0],)}, "2\\*n = 4"),
        ("rosenbrock", {"args": (1.0,)}, "takes no args"),
        ("rosenbrock", {"jac": True}, "jac must be None"),
    ],
)
def test_builtin_misuse(fun, kwargs, match):
    with pytest.raises(ValueError, match=match):
        minimize(fun, [0.0, 0.0], **kwargs)


# --- bounds --------------------------------------------------------------------------------


class DuckBounds:
    def __init__(self, lb, ub):
        self.lb, self.ub = lb, ub


@pytest.mark.parametrize(
    "bounds",
    [
        [(None, 0.5), (None, None)],
        [(-np.inf, 0.5), (-np.inf, np.inf)],
        [[None, 0.5], [None, None]],
        np.array([[-np.inf, 0.5], [-np.inf, np.inf]]),
        DuckBounds(-np.inf, [0.5, np.inf]),
        DuckBounds([-np.inf, -np.inf], np.array([0.5, np.inf])),
    ],
)
def test_bound_forms(bounds):
    r = minimize(rosen, X0, jac=rosen_grad, bounds=bounds)
    assert r.success and r.x[0] == 0.5
    np.testing.assert_allclose(r.x, [0.5, 0.25], atol=1e-6)


def test_scalar_bounds_broadcast():
    r = minimize(sphere, [3.0, -3.0, 0.5], bounds=DuckBounds(1.0, 2.0))
    np.testing.assert_allclose(r.x, [1.0, 1.0, 1.0])


SQUARES = lambda x: float(((x - 0.3) ** 2).sum())  # noqa: E731
LINE_T = np.arange(5.0)
LINE_Y = 0.5 * LINE_T + 0.2


@pytest.mark.parametrize(
    "call",
    [
        lambda b: minimize(SQUARES, [0.5, 0.5], bounds=b).x,
        lambda b: minimize(SQUARES, [0.5, 0.5], bounds=b, method="Nelder-Mead").x,
        lambda b: Velmora.fit(SQUARES, [0.5, 0.5], bounds=b).x,
        lambda b: Velmora.least_squares(lambda x: x - 0.3, [0.5, 0.5], bounds=b).x,
        lambda b: Velmora.curve_fit(
            lambda t, a, c: a * t + c, LINE_T, LINE_Y, [0.4, 0.4], bounds=b
        )[0],
        lambda b: Velmora.minimize_many(lambda x, c: SQUARES(x), [0.5, 0.5], [0.0], bounds=b).x[0],
        lambda b: Velmora.fit_many(lambda x, c: SQUARES(x), [0.5, 0.5], [0.0], bounds=b).x[0],
        lambda b: Velmora.curve_fit_many(
            lambda t, a, c: a * t + c, LINE_T, LINE_Y[None], [0.4, 0.4], bounds=b
        ).x[0],
    ],
    ids=[
        "minimize",
        "nelder-mead",
        "fit",
        "least_squares",
        "curve_fit",
        "minimize_many",
        "fit_many",
        "curve_fit_many",
    ],
)
def test_scipy_bounds_of_numbers_hold_for_every_variable(call):
    # scipy.optimize.Bounds(0, 1) keeps its numbers with shape (1,).
    scipy_optimize = pytest.importorskip("scipy.optimize")
    bounds = scipy_optimize.Bounds(0.0, 1.0)
    assert bounds.lb.shape == (1,)
    np.testing.assert_array_equal(call(bounds), call(scipy_optimize.Bounds([0.0, 0.0], [1.0, 1.0])))


@pytest.mark.parametrize("method", ["L-BFGS-B", "Nelder-Mead"])
@pytest.mark.parametrize(
    "bounds,exc,match",
    [
        ([(0, 1)], ValueError, "1 entries for n = 2"),
        ([(0, 1)] * 3, ValueError, "3 entries for n = 2"),
        ([(0, 1), (None, math.nan)], ValueError, "variable 1 are NaN"),
        ([(2, 1), (None, None)], ValueError, "variable 0 are crossed"),
        (DuckBounds([0, 0], [1, -1]), ValueError, "variable 1 are crossed"),
        (DuckBounds([0, 0, 0], 1), ValueError, "bounds.lb must be a number or hold n = 2"),
        ([(np.inf, None), (None, None)], ValueError, "variable 0 admit no finite value"),
        ([(0, 1, 2), (None, None)], ValueError, "bounds\\[0\\] must be a \\(low, high\\) pair"),
        ([1.0, (None, None)], TypeError, "bounds\\[0\\] must be a \\(low, high\\) pair"),
        ([("0", 1), (None, None)], TypeError, "bounds\\[0\\] low must be a real number"),
        ("ab", TypeError, "bounds must be None"),
        (5, TypeError, "bounds must be None"),
    ],
)
def test_bad_bounds_are_refused_before_any_evaluation(method, bounds, exc, match):
    calls = []
    with pytest.raises(exc, match=match):
        minimize(lambda x: calls.append(1) or rosen(x), X0, method=method, bounds=bounds)
    assert calls == []


def test_neldermead_keeps_every_point_inside_the_bounds():
    points = []
    bounds = [(-1.0, 0.5), (0.0, 2.0)]
    r = minimize(
        lambda x: points.append(x.copy()) or rosen(x), X0, method="Nelder-Mead", bounds=bounds
    )
    p = np.array(points)
    assert p[:, 0].min() >= -1.0 and p[:, 0].max() <= 0.5 and p[:, 1].min() >= 0.0
    assert r.success and r.x[0] == -1.0  # the local minimum on the lower bound of x0
    np.testing.assert_allclose(r.x, [-1.0, 1.0], atol=1e-3)


# --- options and tol -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "method,options,match",
    [
        ("L-BFGS-B", {"maxfev": 10}, "unknown option 'maxfev' for L-BFGS-B"),
        ("L-BFGS-B", {"xatol": 1e-3}, "unknown option 'xatol'"),
        ("L-BFGS-B", {"max_iter": 10}, "unknown option 'max_iter'"),
        ("Nelder-Mead", {"maxfun": 10}, "unknown option 'maxfun' for Nelder-Mead"),
        ("Nelder-Mead", {"gtol": 1e-3}, "unknown option 'gtol'"),
        ("Nelder-Mead", {"adaptive": True}, "unknown option 'adaptive'"),
        ("L-BFGS-B", {"maxcor": 0}, "'maxcor'\\] must be at least 1"),
        ("L-BFGS-B", {"maxiter": -1}, "'maxiter'\\] must be at least 1"),
        ("L-BFGS-B", {"maxls": 1.5}, "'maxls'\\] must be a whole number"),
        ("L-BFGS-B", {"ftol": -1.0}, "'ftol'\\] must be a number >= 0"),
        ("L-BFGS-B", {"gtol": math.nan}, "'gtol'\\] must be a number >= 0"),
        ("L-BFGS-B", {"eps": 0.0}, "'eps'\\] must be a finite step > 0"),
        ("L-BFGS-B", {"eps": math.inf}, "'eps'\\] must be a finite step > 0"),
        ("L-BFGS-B", {"eps": 1e-10}, "does not move variable 1 of the start"),
        ("Nelder-Mead", {"maxfev": 0}, "'maxfev'\\] must be at least 1"),
        ("Nelder-Mead", {"xatol": -1e-4}, "'xatol'\\] must be a number >= 0"),
    ],
)
def test_bad_options_are_named(method, options, match):
    with pytest.raises(ValueError, match=match):
        minimize(rosen, [0.5, 1e10] if "eps" in options else X0, method=method, options=options)


@pytest.mark.parametrize(
    "options,exc",
    [
        ({"maxiter": "10"}, TypeError),
        ({"maxiter": True}, TypeError),
        ({"ftol": "1e-3"}, TypeError),
        ([("maxiter", 3)], TypeError),
    ],
)
def test_option_types(options, exc):
    with pytest.raises(exc):
        minimize(rosen, X0, options=options)


@pytest.mark.parametrize("tol", [-1.0, math.nan, "1e-3"])
def test_bad_tol(tol):
    with pytest.raises((ValueError, TypeError), match="tol must be"):
        minimize(rosen, X0, tol=tol)


def test_options_take_scipy_spellings_and_values():
    r = minimize(rosen, X0, jac=rosen_grad, options={"maxiter": 3.0, "maxfun": np.int64(1000)})
    assert (r.nit, r.status, r.success) == (3, 5, False)
    assert r.message == "STOP: iteration or evaluation limit reached"
    r = minimize(rosen, X0, method="Nelder-Mead", options={"maxiter": None, "maxfev": 20})
    assert (r.status, r.nfev) == (1, 20)
    explicit = minimize(rosen, X0, jac=rosen_grad, tol=1e-3, options={"gtol": 1e-9})
    both = minimize(rosen, X0, jac=rosen_grad, options={"ftol": 1e-3, "gtol": 1e-9})
    assert (explicit.nit, explicit.nfev) == (both.nit, both.nfev)


def test_eps_is_the_absolute_difference_step():
    points = []
    minimize(
        lambda x: points.append(x.copy()) or rosen(x),
        [3.0, -0.25],
        options={"eps": 1e-3, "maxiter": 1},
    )
    assert points[1][0] == 3.0 + 1e-3 and points[2][1] == -0.25 + 1e-3
    points.clear()
    minimize(lambda x: points.append(x.copy()) or rosen(x), [3.0, -0.25], options={"maxiter": 1})
    assert points[1][0] - 3.0 == 3.0 * 2.0**-26  # the driver's relative step


@pytest.mark.parametrize("jac", [True, rosen_grad, "2-point"])
def test_neldermead_refuses_a_gradient(jac):
    with pytest.raises(ValueError, match="Nelder-Mead uses no gradient"):
        minimize(rosen, X0, method="Nelder-Mead", jac=jac)


@pytest.mark.parametrize("fun,exc", [(None, TypeError), (3.5, TypeError), ([rosen], TypeError)])
def test_fun_must_be_callable_native_or_a_name(fun, exc):
    with pytest.raises(exc, match="fun must be a callable"):
        minimize(fun, X0)


@pytest.mark.parametrize("jac", ["2-point", 1, [1.0, 2.0]])
def test_jac_must_be_none_true_or_callable(jac):
    with pytest.raises(TypeError, match="jac must be None, True or a callable"):
        minimize(rosen, X0, jac=jac)


def test_callback_must_be_callable():
    with pytest.raises(TypeError, match="callback must be callable"):
        minimize(rosen, X0, callback=3)


# --- what user code returns -----------------------------------------------------------


@pytest.mark.parametrize(
    "value", [np.float32(1.5), np.int64(3), 7, True, np.array(2.0), np.float64(0.25)]
)
def test_real_values_of_any_numeric_type(value):
    r = minimize(lambda x: value, [0.0], method="Nelder-Mead", options={"maxfev": 3})
    assert r.fun == float(value)


@pytest.mark.parametrize("method", ["L-BFGS-B", "Nelder-Mead"])
@pytest.mark.parametrize(
    "value,name",
    [
        ("1.0", "str"),
        (None, "NoneType"),
        (1 + 0j, "complex"),
        (np.array([1.0]), "ndarray"),
        ([1.0], "list"),
        (np.complex128(1), "complex128"),
    ],
)
def test_a_value_that_is_not_real_raises_type_error(method, value, name):
    calls = []
    with pytest.raises(TypeError, match=f"fun must return a real number, got (numpy\\.)?{name}$"):
        minimize(lambda x: calls.append(1) or value, X0, method=method)
    assert len(calls) == 1  # the run ended at once


@pytest.mark.parametrize(
    "grad,exc,match",
    [
        (lambda x: np.zeros(3), ValueError, "n = 2 values"),
        (lambda x: [1.0], ValueError, "n = 2 values"),
        (lambda x: np.zeros((2, 1)), ValueError, "n = 2 values"),
        (lambda x: np.zeros(2, complex), ValueError, "real numbers"),
        (lambda x: ["a", "b"], ValueError, "real numbers"),
        (lambda x: None, ValueError, "real numbers"),
        (lambda x: [[1.0], [2.0, 3.0]], ValueError, "inhomogeneous"),
    ],
)
def test_a_bad_gradient_raises_value_error(grad, exc, match):
    with pytest.raises(exc, match=match):
        minimize(rosen, X0, jac=grad)
    with pytest.raises(exc, match=match):
        minimize(lambda x: (rosen(x), grad(x)), X0, jac=True)


@pytest.mark.parametrize("returned", [1.0, (1.0,), (1.0, [0.0, 0.0], 3), "ab"])
def test_jac_true_needs_a_pair(returned):
    with pytest.raises(TypeError, match="must return a pair"):
        minimize(lambda x: returned, X0, jac=True)


def test_non_finite_values_are_never_success():
    r = minimize(lambda x: math.nan, X0)
    assert (r.status, r.success, r.nfev) == (7, False, 1)
    r = minimize(lambda x: -math.inf if x[0] < -5 else float(x[0]), [0.0], jac=lambda x: [1.0])
    assert (r.status, r.success, r.fun) == (-2, False, -math.inf)
    assert r.message == "ABNORMAL: objective is -inf (unbounded below)"
    # A gradient that is not finite where the run ends cannot be convergence.
    r = minimize(lambda x: float(x[0] ** 2), [0.0], jac=lambda x: [math.nan])
    assert r.status == -3 and not r.success


def sqrt_well(x):
    # NaN for x < 0 (through sqrt), minimum at 0.5.
    return math.sqrt(x[0]) * 0.0 + (x[0] - 0.5) ** 2 if x[0] >= 0.0 else math.nan


def rosen_nan_beyond(x):
    return math.nan if x[0] > 0.8 else rosen(x)


def sqrt_well_pair(x):
    v = sqrt_well(x)
    return v, np.array([2.0 * (x[0] - 0.5)] if math.isfinite(v) else [0.0])


NATIVE_SQRT_WELL = ctypes.CFUNCTYPE(
    ctypes.c_double, ctypes.POINTER(ctypes.c_double), ctypes.c_void_p
)(lambda x, ctx: sqrt_well([x[0]]))


@pytest.mark.parametrize(
    "fun, jac",
    [(sqrt_well, None), (sqrt_well_pair, True), (NativeObjective(NATIVE_SQRT_WELL), None)],
    ids=["differences", "gradient", "native"],
)
def test_a_nan_trial_point_is_no_convergence(fun, jac):
    # The first trial from 0.9 lands where the value is NaN: the search backs
    # off towards 0.9 and goes on to the minimum, instead of returning to 0.9
    # and passing the ftol test there.
    r = minimize(fun, [0.9], jac=jac)
    assert r.success and r.x[0] == pytest.approx(0.5, abs=1e-6)


def test_a_minimum_beyond_a_nan_region_is_a_failure():
    r = minimize(rosen_nan_beyond, [-1.2, 1.0])
    assert (r.status, r.success) == (8, False)
    assert 0.7 < r.x[0] <= 0.8


@pytest.mark.parametrize("centre", [672.0, 3000.0, -2.5e4, 1e6])
@pytest.mark.parametrize("quartic", [0.0, 0.1])
def test_a_minimum_far_from_zero_is_success_with_differences(centre, quartic):
    # The relative forward step's error alone exceeds gtol at the minimum;
    # the line search then fails there, and central differences at that
    # point show it is the minimum.
    f = lambda x: float((x[0] - centre) ** 2 + quartic * (x[0] - centre) ** 4)
    r = minimize(f, [0.0])
    assert (r.status, r.success) == (4, True)
    assert r.x[0] == pytest.approx(centre, rel=1e-8)


# --- exceptions and callbacks ------------------------------------------------------------


class Boom(Exception):
    pass


@pytest.mark.parametrize(
    "method,where",
    [
        ("L-BFGS-B", "fun"),
        ("L-BFGS-B", "jac"),
        ("L-BFGS-B", "callback"),
        ("L-BFGS-B", "fun with value"),
        ("Nelder-Mead", "fun"),
        ("Nelder-Mead", "callback"),
    ],
)
@pytest.mark.parametrize("after", [0, 1, 5])
def test_user_exceptions_propagate_unchanged_and_end_the_run(method, where, after):
    raised, calls = [], []

    def maybe_raise(tag):
        calls.append(tag)
        if tag == where and sum(c == tag for c in calls) > after:
            exc = Boom(where)
            raised.append(exc)
            raise exc

    def fun(x):
        maybe_raise("fun")
        return rosen(x)

    def jac(x):
        maybe_raise("jac")
        return rosen_grad(x)

    def fun_with_value(x):
        maybe_raise("fun with value")
        return rosen(x), rosen_grad(x)

    kwargs = {"method": method, "callback": lambda xk: maybe_raise("callback")}
    if method == "L-BFGS-B":
        kwargs["jac"] = True if where == "fun with value" else jac
    f = fun_with_value if where == "fun with value" else fun
    with pytest.raises(Boom) as info:
        minimize(f, X0, **kwargs)
    assert info.value is raised[0] and len(raised) == 1
    assert calls[-1] == where  # nothing was called after it
    names = [frame.name for frame in info.traceback]
    assert {
        "fun": "fun",
        "jac": "jac",
        "callback": "maybe_raise",
        "fun with value": "fun_with_value",
    }[where] in names


def test_callback_receives_a_copy_of_x_or_an_intermediate_result():
    got = []
    minimize(rosen, X0, jac=rosen_grad, callback=lambda xk: got.append(xk))
    assert all(isinstance(x, np.ndarray) and x.shape == (2,) for x in got)
    assert len({id(x) for x in got}) == len(got)
    results = []
    r = minimize(
        rosen,
        X0,
        jac=rosen_grad,
        callback=lambda intermediate_result: results.append(intermediate_result),
    )
    assert all(type(i) is OptimizeResult and set(i) == {"x", "fun"} for i in results)
    assert results[-1].fun == r.fun and rosen(results[3].x) == results[3].fun
    assert len(results) == r.nit == len(got)


@pytest.mark.parametrize("method", ["L-BFGS-B", "Nelder-Mead"])
def test_a_start_outside_the_bounds_warns_and_starts_on_them(method):
    with pytest.warns(Velmora.OptimizeWarning, match="Initial guess is not within"):
        r = minimize(SQUARES, [2.0, 0.5], bounds=[(0, 1), (0, 1)], method=method)
    np.testing.assert_allclose(r.x, [0.3, 0.3], atol=1e-4)


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
def test_neldermead_refuses_a_start_that_is_not_finite(bad):
    calls = []
    with pytest.raises(ValueError, match=r"x0 must hold finite values.*x0\[1\]"):
        minimize(lambda x: calls.append(1) or 0.0, [0.0, bad], method="Nelder-Mead")
    assert calls == []


@pytest.mark.parametrize(
    "call",
    [
        lambda x0: minimize(SQUARES, x0),
        lambda x0: Velmora.fit(SQUARES, x0),
        lambda x0: Velmora.least_squares(lambda x: x, x0),
        lambda x0: Velmora.minimize_many(lambda x, c: SQUARES(x), x0, [0.0]),
    ],
)
def test_a_start_beyond_the_float_range_names_x0(call):
    with pytest.raises(OverflowError, match="x0 holds a number too large"):
        call([10**400])


def test_fit_many_says_what_memory_it_could_not_get():
    with pytest.raises(MemoryError, match="could not allocate the workspaces"):
        Velmora.fit_many(lambda x, c: float(x @ x), np.zeros((1, 10**7)), [0.0])


def test_keyword_only_or_extra_parameters_are_the_x_convention():
    got = []

    def cb(xk, extra=None):
        got.append(xk)

    minimize(rosen, X0, method="Nelder-Mead", callback=cb, options={"maxiter": 5})
    assert len(got) == 4 and all(isinstance(x, np.ndarray) for x in got)


# --- leaks ---------------------------------------------------------------------------------


def failing(x):
    raise Boom("fun")


LEAK_PATHS = {
    "success": lambda: minimize(rosen, X0, jac=rosen_grad),
    "fun raises": lambda: minimize(failing, X0),
    "jac raises": lambda: minimize(rosen, X0, jac=failing),
    "callback raises": lambda: minimize(rosen, X0, callback=failing),
    "callback stops": lambda: minimize(
        rosen, X0, method="Nelder-Mead", callback=lambda xk: next(iter(()))
    ),
    "value not real": lambda: minimize(lambda x: "x", X0),
    "gradient too short": lambda: minimize(rosen, X0, jac=lambda x: [1.0]),
    "bad option": lambda: minimize(rosen, X0, options={"nope": 1}),
    "builtin": lambda: minimize("quad", np.zeros(20), args=(np.ones(40),), method="Nelder-Mead"),
}


@pytest.mark.parametrize("path", list(LEAK_PATHS))
def test_repeated_runs_leak_nothing(path):
    call = LEAK_PATHS[path]

    def repeat(k):
        for _ in range(k):
            try:
                call()
            except (Boom, TypeError, ValueError):
                pass

    repeat(30)
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        repeat(200)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 20_000, grown  # a leaked array per run would be > 20 kB
    refs = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    if refs is not None:  # debug interpreters only
        repeat(50)
        assert sys.gettotalrefcount() - refs < 100
