"""Thread stress across the three modules: 8 threads each make the same 10^4
mixed calls (scalar and array transforms, the quantile, both minimizers, and
calls that raise) in their own order, and every result must be bit-identical
to the serial run's. A second set of tests shows that the native work runs
with the interpreter lock released: while one thread is inside a long kernel,
another thread keeps running Python code.
"""

import random
import sys
import threading
import time

import numpy as np
import pytest

from Velmora._ckernels.distributions import _distributions as D
from Velmora._ckernels.optim import _optim as O
from Velmora.transforms import ParameterMap

from hostile import TRANSFORMS, transform_params

THREADS = 8
CALLS = 10**4


def fingerprint(call):
    """The result's exact bits (or the exception's type and text)."""
    fn, args, kwargs = call
    try:
        r = fn(*args, **kwargs)
    except (TypeError, ValueError, OverflowError, IndexError) as exc:
        return type(exc).__name__, str(exc)
    if isinstance(r, dict):
        return r["x"].tobytes(), r["fun"].hex(), r["nfev"], r["nit"], r["status"], r["message"]
    if isinstance(r, np.ndarray):
        return r.dtype.str, r.shape, r.tobytes()
    return type(r).__name__, float(r).hex()


def mixed_calls(n, seed=8):
    rng = random.Random(seed)
    calls = []
    bounds_of = {"low": -1.5, "high": 4.0}
    for _ in range(n):
        kind = rng.random()
        if kind < 0.45:  # a transform on a number
            name, fn = rng.choice(TRANSFORMS)
            extra = [bounds_of[p] for p in transform_params(name)[1:]]
            calls.append((fn, [rng.uniform(-3, 5)] + extra, {}))
        elif kind < 0.75:  # a transform on an array
            name, fn = rng.choice(TRANSFORMS)
            extra = [bounds_of[p] for p in transform_params(name)[1:]]
            x = np.random.default_rng(rng.randrange(2**32)).uniform(-3, 5, rng.randrange(1, 3000))
            calls.append((fn, [x] + extra, {}))
        elif kind < 0.85:
            fn = rng.choice([D.ndtri_as241, D.erfinv_from_as241])
            calls.append((fn, [rng.random()], {}))
        elif kind < 0.93:
            p = np.random.default_rng(rng.randrange(2**32)).random(rng.randrange(1, 3000))
            calls.append((D.ndtri_as241_into, [p.reshape(-1, 1) if rng.random() < 0.3 else p], {}))
        elif kind < 0.97:  # a short minimization
            fn, opts = rng.choice(
                [(O.run_neldermead, {"maxiter": 60}), (O.run_lbfgsb, {"maxiter": 8})]
            )
            n_var = rng.randrange(1, 5)
            x0 = np.array([rng.uniform(-2, 2) for _ in range(n_var)])
            objective = rng.choice(["rosenbrock", "double_well", "quad", "rosen_halfplane"])
            params = np.array(
                [rng.uniform(0.5, 50) for _ in range(n_var)]
                + [rng.uniform(-1, 1) for _ in range(n_var)]
            )
            bounds = [(-1.0, None)] * n_var if rng.random() < 0.5 else None
            calls.append((fn, [objective, x0], {"bounds": bounds, "params": params, **opts}))
        else:  # a call that raises
            calls.append(
                rng.choice(
                    [
                        (D.ndtri_as241, ["x"], {}),
                        (TRANSFORMS[0][1], [[1.0, "x"]], {}),
                        (O.run_lbfgsb, ["rosenbrock", [1.0]], {}),
                        (O.run_neldermead, ["nope", np.zeros(2)], {}),
                        (TRANSFORMS[5][1], [10**400], {}),
                    ]
                )
            )
    return calls


@pytest.mark.threads
def test_threads_give_the_serial_results_bit_for_bit():
    calls = mixed_calls(CALLS)
    serial = [fingerprint(c) for c in calls]
    mismatches = [0] * THREADS
    done = [0] * THREADS
    start = threading.Barrier(THREADS)

    def worker(t):
        order = list(range(CALLS))
        random.Random(t).shuffle(order)
        start.wait()
        for i in order:
            if fingerprint(calls[i]) != serial[i]:
                mismatches[t] += 1
            done[t] += 1

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert done == [CALLS] * THREADS
    assert mismatches == [0] * THREADS


def longest_stall_during(call):
    """Runs call() on a worker thread while this thread spins; returns (call
    seconds, longest gap between two of this thread's loop iterations during
    the call). A call that held the lock through its kernel would stall this
    thread for the kernel's whole duration."""
    bounds = {}

    def work():
        bounds["start"] = time.perf_counter()
        call()
        bounds["end"] = time.perf_counter()

    th = threading.Thread(target=work)
    stamps = []
    th.start()
    while th.is_alive():
        stamps.append(time.perf_counter())
    th.join()
    inside = [s for s in stamps if bounds["start"] <= s <= bounds["end"]]
    edges = [bounds["start"]] + inside + [bounds["end"]]
    return bounds["end"] - bounds["start"], max(b - a for a, b in zip(edges, edges[1:]))


PLAN = ParameterMap([(0, 1), (0, None), (None, 2), (None, None)])
PLAN_ROWS = np.random.default_rng(2).normal(size=(15 * 10**5, 4))
BIG = np.random.default_rng(1).uniform(0.01, 0.99, 6 * 10**6)
AFF_PROBIT_INV = dict(TRANSFORMS)["aff_probit_inv"]
LONG_CALLS = {  # each takes tens of milliseconds or more natively
    "transforms array": lambda: AFF_PROBIT_INV(BIG, -1.0, 2.0),
    "distributions array": lambda: D.ndtri_as241_into(BIG),
    "optim run": lambda: O.run_neldermead(
        "rosenbrock", np.full(60, -1.0), maxiter=6000, maxfun=6000
    ),
    "parameter map rows": lambda: PLAN.to_constrained(PLAN_ROWS),
    "parameter map pullback": lambda: PLAN.pullback(PLAN_ROWS, PLAN_ROWS),
}


@pytest.mark.skipif(
    not getattr(sys, "_is_gil_enabled", lambda: True)(),
    reason="without a global lock no call stalls the other threads",
)
def test_the_stall_measure_sees_a_held_lock():
    # Repeating bytes is one C call that keeps the lock: this thread stalls throughout.
    seconds, stall = longest_stall_during(lambda: b"x" * (2 * 10**8))
    assert stall > 0.9 * seconds


@pytest.mark.threads
@pytest.mark.parametrize("label", sorted(LONG_CALLS))
def test_native_work_runs_without_the_lock(label):
    call = LONG_CALLS[label]
    for _ in range(3):  # a loaded machine may deschedule this thread; take the best of three
        seconds, stall = longest_stall_during(call)
        if stall < 0.5 * seconds:
            break
    assert seconds > 0.01, "the call is too short to tell"
    assert stall < 0.5 * seconds, (seconds, stall)


# Row counts on both sides of where the plan's methods start to give up the lock.
PLAN_METHODS = [
    "to_constrained",
    "to_unconstrained",
    "constrained_grad",
    "log_abs_det_jacobian",
    "log_abs_det_jacobian_grad",
    "pullback",
]


@pytest.mark.threads
@pytest.mark.parametrize("method", PLAN_METHODS)
def test_parameter_map_threads_give_the_serial_results(method):
    rng = np.random.default_rng(3)
    inputs = [rng.normal(size=(rows, 4)) for rows in (1, 1023, 1024, 1025, 3000)] + [
        rng.normal(size=4)
    ]
    if method == "to_unconstrained":
        inputs = [PLAN.to_constrained(y) for y in inputs]
    if method == "pullback":
        calls = [(y, rng.normal(size=y.shape)) for y in inputs]
    else:
        calls = [(y,) for y in inputs]
    fn = getattr(PLAN, method)
    serial = [np.asarray(fn(*c)).tobytes() for c in calls]
    mismatches = []

    def worker(t):
        order = list(range(len(calls))) * 200
        random.Random(t).shuffle(order)
        mismatches.extend(i for i in order if np.asarray(fn(*calls[i])).tobytes() != serial[i])

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert mismatches == []
