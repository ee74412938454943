"""The one-call native L-BFGS-B driver `vlm_lbfgsb`, through ctypes with
Python objectives."""

import ctypes
import importlib
import math
import textwrap

import numpy as np
import pytest

import native

MODULE = "Velmora._ckernels.optim._optim"
CONVERGENCE, STOP, ERROR, ABNORMAL, UNBOUNDED, NO_GRADIENT = 4, 5, 7, 8, -2, -3
MESSAGES = {
    UNBOUNDED: b"ABNORMAL: objective is -inf (unbounded below)",
    NO_GRADIENT: b"ABNORMAL: gradient not formed at x (a value was not finite or the difference step "
    b"did not move x)",
    CONVERGENCE: b"CONVERGENCE",
    STOP: b"STOP: iteration or evaluation limit reached",
    ERROR: b"ERROR: invalid input",
    ABNORMAL: b"ABNORMAL: line search failed",
    -1: b"ERROR: workspace allocation failed",
}


@pytest.fixture(scope="module")
def lib():
    return native.load(importlib.import_module(MODULE))


class Outcome:
    def __init__(self, status, x, result, calls):
        self.status, self.x, self.calls = status, x, calls
        self.fun, self.nfev, self.nit = result.fun, result.nfev, result.nit
        self.success, self.message = result.success, result.message


def minimize(
    lib,
    fun,
    x0,
    lo=None,
    hi=None,
    nbd=None,
    m=10,
    maxiter=15000,
    maxfun=15000,
    maxls=20,
    factr=1e7,
    pgtol=1e-5,
    fd_step=0.0,
    n=None,
):
    """Runs vlm_lbfgsb; every objective call is recorded as a copy of x."""
    x = np.array(x0, float)
    n = len(x) if n is None else n
    calls = []

    @native.vlm_objective_fn
    def objective(xp, ctx):
        v = np.ctypeslib.as_array(xp, shape=(len(x),)).copy()
        calls.append(v)
        return float(fun(v))

    def opt_ptr(a, dtype, ctype=native.f64):
        return None if a is None else native.ptr(np.ascontiguousarray(a, dtype), ctype)

    keep = [
        None if a is None else np.ascontiguousarray(a, t)
        for a, t in ((lo, float), (hi, float), (nbd, np.int64))
    ]
    opt = native.vlm_lbfgsb_options(m, maxiter, maxfun, maxls, factr, pgtol, fd_step)
    res = native.vlm_lbfgsb_result()
    status = lib.vlm_lbfgsb(
        objective,
        None,
        n,
        native.ptr(x) if len(x) else None,
        None if keep[0] is None else native.ptr(keep[0]),
        None if keep[1] is None else native.ptr(keep[1]),
        None if keep[2] is None else native.ptr(keep[2], native.i64),
        ctypes.byref(opt),
        ctypes.byref(res),
    )
    out = Outcome(status, x, res, calls)
    assert res.status == status
    assert res.message == MESSAGES.get(status, b"UNKNOWN")
    assert res.success == (status == CONVERGENCE)
    return out


def rosenbrock(x):
    return float(np.sum(100.0 * (x[1:] - x[:-1] ** 2) ** 2 + (1.0 - x[:-1]) ** 2))


def rotated_quadratic(n, cond, seed):
    rng = np.random.default_rng(seed)
    q, _ = np.linalg.qr(rng.standard_normal((n, n)))
    A = q @ np.diag(np.geomspace(1.0, cond, n)) @ q.T
    xstar = rng.uniform(-1, 1, n)
    return A, xstar, (lambda x: 0.5 * (x - xstar) @ A @ (x - xstar))


# --- convergence ----------------------------------------------------------------


@pytest.mark.parametrize("x0", [[-1.2, 1.0], [3.0, 3.0, 3.0, 3.0, 3.0], [0.5] * 8])
def test_rosenbrock(lib, x0):
    r = minimize(lib, rosenbrock, x0)
    assert r.status == CONVERGENCE
    np.testing.assert_allclose(r.x, 1.0, atol=1e-4)
    assert r.fun == rosenbrock(r.x) and r.fun < 1e-8


@pytest.mark.parametrize("cond", [1.0, 1e2, 1e4, 1e6])
def test_quadratic_condition_numbers(lib, cond):
    A, xstar, f = rotated_quadratic(5, cond, 7)
    r = minimize(lib, f, np.zeros(5), factr=10.0, pgtol=1e-8)
    assert r.status == CONVERGENCE
    # Forward differences bias the gradient by about A_ii h / 2 (h ~ 1.5e-8),
    # which moves the attainable point by up to cond * h / 2.
    assert np.abs(r.x - xstar).max() <= 1e-6 + 1e-8 * cond
    assert r.fun <= 1e-14 + 1e-12 * cond


def test_rosenbrock_with_an_active_bound(lib):
    # x0 <= 0.5 binds; on the bound the best x1 is 0.25.
    r = minimize(lib, rosenbrock, [-1.2, 1.0], hi=[0.5, 0.0], nbd=[3, 0])
    assert r.status == CONVERGENCE
    np.testing.assert_allclose(r.x, [0.5, 0.25], atol=1e-5)
    assert r.x[0] <= 0.5


def test_null_lower_bounds_mean_zero(lib):
    r = minimize(lib, lambda x: float(np.sum((x + 2.0) ** 2)), [1.0, 1.0], nbd=[1, 1])
    assert r.status == CONVERGENCE
    np.testing.assert_array_equal(r.x, [0.0, 0.0])


def test_start_outside_the_box_is_projected(lib):
    r = minimize(
        lib, lambda x: float(np.sum(x**2)), [5.0, -5.0], lo=[1.0, -3.0], hi=[2.0, -2.0], nbd=[2, 2]
    )
    np.testing.assert_array_equal(r.calls[0], [2.0, -3.0])
    np.testing.assert_array_equal(r.x, [1.0, -2.0])


# --- counts and limits ----------------------------------------------------------------


def split_requests(calls, n):
    """Groups recorded calls into requests: a base point followed by n
    points that differ from it in exactly one coordinate, i in order."""
    requests, k = [], 0
    while k < len(calls):
        base = calls[k]
        group = [base]
        k += 1
        for i in range(n):
            if k < len(calls):
                diff = np.nonzero(calls[k] != base)[0]
                if list(diff) == [i]:
                    group.append(calls[k])
                    k += 1
                    continue
            break
        requests.append(group)
    return requests


@pytest.mark.parametrize("x0", [[-1.2, 1.0], [0.3, 0.1, 2.0]])
def test_each_request_costs_one_plus_n(lib, x0):
    r = minimize(lib, rosenbrock, x0)
    n = len(x0)
    assert r.nfev == len(r.calls)
    requests = split_requests(r.calls, n)
    assert all(len(g) == n + 1 for g in requests)
    assert r.nfev == len(requests) * (n + 1)


def test_relative_and_absolute_steps(lib):
    x0 = [3.0, -0.25]
    r = minimize(lib, rosenbrock, x0, maxiter=1)
    assert r.calls[1][0] - 3.0 == 3.0 * 2.0**-26
    assert r.calls[2][1] == -0.25 + 2.0**-26  # max(|x|, 1) = 1
    np.testing.assert_array_equal(r.calls[1][1:], [-0.25])
    r = minimize(lib, rosenbrock, x0, maxiter=1, fd_step=1e-3)
    assert r.calls[1][0] == 3.0 + 1e-3 and r.calls[2][1] == -0.25 + 1e-3
    r = minimize(lib, rosenbrock, x0, maxiter=1, fd_step=math.nan)  # NaN selects the relative step
    assert r.calls[1][0] - 3.0 == 3.0 * 2.0**-26


def test_forward_difference_gradient_drives_the_first_trial(lib):
    # Unbounded first trial: x0 - g/|g| with g the forward-difference gradient.
    f = lambda x: float(x[0] ** 2 + 3.0 * x[1] ** 2)
    x0 = np.array([1.0, 2.0])
    r = minimize(lib, f, x0, maxiter=1)
    h = 2.0**-26 * np.maximum(np.abs(x0), 1.0)
    g = np.array([(f(x0 + h[i] * np.eye(2)[i]) - f(x0)) / h[i] for i in range(2)])
    np.testing.assert_allclose(r.calls[3], x0 - g / np.linalg.norm(g), rtol=1e-15)


def test_maxiter_one(lib):
    r = minimize(lib, rosenbrock, [-1.2, 1.0], maxiter=1)
    assert (r.status, r.nit, r.success) == (STOP, 1, 0)
    assert r.fun == rosenbrock(r.x) < rosenbrock(np.array([-1.2, 1.0]))


def test_maxiter_one_stops_even_at_the_solution(lib):
    # The first accepted iterate is already optimal, but the limit is applied
    # before the convergence test runs.
    # f = x^2 from 1: the first trial (unit distance along -g) is 0, or one
    # rounding off it where x + stp * d is fused into one multiply-add.
    r = minimize(lib, lambda x: float(x[0] ** 2), [1.0], maxiter=1)
    assert abs(r.calls[2][0]) <= 2.0**-52 and r.x[0] == r.calls[2][0]
    assert (r.status, r.nit) == (STOP, 1)


def test_maxfun_one(lib):
    # A sphere whose first trial is accepted: the limit is first seen at the
    # first new iterate, after two requests of 1 + n evaluations.
    n = 3
    r = minimize(lib, lambda x: float(np.sum(x**2)), [1.0, 2.0, 2.0], maxfun=1)
    assert (r.status, r.nit, r.nfev) == (STOP, 1, 2 * (n + 1))


@pytest.mark.parametrize("maxiter,maxfun", [(0, 0), (-1, -5)])
def test_no_limits(lib, maxiter, maxfun):
    r = minimize(lib, rosenbrock, [-1.2, 1.0], maxiter=maxiter, maxfun=maxfun)
    assert r.status == CONVERGENCE


def test_maxls_zero_is_abnormal_at_start(lib):
    x0 = [-1.2, 1.0]
    r = minimize(lib, rosenbrock, x0, maxls=0)
    assert (r.status, r.nit, r.nfev) == (ABNORMAL, 0, 3)
    np.testing.assert_array_equal(r.x, x0)
    assert r.fun == rosenbrock(np.array(x0))


def test_output_record_is_optional(lib):
    f = native.vlm_objective_fn(lambda xp, ctx: xp[0] ** 2)
    x = np.array([2.0])
    opt = native.vlm_lbfgsb_options(10, 100, 100, 20, 1e7, 1e-5, 0.0)
    assert lib.vlm_lbfgsb(f, None, 1, native.ptr(x), None, None, None, ctypes.byref(opt), None) == 4
    assert abs(x[0]) < 1e-4


# --- non-finite values ----------------------------------------------------------------


@pytest.mark.parametrize("value", [math.inf, -math.inf, math.nan])
def test_nonfinite_start_is_an_error_not_convergence(lib, value):
    # A zero gradient at a non-finite start would pass the convergence test;
    # the run reports invalid input after the one evaluation instead.
    r = minimize(lib, lambda x: value, [1.0, 2.0])
    assert (r.status, r.nit, r.nfev, r.success) == (ERROR, 0, 1, 0)
    assert len(r.calls) == 1
    np.testing.assert_array_equal(r.fun, value)
    np.testing.assert_array_equal(r.x, [1.0, 2.0])


def test_nonfinite_trial_costs_one_evaluation(lib):
    # Infinite beyond x = -0.5: the first trial from 3 lands at 2 (unit step),
    # later trials may cross; every non-finite request costs one evaluation.
    f = lambda x: math.inf if x[0] < -0.5 else float((x[0] + 0.4) ** 2)
    r = minimize(lib, f, [3.0], pgtol=1e-12)
    groups = split_requests(r.calls, 1)
    for g in groups:
        assert len(g) == (2 if math.isfinite(f(g[0])) else 1)
    assert r.nfev == len(r.calls)
    assert r.status in (CONVERGENCE, ABNORMAL)
    assert r.x[0] >= -0.5 and math.isfinite(r.fun)


def test_a_nan_first_trial_backtracks_to_the_interior_minimum(lib):
    # NaN for x < 0, minimum at 0.5: the first trial from 0.9 lands below 0.
    # Returning to the start would be a null step that passes the ftol test.
    f = lambda x: math.sqrt(x[0]) * 0.0 + (x[0] - 0.5) ** 2 if x[0] >= 0.0 else math.nan
    r = minimize(lib, f, [0.9])
    assert (r.status, r.success) == (CONVERGENCE, 1)
    assert r.x[0] == pytest.approx(0.5, abs=1e-6)


def test_a_minimum_beyond_a_nan_region_is_abnormal_not_convergence(lib):
    # Rosenbrock, NaN for x0 > 0.8: the minimum (1, 1) is out of reach, the
    # runs ends on a failed line search near the wall (as the peer does),
    # never on the ftol test far from it.
    f = lambda x: math.nan if x[0] > 0.8 else rosenbrock(x)
    r = minimize(lib, f, [-1.2, 1.0])
    assert (r.status, r.success) == (ABNORMAL, 0)
    assert 0.7 < r.x[0] <= 0.8 and math.isfinite(r.fun)


def test_nan_in_one_perturbation_zeroes_that_component(lib):
    # NaN whenever x1 is moved up from its start: g1 = 0, so the first trial
    # changes x0 only.
    f = lambda x: math.nan if x[1] > 2.0 else float(x[0] ** 2 + x[1] ** 2)
    r = minimize(lib, f, [1.0, 2.0], maxiter=1)
    assert r.calls[3][1] == 2.0 and r.calls[3][0] < 1.0


def test_minus_infinity_ends_the_run_where_it_is_met(lib):
    # Falling without bound, -inf below x = -5: the run stops at the first
    # point valued -inf instead of reading the zero gradient there as
    # convergence.
    f = lambda x: -math.inf if x[0] < -5.0 else float(x[0])
    r = minimize(lib, f, [0.0])
    assert (r.status, r.success, r.fun) == (UNBOUNDED, 0, -math.inf)
    assert r.x[0] < -5.0 and r.nfev == len(r.calls)
    np.testing.assert_array_equal(r.calls[-1], r.x)


@pytest.mark.parametrize("bad", [math.inf, math.nan, -math.inf])
def test_a_probe_that_is_not_finite_never_converges(lib, bad):
    # The minimum lies at a wall: any probe beyond x = 1 is not finite, so the
    # forward difference there cannot be formed.
    f = lambda x: bad if x[0] > 1.0 else float((x[0] - 2.0) ** 2)
    r = minimize(lib, f, [0.5], lo=[0.0], hi=[1.0], nbd=[2])
    assert r.status == NO_GRADIENT and r.x[0] == 1.0 and r.fun == 1.0


def test_a_step_lost_in_rounding_never_converges(lib):
    # The absolute step moves the start, but not the far point the run
    # reaches: the difference quotient there is a meaningless zero.
    f = lambda x: float(-1e20 * math.tanh(x[0] / 1e16))
    r = minimize(lib, f, [0.0], fd_step=1.0, maxiter=100)
    assert r.status != CONVERGENCE


@pytest.mark.parametrize(
    "kw",
    [
        dict(lo=[math.nan, 0.0], nbd=[1, 0]),
        dict(hi=[0.0, math.nan], nbd=[0, 3]),
        dict(lo=[math.nan, 0.0], hi=[1.0, 0.0], nbd=[2, 0]),
        dict(fd_step=5e-324),
        dict(fd_step=math.inf),
        dict(fd_step=1e-17, lo=[1.0, -5.0], nbd=[1, 0]),
    ],
)
def test_invalid_bounds_and_steps_make_no_evaluation(lib, kw):
    x0 = [0.5, 0.5]
    r = minimize(lib, rosenbrock, x0, **kw)
    assert (r.status, r.nfev, r.nit, r.fun) == (ERROR, 0, 0, 0.0)
    assert r.calls == []
    np.testing.assert_array_equal(r.x, x0)


@pytest.mark.parametrize(
    "kw",
    [
        dict(lo=[0.0, math.nan], nbd=[1, 0]),
        dict(hi=[math.nan, 9.0], nbd=[1, 3]),
        dict(fd_step=1e-17, x0=[0.0, math.inf]),
    ],
)
def test_unused_bound_sides_and_non_finite_coordinates_pass_the_checks(lib, kw):
    # A NaN on a side the code ignores, and a step that moves every finite
    # coordinate of the projected start, are valid input.
    x0 = kw.pop("x0", [0.5, 0.5])
    r = minimize(lib, lambda x: float(x[0] ** 2), x0, **kw)
    assert r.status != ERROR and r.nfev > 0


# --- invalid input --------------------------------------------------------------------


def test_empty_problem(lib):
    r = minimize(lib, rosenbrock, [])
    assert (r.status, r.nfev, r.nit, r.fun) == (ERROR, 0, 0, 0.0)
    assert r.calls == []


@pytest.mark.parametrize(
    "kw",
    [
        dict(n=-1),
        dict(n=-(2**62)),
        dict(m=0),
        dict(m=-3),
        dict(factr=-1.0),
        dict(nbd=[0, 4]),
        dict(nbd=[-1, 0]),
        dict(nbd=[2, 0], lo=[1.0, 0.0], hi=[0.0, 0.0]),
    ],
)
def test_invalid_input_makes_no_evaluation(lib, kw):
    x0 = [0.5, 0.5]
    r = minimize(lib, rosenbrock, x0, **kw)
    assert (r.status, r.nfev, r.nit, r.fun) == (ERROR, 0, 0, 0.0)
    assert r.calls == []
    np.testing.assert_array_equal(r.x, x0)


HOSTILE = textwrap.dedent("""
    import ctypes, importlib, math, sys
    import numpy as np
    import native
    lib = native.load(importlib.import_module(sys.argv[1]))
    f = native.vlm_objective_fn(lambda xp, ctx: 1.0)
    x = np.zeros(4)
    for n, m in [(1, 2**62), (1, 2**31), (2**61, 10), (2**62, 1), (2**40, 10), (3, 2**40),
                 (0, 2**62), (2**63 - 1, 2**63 - 1)]:
        opt = native.vlm_lbfgsb_options(m, 10, 10, 20, 1e7, 1e-5, 0.0)
        res = native.vlm_lbfgsb_result()
        st = lib.vlm_lbfgsb(f, None, n, native.ptr(x), None, None, None, ctypes.byref(opt),
                            ctypes.byref(res))
        assert (st, res.status, res.nfev, res.nit, res.success) == (-1, -1, 0, 0, 0), (n, m, st)
        assert math.isnan(res.fun) and res.message == b"ERROR: workspace allocation failed"
    print("ok", bool(not x.any()))
""")


def test_hostile_sizes_fail_allocation_cleanly():
    run = native.run_python(HOSTILE, MODULE, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["ok", "True"]


def test_missing_pointers_are_invalid_input(lib):
    opt = native.vlm_lbfgsb_options(10, 100, 100, 20, 1e7, 1e-5, 0.0)
    res = native.vlm_lbfgsb_result()
    x = np.array([1.0, 2.0])
    f = native.vlm_objective_fn(lambda xp, ctx: 0.0)
    assert (
        lib.vlm_lbfgsb(
            native.vlm_objective_fn(),
            None,
            2,
            native.ptr(x),
            None,
            None,
            None,
            ctypes.byref(opt),
            ctypes.byref(res),
        )
        == ERROR
    )
    assert res.message == MESSAGES[ERROR] and res.nfev == 0
    assert lib.vlm_lbfgsb(f, None, 2, native.ptr(x), None, None, None, None, None) == ERROR
    assert lib.vlm_lbfgsb(f, None, 2, None, None, None, None, ctypes.byref(opt), None) == ERROR
    np.testing.assert_array_equal(x, [1.0, 2.0])


@pytest.mark.threads
def test_context_is_passed_through_and_runs_are_independent(lib):
    # Two runs on two threads, each objective reading its own target through
    # the context pointer: no state is shared between calls.
    import threading

    targets = [np.array([1.0, -2.0, 3.0]), np.array([-4.0, 0.5, 2.0])]
    results = [None, None]

    @native.vlm_objective_fn
    def objective(xp, ctx):
        c = targets[ctx - 1]
        return float(sum((xp[i] - c[i]) ** 2 for i in range(3)))

    def work(k):
        x = np.zeros(3)
        opt = native.vlm_lbfgsb_options(5, 0, 0, 20, 1e7, 1e-8, 0.0)
        res = native.vlm_lbfgsb_result()
        lib.vlm_lbfgsb(
            objective,
            k + 1,
            3,
            native.ptr(x),
            None,
            None,
            None,
            ctypes.byref(opt),
            ctypes.byref(res),
        )
        results[k] = (res.status, x)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k in range(2):
        assert results[k][0] == CONVERGENCE
        np.testing.assert_allclose(results[k][1], targets[k], atol=1e-5)
