"""The optimizer module's Python surface: module attributes, the objectives,
argument conversion and errors, run_lbfgsb's outcomes, threads, and hostile
inputs in a subprocess."""

import inspect
import math
import pickle
import sys
import threading

import numpy as np
import pytest

from Velmora._ckernels.optim import _optim

from native import run_python

nm = _optim.run_neldermead
lb = _optim.run_lbfgsb
BOTH = pytest.mark.parametrize("fn", [lb, nm], ids=["lbfgsb", "neldermead"])
X2 = np.array([-1.2, 1.0])


def value(name, x, params=None):
    """The objective's value at x: a run limited to one evaluation returns it."""
    return nm(name, np.array(x, dtype=float), params=params, maxfun=1)["fun"]


# --- module -------------------------------------------------------------------


def test_module_attributes_and_docs():
    public = [k for k in vars(_optim) if not k.startswith("__")]
    assert public == ["np", "run_lbfgsb", "run_neldermead"]
    assert _optim.np is np
    assert "Rosenbrock" in _optim.__doc__ and "double well" in _optim.__doc__
    for fn in (lb, nm):
        assert fn.__doc__.startswith("Minimize a built-in objective")
        params = list(inspect.signature(fn).parameters.values())
        assert [p.name for p in params][:4] == ["objective", "x0", "bounds", "params"]
        assert tuple(p.default for p in params[2:]) == fn.__defaults__
        assert fn.__module__ == _optim.__name__ and fn.__qualname__ == fn.__name__
        assert pickle.loads(pickle.dumps(fn)) is fn


def test_defaults():
    assert lb.__defaults__ == (None, None, 10, 15000, 15000, 20, 1e7, 1e-5, 0.0)
    assert nm.__defaults__ == (None, None, 0, 0, 1e-4, 1e-4)
    with pytest.raises(AttributeError):
        nm.__defaults__ = ()


# --- objectives ---------------------------------------------------------------

QUAD_P = [1.0, 100.0, 3.0, -2.0]


@pytest.mark.parametrize(
    "name, x, params, expected",
    [
        ("rosenbrock", [1, 1, 1], None, 0.0),
        ("rosenbrock", [0, 0], None, 1.0),
        ("rosenbrock", [-1.2, 1], None, 24.2),
        ("rosenbrock", [-7.5], None, 0.0),
        ("quad", [3, -2], QUAD_P, 0.0),
        ("quad", [4, -1], QUAD_P, 50.5),
        ("double_well", [1, -1], None, 0.0),
        ("double_well", [0, 0, 0], None, 3.0),
        ("double_well", [2], None, 9.0),
        ("rosen_halfplane", [-0.001, 1], None, math.inf),
        ("rosen_halfplane", [0, 0], None, 1.0),
        ("rosen_halfplane", [-0.0, 0], None, 1.0),
        ("rosen_halfplane", [-5], None, math.inf),
        ("rosen_halfplane", [5], None, 0.0),
    ],
)
def test_objective_values(name, x, params, expected):
    assert value(name, x, params) == pytest.approx(expected, rel=1e-15, abs=1e-15)


@pytest.mark.parametrize("x0", [[np.nan, 1.0], [1.0, np.nan]])
def test_halfplane_nan_takes_the_rosenbrock_branch(x0):
    assert math.isnan(value("rosen_halfplane", x0))


def test_objectives_on_random_vectors_match_closed_forms():
    rng = np.random.default_rng(7)
    for n in (2, 3, 8, 33):
        x = rng.normal(size=n)
        d, xs = rng.uniform(0.1, 10, n), rng.normal(size=n)
        closed = {
            "rosenbrock": np.sum(100 * (x[1:] - x[:-1] ** 2) ** 2 + (1 - x[:-1]) ** 2),
            "double_well": np.sum((x**2 - 1) ** 2),
            "quad": np.sum(0.5 * d * (x - xs) ** 2),
        }
        for name, expected in closed.items():
            params = np.concatenate([d, xs, [99.0]]) if name == "quad" else None
            assert value(name, x, params) == pytest.approx(expected, rel=1e-13)


@BOTH
@pytest.mark.parametrize(
    "params, match",
    [
        (None, "needs params"),
        ([1.0, 100.0, 3.0], "needs 2\\*n = 4 params"),
        ([], "got 0"),
    ],
)
def test_quad_without_enough_params_is_refused(fn, params, match):
    with pytest.raises(ValueError, match=match):
        fn("quad", np.zeros(2), params=params)


def test_params_are_ignored_by_the_other_objectives():
    a = nm("rosenbrock", X2)
    b = nm("rosenbrock", X2, params=[1.0])
    np.testing.assert_array_equal(a["x"], b["x"])


# --- Nelder-Mead through the surface --------------------------------------------


def test_result_dict_keys_and_types():
    r = nm("rosenbrock", X2)
    assert list(r) == ["x", "fun", "nfev", "nit", "success", "status", "message"]
    assert [type(r[k]) for k in r] == [np.ndarray, float, int, int, bool, int, str]
    assert r["x"].dtype == np.float64 and r["x"].shape == (2,) and r["x"].flags.c_contiguous


@pytest.mark.parametrize(
    "name, x0, params, expected",
    [
        ("quad", np.zeros(2), QUAD_P, [3.0, -2.0]),
        ("double_well", np.array([0.3, -0.2]), None, [1.0, -1.0]),
        ("rosen_halfplane", np.array([0.5, 0.5]), None, [1.0, 1.0]),
    ],
)
def test_neldermead_converges(name, x0, params, expected):
    r = nm(name, x0, params=params)
    assert r["status"] == 0 and r["success"]
    np.testing.assert_allclose(r["x"], expected, atol=1e-3)
    assert r["fun"] < 1e-7


def test_neldermead_empty_start():
    r = nm("rosenbrock", np.zeros(0))
    assert (r["status"], r["nit"], r["nfev"], r["success"]) == (-2, 0, 0, False)
    assert r["message"] == "ERROR: n must be >= 1" and math.isnan(r["fun"])
    assert r["x"].shape == (0,) and r["x"].dtype == np.float64


def test_maxiter_is_truncated_toward_zero():
    r1 = nm("rosenbrock", X2, maxiter=1)
    assert (r1["status"], r1["nit"], r1["nfev"]) == (2, 1, 3)
    r2, r29 = nm("rosenbrock", X2, maxiter=2), nm("rosenbrock", X2, maxiter=2.9)
    assert r29 == {**r2, "x": r29["x"]} and np.array_equal(r2["x"], r29["x"])


def test_bound_codes_through_the_result():
    # Upper bound 0.5 on x[0]: the constrained minimum of Rosenbrock is (0.5, 0.25).
    r = nm("rosenbrock", X2, bounds=[(None, 0.5), (None, None)])
    assert r["x"][0] <= 0.5
    np.testing.assert_allclose(r["x"], [0.5, 0.25], atol=1e-3)
    # Lower bound 1.5 on x[0] and upper 2 on x[1]: minimum at (1.5, 2).
    r = nm("rosenbrock", X2, bounds=[(1.5, None), (None, 2.0)])
    assert r["x"][0] >= 1.5 and r["x"][1] <= 2.0
    np.testing.assert_allclose(r["x"], [1.5, 2.0], atol=1e-3)
    # All sides missing: a non-null code array of zeros, the unconstrained run.
    free = nm("rosenbrock", X2, bounds=[(None, None)] * 2)
    plain = nm("rosenbrock", X2)
    np.testing.assert_array_equal(free["x"], plain["x"])
    assert free["nfev"] == plain["nfev"] == 159


def test_caller_arrays_are_never_written():
    x0 = np.array([0.3, -0.2])
    params = np.array([2.0, 5.0, 0.5, 0.25])
    for fn in (lb, nm):
        r = fn("quad", x0, params=params)
        assert r["x"] is not x0
        np.testing.assert_array_equal(x0, [0.3, -0.2])
        np.testing.assert_array_equal(params, [2.0, 5.0, 0.5, 0.25])


# --- L-BFGS-B through the surface -------------------------------------------------


@pytest.mark.parametrize(
    "name, x0, params, bounds, expected",
    [
        ("rosenbrock", [-1.2, 1.0], None, None, [1.0, 1.0]),
        ("rosenbrock", [1.3, 0.7, 0.8, 1.9, 1.2], None, None, [1.0] * 5),
        ("quad", [0.0, 0.0], QUAD_P, None, [3.0, -2.0]),
        ("double_well", [0.3, -0.2], None, None, [1.0, -1.0]),
        ("rosen_halfplane", [0.5, 0.5], None, [(0.0, None), (None, None)], [1.0, 1.0]),
        ("rosenbrock", [-1.2, 1.0], None, [(None, 0.5), (None, None)], [0.5, 0.25]),
        ("quad", [0.0, 0.0], QUAD_P, [(0.0, 1.0), (-1.0, 0.0)], [1.0, -1.0]),
        ("double_well", [2.5, -2.5], None, [(1.5, 3.0), (-3.0, -2.0)], [1.5, -2.0]),
    ],
)
def test_lbfgsb_converges(name, x0, params, bounds, expected):
    r = lb(name, np.array(x0), bounds=bounds, params=params)
    assert (r["status"], r["message"], r["success"]) == (4, "CONVERGENCE", True)
    np.testing.assert_allclose(r["x"], expected, atol=2e-3)
    assert r["nit"] > 0 and r["nfev"] > r["nit"]


@pytest.mark.parametrize(
    "x0, kwargs, status, message",
    [
        ([], {}, 7, "ERROR: invalid input"),
        ([-1.2, 1.0], {"bounds": [(1.0, 0.0), (None, None)]}, 7, "ERROR: invalid input"),
        ([-1.2, 1.0], {"m": 0}, 7, "ERROR: invalid input"),
        ([-1.2, 1.0], {"maxiter": 1}, 5, "STOP: iteration or evaluation limit reached"),
        ([-1.2, 1.0], {"maxfun": 1}, 5, "STOP: iteration or evaluation limit reached"),
    ],
)
def test_lbfgsb_status_words(x0, kwargs, status, message):
    r = lb("rosenbrock", np.array(x0, dtype=float), **kwargs)
    assert (r["status"], r["message"], r["success"]) == (status, message, False)
    if status == 7:
        assert (r["nfev"], r["nit"]) == (0, 0)
    if "maxiter" in kwargs:
        assert r["nit"] == 1


@pytest.mark.parametrize("x0", [[-1.0, 1.0], [math.nan, 1.0]])
def test_lbfgsb_nonfinite_start_is_reported_as_invalid_input(x0):
    r = lb("rosen_halfplane", np.array(x0))
    assert (r["status"], r["message"], r["success"], r["nit"], r["nfev"]) == (
        7,
        "ERROR: invalid input",
        False,
        0,
        1,
    )
    assert not math.isfinite(r["fun"])


# --- argument binding ---------------------------------------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: nm(), "run_neldermead() takes at least 2 positional arguments (0 given)"),
        (
            lambda: nm("rosenbrock"),
            "run_neldermead() takes at least 2 positional arguments (1 given)",
        ),
        (lambda: nm(x0=X2), "run_neldermead() takes at least 2 positional arguments (0 given)"),
        (
            lambda: nm(objective="quad"),
            "run_neldermead() takes at least 2 positional arguments (1 given)",
        ),
        (lambda: nm(*range(9)), "run_neldermead() takes at most 8 positional arguments (9 given)"),
        (lambda: lb(*range(12)), "run_lbfgsb() takes at most 11 positional arguments (12 given)"),
        (lambda: lb("rosenbrock"), "run_lbfgsb() takes at least 2 positional arguments (1 given)"),
        (
            lambda: nm("rosenbrock", X2, tol=1),
            "run_neldermead() got an unexpected keyword argument 'tol'",
        ),
        (
            lambda: lb("rosenbrock", X2, xatol=1),
            "run_lbfgsb() got an unexpected keyword argument 'xatol'",
        ),
        (
            lambda: nm("rosenbrock", X2, objective="quad"),
            "run_neldermead() got multiple values for keyword argument 'objective'",
        ),
    ],
)
def test_argument_count_and_keyword_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_all_keywords_accepted():
    r = nm(
        objective="rosenbrock",
        x0=X2,
        bounds=None,
        params=None,
        maxiter=0,
        maxfun=0,
        xatol=1e-4,
        fatol=1e-4,
    )
    assert (r["nit"], r["nfev"]) == (85, 159)
    r = lb("rosenbrock", X2, None, None, 10, 15000, 15000, 20, 1e7, 1e-5, 0.0)
    assert list(r) == ["x", "fun", "nfev", "nit", "success", "status", "message"]


# --- x0 --------------------------------------------------------------------------


@BOTH
@pytest.mark.parametrize(
    "x0, exc, match",
    [
        ([-1.2, 1.0], TypeError, "list"),
        ((-1.2, 1.0), TypeError, "tuple"),
        (np.array([1, 2]), ValueError, r"Buffer dtype mismatch, expected 'double' but got 'long'"),
        (np.array([1, 2], dtype=np.float32), ValueError, "expected 'double' but got 'float'"),
        (np.arange(6.0)[::2], ValueError, "contiguous"),
        (
            np.zeros((2, 2)),
            ValueError,
            r"Buffer has wrong number of dimensions \(expected 1, got 2\)",
        ),
        (np.array([1.0, 2.0]).view(">f8").byteswap(), ValueError, "dtype mismatch"),
        (None, ValueError, r"wrong number of dimensions \(expected 1, got 0\)"),
        (b"abcdefgh", ValueError, "writable"),
    ],
)
def test_x0_errors(fn, x0, exc, match):
    with pytest.raises(exc, match=match):
        fn("rosenbrock", x0)


@BOTH
def test_x0_read_only_is_refused(fn):
    x0 = np.array([-1.2, 1.0])
    x0.flags.writeable = False
    with pytest.raises(ValueError):
        fn("rosenbrock", x0)


def test_x0_any_writable_double_buffer():
    buf = memoryview(bytearray(np.array([-1.2, 1.0]).tobytes())).cast("d")
    r = nm("rosenbrock", buf)
    assert (r["nit"], r["nfev"]) == (85, 159)


# --- options -----------------------------------------------------------------------


class IntLike:
    def __int__(self):
        return 1


@pytest.mark.parametrize("maxiter", [1, True, 1.9, np.int32(1), np.float64(1.5), IntLike()])
def test_integer_options_use_int_conversion(maxiter):
    r = nm("rosenbrock", X2, maxiter=maxiter)
    assert (r["status"], r["nit"]) == (2, 1)


@BOTH
@pytest.mark.parametrize(
    "value, exc, match",
    [
        (2**31, OverflowError, "value too large to convert to int"),
        (-(2**31) - 1, OverflowError, "value too large to convert to int"),
        (1e10, OverflowError, "value too large to convert to int"),
        ("5", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
    ],
)
def test_integer_option_errors(fn, value, exc, match):
    with pytest.raises(exc, match=match):
        fn("rosenbrock", X2, maxiter=value)


def test_integer_option_limits_are_accepted():
    assert nm("rosenbrock", X2, maxiter=2**31 - 1)["nit"] == 85
    assert nm("rosenbrock", X2, maxiter=-(2**31))["nit"] == 85  # <= 0: 200*n


@pytest.mark.parametrize(
    "fn, option", [(nm, "xatol"), (nm, "fatol"), (lb, "factr"), (lb, "pgtol"), (lb, "fd_step")]
)
def test_double_option_errors(fn, option):
    with pytest.raises(TypeError):
        fn("rosenbrock", X2, **{option: "1e-4"})


def test_double_options_accept_numbers():
    r = nm("rosenbrock", X2, xatol=np.float32(0.5), fatol=1)
    assert r["status"] == 0 and r["nit"] < 85


def test_conversion_order():
    # x0 first, then the options in parameter order, then the objective's type.
    with pytest.raises(TypeError, match="list"):
        nm(b"x", [1.0], maxiter="a")
    with pytest.raises(TypeError, match="an integer is required"):
        nm(b"x", X2, maxfun="a", xatol="b")
    with pytest.raises(TypeError, match="must be real number"):
        nm(b"x", X2, xatol="b")
    with pytest.raises(TypeError, match="Argument 'objective'"):
        nm(b"x", X2, bounds=[(1, 2, 3)], params="zz")


# --- objective name --------------------------------------------------------------


class Items:
    """An iterable that is not a tuple or list, iterable again on every use."""

    def __init__(self, *items):
        self.items = items

    def __iter__(self):
        return iter(self.items)


class StrSub(str):
    pass


@BOTH
@pytest.mark.parametrize(
    "objective, exc, message",
    [
        (
            b"rosenbrock",
            TypeError,
            "Argument 'objective' has incorrect type (expected str, got bytes)",
        ),
        (3, TypeError, "Argument 'objective' has incorrect type (expected str, got int)"),
        (
            StrSub("quad"),
            TypeError,
            "Argument 'objective' has incorrect type (expected str, got StrSub)",
        ),
        (None, ValueError, "unknown objective None"),
        ("Rosenbrock", ValueError, "unknown objective 'Rosenbrock'"),
        ("", ValueError, "unknown objective ''"),
        ("rosenbrock\x00", ValueError, "unknown objective 'rosenbrock\\x00'"),
    ],
)
def test_objective_name_errors(fn, objective, exc, message):
    with pytest.raises(exc) as info:
        fn(objective, X2, bounds=[(0, 1), (0, 1)], params=[1, 1, 1, 1])
    assert str(info.value) == message


@BOTH
def test_unknown_name_raises_after_bounds_and_params(fn):
    with pytest.raises(ValueError, match="too many values"):
        fn("nope", X2, bounds=[(1, 2, 3), (1, 2)])
    with pytest.raises(ValueError, match="could not convert"):
        fn("nope", X2, params=["a"])


# --- bounds ----------------------------------------------------------------------


@BOTH
@pytest.mark.parametrize(
    "bounds, exc, match",
    [
        ([1.0, (0, 1)], TypeError, "cannot unpack non-iterable float object"),
        ([(), (0, 1)], ValueError, r"^need more than 0 values to unpack$"),
        ([(0.0,), (0, 1)], ValueError, r"^need more than 1 value to unpack$"),
        ([[0.0], (0, 1)], ValueError, r"^need more than 1 value to unpack$"),
        ([Items(0.0), (0, 1)], ValueError, r"^need more than 1 value to unpack$"),
        ([(0, 1, 2), (0, 1)], ValueError, r"^too many values to unpack \(expected 2\)$"),
        ([Items(0, 1, 2), (0, 1)], ValueError, r"^too many values to unpack \(expected 2\)$"),
        ([("a", None), (0, 1)], TypeError, "must be real number, not str"),
        ([(None, object()), (0, 1)], TypeError, "must be real number"),
        ([(0, 1)], IndexError, "bounds has no entry 1"),
        ((), IndexError, "bounds has no entry 0"),
        (np.zeros((1, 2)), IndexError, "bounds has no entry 1"),
        (3.0, TypeError, "not subscriptable"),
        ({0: (0, 1)}, KeyError, "1"),
    ],
)
def test_bounds_errors(fn, bounds, exc, match):
    with pytest.raises(exc, match=match):
        fn("rosenbrock", X2, bounds=bounds)


def test_bounds_accepted_forms():
    ref = nm("rosenbrock", X2, bounds=[(-2.0, 2.0), (-2.0, 2.0)])
    for bounds in (
        [[-2, 2], [-2, 2]],
        ((-2.0, 2.0), Items(-2.0, 2.0)),
        np.array([[-2, 2]] * 2),
        {0: (-2, 2), 1: (-2, 2)},
        [(-2, 2), (-2, 2), "ignored", 5],
    ):
        r = nm("rosenbrock", X2, bounds=bounds)
        np.testing.assert_array_equal(r["x"], ref["x"])


# --- params ------------------------------------------------------------------------


@BOTH
@pytest.mark.parametrize(
    "params, exc",
    [
        (np.zeros((2, 2)), ValueError),
        (5.0, ValueError),
        (["a", 1], ValueError),
        (object(), TypeError),
    ],
)
def test_params_errors(fn, params, exc):
    with pytest.raises(exc):
        fn("quad", np.zeros(2), params=params)


def test_params_read_only_is_refused():
    params = np.array(QUAD_P)
    params.flags.writeable = False
    with pytest.raises(ValueError):
        nm("quad", np.zeros(2), params=params)


def test_params_converted_from_other_types():
    ref = nm("quad", np.zeros(2), params=QUAD_P)
    for params in (
        tuple(QUAD_P),
        np.array(QUAD_P, dtype=np.float32),
        np.array(QUAD_P + [0.0, 0.0])[::1],
        np.array([QUAD_P[0], 0, QUAD_P[1], 0, QUAD_P[2], 0, QUAD_P[3]])[::2],
    ):
        r = nm("quad", np.zeros(2), params=params)
        np.testing.assert_array_equal(r["x"], ref["x"])


# --- threads -------------------------------------------------------------------------

CASES = [
    (nm, "rosenbrock", [-1.2, 1.0], None, None),
    (nm, "quad", [0.0, 0.0], QUAD_P, None),
    (nm, "double_well", [0.3, -0.2, 0.7], None, [(0, None), (None, 0), (None, None)]),
    (lb, "rosenbrock", [-1.2, 1.0, 0.4], None, None),
    (lb, "quad", [0.0, 0.0], QUAD_P, [(0, 1), (-1, 0)]),
    (lb, "rosen_halfplane", [0.5, 0.5], None, [(0, None), (None, None)]),
]


def run_case(case):
    fn, name, x0, params, bounds = case
    r = fn(name, np.array(x0), params=params, bounds=bounds)
    return r["x"].tobytes(), repr(r["fun"]), r["nfev"], r["nit"], r["status"], r["message"]


@pytest.mark.threads
def test_threads_give_the_serial_results():
    serial = [run_case(c) for c in CASES]
    results = {}

    def worker(t):
        results[t] = [run_case(c) for _ in range(5) for c in CASES]

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for t in range(4):
        assert results[t] == serial * 5


@pytest.mark.threads
def test_lock_is_released_during_the_run():
    done = threading.Event()
    started = threading.Event()

    def long_run():
        started.set()
        nm("rosenbrock", np.full(100, -1.0), maxiter=20000, maxfun=20000)
        done.set()

    t = threading.Thread(target=long_run)
    t.start()
    started.wait()
    spins = 0
    while not done.is_set():
        spins += 1
    t.join()
    assert spins > 1000


# --- hostile input ---------------------------------------------------------------------


def test_hostile_inputs_do_not_crash():
    out = run_python(r'''
import numpy as np
from Velmora._ckernels.optim import _optim as o

class Shrinking(list):
    """bounds that empty themselves while being read."""
    def __getitem__(self, i):
        item = list.__getitem__(self, i)
        self.clear()
        return item

class BadFloat:
    def __float__(self):
        raise RuntimeError("boom")

class EvilIndex:
    def __getitem__(self, i):
        raise IndexError("nope")

calls = [
    lambda: o.run_neldermead("rosenbrock", np.zeros(3), bounds=Shrinking([(0, 1)] * 3)),
    lambda: o.run_lbfgsb("rosenbrock", np.zeros(3), bounds=Shrinking([(0, 1)] * 3)),
    lambda: o.run_neldermead("rosenbrock", np.zeros(3), bounds=[(BadFloat(), 1)] * 3),
    lambda: o.run_neldermead("rosenbrock", np.zeros(3), bounds=EvilIndex()),
    lambda: o.run_neldermead("quad", np.zeros(1000), params=np.zeros(1999)),
    lambda: o.run_lbfgsb("quad", np.zeros(1000), params=[1.0]),
    lambda: o.run_neldermead("rosenbrock", np.zeros(4), bounds=[(1.0, -1.0)] * 4),
    lambda: o.run_neldermead("rosenbrock", np.full(3, np.nan), bounds=[(np.nan, np.inf)] * 3),
    lambda: o.run_neldermead("rosenbrock", np.full(2, np.inf), maxfun=-5, maxiter=-(2**31)),
    lambda: o.run_neldermead("rosen_halfplane", np.full(2, -1.0), xatol=np.nan, fatol=-1.0),
    lambda: o.run_lbfgsb("rosenbrock", np.zeros(2), m=-(2**31), maxls=-1, factr=-1.0),
    lambda: o.run_lbfgsb("double_well", np.full(3, 1e300), fd_step=np.nan),
    lambda: o.run_neldermead("quad", np.zeros(0), params=np.zeros(0)),
    lambda: o.run_neldermead("rosenbrock", memoryview(bytearray(0)).cast("d")),
]
for call in calls:
    try:
        r = call()
        assert set(r) == {"x", "fun", "nfev", "nit", "success", "status", "message"}
    except (TypeError, ValueError, IndexError, RuntimeError, OverflowError) as exc:
        pass
print("survived")
''')
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "survived"


@pytest.mark.parametrize(
    "bounds,index,reason",
    [
        ([(1.0, -1.0), (None, None)], 0, "the lower bound is above the upper bound"),
        ([(None, None), (5.0, 1.0)], 1, "the lower bound is above the upper bound"),
        ([(None, math.nan), (None, None)], 0, "a bound is NaN"),
        ([(0.0, 1.0), (math.nan, None)], 1, "a bound is NaN"),
        ([(math.nan, math.nan), (2.0, 1.0)], 0, "a bound is NaN"),
    ],
)
def test_neldermead_refuses_bounds_no_point_satisfies(bounds, index, reason):
    # Clipping into such a box would report success at a point outside it.
    x0 = np.array([0.0, 0.0])
    with pytest.raises(ValueError) as info:
        nm("double_well", x0, bounds=bounds)
    assert str(info.value) == f"bounds[{index}] is invalid: {reason}"
    np.testing.assert_array_equal(x0, [0.0, 0.0])


def test_neldermead_equal_bounds_fix_the_variable():
    r = nm("double_well", np.array([0.3, 0.2]), bounds=[(0.5, 0.5), (None, None)])
    assert r["success"] and r["x"][0] == 0.5


@pytest.mark.parametrize(
    "bounds",
    [
        [(None, math.nan), (None, None)],
        [(math.nan, None), (None, None)],
        [(math.nan, 3.0), (None, None)],
        [(2.0, 1.0), (None, None)],
    ],
)
def test_lbfgsb_refuses_nan_and_crossed_bounds_before_evaluating(bounds):
    r = lb("rosenbrock", np.array([-1.2, 1.0]), bounds=bounds)
    assert (r["status"], r["success"], r["nfev"], r["message"]) == (
        7,
        False,
        0,
        "ERROR: invalid input",
    )
    np.testing.assert_array_equal(r["x"], [-1.2, 1.0])


def test_lbfgsb_unbounded_objective_is_not_convergence():
    # A quadratic with a negative weight has no minimum: the run ends where
    # the value reaches -inf, and says so.
    r = lb("quad", np.array([1.0]), params=[-1.0, 0.0])
    assert (r["status"], r["success"], r["fun"]) == (-2, False, -math.inf)
    assert r["message"] == "ABNORMAL: objective is -inf (unbounded below)"
    assert value("quad", r["x"], [-1.0, 0.0]) == -math.inf


NO_GRADIENT = (
    "ABNORMAL: gradient not formed at x (a value was not finite or the difference step "
    "did not move x)"
)


def test_lbfgsb_overflowing_probe_is_not_convergence():
    # Finite at the start, but the difference probe overflows: the zero put in
    # for that component must not read as a vanishing gradient.
    x0 = np.array([sys.float_info.max**0.25 * (1 - 1e-8)])
    r = lb("double_well", x0)
    assert math.isfinite(r["fun"]) and r["nit"] == 0
    assert (r["status"], r["success"], r["message"]) == (-3, False, NO_GRADIENT)


@pytest.mark.parametrize("fd_step,status", [(5e-324, 7), (1e-300, 7), (math.inf, 7), (1e300, -3)])
def test_lbfgsb_difference_steps_that_cannot_form_a_gradient(fd_step, status):
    # A step lost in rounding (or infinite) is refused before any evaluation;
    # one that moves x to where the objective overflows ends without success.
    r = lb("rosenbrock", np.array([-1.2, 1.0]), fd_step=fd_step)
    assert (r["status"], r["success"]) == (status, False)
    assert r["nfev"] == (0 if status == 7 else 3)
    np.testing.assert_array_equal(r["x"], [-1.2, 1.0])


@pytest.mark.parametrize("fd_step", [math.nan, 0.0, -1.0, -math.inf, 1e-7])
def test_lbfgsb_usable_steps_still_converge(fd_step):
    r = lb("rosenbrock", np.array([-1.2, 1.0]), fd_step=fd_step)
    assert r["success"] and np.allclose(r["x"], 1.0, atol=1e-3)


# --- no leaks ---------------------------------------------------------------------------

LEAK_CALLS = {
    "success": lambda: nm("quad", np.zeros(50), params=np.ones(100), maxfun=5),
    "unknown name": lambda: nm("nope", np.zeros(50), bounds=[(0, 1)] * 50, params=np.ones(100)),
    "bad bound": lambda: lb("rosenbrock", np.zeros(50), bounds=[(0, 1)] * 49 + [(0, 1, 2)]),
    "short bounds": lambda: nm("rosenbrock", np.zeros(50), bounds=[(0, 1)] * 49),
    "short params": lambda: nm("quad", np.zeros(50), params=np.ones(99)),
    "bad params": lambda: lb("quad", np.zeros(50), params=np.ones((2, 100))),
    "bad x0": lambda: nm("rosenbrock", np.zeros((50, 2))),
}


@pytest.mark.parametrize("name", list(LEAK_CALLS))
def test_calls_release_what_they_create(name):
    import tracemalloc

    call = LEAK_CALLS[name]

    def repeat():
        for _ in range(300):
            try:
                call()
            except (ValueError, TypeError, IndexError):
                pass

    repeat()  # warm caches
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        repeat()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 10_000  # one leaked 50-element array per call would be > 100 kB
