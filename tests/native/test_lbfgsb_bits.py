"""L-BFGS-B reproduces recorded runs bit for bit.

Speed work on the iteration must not move a single bit of any iterate. The
fixture (lbfgsb_bits.json beside this file) holds, for a few hundred seeded
runs, the final status, iteration and evaluation counts, the value as a hex
float, and a digest of every point the iteration returned (setulb runs) or of
the final point (driver runs). Three kinds of run:

- setulb driven through ctypes with exact gradients: bounded and unbounded,
  n from 1 to 50, m from 1 to 20, tolerances down to zero, maxls down to 0,
  fixed variables and objectives that are not finite somewhere;
- the module's run_lbfgsb on its built-in objectives (forward differences);
- Velmora.minimize with a Python objective that returns its gradient.

The objectives use only operations that IEEE arithmetic rounds exactly
(+, -, *, /, sqrt) and fsum, and the cases draw their weights through the C
library's pow, so the recorded bits depend on the iteration
alone, on any x86-64 build. Builds that contract a*b + c into one rounding
(aarch64) take other, equally valid, paths: the comparison is skipped there.

After a deliberate change of results, rerecord with
    PYTHONPATH=src python tests/native/test_lbfgsb_bits.py --record
"""

import ctypes
import hashlib
import importlib
import json
import math
import os
import platform
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import native  # noqa: E402

FIXTURE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lbfgsb_bits.json")
FG, NEW_X = 3, 1
ISAVE_ITER, ISAVE_NFGV = 29, 33

pytestmark = pytest.mark.skipif(
    platform.machine().lower() not in ("x86_64", "amd64"),
    reason="recorded on x86-64, whose baseline build rounds every product",
)


def digest(*arrays):
    h = hashlib.blake2b(digest_size=8)
    for a in arrays:
        h.update(np.ascontiguousarray(a).tobytes())
    return h.hexdigest()


# --- objectives with exact gradients -----------------------------------------


def exact_sum(terms):
    # fsum rounds once; a sum it cannot hold (past the largest double, or
    # inf - inf) is the IEEE one, which runs on an objective unbounded below
    # reach.
    try:
        return math.fsum(terms)
    except (OverflowError, ValueError):
        with np.errstate(over="ignore", invalid="ignore"):
            return float(np.sum(terms))


def powers_of_ten(exponents):
    # The C library's pow, one value at a time: NumPy's vectorised power
    # rounds otherwise on some CPUs (AVX-512), which would move the cases.
    return np.array([10.0**e for e in exponents.tolist()])


def rosenbrock(x, c, w):
    t1 = x[1:] - x[:-1] * x[:-1]
    t2 = 1.0 - x[:-1]
    g = np.zeros_like(x)
    g[:-1] = -400.0 * x[:-1] * t1 - 2.0 * t2
    g[1:] += 200.0 * t1
    return exact_sum(100.0 * t1 * t1 + t2 * t2), g


def tridiagonal_quadratic(x, c, w):
    # 0.5 x'Ax - c'x, A = diag(w) + 0.3 (shifted identities): positive definite
    # whenever w > 0.6.
    ax = w * x
    ax[1:] = ax[1:] + 0.3 * x[:-1]
    ax[:-1] = ax[:-1] + 0.3 * x[1:]
    return exact_sum(0.5 * x * ax - c * x), ax - c


def double_wells(x, c, w):
    t = x * x - 1.0
    return exact_sum(w * t * t + c * x), 4.0 * w * t * x + c


def barrier(x, c, w):
    # Not a number outside x > 0: the line search must back off.
    if np.any(x <= 0.0):
        return math.nan, np.zeros_like(x)
    return exact_sum(w * (x + 1.0 / x) + c * x * x), w * (1.0 - 1.0 / (x * x)) + 2.0 * c * x


def power_three_halves(x, c, w):
    # Continuous gradient, unbounded curvature at x = c, plus a coupling.
    a = np.abs(x - c)
    r = np.sqrt(a)
    g = 1.5 * w * r * np.where(x >= c, 1.0, -1.0)
    t = x[:-1] - x[1:]
    g[:-1] += 0.2 * t
    g[1:] -= 0.2 * t
    return exact_sum(np.concatenate([w * a * r, 0.1 * t * t])), g


def linear(x, c, w):
    # Bounded only by the box: every variable ends on a bound.
    return exact_sum(c * x), c.copy()


OBJECTIVES = [rosenbrock, tridiagonal_quadratic, double_wells, barrier, power_three_halves, linear]


def setulb_case(seed):
    rng = np.random.default_rng([20240611, seed])
    n = int(rng.choice([1, 2, 2, 3, 4, 5, 7, 10, 13, 20, 31, 50]))
    kind = int(rng.integers(len(OBJECTIVES)))
    objective = OBJECTIVES[kind]
    c = rng.uniform(-3.0, 3.0, n)
    w = powers_of_ten(rng.uniform(-2.0, 2.0, n))
    if objective is tridiagonal_quadratic:
        w = w + 0.7
    m = int(rng.choice([1, 2, 3, 5, 7, 10, 10, 10, 17, 20]))
    factr = float(rng.choice([0.0, 1.0, 10.0, 1e7, 1e7, 1e12]))
    pgtol = float(rng.choice([0.0, 1e-12, 1e-5, 1e-5, 1e-2]))
    maxls = int(rng.choice([0, 1, 3, 20, 20, 20, 20, 20]))
    x0 = rng.uniform(0.01, 4.0, n) if objective is barrier else rng.uniform(-3.0, 3.0, n)
    lower = rng.uniform(-2.0, 1.0, n)
    upper = lower + rng.uniform(0.1, 3.0, n)
    kind_of_bounds = int(rng.integers(6))  # none, lower, both, upper, mixed, mixed with fixed
    if kind_of_bounds == 0:
        nbd = np.zeros(n, np.int64)
    elif kind_of_bounds <= 3:
        nbd = np.full(n, kind_of_bounds, np.int64)
    else:
        nbd = rng.integers(0, 4, n).astype(np.int64)
        if kind_of_bounds == 5:
            fixed = rng.random(n) < 0.2
            nbd[fixed] = 2
            upper[fixed] = lower[fixed]
    if objective is linear:
        nbd[:] = 2
    if rng.random() < 0.03:  # crossed bounds: invalid input
        nbd[0], upper[0] = 2, lower[0] - 1.0
    return dict(
        fg=lambda x: objective(x, c, w),
        x0=x0,
        l=lower,
        u=upper,
        nbd=nbd,
        m=m,
        factr=factr,
        pgtol=pgtol,
        maxls=maxls,
    )


def run_setulb(lib, case):
    n, m = len(case["x0"]), case["m"]
    x = np.array(case["x0"], float)
    l, u, nbd = case["l"], case["u"], case["nbd"]
    f = ctypes.c_double(0.0)
    g = np.zeros(n)
    wa = np.full(2 * m * n + 5 * n + 11 * m * m + 8 * m, np.nan)
    iwa = np.zeros(3 * n, np.int64)
    task, ln_task = np.zeros(2, np.int64), np.zeros(2, np.int64)
    lsave, isave, dsave = np.zeros(4, np.int64), np.zeros(44, np.int64), np.zeros(29)
    p, i = native.ptr, native.i64
    trace = hashlib.blake2b(digest_size=8)
    for _ in range(20000):
        lib.setulb(
            n,
            m,
            p(x),
            p(l),
            p(u),
            p(nbd, i),
            ctypes.byref(f),
            p(g),
            case["factr"],
            case["pgtol"],
            p(wa),
            p(iwa, i),
            p(task, i),
            p(lsave, i),
            p(isave, i),
            p(dsave),
            case["maxls"],
            p(ln_task, i),
        )
        trace.update(task.tobytes() + x.tobytes() + np.float64(f.value).tobytes())
        if task[0] == FG:
            value, grad = case["fg"](x.copy())
            f.value = value
            g[:] = grad
        elif task[0] != NEW_X:
            break
    return [
        int(task[0]),
        int(isave[ISAVE_ITER]),
        int(isave[ISAVE_NFGV]),
        f.value.hex(),
        trace.hexdigest(),
    ]


# --- the driver on the built-in objectives -----------------------------------


def driver_case(seed):
    rng = np.random.default_rng([20240612, seed])
    n = int(rng.choice([1, 2, 3, 5, 8, 12, 20, 40]))
    name = str(rng.choice(["rosenbrock", "quad", "double_well", "rosen_halfplane"]))
    x0 = rng.uniform(-2.0, 2.0, n)
    if name == "rosen_halfplane":
        x0[0] = abs(x0[0])
    kw = dict(
        m=int(rng.choice([1, 3, 5, 10, 10, 20])),
        factr=float(rng.choice([1.0, 1e7, 1e12])),
        pgtol=float(rng.choice([0.0, 1e-8, 1e-5])),
        maxls=int(rng.choice([2, 20])),
        maxiter=int(rng.choice([0, 5, 15000])),
        fd_step=float(rng.choice([0.0, 0.0, 1e-6])),
    )
    if name == "quad":
        kw["params"] = np.concatenate([powers_of_ten(rng.uniform(-2, 2, n)), rng.uniform(-2, 2, n)])
    if rng.random() < 0.6:
        lo = rng.uniform(-1.5, 0.5, n)
        hi = lo + rng.uniform(0.2, 2.5, n)
        kw["bounds"] = [
            (None if rng.random() < 0.2 else a, None if rng.random() < 0.2 else b)
            for a, b in zip(lo.tolist(), hi.tolist())
        ]
    return name, x0, kw


def run_driver(optim, name, x0, kw):
    r = optim.run_lbfgsb(name, x0, **kw)
    return [int(r["status"]), int(r["nit"]), int(r["nfev"]), float(r["fun"]).hex(), digest(r["x"])]


# --- the public minimize with a value-and-gradient objective -----------------


def minimize_case(seed):
    rng = np.random.default_rng([20240613, seed])
    n = int(rng.choice([1, 2, 4, 9, 16]))
    objective = OBJECTIVES[int(rng.choice([0, 1, 2, 4]))]
    c = rng.uniform(-3.0, 3.0, n)
    w = powers_of_ten(rng.uniform(-1.0, 1.0, n)) + 0.7
    x0 = rng.uniform(-2.0, 2.0, n)
    bounds = None
    if rng.random() < 0.5:
        lo = rng.uniform(-1.5, 0.5, n)
        bounds = list(zip(lo.tolist(), (lo + rng.uniform(0.2, 2.5, n)).tolist()))
    options = dict(
        maxcor=int(rng.choice([2, 10])),
        ftol=float(rng.choice([1e-15, 2.2e-9])),
        gtol=float(rng.choice([0.0, 1e-5])),
    )
    return lambda x: objective(x, c, w), x0, bounds, options


def run_minimize(minimize, fg, x0, bounds, options):
    r = minimize(fg, x0, jac=True, method="L-BFGS-B", bounds=bounds, options=options)
    return [int(r.status), int(r.nit), int(r.nfev), float(r.fun).hex(), digest(r.x)]


SETULB_RUNS, DRIVER_RUNS, MINIMIZE_RUNS = 300, 160, 40


def record_all():
    lib = native.load(importlib.import_module("Velmora._ckernels.optim._optim"))
    optim = importlib.import_module("Velmora._ckernels.optim._optim")
    from Velmora import minimize

    return {
        "setulb": [run_setulb(lib, setulb_case(s)) for s in range(SETULB_RUNS)],
        "driver": [run_driver(optim, *driver_case(s)) for s in range(DRIVER_RUNS)],
        "minimize": [run_minimize(minimize, *minimize_case(s)) for s in range(MINIMIZE_RUNS)],
    }


@pytest.fixture(scope="module")
def recorded():
    with open(FIXTURE) as fh:
        return json.load(fh)


def mismatches(kind, expected, run):
    return [
        (seed, want, got)
        for seed, want in enumerate(expected)
        for got in [run(seed)]
        if got != want
    ]


def test_fixture_covers_every_outcome(recorded):
    statuses = {r[0] for r in recorded["setulb"]}
    assert {4, 7, 8} <= statuses  # convergence, invalid input, failed line search
    assert {r[0] for r in recorded["driver"]} >= {4, 5}
    assert max(r[1] for r in recorded["setulb"]) > 40  # long runs that cycle the memory


def test_setulb_runs_reproduce_bit_for_bit(recorded):
    lib = native.load(importlib.import_module("Velmora._ckernels.optim._optim"))
    bad = mismatches("setulb", recorded["setulb"], lambda s: run_setulb(lib, setulb_case(s)))
    assert not bad, f"{len(bad)} runs differ, first (seed, recorded, now): {bad[0]}"


# The built-in objectives leave the order of their sums to the compiler, so
# the driver's recorded bits hold for the release build (-O3) only: the
# sanitizer's build (-O2) rounds those sums otherwise, and there the driver
# cases run for the sanitizer's checks alone.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def test_driver_runs_reproduce_bit_for_bit(recorded):
    optim = importlib.import_module("Velmora._ckernels.optim._optim")
    if SANITIZED:
        known = {r[0] for r in recorded["driver"]}
        assert all(run_driver(optim, *driver_case(s))[0] in known for s in range(DRIVER_RUNS))
        return
    bad = mismatches("driver", recorded["driver"], lambda s: run_driver(optim, *driver_case(s)))
    assert not bad, f"{len(bad)} runs differ, first (seed, recorded, now): {bad[0]}"


def test_minimize_runs_reproduce_bit_for_bit(recorded):
    from Velmora import minimize

    bad = mismatches(
        "minimize", recorded["minimize"], lambda s: run_minimize(minimize, *minimize_case(s))
    )
    assert not bad, f"{len(bad)} runs differ, first (seed, recorded, now): {bad[0]}"


if __name__ == "__main__" and "--record" in sys.argv:
    data = record_all()
    with open(FIXTURE, "w") as fh:
        fh.write("{\n")
        for k, (key, rows) in enumerate(data.items()):
            fh.write(f' "{key}": [\n')
            fh.write(",\n".join("  " + json.dumps(r) for r in rows))
            fh.write("\n ]" + (",\n" if k + 1 < len(data) else "\n"))
        fh.write("}\n")
    print(f"recorded {sum(len(v) for v in data.values())} runs in {FIXTURE}")
