"""Velmora.fit_many and curve_fit_many: every row is the fit fit/curve_fit
makes of that problem, whatever the number of workers; bad rows reported in
their row; bad arguments refused before any evaluation, naming the argument;
user exceptions stop the call; no leaks."""

import gc
import textwrap
import tracemalloc
import warnings

import numpy as np
import pytest

import Velmora
from Velmora import CurveFitManyResult, FitManyResult, NativeObjective, fit, fit_many

from native import run_python

BOUNDS = [(0.0, None), (0.0, 10.0), (None, None)]


@pytest.fixture(scope="module")
def decay():
    pytest.importorskip("numba")
    import decay_objectives

    return decay_objectives


def quiet(call, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return call(*args, **kwargs)


# --- fit_many: each row is the fit of its problem --------------------------------------


def fit_case(decay, form, K):
    """(fit_many arguments, the fit call of problem k)."""
    _, y = decay.problems(K, seed=5)
    y[3, 7] = np.nan  # not finite at the start: reported in its row
    start = np.tile(decay.START + [0.5, 0.0, 0.0], (K, 1))
    start[1] = [9.0, 9.5, 3.0]  # a poor start
    fun, jac = {
        "native value": (decay.sse, None),
        "native gradient": (decay.objective, None),
        "python": (decay.sse_py, None),
        "python jac": (decay.sse_py, decay.sse_grad_py),
    }[form]

    def one(k, **kwargs):
        if form.startswith("native"):
            native = NativeObjective(
                decay.sse,
                ctx=y[k].ctypes.data,
                grad=None if form == "native value" else decay.sse_grad,
            )
            return quiet(fit, native, start[k], bounds=BOUNDS, errordef=1.0, **kwargs)
        return quiet(
            fit, fun, start[k], args=(y[k],), jac=jac, bounds=BOUNDS, errordef=1.0, **kwargs
        )

    return (fun, start, y, jac), one


def assert_rows_are_fits(result, one, K, bad=(), **kwargs):
    assert type(result) is FitManyResult
    n = result.x.shape[1]
    assert (
        result.se.shape == (K, n)
        and result.cov.shape == (K, n, n)
        and result.ci().shape == (K, n, 2)
    )
    intervals = result.ci(0.9)
    for k in range(K):
        if k in bad:
            with pytest.raises(ValueError, match="not finite at x0"):
                one(k, **kwargs)
            assert not result.success[k] and np.isnan(result.se[k]).all()
            assert result.message[k] == "the objective is not finite at x0"
            continue
        f = one(k, **kwargs)
        np.testing.assert_array_equal(result.x[k], f.x, err_msg=str(k))
        np.testing.assert_array_equal(result.se[k], f.se, err_msg=str(k))
        np.testing.assert_array_equal(result.cov[k], f.cov, err_msg=str(k))
        # The intervals pass through the transform kernels in another grouping
        # (the vector clones may differ from the scalar kernels by a few ulps).
        np.testing.assert_allclose(intervals[k], f.ci(0.9), rtol=1e-15, atol=0, err_msg=str(k))
        assert (
            result.fun[k],
            result.nit[k],
            result.nfev[k],
            result.njev[k],
            result.status[k],
            result.success[k],
            result.message[k],
        ) == (f.fun, f.nit, f.nfev, f.njev, f.status, f.success, f.message), k
        assert result.unidentified[k].tolist() == [name in f.unidentified for name in f.names]


@pytest.mark.parametrize("form", ["native value", "native gradient", "python", "python jac"])
@pytest.mark.parametrize("workers", [1, 2, None])
def test_fit_many_rows_are_the_fits_lbfgsb(decay, form, workers):
    (fun, start, y, jac), one = fit_case(decay, form, K=24)
    result = fit_many(fun, start, y, jac=jac, bounds=BOUNDS, errordef=1.0, workers=workers)
    assert_rows_are_fits(result, one, 24, bad=(3,))
    assert result.success.sum() >= 20


@pytest.mark.parametrize("form", ["native value", "python"])
@pytest.mark.parametrize("workers", [1, 2])
def test_fit_many_rows_are_the_fits_neldermead(decay, form, workers):
    (fun, start, y, _), one = fit_case(decay, form, K=8)
    options = {"maxfev": 2000, "xatol": 1e-8, "fatol": 1e-10}
    result = fit_many(
        fun,
        start,
        y,
        method="Nelder-Mead",
        options=options,
        bounds=BOUNDS,
        errordef=1.0,
        kind="probit",
        workers=workers,
    )
    assert_rows_are_fits(
        result, one, 8, bad=(3,), method="Nelder-Mead", options=options, kind="probit"
    )


def test_fit_many_estimates_normal_samples():
    rng = np.random.default_rng(2)
    data = rng.normal(1.0, 2.0, (30, 400))

    def nll(x, row):
        return float(np.sum(np.log(x[1]) + 0.5 * ((row - x[0]) / x[1]) ** 2))

    r = fit_many(nll, [0.0, 1.0], data, bounds=[(None, None), (0, None)], names=["mu", "sigma"])
    assert r.success.all() and r.names == ("mu", "sigma")
    np.testing.assert_allclose(r.x[:, 0], data.mean(1), atol=1e-5)
    np.testing.assert_allclose(r.x[:, 1], data.std(1), rtol=1e-5)
    np.testing.assert_allclose(r.se[:, 0], data.std(1) / 20.0, rtol=1e-3)  # sigma / sqrt(400)
    lo, hi = r.ci(0.95)[..., 0], r.ci(0.95)[..., 1]
    assert (lo < r.x).all() and (r.x < hi).all() and (lo[:, 1] > 0).all()


def test_fit_many_fixed_parameters_and_per_problem_bounds(decay):
    _, y = decay.problems(6, seed=8)
    lo = np.tile([0.0, 0.0, -np.inf], (6, 1))
    hi = np.tile([np.inf, 10.0, np.inf], (6, 1))
    lo[2, 2] = hi[2, 2] = 0.25  # problem 2 holds c fixed
    start = np.tile([1.5, 1.0, 0.0], (6, 1))
    start[2, 2] = 0.25
    bounds = np.stack([lo, hi], axis=-1)
    r = fit_many(decay.sse, start, y, bounds=bounds, errordef=1.0, workers=2)
    for k in range(6):
        native = NativeObjective(decay.sse, ctx=y[k].ctypes.data)
        f = quiet(fit, native, start[k], bounds=list(zip(lo[k], hi[k])), errordef=1.0)
        np.testing.assert_array_equal(r.x[k], f.x)
        np.testing.assert_array_equal(r.se[k], f.se)
        np.testing.assert_allclose(r.ci()[k], f.ci(), rtol=4e-16, atol=0)
    assert r.x[2, 2] == 0.25 and r.se[2, 2] == 0.0 and (r.ci()[2, 2] == 0.25).all()


def test_fit_many_unidentified_parameter_is_reported_in_its_row():
    def nll(x, row):  # x[2] does not enter for row 1
        return float((x[0] - row[0]) ** 2 + (x[1] - row[1]) ** 2 + row[2] * x[2] ** 2)

    data = np.array([[1.0, 2.0, 1.0], [1.0, 2.0, 0.0], [0.0, 0.0, 3.0]])
    r = fit_many(nll, [0.1, 0.1, 0.1], data)
    assert r.unidentified.tolist() == [[False] * 3, [False, False, True], [False] * 3]
    assert np.isnan(r.se[1, 2]) and np.isfinite(r.se[[0, 2]]).all()
    assert np.isnan(r.ci()[1, 2]).all() and np.isfinite(r.ci()[1, :2]).all()


# --- bad arguments, before any evaluation ----------------------------------------------


@pytest.mark.parametrize(
    "kwargs, exc, match",
    [
        ({"x0": np.zeros((3, 3))}, ValueError, "x0 has 3 rows and data 4"),
        ({"x0": np.zeros((2, 2, 3))}, ValueError, r"x0 must have shape"),
        ({"data": np.array([["a"] * 3] * 4)}, ValueError, "data must hold real numbers"),
        ({"data": None}, ValueError, r"give x0 of shape \(K, n\) or data with K rows"),
        ({"workers": 0}, ValueError, "workers must be at least 1"),
        ({"names": ["a", "b"]}, ValueError, "names has 2 entries for 3 parameters"),
        ({"kind": "tanh"}, ValueError, "kind must be 'logit' or 'probit'"),
        ({"errordef": 0.0}, ValueError, "errordef must be a finite number > 0"),
        (
            {"bounds": np.zeros((5, 3, 2))},
            ValueError,
            r"per-problem bounds must have shape \(K, n, 2\)",
        ),
        (
            {"bounds": [(1.0, 2.0)] * 3},
            ValueError,
            r"problem 0: x0 of parameter 'x0' is 0.0, outside its bounds",
        ),
        (
            {"x0": np.vstack([np.zeros((3, 3)), [[0.0, np.nan, 0.0]]])},
            ValueError,
            "problem 3: x0 of parameter 'x1' is nan",
        ),
        ({"nll": "rosenbrock"}, ValueError, "not the name 'rosenbrock'"),
        ({"method": "BFGS"}, ValueError, "unknown method 'BFGS'"),
        ({"progress": "yes"}, TypeError, "progress must be None, True or False"),
    ],
)
def test_fit_many_bad_arguments_raise_before_any_evaluation(kwargs, exc, match):
    calls = []
    args = {
        "nll": lambda x, c: calls.append(1) or 0.0,
        "x0": np.zeros(3),
        "data": np.ones((4, 3)),
        **kwargs,
    }
    with pytest.raises(exc, match=match):
        fit_many(args.pop("nll"), args.pop("x0"), args.pop("data"), **args)
    assert not calls


class Boom(Exception):
    pass


@pytest.mark.parametrize("where", ["nll", "jac"])
def test_fit_many_exception_from_python_propagates(where):
    def nll(x, row):
        if where == "nll" and row[0] == 2.0:
            raise Boom
        return float((x - row) @ (x - row))

    def jac(x, row):
        if where == "jac" and row[0] == 2.0:
            raise Boom
        return 2.0 * (x - row)

    with pytest.raises(Boom):
        fit_many(nll, np.zeros(2), np.arange(8.0).reshape(4, 2), jac=jac)


def test_fit_many_progress_and_empty(decay):
    r = fit_many(decay.sse, decay.START, np.zeros((0, 20)))
    assert r.x.shape == (0, 3) and r.ci().shape == (0, 3, 2) and r.cov.shape == (0, 3, 3)


CTRL_C = textwrap.dedent("""
    import ctypes, os, signal, sys, threading, time
    signal.signal(signal.SIGINT, signal.default_int_handler)  # a shell's background job ignores it
    import numpy as np
    import Velmora
    which, workers = sys.argv[1], int(sys.argv[2])
    lib = ctypes.CDLL(sys.argv[3])
    f = lib.slow_sphere
    f.restype, f.argtypes = ctypes.c_double, [ctypes.POINTER(ctypes.c_double), ctypes.c_void_p]

    def slow_line(t, a, b):
        time.sleep(0.02)
        return a + b * t

    threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
    start = time.perf_counter()
    try:
        if which == "fit_many":   # 20 ms per evaluation
            Velmora.fit_many(Velmora.NativeObjective(f, ctx=20000), np.ones((200, 2)), workers=workers)
        else:
            Velmora.curve_fit_many(slow_line, np.arange(4.0), np.ones((200, 4)), [0.0, 0.0])
        print("finished", 0)
    except KeyboardInterrupt:
        print("interrupted", time.perf_counter() - start)
""")


@pytest.mark.parametrize(
    "which, workers", [("fit_many", 1), ("fit_many", 2), ("curve_fit_many", 1)]
)
def test_ctrl_c_stops_the_call_promptly(clib, which, workers):
    run = run_python(CTRL_C, which, workers, clib.path, timeout=120)
    assert run.returncode == 0, run.stderr
    word, value = run.stdout.split()
    assert word == "interrupted" and float(value) < 2.0, run.stdout


MEMORY = """
import resource, sys
import numpy as np
sys.path.insert(0, sys.argv[1])
import decay_objectives as d
import Velmora
_, y = d.problems(20000, seed=1)
Velmora.fit_many(d.sse, d.START, y[:10], workers=2)
Velmora.curve_fit_many(d.model, d.T, y[:10], d.START, workers=2)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
r = Velmora.fit_many(d.sse, d.START, y, workers=2, errordef=1.0)
c = Velmora.curve_fit_many(d.model, d.T, y, d.START, workers=2)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(int(r.success.sum() > 19000 and c.success.sum() > 19000), (after - before) * 1024)
"""


def test_memory_is_the_results_and_one_workspace_per_worker(decay):
    import os

    run = run_python(MEMORY, os.path.dirname(decay.__file__), timeout=300)
    assert run.returncode == 0, run.stderr
    ok, grown = run.stdout.split()
    # The results take about 9 MB (x, se, cov, the intervals' coordinates);
    # 20000 workspaces would take far more.
    assert ok == "1" and int(grown) < 20 * 2**20, grown


def fit_leak_paths(decay):
    _, y = decay.problems(8, seed=1)
    return {
        "native": lambda: fit_many(decay.objective, decay.START, y),
        "python": lambda: fit_many(decay.sse_py, decay.START, y, jac=decay.sse_grad_py),
        "python raises": lambda: fit_many(lambda x, row: 1 / 0, decay.START, y),
        "bad start": lambda: fit_many(decay.sse, decay.START, y, bounds=[(2, 3)] * 3),
    }


@pytest.mark.parametrize("path", ["native", "python", "python raises", "bad start"])
def test_fit_many_repeated_calls_leak_nothing(decay, path):
    call = fit_leak_paths(decay)[path]

    def repeat(k):
        for _ in range(k):
            try:
                call()
            except (ZeroDivisionError, ValueError):
                pass

    repeat(10)
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        repeat(60)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 20_000, grown


def test_public_names():
    assert Velmora.fit_many is fit_many and Velmora.FitManyResult is FitManyResult
    assert {"fit_many", "curve_fit_many", "FitManyResult"} <= set(dir(Velmora))


# --- curve_fit_many: each row is the curve_fit of its data set ---------------------------


def curve_case(decay, form, K):
    _, y = decay.problems(K, seed=6)
    y[2, 5] = np.nan  # not finite at the start: reported in its row
    y[4] = 0.0  # c and a trade off: an undetermined covariance?
    f, jac = {
        "native": (decay.model, None),
        "native jac": (Velmora.NativeModel(decay.model, jac=decay.model_jac), None),
        "python": (decay.model_py, None),
        "python jac": (decay.model_py, decay.model_jac_py),
    }[form]
    return f, jac, y


CURVE_OPTIONS = [
    {},
    {"bounds": ([0.0, 0.0, -np.inf], [np.inf, 10.0, np.inf])},
    {"bounds": ([0.0, 0.0, -np.inf], [np.inf, 10.0, np.inf]), "method": "trf"},
    {"sigma": np.linspace(0.01, 0.02, 20), "absolute_sigma": True},
    {"sigma": np.linspace(0.01, 0.02, 20), "maxfev": 12},
    {"method": "trf", "ftol": 1e-12, "diff_step": 1e-6},
]


@pytest.mark.parametrize("form", ["native", "native jac", "python", "python jac"])
@pytest.mark.parametrize("options", range(len(CURVE_OPTIONS)))
@pytest.mark.parametrize("workers", [1, 2, None])
def test_curve_fit_many_rows_are_the_curve_fits(decay, form, options, workers):
    kwargs = CURVE_OPTIONS[options]
    f, jac, y = curve_case(decay, form, K=12)
    p0 = [1.0, 1.0, 0.0]
    r = Velmora.curve_fit_many(f, decay.T, y, p0, jac=jac, workers=workers, **kwargs)
    assert (
        type(r) is CurveFitManyResult
        and r.cov.shape == (12, 3, 3)
        and r.ci(0.9).shape == (12, 3, 2)
    )
    for k in range(12):
        try:
            popt, pcov, info, mesg, ier = quiet(
                Velmora.curve_fit,
                f,
                decay.T,
                y[k],
                p0,
                jac=jac,
                check_finite=False,
                full_output=True,
                **kwargs,
            )
        except RuntimeError as e:
            assert not r.success[k] and str(e).endswith(r.message[k]), k
            continue
        except ValueError as e:
            assert (
                str(e) == r.message[k] == "Residuals are not finite in the initial point."
                and k == 2
            )
            assert not r.success[k] and np.isnan(r.cov[k]).all()
            continue
        assert r.success[k] and (r.status[k], r.message[k]) == (ier, mesg), k
        np.testing.assert_array_equal(r.x[k], popt, err_msg=str(k))
        np.testing.assert_array_equal(r.cov[k], pcov, err_msg=str(k))
        np.testing.assert_array_equal(r.se[k], np.sqrt(np.diag(pcov)))
        assert r.fun[k] == pytest.approx(
            np.sum(((decay.model_py(decay.T, *popt) - y[k]) / kwargs.get("sigma", 1.0)) ** 2),
            rel=1e-12,
        )
    assert not r.success[2]
    assert r.success.sum() >= 10 if "maxfev" not in kwargs else "maxfev = 12" in r.message[0]


@pytest.mark.parametrize("native", [True, False])
def test_curve_fit_many_per_problem_xdata_starts_and_bounds(decay, native):
    K = 6
    p, y = decay.problems(K, seed=9)
    t = decay.T * np.linspace(0.5, 1.5, K)[:, None]
    y = p[:, :1] * np.exp(-p[:, 1:2] * t) + p[:, 2:]
    starts = np.tile([1.0, 1.0, 0.0], (K, 1)) + np.arange(K)[:, None] * 0.05
    lb = np.tile([0.0, 0.0, -np.inf], (K, 1))
    ub = np.tile([np.inf, 10.0, np.inf], (K, 1))
    ub[3, 0] = 1.5  # problem 3's a is capped below its true value
    f = decay.model if native else decay.model_py
    r = Velmora.curve_fit_many(f, t, y, starts, bounds=(lb, ub), workers=2)
    for k in range(K):
        popt, pcov = quiet(Velmora.curve_fit, f, t[k], y[k], starts[k], bounds=(lb[k], ub[k]))
        np.testing.assert_array_equal(r.x[k], popt)
        np.testing.assert_array_equal(r.cov[k], pcov)
    assert r.x[3, 0] < 1.5
    np.testing.assert_allclose(np.delete(r.x, 3, 0), np.delete(p, 3, 0), rtol=1e-6)


def test_curve_fit_many_python_model_gets_its_row():
    seen = []

    def f(t, a, b):
        seen.append(t[0])
        return a * t + b

    t = np.array([[0.0, 1.0, 2.0], [10.0, 11.0, 12.0]])
    r = Velmora.curve_fit_many(f, t, [[1.0, 3.0, 5.0], [21.0, 23.0, 25.0]], workers=1)
    np.testing.assert_allclose(r.x, [[2.0, 1.0], [2.0, 1.0]], atol=1e-9)
    assert set(seen) == {0.0, 10.0}


@pytest.mark.parametrize(
    "kwargs, exc, match",
    [
        ({"ydata": np.ones(20)}, ValueError, r"ydata must have shape \(K, m\)"),
        ({"ydata": np.array([["a"] * 20] * 4)}, ValueError, "ydata must hold real numbers"),
        ({"p0": np.ones((3, 3))}, ValueError, "p0 has 3 rows and ydata 4"),
        ({"p0": [1.0, np.nan, 0.0]}, ValueError, "p0 must hold finite values"),
        ({"p0": None}, ValueError, "p0 is required with a native model"),
        ({"sigma": np.ones(19)}, ValueError, "`sigma` has incorrect shape"),
        ({"sigma": np.zeros((4, 20))}, ValueError, "positive standard deviations"),
        ({"workers": 0}, ValueError, "workers must be at least 1"),
        (
            {"bounds": ([2.0] * 3, [3.0] * 3)},
            ValueError,
            "Initial guess is outside of provided bounds",
        ),
        (
            {"bounds": (np.zeros((4, 3)), np.zeros((4, 3)))},
            ValueError,
            "problem 0, variable 0 has lb = 0.0",
        ),
        ({"bounds": (np.zeros((5, 3)), 1.0)}, ValueError, r"lb must broadcast to \(K, n\)"),
        ({"ydata": np.ones((4, 2))}, TypeError, "must not exceed the number of data points"),
        ({"method": "bfgs"}, ValueError, "method must be None"),
        ({"x_scale": 2.0}, TypeError, "unexpected keyword argument 'x_scale'"),
        (
            {"check_finite": True, "ydata": np.full((4, 20), np.nan)},
            ValueError,
            "ydata must not contain infs",
        ),
        ({"jac": lambda *a: None}, ValueError, "jac must be None"),
    ],
)
def test_curve_fit_many_bad_arguments_raise_before_any_evaluation(decay, kwargs, exc, match):
    args = {
        "f": decay.model,
        "xdata": decay.T,
        "ydata": np.ones((4, 20)),
        "p0": [1.0, 1.0, 0.0],
        **kwargs,
    }
    with pytest.raises(exc, match=match):
        Velmora.curve_fit_many(
            args.pop("f"), args.pop("xdata"), args.pop("ydata"), args.pop("p0"), **args
        )


def test_curve_fit_many_python_model_errors_propagate(decay):
    calls = []

    def f(t, a, b, c):
        calls.append(1)
        if len(calls) == 30:
            raise Boom
        return decay.model_py(t, a, b, c)

    with pytest.raises(Boom):
        Velmora.curve_fit_many(f, decay.T, np.ones((5, 20)), [1.0, 1.0, 0.0])
    with pytest.raises(ValueError, match="the model returned 2 values for 20 data points"):
        Velmora.curve_fit_many(lambda t, a: np.ones(2), decay.T, np.ones((5, 20)), [1.0])


@pytest.mark.parametrize("path", ["native", "python", "python raises"])
def test_curve_fit_many_repeated_calls_leak_nothing(decay, path):
    _, y = decay.problems(8, seed=1)
    call = {
        "native": lambda: Velmora.curve_fit_many(decay.model, decay.T, y, [1.0, 1.0, 0.0]),
        "python": lambda: Velmora.curve_fit_many(decay.model_py, np.tile(decay.T, (8, 1)), y),
        "python raises": lambda: Velmora.curve_fit_many(lambda t, a: 1 / 0, decay.T, y),
    }[path]

    def repeat(k):
        for _ in range(k):
            try:
                call()
            except ZeroDivisionError:
                pass

    repeat(10)
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        repeat(60)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 20_000, grown


def test_each_many_fits_result_has_every_field_it_documents():
    t = np.linspace(0.0, 2.0, 15)
    y = 1.5 * np.exp(-0.8 * t) + np.random.default_rng(4).normal(0, 0.01, (3, 15))
    curves = Velmora.curve_fit_many(lambda t, amp, rate: amp * np.exp(-rate * t), t, y, [1.0, 1.0])
    fits = fit_many(lambda x, row: 0.5 * np.sum((row - x[0]) ** 2), np.zeros((3, 1)), y)
    for r in (curves, fits):
        for name in r.keys():
            assert name in type(r).__doc__, name  # documented
            assert r[name] is getattr(r, name)
        assert repr(r).count(":") >= len(r.keys())
    assert curves.names == ("amp", "rate") and fits.names == ("x0",)
    z = 1.6448536269514722
    np.testing.assert_allclose(curves.ci(0.9)[..., 1], curves.x + z * curves.se, rtol=1e-12)
    with pytest.raises(KeyError):
        curves["unidentified"]  # a least-squares fit has no Hessian to flag
