"""ParameterMap: the transform chosen per element, round trips, the
log-Jacobian and its gradient against mpmath's differentiation of
independent high-precision maps, the pullback against finite differences of
a composed function, and the refusal of bad bounds and bad vectors."""

import copy
import math
import pickle

import mpmath as mp
import numpy as np
import pytest

import Velmora.transforms as vt
from Velmora.transforms import ParameterMap

INF = math.inf
# Free, lower, upper and interval elements, interleaved so that the native
# side has to gather and scatter.
MIXED = [
    (None, None),
    (0.0, None),
    (None, 1.0),
    (0.0, 1.0),
    (-3.0, None),
    (2.0, 6.0),
    (None, None),
    (None, -5.0),
    (-1e-3, 1e-3),
    (-INF, INF),
]
FAMILIES = (
    "identity",
    "lower",
    "upper",
    "aff_logit",
    "lower",
    "aff_logit",
    "identity",
    "upper",
    "aff_logit",
    "identity",
)
MP_INV = {  # x(y) at high precision, from the families' definitions
    "identity": lambda y, lo, hi: y,
    "lower": lambda y, lo, hi: lo + mp.exp(y),
    "upper": lambda y, lo, hi: hi - mp.exp(y),
    "aff_logit": lambda y, lo, hi: lo + (hi - lo) / (1 + mp.exp(-y)),
    "aff_probit": lambda y, lo, hi: lo + (hi - lo) * mp.ncdf(y),
}


def random_y(n, seed):
    return np.random.default_rng(seed).normal(0.0, 2.0, n)


@pytest.fixture(params=["logit", "probit"])
def kind(request):
    return request.param


@pytest.fixture
def mixed(kind):
    return ParameterMap(MIXED, kind=kind)


# --- what the map is -------------------------------------------------------------------


def test_families_follow_the_bounds(mixed, kind):
    interval = "aff_" + kind
    assert mixed.families == tuple(interval if f == "aff_logit" else f for f in FAMILIES)
    assert mixed.n == len(mixed) == len(MIXED) and mixed.kind == kind
    assert np.array_equal(mixed.lower, [-INF, 0, -INF, 0, -3, 2, -INF, -INF, -1e-3, -INF])
    assert np.array_equal(mixed.upper, [INF, INF, 1, 1, INF, 6, INF, -5, 1e-3, INF])
    assert mixed.bounds[9] == (None, None) and mixed.bounds[5] == (2.0, 6.0)
    with pytest.raises(ValueError):
        mixed.lower[0] = 1.0  # read-only: the map's own bounds


class Bounds:
    def __init__(self, lb, ub):
        self.lb, self.ub = lb, ub


@pytest.mark.parametrize(
    "bounds",
    [
        [(0, 1), (None, 2), (3, None)],
        ((0, 1), [None, 2], np.array([3.0, INF])),
        np.array([[0, 1], [-INF, 2], [3, INF]]),
        Bounds([0, -INF, 3], [1, 2, INF]),
        Bounds(np.array([0, -INF, 3]), (1, 2, None)),
    ],
)
def test_bounds_as_pairs_or_lb_ub(bounds):
    pm = ParameterMap(bounds)
    assert pm.families == ("aff_logit", "upper", "lower")
    assert pm.bounds == [(0.0, 1.0), (None, 2.0), (3.0, None)]


def test_scipy_bounds():
    spo = pytest.importorskip("scipy.optimize")
    assert ParameterMap(spo.Bounds([0, -INF], [1, INF])).families == ("aff_logit", "identity")


def test_a_number_for_every_element():
    assert ParameterMap(Bounds(0.0, [1.0, INF, 2.0])).families == (
        "aff_logit",
        "lower",
        "aff_logit",
    )
    assert ParameterMap(Bounds(None, [1.0, 2.0])).families == ("upper", "upper")


def test_repr_pickle_and_copy(mixed):
    small = ParameterMap([(0.0, None), (None, None)], kind="probit")
    assert repr(small) == "ParameterMap([(0.0, None), (None, None)], kind='probit')"
    assert eval(repr(small), {"ParameterMap": ParameterMap}).families == small.families
    assert repr(mixed).startswith("<ParameterMap of 10 elements") and "3 identity, 2 lower" in repr(
        mixed
    )
    y = random_y(10, 3)
    for clone in (pickle.loads(pickle.dumps(mixed)), copy.deepcopy(mixed), copy.copy(mixed)):
        assert clone.families == mixed.families and clone.kind == mixed.kind
        assert np.array_equal(clone.to_constrained(y), mixed.to_constrained(y))


def test_empty_map():
    pm = ParameterMap([])
    assert pm.n == 0 and pm.to_constrained([]).shape == (0,)
    assert pm.log_abs_det_jacobian(np.empty(0)) == 0.0
    assert pm.log_abs_det_jacobian(np.empty((3, 0))).tolist() == [0.0, 0.0, 0.0]


# --- values ----------------------------------------------------------------------------


def test_each_element_is_its_family_ufunc(mixed, kind):
    y = random_y(10, 1)
    x = mixed.to_constrained(y)
    lo, hi = mixed.lower, mixed.upper
    fam = {
        "identity": lambda v, i: v,
        "lower": lambda v, i: vt.lower_inv(v, lo[i]),
        "upper": lambda v, i: vt.upper_inv(v, hi[i]),
        "aff_" + kind: lambda v, i: getattr(vt, f"aff_{kind}_inv")(v, lo[i], hi[i]),
    }
    for i, f in enumerate(mixed.families):
        assert x[i] == pytest.approx(fam[f](y[i], i), rel=4e-16, abs=0)


@pytest.mark.parametrize("n, seed", [(1, 0), (10, 1), (257, 2), (3000, 3)])
def test_round_trips_on_random_maps(kind, n, seed):
    rng = np.random.default_rng(seed)
    base = rng.normal(0, 10, n)
    lo = np.where(rng.random(n) < 0.5, base, -INF)
    hi = np.where(rng.random(n) < 0.5, base + rng.uniform(0.1, 20, n), INF)
    pm = ParameterMap(list(zip(lo, hi)), kind=kind)
    y = rng.normal(0, 1.5, n)
    x = pm.to_constrained(y)
    assert np.all((x > lo) & (x < hi))
    assert np.allclose(pm.to_unconstrained(x), y, rtol=1e-9, atol=1e-9)
    assert np.allclose(pm.to_constrained(pm.to_unconstrained(x)), x, rtol=1e-12, atol=1e-12)
    # Rows of vectors: each row as on its own.
    rows = np.stack([y, -y, 0.5 * y])
    assert np.array_equal(pm.to_constrained(rows)[1], pm.to_constrained(-y))
    assert np.array_equal(pm.log_abs_det_jacobian(rows), [pm.log_abs_det_jacobian(r) for r in rows])


def test_in_order_maps_take_the_same_values_as_gathered_ones(kind):
    # Elements already grouped by family skip the gather; both give the same values.
    bounds = [(None, None)] * 3 + [(0.0, None)] * 3 + [(None, 1.0)] * 3 + [(0.0, 2.0)] * 3
    y = random_y(12, 4)
    perm = np.random.default_rng(5).permutation(12)
    grouped = ParameterMap(bounds, kind=kind)
    shuffled = ParameterMap([bounds[i] for i in perm], kind=kind)
    # (Short segments mix vector and scalar code, hence a few ulps.)
    x = grouped.to_constrained(y)
    assert np.allclose(shuffled.to_constrained(y[perm]), x[perm], rtol=1e-15, atol=0)
    assert np.allclose(
        shuffled.to_unconstrained(x[perm]), grouped.to_unconstrained(x)[perm], rtol=1e-14, atol=0
    )
    for method in ("constrained_grad", "log_abs_det_jacobian_grad"):
        assert np.allclose(
            getattr(shuffled, method)(y[perm]),
            getattr(grouped, method)(y)[perm],
            rtol=1e-15,
            atol=0,
        )
    assert shuffled.log_abs_det_jacobian(y[perm]) == pytest.approx(
        grouped.log_abs_det_jacobian(y), rel=1e-15
    )


def test_log_jacobian_and_gradients_against_mpmath(mixed):
    mp.mp.dps = 40
    y = random_y(10, 6)
    total, grads, second = mp.mpf(0), [], []
    for i, family in enumerate(mixed.families):
        lo, hi = (mp.mpf(float(v)) for v in (mixed.lower[i], mixed.upper[i]))
        f = lambda t, family=family, lo=lo, hi=hi: MP_INV[family](t, lo, hi)  # noqa: E731
        t = mp.mpf(float(y[i]))
        d1, d2 = mp.diff(f, t), mp.diff(f, t, 2)
        total += mp.log(abs(d1))
        grads.append(d1)
        second.append(d2 / d1)  # d/dy log|dx/dy|
    assert mixed.log_abs_det_jacobian(y) == pytest.approx(float(total), rel=1e-13, abs=1e-13)
    assert np.allclose(mixed.constrained_grad(y), [float(g) for g in grads], rtol=1e-13, atol=0)
    assert np.allclose(
        mixed.log_abs_det_jacobian_grad(y), [float(s) for s in second], rtol=1e-12, atol=1e-14
    )
    assert type(mixed.log_abs_det_jacobian(y)) is float


def test_pullback_against_finite_differences_of_a_composed_function(mixed):
    c = np.linspace(-2.0, 3.0, 10)

    def f(x):  # any smooth function of the constrained values
        return float(np.sum(c * np.sin(x)) + 0.5 * np.sum(x * x))

    def grad_f(x):
        return c * np.cos(x) + x

    y = random_y(10, 7)
    got = mixed.pullback(y, grad_f(mixed.to_constrained(y)))
    fd = np.empty(10)
    for i in range(10):
        h = 1e-6 * max(1.0, abs(y[i]))
        up, down = y.copy(), y.copy()
        up[i] += h
        down[i] -= h
        fd[i] = (f(mixed.to_constrained(up)) - f(mixed.to_constrained(down))) / (2 * h)
    assert np.allclose(got, fd, rtol=1e-6, atol=1e-7)


def test_pullback_of_a_jacobian_and_of_rows(mixed):
    y = random_y(10, 8)
    jac = np.random.default_rng(9).normal(size=(4, 10))
    dxdy = mixed.constrained_grad(y)
    assert np.array_equal(mixed.pullback(y, jac), jac * dxdy)
    ys = np.stack([y, 2 * y, -y, y / 3])
    assert np.array_equal(mixed.pullback(ys, jac), jac * mixed.constrained_grad(ys))
    assert mixed.pullback(y, np.empty((0, 10))).shape == (0, 10)
    with pytest.raises(ValueError, match="pullback"):
        mixed.pullback(ys[:2], jac)


def test_values_at_the_edges(kind):
    pm = ParameterMap([(0.0, None), (None, 1.0), (2.0, 6.0)], kind=kind)
    assert np.array_equal(pm.to_unconstrained([0.0, 1.0, 2.0]), [-INF, -INF, -INF])
    assert np.array_equal(pm.to_unconstrained([1.0, 0.0, 4.0]), [0.0, 0.0, 0.0])
    outside = pm.to_unconstrained(
        [-1.0, 2.0, 7.0]
    )  # the interval's element: whatever its ufunc gives
    assert np.isnan(outside[:2]).all()
    assert np.array_equal(outside[2], getattr(vt, f"aff_{kind}_fwd")(7.0, 2.0, 6.0), equal_nan=True)
    x = pm.to_constrained([-800.0, -800.0, 0.0])
    assert np.array_equal(x, [0.0, 1.0, 4.0])
    assert np.isnan(pm.to_constrained([np.nan] * 3)).all()


# --- bad input -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "bounds, index",
    [
        ([(0, 1), (np.nan, 1)], 1),
        ([(0, 1), (0, np.nan)], 1),
        ([(1.0, 1.0)], 0),
        ([(0, 1), (2, 1)], 1),
        ([(None, None), (INF, None)], 1),
        ([(None, -INF)], 0),
        ([(0, 1), (0,)], 1),
        ([(0, 1, 2)], 0),
        ([(0, 1), "ab"], 1),
        ([(0, 1), 3.0], 1),
        ([None], 0),
        ([(0, "1")], 0),
        ([(object(), 1)], 0),
        ([(-1e308, 1e308)], 0),
        (Bounds([0, 1, 2], [1, 2]), 2),
        (Bounds([0], [1, 2]), 1),
        (Bounds([0, np.nan], [1, 2]), 1),
        (Bounds([0, 5], [1, 2]), 1),
    ],
)
def test_bad_bounds_name_the_element(bounds, index):
    with pytest.raises(ValueError, match=f"element {index}\\b"):
        ParameterMap(bounds)


@pytest.mark.parametrize(
    "bounds, kind",
    [
        ("ab", "logit"),
        (3.0, "logit"),
        (None, "logit"),
        (Bounds(0.0, 1.0), "logit"),
        (Bounds([[0.0]], [[1.0]]), "logit"),
        (Bounds(["a"], [1.0]), "logit"),
        ([(0, 1)], "tanh"),
        ([(0, 1)], None),
    ],
)
def test_bad_bounds_or_kind(bounds, kind):
    with pytest.raises(ValueError):
        ParameterMap(bounds, kind=kind)


METHODS = [
    "to_unconstrained",
    "to_constrained",
    "constrained_grad",
    "log_abs_det_jacobian",
    "log_abs_det_jacobian_grad",
]


@pytest.mark.parametrize("method", METHODS + ["pullback"])
@pytest.mark.parametrize(
    "value", [np.zeros(9), np.zeros(11), np.zeros((2, 9)), np.float64(0.0), [], np.zeros((10, 1))]
)
def test_a_vector_of_the_wrong_length_is_refused(mixed, method, value):
    args = (value, np.zeros(10)) if method == "pullback" else (value,)
    with pytest.raises(ValueError, match=method):
        getattr(mixed, method)(*args)
    if method == "pullback":
        with pytest.raises(ValueError, match=method):
            mixed.pullback(np.zeros(10), value)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(
    "value, error",
    [
        (np.zeros(10, complex), TypeError),
        (np.array([None] * 10), TypeError),
        ("0123456789", (TypeError, ValueError)),
        ([0.0] * 9 + ["x"], (TypeError, ValueError)),
    ],
)
def test_values_numpy_cannot_convert_safely_are_refused(mixed, method, value, error):
    with pytest.raises(error):
        getattr(mixed, method)(value)


def test_inputs_are_converted_and_never_written(mixed):
    y = random_y(10, 10)
    frozen = y.copy()
    frozen.flags.writeable = False
    want = mixed.to_constrained(y)
    for arg in (frozen, y.tolist(), tuple(y), np.repeat(y, 2)[::2], np.asfortranarray(y)):
        got = mixed.to_constrained(arg)
        assert got.dtype == np.float64 and got.flags.c_contiguous and np.array_equal(got, want)
    assert np.array_equal(frozen, y)
    assert mixed.to_constrained(np.arange(10)).dtype == np.float64
    y32 = y.astype(np.float32)
    assert np.array_equal(mixed.to_constrained(y32), mixed.to_constrained(y32.astype(np.float64)))


@pytest.mark.threads
def test_calls_from_many_threads_agree_with_one_thread(kind):
    import threading

    pm = ParameterMap(MIXED * 20, kind=kind)
    ys = [random_y(pm.n, seed) for seed in range(8)]
    want = [
        (pm.to_constrained(y), pm.log_abs_det_jacobian(y), vt.aff_logit_fwd(y, -1.0, y + 9.0))
        for y in ys
    ]
    errors, barrier = [], threading.Barrier(8)

    def work(k):
        barrier.wait()
        for _ in range(200):
            y = ys[k]
            got = (
                pm.to_constrained(y),
                pm.log_abs_det_jacobian(y),
                vt.aff_logit_fwd(y, -1.0, y + 9.0),
            )
            if not (
                np.array_equal(got[0], want[k][0])
                and got[1] == want[k][1]
                and np.array_equal(got[2], want[k][2], equal_nan=True)
            ):
                errors.append(k)
                return

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors


def test_docstring_examples():
    import doctest

    assert doctest.testmod(vt, optionflags=doctest.NORMALIZE_WHITESPACE).failed == 0
