"""The 63 functions of the transforms module: values against mpmath, IEEE
edge values, and the behaviour of the Python surface."""

import importlib
import math
import sys
import threading
import warnings

import mpmath as mp
import numpy as np
import pytest

from native import TRANSFORM_FAMILIES, TRANSFORM_OPS, transform_bounds

t = importlib.import_module("Velmora._ckernels.transforms._transforms")

FUNCTIONS = [(family, op) for family in TRANSFORM_FAMILIES for op in TRANSFORM_OPS]
PY_BOUND = {"a": "low", "b": "high", "low": "low", "high": "high"}


# --- references ---------------------------------------------------------------
# Each family is given by T and T^-1 only; every derivative and log-Jacobian is
# obtained from them by mpmath's numerical differentiation at high precision.


def _sigmoid(y):
    return 1 / (1 + mp.exp(-y))


def _ndtri(p):
    # 2p - 1 must keep the digits of p itself, however small p is.
    with mp.extradps(int(-mp.log10(min(p, 1 - p))) + 10):
        return mp.sqrt(2) * mp.erfinv(2 * p - 1)


def _affine(unit_fwd, unit_inv):
    return (lambda x, a, b: unit_fwd((x - a) / (b - a)), lambda y, a, b: a + (b - a) * unit_inv(y))


REF = {  # family -> (T(x, *bounds), T^-1(y, *bounds))
    "log": (lambda x: mp.log(x), lambda y: mp.exp(y)),
    "logit": (lambda x: mp.log(x / (1 - x)), _sigmoid),
    "probit": (_ndtri, mp.ncdf),
    "aff_logit": _affine(lambda z: mp.log(z / (1 - z)), _sigmoid),
    "aff_probit": _affine(_ndtri, mp.ncdf),
    "softplus": (lambda x: mp.log(mp.expm1(x)), lambda y: mp.log1p(mp.exp(y))),
    "lower": (lambda x, low: mp.log(x - low), lambda y, low: low + mp.exp(y)),
    "upper": (lambda x, high: mp.log(high - x), lambda y, high: high - mp.exp(y)),
    "tanh": (mp.atanh, mp.tanh),
}

BOUNDS = {"aff_logit": (2.0, 6.0), "aff_probit": (-1.0, 3.0), "lower": (1.5,), "upper": (-2.0,)}

X_GRID = {  # points inside each family's domain
    "log": [1e-300, 1e-8, 0.3, 1.0, 7.5, 1e5, 1e300],
    "logit": [1e-12, 1e-3, 0.2, 0.5, 0.7, 0.999, 1 - 2**-40],
    "probit": [1e-300, 1e-10, 0.025, 0.3, 0.5, 0.925, 0.999999],
    "aff_logit": [2.0 + 1e-9, 2.5, 3.9, 4.0, 5.25, 6.0 - 1e-6],
    "aff_probit": [-1.0 + 1e-9, -0.9, -0.4, 1.0, 2.5, 2.9],
    "softplus": [1e-10, 0.01, 0.6931471805599453, 1.0, 5.0, 40.0, 700.0],
    "lower": [1.5 + 1e-10, 1.6, 2.5, 10.0, 1e10],
    "upper": [-2.0 - 1e-10, -2.2, -3.5, -100.0, -1e10],
    "tanh": [-1 + 1e-12, -0.9, -0.3, 1e-5, 0.5, 0.99, 1 - 1e-9],
}
Y_GRID = [-30.0, -7.5, -1.0, -0.3, 0.0, 0.7, 2.0, 9.0, 30.0]


EDGES_OF_X = {
    "log": (0.0,),
    "logit": (0.0, 1.0),
    "probit": (0.0, 1.0),
    "softplus": (0.0,),
    "tanh": (-1.0, 1.0),
}


def step(family, op, v, bounds):
    """A difference step well inside the domain and small against v."""
    if op.endswith("fwd"):
        edges = EDGES_OF_X.get(family, bounds)
        return mp.mpf(min(abs(v - e) for e in edges)) * mp.mpf("1e-12")
    return max(abs(mp.mpf(v)), 1) * mp.mpf("1e-12")


def reference(family, op, v, bounds):
    fwd, inv = REF[family]
    b = [mp.mpf(c) for c in bounds]
    h = step(family, op, v, bounds)
    f = (lambda s: fwd(s, *b)) if op.endswith("fwd") else (lambda s: inv(s, *b))  # noqa: E731
    v = mp.mpf(v)
    with mp.workdps(250):  # differences of values that saturate at 1 (probit at 30)
        if op in ("fwd", "inv"):
            r = f(v)
        elif op in ("grad_fwd", "grad_inv"):
            r = mp.diff(f, v, h=h)
        elif op in ("ldet_abs_jac_fwd", "ldet_abs_jac_inv"):
            r = mp.log(abs(mp.diff(f, v, h=h)))
        else:  # d/dy log|g'(y)| = g''(y) / g'(y)
            r = mp.diff(f, v, 2, h=h) / mp.diff(f, v, h=h)
        return float(r)


def call_bounds(family, op):
    """Bound arguments of the Python function (the first bounds of the family)."""
    return BOUNDS.get(family, ())[: len(transform_bounds(family, op))]


def grid(family, op):
    return X_GRID[family] if op.endswith("fwd") else Y_GRID


# Where a specified formula loses digits by cancellation its absolute error
# is a few ulps of the terms it subtracts; the scale of those terms is 1 for
# every formula here except the affine ones, whose terms carry b - a.
RTOL = 5e-14
ATOL = 2e-15
# 1/phi(z) at z = quantile(x) turns the quantile's relative error e into
# z^2 e, about 1400 e at x = 1e-300 (z = -37).
RTOL_OF = {"probit_grad_fwd": 2e-12, "aff_probit_grad_fwd": 2e-12}


def assert_close(got, ref, scale=1.0, rtol=RTOL):
    got, ref = np.asarray(got, dtype=float), np.asarray(ref, dtype=float)
    err = np.abs(got - ref)
    ok = (got == ref) | (err <= rtol * np.abs(ref) + ATOL * scale)
    assert ok.all(), list(zip(got[~ok], ref[~ok]))


@pytest.mark.parametrize("family,op", FUNCTIONS)
def test_agrees_with_mpmath(family, op):
    fn = getattr(t, f"{family}_{op}")
    bounds = call_bounds(family, op)
    points = grid(family, op)
    expected = [reference(family, op, v, BOUNDS.get(family, ())) for v in points]
    scale = max([1.0] + [abs(b) for b in BOUNDS.get(family, ())]) * 4
    scalars = [fn(v, *bounds) for v in points]
    assert all(type(s) is np.float64 for s in scalars)
    rtol = RTOL_OF.get(f"{family}_{op}", RTOL)
    assert_close(scalars, expected, scale, rtol)
    array = fn(np.array(points), *bounds)
    assert_close(array, expected, scale, rtol)


def ulps(a, b):
    """Distance in units in the last place (integers ordered like the doubles)."""
    i = np.array([a, b], dtype=np.float64).view(np.int64)
    m = np.where(i < 0, np.int64(-(2**63)) - i, i).astype(np.float64)
    return np.abs(m[0] - m[1])


@pytest.mark.parametrize("family,op", FUNCTIONS)
def test_scalar_and_array_forms_agree(family, op):
    fn = getattr(t, f"{family}_{op}")
    bounds = call_bounds(family, op)
    lo, hi = min(grid(family, op)), max(grid(family, op))
    points = np.concatenate(
        [
            grid(family, op),
            np.random.default_rng(7).uniform(max(lo, -50), min(hi, 50), 200),
            [np.nan, np.inf, -np.inf, 0.0, -1.0, 1.0, 2.0, -800.0, 800.0],
        ]
    )
    array = fn(points, *bounds)
    scalars = np.array([fn(float(v), *bounds) for v in points])
    differ = ~((array == scalars) | (np.isnan(array) & np.isnan(scalars)))
    # The array form runs the vector versions of the elementary functions,
    # which may round a few ulps differently. Where the formula is well
    # conditioned the forms agree within 4 ulps; where it cancels, or (probit)
    # magnifies its input's error, they differ by no more than the accuracy
    # tolerance against the exact value, with terms as large as the argument.
    a, s, p = array[differ], scalars[differ], points[differ]
    scale = 4 * np.maximum(max([1.0] + [abs(b) for b in bounds]), np.abs(p))
    rtol = RTOL_OF.get(f"{family}_{op}", RTOL)
    ok = (ulps(a, s) <= 4) | (np.abs(a - s) <= rtol * np.abs(s) + ATOL * scale)
    assert ok.all(), (p[~ok], a[~ok], s[~ok])


LN2 = 0.6931471805599453
EDGES = [  # (function, main argument, bounds, expected)
    ("log_fwd", 0.0, (), -math.inf),
    ("log_fwd", -1.0, (), math.nan),
    ("log_grad_fwd", 0.0, (), math.inf),
    ("log_inv", 710.0, (), math.inf),
    ("log_inv", -math.inf, (), 0.0),
    ("softplus_inv", 0.0, (), LN2),
    ("softplus_inv", 800.0, (), 800.0),
    ("softplus_inv", -800.0, (), 0.0),
    ("softplus_inv", math.nan, (), math.nan),
    ("softplus_ldet_abs_jac_inv", 0.0, (), -LN2),
    ("softplus_ldet_abs_jac_inv", -800.0, (), -800.0),
    ("softplus_ldet_abs_jac_inv", 800.0, (), 0.0),
    ("softplus_fwd", 800.0, (), math.inf),
    ("softplus_ldet_abs_jac_fwd", 800.0, (), -math.inf),
    ("softplus_grad_fwd", 800.0, (), 1.0),
    ("softplus_fwd", 0.0, (), -math.inf),
    ("softplus_grad_fwd", 0.0, (), math.inf),
    ("lower_fwd", 1.0, (1.0,), -math.inf),
    ("upper_grad_fwd", 3.0, (3.0,), -math.inf),
    ("upper_grad_inv", 0.0, (), -1.0),
    ("logit_fwd", 0.5, (), 0.0),
    ("logit_fwd", 0.0, (), -math.inf),
    ("logit_fwd", 1.0, (), math.inf),
    ("logit_fwd", 1.5, (), math.nan),
    ("logit_inv", 0.0, (), 0.5),
    ("logit_grad_inv", 0.0, (), 0.25),
    ("logit_ldet_abs_jac_inv", 0.0, (), -1.3862943611198906),
    ("logit_grad_ldet_abs_jac_inv", 0.0, (), 0.0),
    ("logit_inv", -800.0, (), 0.0),
    ("logit_ldet_abs_jac_inv", -800.0, (), -math.inf),
    ("probit_fwd", 0.5, (), 0.0),
    ("probit_ldet_abs_jac_fwd", 0.5, (), 0.9189385332046727),
    ("probit_grad_fwd", 0.5, (), math.sqrt(2 * math.pi)),
    ("probit_ldet_abs_jac_inv", 40.0, (), -math.inf),
    ("probit_grad_ldet_abs_jac_inv", 40.0, (), -40.0),
    ("probit_fwd", 0.0, (), -math.inf),
    ("probit_fwd", 1.0, (), math.inf),
    ("probit_fwd", math.nan, (), math.nan),
    ("aff_logit_fwd", 4.0, (2.0, 6.0), 0.0),
    ("aff_logit_inv", 0.0, (2.0, 6.0), 4.0),
    ("aff_logit_grad_inv", 0.0, (2.0, 6.0), 1.0),
    ("aff_probit_ldet_abs_jac_inv", 0.3, (1.0, 1.0), -math.inf),
    ("aff_probit_ldet_abs_jac_inv", 0.3, (2.0, 1.0), math.nan),
    ("aff_logit_ldet_abs_jac_fwd", 1.5, (2.0, 1.0), math.nan),
    ("tanh_ldet_abs_jac_inv", 0.0, (), 0.0),
    ("tanh_ldet_abs_jac_inv", 1000.0, (), -1998.6137056388802),
    ("tanh_ldet_abs_jac_inv", -1000.0, (), -1998.6137056388802),
    ("tanh_grad_inv", 1000.0, (), 0.0),
    ("tanh_fwd", 1.0, (), math.inf),
    ("tanh_grad_fwd", 1.0, (), math.inf),
    ("tanh_inv", math.inf, (), 1.0),
]
EDGES += [
    (f"{f}_grad_ldet_abs_jac_inv", v, (), 1.0)
    for f in ("log", "lower", "upper")
    for v in (math.nan, math.inf, -math.inf)
]


@pytest.mark.parametrize("name,v,bounds,expected", EDGES)
def test_ieee_edge_values(name, v, bounds, expected):
    fn = getattr(t, name)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        got = [float(fn(v, *bounds)), float(fn([v], *bounds)[0])]
    for g in got:
        if math.isnan(expected):
            assert math.isnan(g)
        else:
            assert g == pytest.approx(expected, rel=1e-15, abs=0.0) or g == expected


@pytest.mark.parametrize("y", [-1e6, -37.5, -1.0, 0.0, 3.0, 1e300])
def test_affine_grad_ldet_matches_unit_family(y):
    assert t.aff_logit_grad_ldet_abs_jac_inv(y) == t.logit_grad_ldet_abs_jac_inv(y)
    assert t.aff_probit_grad_ldet_abs_jac_inv(y) == t.probit_grad_ldet_abs_jac_inv(y)


# --- the Python surface -----------------------------------------------------------


def test_module_globals_and_no_docstrings():
    public = [k for k in vars(t) if not k.startswith("__")]
    assert public == ["np", "float64"] + [f"{f}_{op}" for f, op in FUNCTIONS]
    assert t.np is np and t.float64 is np.float64
    assert t.__doc__ is None
    assert all(getattr(t, f"{f}_{op}").__doc__ is None for f, op in FUNCTIONS)


@pytest.mark.parametrize("arg", [1.0, 1, True, np.float32(1.0), np.int64(1), np.float64(1.0)])
def test_numbers_give_float64_scalars(arg):
    r = t.log_fwd(arg)
    assert type(r) is np.float64 and r == 0.0


class FloatLike:
    def __float__(self):
        return 2.0


class IndexLike:
    def __index__(self):
        return 2


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class ArraySub(np.ndarray):
    pass


@pytest.mark.parametrize("arg", [FloatLike(), IndexLike()])
def test_objects_with_float_or_index_are_numbers(arg):
    assert t.lower_fwd(arg, 1.0) == 0.0  # as the main argument: log(2 - 1)
    assert t.aff_logit_fwd(4.0, arg, 6.0) == 0.0  # as a bound: the midpoint of (2, 6)


@pytest.mark.parametrize(
    "arg,shape",
    [
        ([1.0, 2.0], (2,)),
        ((1.0,), (1,)),
        ([[1.0, 2.0, 4.0], [8.0, 0.5, 1.0]], (2, 3)),
        (ListSub([1.0, 2.0]), (2,)),
        (TupleSub((1.0, 2.0, 4.0)), (3,)),
        (np.arange(1, 7, dtype=np.int32).reshape(2, 3), (2, 3)),
        (np.asfortranarray(np.arange(1.0, 7.0).reshape(2, 3)), (2, 3)),
        (np.arange(1.0, 13.0)[::3], (4,)),
        (np.arange(1.0, 5.0).view(ArraySub), (4,)),
    ],
)
def test_array_likes_give_new_c_contiguous_float64_arrays(arg, shape):
    before = np.array(arg, dtype=float, copy=True)
    r = t.log_fwd(arg)
    assert type(r) is np.ndarray and r.dtype == np.float64 and r.shape == shape
    assert r.flags.c_contiguous and r.flags.writeable
    np.testing.assert_array_max_ulp(r, np.log(before), maxulp=4)
    np.testing.assert_array_equal(np.asarray(arg, dtype=float), before)  # input never written
    assert not np.shares_memory(r, np.asarray(arg))


def test_zero_dimensional_array_takes_the_array_path():
    r = t.log_fwd(np.array(1.0))
    assert isinstance(r, np.ndarray) and r.dtype == np.float64 and r.tolist() == [0.0] * r.size


@pytest.mark.parametrize(
    "arg,shape", [([], (0,)), (np.empty((0, 3)), (0, 3)), (np.empty((2, 0), dtype=np.int8), (2, 0))]
)
def test_empty_inputs_give_empty_arrays(arg, shape):
    r = t.aff_probit_inv(arg, 0.0, 1.0)
    assert type(r) is np.ndarray and r.dtype == np.float64 and r.shape == shape


@pytest.mark.parametrize(
    "arg", [range(3), {1.0}, (v for v in [1.0]), "1.0", None, 1j, b"1", {1: 2}]
)
def test_other_objects_take_the_scalar_path_and_are_rejected(arg):
    with pytest.raises(TypeError):
        t.log_fwd(arg)


def test_int_too_large_for_a_double():
    with pytest.raises(OverflowError):
        t.log_fwd(10**400)
    with pytest.raises(OverflowError):
        t.lower_fwd(1.0, 10**400)


def test_numpy_conversion_errors_reach_the_caller():
    with pytest.raises(ValueError):
        t.log_fwd(["a", 1.0])
    with pytest.raises(ValueError):
        t.log_fwd([[1.0], [1.0, 2.0]])


def test_bounds_are_converted_first_low_then_high():
    # A bad low fails before an unconvertible array is looked at...
    with pytest.raises(TypeError, match="str"):
        t.aff_logit_fwd(["not a number"], "low", None)
    # ...and before high.
    with pytest.raises(TypeError, match="NoneType"):
        t.aff_logit_fwd(0.5, None, "high")
    with pytest.raises(TypeError, match="str"):
        t.aff_logit_fwd(0.5, 0.0, "high")


def test_read_only_input():
    ro = np.array([1.0, 2.0])
    ro.flags.writeable = False
    with pytest.raises(ValueError):
        t.log_fwd(ro)
    for other in (np.array([1, 2]), np.asfortranarray(np.ones((2, 2))), np.arange(1.0, 5.0)[::2]):
        other.flags.writeable = False
        # The array form uses vector logarithms: equal to NumPy's within the last bits.
        np.testing.assert_array_max_ulp(
            t.log_fwd(other), np.log(np.asarray(other, dtype=float)), maxulp=2
        )


def test_out_of_domain_values_are_not_errors():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert math.isnan(t.log_fwd(-1.0))
        np.testing.assert_array_equal(t.lower_fwd([1.0, 2.0], 1.0), [-np.inf, 0.0])


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: t.log_fwd(), "log_fwd() takes exactly 1 positional argument (0 given)"),
        (lambda: t.log_fwd(1.0, 2.0), "log_fwd() takes exactly 1 positional argument (2 given)"),
        (
            lambda: t.aff_logit_fwd(1.0, 0.0),
            "aff_logit_fwd() takes exactly 3 positional arguments (2 given)",
        ),
        (
            lambda: t.aff_logit_fwd(1.0, 0.0, 1.0, 2.0),
            "aff_logit_fwd() takes exactly 3 positional arguments (4 given)",
        ),
        (
            lambda: t.aff_logit_fwd(x=1.0, low=0.0),
            "aff_logit_fwd() takes exactly 3 positional arguments (2 given)",
        ),
        (
            lambda: t.aff_logit_fwd(1.0, high=0.0),
            "aff_logit_fwd() takes exactly 3 positional arguments (1 given)",
        ),
        (
            lambda: t.aff_probit_inv(low=0.0, high=1.0),
            "aff_probit_inv() takes exactly 3 positional arguments (0 given)",
        ),
        (
            lambda: t.lower_fwd(low=1.0),
            "lower_fwd() takes exactly 2 positional arguments (0 given)",
        ),
        (
            lambda: t.upper_grad_inv(),
            "upper_grad_inv() takes exactly 1 positional argument (0 given)",
        ),
        (lambda: t.log_fwd(z=1.0), "log_fwd() got an unexpected keyword argument 'z'"),
        (
            lambda: t.lower_grad_inv(1.0, low=1.0),
            "lower_grad_inv() got an unexpected keyword argument 'low'",
        ),
        (lambda: t.log_fwd(1.0, x=2.0), "log_fwd() got multiple values for keyword argument 'x'"),
        (
            lambda: t.aff_logit_inv(1.0, 0.0, 2.0, low=0.0),
            "aff_logit_inv() got multiple values for keyword argument 'low'",
        ),
        (
            lambda: t.aff_logit_inv(1.0, 0.0, low=0.0),
            "aff_logit_inv() got multiple values for keyword argument 'low'",
        ),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("family,op", FUNCTIONS)
def test_every_parameter_by_keyword(family, op):
    main = "x" if op.endswith("fwd") else "y"
    bounds = call_bounds(family, op)
    kwargs = {PY_BOUND[name]: v for name, v in zip(transform_bounds(family, op), bounds)}
    fn = getattr(t, f"{family}_{op}")
    v = grid(family, op)[2]
    assert fn(**{main: v}, **kwargs) == fn(v, *bounds)


@pytest.mark.threads
def test_calls_from_threads_give_the_serial_results():
    rng = np.random.default_rng(3)
    inputs = [rng.uniform(0.0, 1.0, 200_000) for _ in range(4)]
    serial = [t.probit_fwd(a) for a in inputs] + [
        t.aff_logit_ldet_abs_jac_fwd(a, -1.0, 2.0) for a in inputs
    ]
    serial_scalars = [t.probit_fwd(float(a[0])) for a in inputs]
    results = [None] * 8
    scalars = [None] * 4

    def work(i):
        for _ in range(3):
            results[i] = t.probit_fwd(inputs[i])
            results[i + 4] = t.aff_logit_ldet_abs_jac_fwd(inputs[i], -1.0, 2.0)
            scalars[i] = t.probit_fwd(float(inputs[i][0]))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for got, want in zip(results, serial):
        np.testing.assert_array_equal(got, want)
    assert scalars == serial_scalars


@pytest.mark.threads
def test_lock_is_released_during_the_kernel():
    # With a huge switch interval the worker keeps the lock until it gives it
    # up itself, so the main thread can run while the worker's kernel is still
    # going only if the call released the lock around it.
    big = np.random.default_rng(1).uniform(0.0, 1.0, 4_000_000)
    started, done = threading.Event(), []

    def work():
        started.set()
        t.probit_ldet_abs_jac_fwd(big)
        done.append(True)

    old = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    try:
        worker = threading.Thread(target=work)
        worker.start()
        started.wait()
        spins = 0
        while not done and spins < 1000:
            spins += 1
        ran_during_kernel = not done
        worker.join()
    finally:
        sys.setswitchinterval(old)
    assert ran_during_kernel
