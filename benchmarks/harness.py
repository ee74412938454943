"""Side-by-side benchmarks of the native core against NumPy and SciPy.

Each row times one of our calls and a peer computing the same values in the
same run, and prints the ratio ours/peer with the row's target. Run it through
bench.py beside this file (or `python -m Velmora bench` from the checkout):

    python benchmarks/bench.py               # every row
    python benchmarks/bench.py -k ndtri      # rows whose label contains "ndtri"
    python benchmarks/bench.py --quick       # shorter runs, fewer repeats

The peers need SciPy, the package's `bench` extra (pip install '.[bench]' in a
checkout, or pip install scipy).
"""

import argparse
import math
import os
import sys
import timeit
import warnings
from dataclasses import dataclass, field

import numpy as np

from Velmora._transform_table import OPS, takes_bounds

sps = None  # scipy.special, imported by run() (see load_scipy)

MISSING_SCIPY = (
    "the benchmark compares against SciPy, which is not installed; "
    "install the bench extra (pip install '.[bench]' in a checkout) or pip install scipy"
)


@dataclass
class Row:
    group: str
    label: str
    ours: str  # statement timed for us
    peer: str  # statement timed for the peer
    peer_name: str
    target: float | None  # largest acceptable ours/peer ratio
    env: dict = field(default_factory=dict)
    # Maps the measured seconds per call (ours, peer) to what the row
    # compares, e.g. the overhead per evaluation of a whole minimization.
    adjust: object = None


ROWS: list[Row] = []


def row(group, label, ours, peer, peer_name, target=None, env=None, adjust=None):
    ROWS.append(Row(group, label, ours, peer, peer_name, target, env or {}, adjust))


def calls_per_run(timer, budget):
    """How many calls make a run of about `budget` seconds."""
    timer.timeit(1)  # warm up (first-call costs, page faults of the first result)
    number = 1
    while (elapsed := timer.timeit(number)) < budget / 8 and number < 1 << 24:
        number *= 8
    return max(1, round(number * budget / max(elapsed, 1e-9)))


def seconds_per_call(ours, peer, env, repeats, budget):
    """Best time per call of each statement, over `repeats` runs of about
    `budget` seconds that alternate between the two, so that both see the
    same load of a shared machine."""
    timers = [timeit.Timer(stmt, globals=env) for stmt in (ours, peer)]
    numbers = [calls_per_run(t, budget) for t in timers]
    best = [math.inf, math.inf]
    for _ in range(repeats):
        for i, (timer, number) in enumerate(zip(timers, numbers)):
            best[i] = min(best[i], timer.timeit(number) / number)
    return best


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:7.2f} {unit}"
    return f"{seconds / 1e-9:7.2f} ns"


# --- normal quantile ----------------------------------------------------------

# The targets: a scalar call at most 0.3 times numpy.log on a Python
# float and 0.3 times the matching scipy.special function; n = 10 at most 1.0
# times numpy.log on the same array; n = 10^6 as stated per family.
SCALAR_TARGET = 0.3
SMALL_TARGET = 1.0
SMALL_N = 10
BIG_N = 1_000_000


def floor_row(group):
    """math.log on a Python float: the floor of a Python-level call on a
    float, for reference."""
    env = {
        "np": np,
        "math": math,
        "x": 0.3,
        "a": np.random.default_rng(1).uniform(0.5, 2.0, SMALL_N),
    }
    row(group, "math.log(float) (floor)", "math.log(x)", "np.log(x)", "numpy.log(float)", None, env)


def quantile_rows():
    from Velmora._ckernels.distributions import _distributions as dist

    floor_row("quantile")
    env = {"dist": dist, "sps": sps, "np": np, "x": 0.3, "y": -0.4}
    for name, arg, peer, peer_name in (
        ("ndtri_as241", "x", "sps.ndtri(x)", "scipy.special.ndtri"),
        ("erfinv_from_as241", "y", "sps.erfinv(y)", "scipy.special.erfinv"),
    ):
        row(
            "quantile",
            f"{name}(float)",
            f"dist.{name}({arg})",
            "np.log(x)",
            "numpy.log(float)",
            SCALAR_TARGET,
            env,
        )
        row(
            "quantile",
            f"{name}(float) vs SciPy",
            f"dist.{name}({arg})",
            peer,
            peer_name,
            SCALAR_TARGET,
            env,
        )
    rng = np.random.default_rng(0)
    small = {"dist": dist, "np": np, "a": rng.uniform(0.0, 1.0, SMALL_N)}
    row(
        "quantile",
        f"ndtri_as241_into n={SMALL_N}",
        "dist.ndtri_as241_into(a)",
        "np.log(a)",
        "numpy.log(array)",
        SMALL_TARGET,
        small,
    )
    big = {"dist": dist, "sps": sps, "a": rng.uniform(0.0, 1.0, BIG_N)}
    row(
        "quantile",
        "ndtri_as241_into n=10^6",
        "dist.ndtri_as241_into(a)",
        "sps.ndtri(a)",
        "scipy.special.ndtri",
        0.5,
        big,
    )
    # Only tail values (p < 0.01 or p > 0.99): these take the C library's
    # logarithm one value at a time, so that each element is exactly the
    # scalar function's; reported, with no target.
    tail = rng.uniform(0.0, 0.02, BIG_N)
    tails = {"dist": dist, "sps": sps, "a": np.where(tail < 0.01, tail, tail + 0.98)}
    row(
        "quantile",
        "ndtri_as241_into n=10^6 tails",
        "dist.ndtri_as241_into(a)",
        "sps.ndtri(a)",
        "scipy.special.ndtri",
        None,
        tails,
    )


# --- transforms ---------------------------------------------------------------

# Inputs inside each function's domain: (low, high) of a uniform draw, or
# None for normal(0, 3) values on the inverse side.
DOMAINS = {
    "log": (0.1, 10.0),
    "logit": (1e-6, 1.0 - 1e-6),
    "probit": (1e-6, 1.0 - 1e-6),
    "aff_logit": (2.0, 6.0),
    "aff_probit": (-1.0, 3.0),
    "softplus": (0.01, 20.0),
    "lower": (1.6, 11.5),
    "upper": (-9.0, 1.9),
    "tanh": (-0.999, 0.999),
}
BOUND_ARGS = {
    "aff_logit": ", 2.0, 6.0",
    "aff_probit": ", -1.0, 3.0",
    "lower": ", 1.5",
    "upper": ", 2.0",
}

LOG2PI = "np.log(2.0 * np.pi)"
# family -> the seven peer expressions of a (the same values through NumPy /
# SciPy), in the order of OPS; "copy" and "fill" rows are the block copy of
# the input and the constant 1.
PEERS = {
    "log": [
        "np.log(a)",
        "np.exp(a)",
        "1.0 / a",
        "np.exp(a)",
        "-np.log(a)",
        "np.copy(a)",
        "np.ones_like(a)",
    ],
    "lower": [
        "np.log(a - 1.5)",
        "1.5 + np.exp(a)",
        "1.0 / (a - 1.5)",
        "np.exp(a)",
        "-np.log(a - 1.5)",
        "np.copy(a)",
        "np.ones_like(a)",
    ],
    "upper": [
        "np.log(2.0 - a)",
        "2.0 - np.exp(a)",
        "-1.0 / (2.0 - a)",
        "-np.exp(a)",
        "-np.log(2.0 - a)",
        "np.copy(a)",
        "np.ones_like(a)",
    ],
    "logit": [
        "sps.logit(a)",
        "sps.expit(a)",
        "1.0 / ((1.0 - a) * a)",
        "(lambda p: (1.0 - p) * p)(sps.expit(a))",
        "-(np.log(a) + np.log1p(-a))",
        "sps.log_expit(a) + sps.log_expit(-a)",
        "1.0 - 2.0 * sps.expit(a)",
    ],
    "probit": [
        "sps.ndtri(a)",
        "sps.ndtr(a)",
        "np.sqrt(2.0 * np.pi) * np.exp(0.5 * sps.ndtri(a) ** 2)",
        "np.exp(-0.5 * a * a) / np.sqrt(2.0 * np.pi)",
        f"0.5 * sps.ndtri(a) ** 2 + 0.5 * {LOG2PI}",
        f"-0.5 * a * a - 0.5 * {LOG2PI}",
        "-a",
    ],
    "aff_logit": [
        "sps.logit((a - 2.0) / 4.0)",
        "2.0 + 4.0 * sps.expit(a)",
        "(lambda z: 1.0 / ((1.0 - z) * z) / 4.0)((a - 2.0) / 4.0)",
        "(lambda p: (1.0 - p) * p * 4.0)(sps.expit(a))",
        "(lambda z: -(np.log(z) + np.log1p(-z)) - np.log(4.0))((a - 2.0) / 4.0)",
        "sps.log_expit(a) + sps.log_expit(-a) + np.log(4.0)",
        "1.0 - 2.0 * sps.expit(a)",
    ],
    "aff_probit": [
        "sps.ndtri((a + 1.0) / 4.0)",
        "-1.0 + 4.0 * sps.ndtr(a)",
        "np.sqrt(2.0 * np.pi) * np.exp(0.5 * sps.ndtri((a + 1.0) / 4.0) ** 2) / 4.0",
        "np.exp(-0.5 * a * a) / np.sqrt(2.0 * np.pi) * 4.0",
        f"0.5 * sps.ndtri((a + 1.0) / 4.0) ** 2 + 0.5 * {LOG2PI} - np.log(4.0)",
        f"-0.5 * a * a - 0.5 * {LOG2PI} + np.log(4.0)",
        "-a",
    ],
    "softplus": [
        "np.log(np.expm1(a))",
        "np.logaddexp(0.0, a)",
        "1.0 / np.expm1(a) + 1.0",
        "sps.expit(a)",
        "a - np.log(np.expm1(a))",
        "-np.logaddexp(0.0, -a)",
        "sps.expit(-a)",
    ],
    "tanh": [
        "np.arctanh(a)",
        "np.tanh(a)",
        "1.0 / ((1.0 - a) * (1.0 + a))",
        "1.0 / np.cosh(a) ** 2",
        "-np.log1p(-a * a)",
        "2.0 * (np.log(2.0) - np.abs(a) - np.log1p(np.exp(-2.0 * np.abs(a))))",
        "-2.0 * np.tanh(a)",
    ],
}
# family -> target at n = 10^6 (copy and fill rows: 1.1).
BIG_TARGETS = {
    "log": 1.2,
    "lower": 1.2,
    "upper": 1.2,
    "logit": 0.5,
    "probit": 0.5,
    "aff_logit": 0.5,
    "aff_probit": 0.5,
    "softplus": 0.5,
    "tanh": 0.5,
}
# Scalar functions with a matching scipy.special function.
SCIPY_SCALARS = {
    "logit_fwd": "sps.logit",
    "logit_inv": "sps.expit",
    "probit_fwd": "sps.ndtri",
    "probit_inv": "sps.ndtr",
    "softplus_grad_inv": "sps.expit",
}
# The scalar rows that evaluate the normal quantile, each against one SciPy
# quantile call on a number: at most as long.
QUANTILE_SCALARS = [
    f"{family}_{op}"
    for family in ("probit", "aff_probit")
    for op in ("fwd", "grad_fwd", "ldet_abs_jac_fwd")
]
QUANTILE_SCALAR_TARGET = 1.0


def transform_calls():
    """(family, op, name, our call on `a`, input domain) for the 63 functions."""
    for family in PEERS:
        for op in OPS:
            bounds = BOUND_ARGS.get(family, "") if takes_bounds(family, op) else ""
            domain = DOMAINS[family] if op.endswith("fwd") else None
            yield family, op, f"{family}_{op}", f"tr.{family}_{op}(a{bounds})", domain


def draw(rng, domain, n):
    return rng.normal(0.0, 3.0, n) if domain is None else rng.uniform(*domain, n)


def transform_rows(sizes=("scalar", "small", "big")):
    from Velmora._ckernels.transforms import _transforms as tr

    rng = np.random.default_rng(0)
    for family, op, name, call, domain in transform_calls():
        peer = PEERS[family][OPS.index(op)]
        if "scalar" in sizes:
            x = float(draw(rng, domain, 1)[0])
            env = {"tr": tr, "np": np, "sps": sps, "a": x, "x": 0.3}
            row(
                "transforms",
                f"{name}(float)",
                call,
                "np.log(x)",
                "numpy.log(float)",
                SCALAR_TARGET,
                env,
            )
            if name in SCIPY_SCALARS and name not in QUANTILE_SCALARS:
                row(
                    "transforms",
                    f"{name}(float) vs SciPy",
                    call,
                    f"{SCIPY_SCALARS[name]}(a)",
                    f"scipy.special.{SCIPY_SCALARS[name][4:]}",
                    SCALAR_TARGET,
                    env,
                )
            if name in QUANTILE_SCALARS:
                row(
                    "transforms",
                    f"{name}(float) vs SciPy",
                    call,
                    "sps.ndtri(x)",
                    "scipy.special.ndtri(float)",
                    QUANTILE_SCALAR_TARGET,
                    env,
                )
        if "small" in sizes:
            env = {
                "tr": tr,
                "np": np,
                "a": draw(rng, domain, SMALL_N),
                "b": rng.uniform(0.5, 2.0, SMALL_N),
            }
            row(
                "transforms",
                f"{name} n={SMALL_N}",
                call,
                "np.log(b)",
                "numpy.log(array)",
                SMALL_TARGET,
                env,
            )
        if "big" in sizes:
            env = {"tr": tr, "np": np, "sps": sps, "a": draw(rng, domain, BIG_N)}
            target = {"np.copy(a)": 1.1, "np.ones_like(a)": 1.1}.get(peer, BIG_TARGETS[family])
            peer_name = peer if len(peer) <= 26 else peer[:23] + "..."
            row("transforms", f"{name} n=10^6", call, peer, peer_name, target, env)


# --- public transforms: ufuncs and ParameterMap ----------------------------------

PUBLIC_BOUNDS_TARGET = 0.3  # per-element bounds against the NumPy expression
OUT_TARGET = None  # out= against the same call with a new array: for information
MAP_TARGET = 0.5  # ParameterMap against hand-written NumPy


class HandWrittenMap:
    """What one would write in NumPy for a vector of mixed bounds: index
    arrays and the bounds of each family prepared once, one expression per
    family and method."""

    def __init__(self, lower, upper):
        has_low, has_high = np.isfinite(lower), np.isfinite(upper)
        self.li = np.flatnonzero(has_low & ~has_high)
        self.ui = np.flatnonzero(has_high & ~has_low)
        self.ii = np.flatnonzero(has_low & has_high)
        self.low, self.high = lower[self.li], upper[self.ui]
        self.a, self.w = lower[self.ii], upper[self.ii] - lower[self.ii]
        self.log_w = np.log(self.w)

    def to_constrained(self, y):
        x = y.copy()
        x[self.li] = self.low + np.exp(y[self.li])
        x[self.ui] = self.high - np.exp(y[self.ui])
        x[self.ii] = self.a + self.w / (1.0 + np.exp(-y[self.ii]))
        return x

    def to_unconstrained(self, x):
        y = x.copy()
        y[self.li] = np.log(x[self.li] - self.low)
        y[self.ui] = np.log(self.high - x[self.ui])
        z = (x[self.ii] - self.a) / self.w
        y[self.ii] = np.log(z / (1.0 - z))
        return y

    def log_abs_det_jacobian(self, y):
        t = y[self.ii]
        return float(
            np.sum(y[self.li])
            + np.sum(y[self.ui])
            + np.sum(self.log_w - t - 2.0 * np.log1p(np.exp(-t)))
        )

    def pullback(self, y, g):
        d = np.ones_like(y)
        d[self.li] = np.exp(y[self.li])
        d[self.ui] = -np.exp(y[self.ui])
        p = 1.0 / (1.0 + np.exp(-y[self.ii]))
        d[self.ii] = self.w * p * (1.0 - p)
        return g * d


def public_transform_rows():
    import Velmora.transforms as vt

    rng = np.random.default_rng(2)
    low = rng.uniform(-2.0, 0.0, BIG_N)
    high = low + rng.uniform(0.5, 3.0, BIG_N)
    x = low + (high - low) * rng.uniform(1e-6, 1.0 - 1e-6, BIG_N)
    env = {"vt": vt, "np": np, "x": x, "low": low, "high": high, "out": np.empty(BIG_N)}
    row(
        "public",
        "aff_logit_fwd(x, low[], high[]) n=10^6",
        "vt.aff_logit_fwd(x, low, high)",
        "(lambda z: np.log(z / (1.0 - z)))((x - low) / (high - low))",
        "NumPy expression",
        PUBLIC_BOUNDS_TARGET,
        env,
    )
    row(
        "public",
        "logit_fwd(x, out=) n=10^6",
        "vt.logit_fwd(x, out=out)",
        "vt.logit_fwd(x)",
        "the same call, new array",
        OUT_TARGET,
        {**env, "x": (x - low) / (high - low)},
    )

    bounds = [
        (None, None),
        (0.0, None),
        (None, 1.0),
        (0.0, 1.0),
        (-3.0, None),
        (2.0, 6.0),
        (None, None),
        (None, -5.0),
        (-1e-3, 1e-3),
        (None, None),
    ]
    pm = vt.ParameterMap(bounds)
    hand = HandWrittenMap(pm.lower, pm.upper)
    y = rng.normal(0.0, 1.5, len(bounds))
    env = {
        "pm": pm,
        "hand": hand,
        "y": y,
        "x": pm.to_constrained(y),
        "g": rng.normal(size=len(bounds)),
    }
    for label, ours, peer in (
        ("to_constrained", "pm.to_constrained(y)", "hand.to_constrained(y)"),
        ("to_unconstrained", "pm.to_unconstrained(x)", "hand.to_unconstrained(x)"),
        ("log_abs_det_jacobian", "pm.log_abs_det_jacobian(y)", "hand.log_abs_det_jacobian(y)"),
        ("pullback", "pm.pullback(y, g)", "hand.pullback(y, g)"),
    ):
        row(
            "public",
            f"ParameterMap.{label} n=10",
            ours,
            peer,
            "hand-written NumPy",
            MAP_TARGET,
            env,
        )


# --- minimizers ---------------------------------------------------------------


def rosen_start(n):
    """n points from -1.2 to 1 (the classic start (-1.2, 1) for n = 2). Distinct
    coordinates keep the initial simplex free of tied values: our simplex sort
    is stable, SciPy's argsort need not be, so ties could make the two
    Nelder-Mead runs part ways while both are correct."""
    return np.linspace(-1.2, 1.0, n)


def minimizer_rows():
    """Both native minimizers against SciPy's on the Rosenbrock function, with
    the same start, tolerances and limits; the outcomes are printed first."""
    import scipy.optimize as spo  # type: ignore[import-untyped]

    from Velmora._ckernels.optim import _optim

    cases = [("lbfgsb", n) for n in (2, 10, 100)] + [("neldermead", n) for n in (2, 10)]
    print(
        f"{'minimizer outcome':<24} {'nit':>11} {'nfev':>13} {'fun (ours | SciPy)':>34}  same counts"
    )
    for method, n in cases:
        x0 = rosen_start(n)
        env = {"opt": _optim, "spo": spo, "x0": x0}
        if method == "lbfgsb":
            ours, peer = (
                'opt.run_lbfgsb("rosenbrock", x0)',
                'spo.minimize(spo.rosen, x0, method="L-BFGS-B")',
            )
            peer_name = "scipy L-BFGS-B"
        else:
            ours = 'opt.run_neldermead("rosenbrock", x0)'
            peer = (
                'spo.minimize(spo.rosen, x0, method="Nelder-Mead", '
                'options={"xatol": 1e-4, "fatol": 1e-4, "maxiter": 200 * x0.size, "maxfev": 200 * x0.size})'
            )
            peer_name = "scipy Nelder-Mead"
        row("minimizer", f"run_{method} rosenbrock n={n}", ours, peer, peer_name, 0.02, env)
        a, b = eval(ours, env), eval(peer, env)
        print(
            f"{method + ' n=' + str(n):<24} {a['nit']:>5} | {b.nit:<5} {a['nfev']:>6} | {b.nfev:<6} "
            f"{a['fun']:>15.6g} | {b.fun:<15.6g}  {(a['nit'], a['nfev']) == (b.nit, b.nfev)}"
        )
    print()


# --- minimize: the user's objective ----------------------------------------------

# The targets: time per evaluation beyond the objective's own cost at
# most 0.1x SciPy's and 0.5x iminuit's MIGRAD; whole runs with a Python
# objective at most 0.3x SciPy (L-BFGS-B, analytic gradient or differences)
# and 0.2x (Nelder-Mead); a native objective within 1.2x of run_lbfgsb.


def rosen_py(x):
    """Rosenbrock in NumPy, the same function for every minimizer."""
    return float(np.sum(100.0 * (x[1:] - x[:-1] ** 2) ** 2 + (1.0 - x[:-1]) ** 2))


def rosen_grad_py(x):
    g = np.zeros_like(x)
    t = x[1:] - x[:-1] ** 2
    g[:-1] = -400.0 * x[:-1] * t - 2.0 * (1.0 - x[:-1])
    g[1:] += 200.0 * t
    return g


def rosen2_py(x):
    """n = 2 in plain floats: cheap, so the minimizer's own cost shows."""
    a, b = x[1] - x[0] * x[0], 1.0 - x[0]
    return 100.0 * a * a + b * b


def rosen2_grad_py(x):
    a, b = x[1] - x[0] * x[0], 1.0 - x[0]
    return np.array([-400.0 * x[0] * a - 2.0 * b, 200.0 * a])


def best_seconds(stmt, env, number=2000, repeats=7):
    return min(timeit.repeat(stmt, globals=env, number=number, repeat=repeats)) / number


def overhead(counts, own):
    """Seconds per evaluation beyond the objective's own cost, from the
    seconds of a whole run: counts = (nfev, njev), own = (fun, grad) seconds."""
    nfev, njev = counts
    return lambda t: (t - nfev * own[0] - njev * own[1]) / nfev


def minimize_rows():
    """Velmora.minimize against SciPy's minimize and iminuit's MIGRAD on
    Rosenbrock from (-1.2 ... 1) with the same Python function."""
    import scipy.optimize as spo  # type: ignore[import-untyped]

    import Velmora
    from Velmora._ckernels.optim import _optim

    try:
        import iminuit  # type: ignore[import-untyped]
    except ImportError:
        iminuit = None
        print("iminuit is not installed: its rows are skipped (pip install iminuit)\n")

    x2 = rosen_start(2)
    env = {
        "vm": Velmora,
        "spo": spo,
        "f": rosen2_py,
        "g": rosen2_grad_py,
        "x0": x2,
        "np": np,
        "iminuit": iminuit,
    }
    own = (best_seconds("f(x0)", env), best_seconds("g(x0)", env))
    runs = {
        "L-BFGS-B, gradient": (
            "vm.minimize(f, x0, jac=g)",
            'spo.minimize(f, x0, jac=g, method="L-BFGS-B")',
            True,
        ),
        "L-BFGS-B, differences": (
            "vm.minimize(f, x0)",
            'spo.minimize(f, x0, method="L-BFGS-B")',
            False,
        ),
        "Nelder-Mead": (
            'vm.minimize(f, x0, method="Nelder-Mead")',
            'spo.minimize(f, x0, method="Nelder-Mead")',
            False,
        ),
    }
    print(f"{'minimize outcome, n = 2':<32} {'nit':>11} {'nfev':>13}  same counts as SciPy")
    for label, (ours, peer, with_grad) in runs.items():
        a, b = eval(ours, env), eval(peer, env)
        counts_a = (a.nfev, a.njev if with_grad else 0)
        counts_b = (b.nfev, getattr(b, "njev", 0) if with_grad else 0)
        print(
            f"{label:<32} {a.nit:>5} | {b.nit:<5} {a.nfev:>6} | {b.nfev:<6}  {(a.nit, a.nfev) == (b.nit, b.nfev)}"
        )
        row(
            "minimize",
            f"overhead/eval {label} vs SciPy",
            ours,
            peer,
            "scipy minimize",
            0.1,
            env,
            (overhead(counts_a, own), overhead(counts_b, own)),
        )
    if iminuit is not None:
        env["migrad"] = (
            "(lambda m: (setattr(m, 'errordef', 1.0), m.migrad()))"
            "(iminuit.Minuit(lambda a, b: f((a, b)), -1.2, 1.0))"
        )
        m = eval(env["migrad"], env)[1]
        own_tuple = best_seconds("f((-1.2, 1.0))", env)
        migrad = overhead((m.nfcn, 0), (own_tuple, 0.0))
        print(f"{'iminuit MIGRAD':<32} {'':>11} {m.nfcn:>6}\n")
        for label, (ours, _, with_grad) in runs.items():
            a = eval(ours, env)
            row(
                "minimize",
                f"overhead/eval {label} vs iminuit",
                ours,
                env["migrad"],
                "iminuit MIGRAD",
                0.5,
                env,
                (overhead((a.nfev, a.njev if with_grad else 0), own), migrad),
            )

    for n in (2, 10, 100):
        env_n = {"vm": Velmora, "spo": spo, "f": rosen_py, "g": rosen_grad_py, "x0": rosen_start(n)}
        row(
            "minimize",
            f"minimize rosenbrock n={n}, gradient",
            "vm.minimize(f, x0, jac=g)",
            'spo.minimize(f, x0, jac=g, method="L-BFGS-B")',
            "scipy L-BFGS-B",
            0.3,
            env_n,
        )
        row(
            "minimize",
            f"minimize rosenbrock n={n}, differences",
            "vm.minimize(f, x0)",
            'spo.minimize(f, x0, method="L-BFGS-B")',
            "scipy L-BFGS-B",
            0.3,
            env_n,
        )
    for n in (2, 10):
        env_n = {"vm": Velmora, "spo": spo, "f": rosen_py, "x0": rosen_start(n)}
        row(
            "minimize",
            f"minimize rosenbrock n={n}, Nelder-Mead",
            'vm.minimize(f, x0, method="Nelder-Mead")',
            'spo.minimize(f, x0, method="Nelder-Mead")',
            "scipy Nelder-Mead",
            0.2,
            env_n,
        )

    # A native objective against the built-in run of the same function.
    for n in (2, 100):
        env_n = {"vm": Velmora, "opt": _optim, "x0": rosen_start(n)}
        row(
            "minimize",
            f"minimize('rosenbrock') n={n}",
            'vm.minimize("rosenbrock", x0)',
            'opt.run_lbfgsb("rosenbrock", x0)',
            "run_lbfgsb",
            1.2,
            env_n,
        )
    try:
        import numba  # type: ignore[import-untyped]
    except ImportError:
        print("numba is not installed: the cfunc row is skipped (pip install numba)\n")
        return
    from numba import carray, types

    @numba.cfunc(types.float64(types.CPointer(types.float64), types.voidptr))
    def rosen_cfunc(xp, ctx):
        x = carray(xp, 2)
        a, b = x[1] - x[0] * x[0], 1.0 - x[0]
        return 100.0 * a * a + b * b

    env_c = {"vm": Velmora, "opt": _optim, "x0": x2, "fn": vm_native(Velmora, rosen_cfunc)}
    row(
        "minimize",
        "minimize(numba cfunc) n=2",
        "vm.minimize(fn, x0)",
        'opt.run_lbfgsb("rosenbrock", x0)',
        "run_lbfgsb",
        1.2,
        env_c,
    )


# --- fit: estimates with standard errors ---------------------------------------------

# The targets: a gamma fit with standard errors at 10^4 observations
# at most 0.7x the fastest peer and 0.5x iminuit; at 10^6 no slower than the
# fastest peer (the evaluations dominate there: their counts are printed); a
# two-parameter normal on 100 observations as a native objective at most 0.2x
# iminuit. Every peer gets the same NumPy likelihood, with its gradient where
# it takes one.

FIT_START = (1.0, 1.0)


def gamma_nll(p, x):
    """The gamma negative log-likelihood (shape k, rate b) in NumPy."""
    k, b = p
    return float(
        -np.sum((k - 1.0) * np.log(x) - b * x) - x.size * (k * math.log(b) - math.lgamma(k))
    )


def gamma_grad(p, x):
    k, b = p
    return np.array(
        [-np.sum(np.log(x)) - x.size * (math.log(b) - sps.digamma(k)), np.sum(x) - x.size * k / b]
    )


def gamma_nll_grad(p, x):
    """Value and gradient in one pass over the data."""
    k, b = p
    lx = np.log(x)
    value = float(-np.sum((k - 1.0) * lx - b * x) - x.size * (k * math.log(b) - math.lgamma(k)))
    return value, np.array(
        [-np.sum(lx) - x.size * (math.log(b) - sps.digamma(k)), np.sum(x) - x.size * k / b]
    )


def scipy_fit(x):
    """SciPy's fastest route: L-BFGS-B with the analytic gradient, then a
    forward-difference Hessian of the gradient (approx_fprime) and its inverse."""
    import scipy.optimize as spo  # type: ignore[import-untyped]

    r = spo.minimize(
        gamma_nll_grad,
        FIT_START,
        args=(x,),
        jac=True,
        method="L-BFGS-B",
        bounds=[(1e-12, None), (1e-12, None)],
    )
    h = spo.approx_fprime(r.x, lambda p: gamma_nll_grad(p, x)[1], 1.4901161193847656e-08)
    return r.x, np.sqrt(np.diag(np.linalg.inv(0.5 * (h + h.T))))


def iminuit_fit(x, iminuit):
    """MIGRAD with the gradient, then HESSE."""
    m = iminuit.Minuit(
        lambda k, b: gamma_nll((k, b), x), *FIT_START, grad=lambda k, b: gamma_grad((k, b), x)
    )
    m.errordef = iminuit.Minuit.LIKELIHOOD
    m.limits = [(0.0, None), (0.0, None)]
    m.migrad()
    m.hesse()
    return np.array(m.values), np.array(m.errors)


def statsmodels_model(x):
    """GenericLikelihoodModel with the log-likelihood and its score."""
    from statsmodels.base.model import GenericLikelihoodModel  # type: ignore[import-untyped]

    class Gamma(GenericLikelihoodModel):  # type: ignore[misc]
        def loglike(self, params):
            return -gamma_nll(params, self.endog)

        def score(self, params):
            return -gamma_grad(params, self.endog)

    return Gamma(x, exog=np.ones((x.size, 2)))


def statsmodels_fit(x):
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        res = statsmodels_model(x).fit(start_params=np.array(FIT_START), method="bfgs", disp=0)
        return np.asarray(res.params), np.asarray(res.bse)


class CountCalls:
    """Counts the calls of the module's likelihood functions while active."""

    NAMES = ("gamma_nll", "gamma_grad", "gamma_nll_grad")

    def __enter__(self):
        module = sys.modules[__name__]
        self.saved = {name: getattr(module, name) for name in self.NAMES}
        self.calls = 0

        def counted(fn):
            def call(*a):
                self.calls += 1
                return fn(*a)

            return call

        for name, fn in self.saved.items():
            setattr(module, name, counted(fn))
        return self

    def __exit__(self, *exc):
        for name, fn in self.saved.items():
            setattr(sys.modules[__name__], name, fn)


def fit_rows(pattern=""):
    """Velmora.fit on a gamma sample against SciPy, iminuit and statsmodels,
    and on a small native model against iminuit (only what `pattern` selects
    is prepared: the peers at 10^6 observations take seconds)."""
    gamma_labels = [
        f"fit gamma n={n} vs {peer}"
        for n in ("10^4", "10^6")
        for peer in ("SciPy", "iminuit", "statsmodels")
    ]
    native_label = "fit native normal n=100 vs iminuit"
    logit_labels = [f"fit logit x{LOGIT_SCALE:g} vs {peer}" for peer in ("statsmodels", "iminuit")]
    if not any(pattern in label for label in [*gamma_labels, native_label, *logit_labels]):
        return
    import Velmora

    peers = {"iminuit": None, "statsmodels": None}
    for name in peers:
        try:
            peers[name] = __import__(name)
        except ImportError:
            print(f"{name} is not installed: its fit rows are skipped (pip install {name})\n")
    if any(pattern in label for label in gamma_labels):
        gamma_rows(Velmora, peers)
    if pattern in native_label:
        fit_native_row(Velmora, peers["iminuit"])
    if any(pattern in label for label in logit_labels):
        logit_rows(Velmora, peers)


def gamma_rows(velmora, peers):
    rng = np.random.default_rng(0)
    ours = "vm.fit(gamma_nll_grad, start, args=(data,), jac=True, bounds=[(0, None), (0, None)])"
    statements = {
        "SciPy": ("scipy_fit(data)", "scipy L-BFGS-B + fprime", (0.7, 1.0)),
        "iminuit": ("iminuit_fit(data, iminuit)", "iminuit MIGRAD + HESSE", (0.5, 1.0)),
        "statsmodels": ("statsmodels_fit(data)", "statsmodels bse", (0.7, 1.0)),
    }
    print(
        f"{'fit outcome, gamma sample':<34} {'evaluations':>11}  estimate           standard errors"
    )
    for size, label in ((10**4, "10^4"), (10**6, "10^6")):
        env = {
            "vm": velmora,
            "np": np,
            "data": rng.gamma(2.5, 1.0 / 1.7, size),
            "start": FIT_START,
            "gamma_nll_grad": gamma_nll_grad,
            "scipy_fit": scipy_fit,
            "iminuit_fit": iminuit_fit,
            "statsmodels_fit": statsmodels_fit,
            "iminuit": peers["iminuit"],
        }
        with CountCalls() as count:
            r = eval(ours, dict(env, gamma_nll_grad=globals()["gamma_nll_grad"]))  # the counted one
        print(
            f"{'Velmora.fit n=' + label:<34} {count.calls:>11}  {np.array2string(r.x, precision=5):<18} "
            f"{np.array2string(r.se, precision=6)}"
        )
        for peer, (stmt, peer_name, targets) in statements.items():
            if peer != "SciPy" and peers[peer] is None:
                continue
            with CountCalls() as count:
                x, se = eval(stmt, env)
            print(
                f"{peer_name + ' n=' + label:<34} {count.calls:>11}  {np.array2string(x, precision=5):<18} "
                f"{np.array2string(se, precision=6)}"
            )
            row(
                "fit",
                f"fit gamma n={label} vs {peer}",
                ours,
                stmt,
                peer_name,
                targets[size > 10**4],
                env,
            )
    print()


def fit_native_row(velmora, iminuit):
    """A two-parameter normal on 100 observations as a numba cfunc, against
    iminuit on the same function compiled with numba's njit."""
    try:
        import numba  # type: ignore[import-untyped]
    except ImportError:
        print("numba is not installed: the native fit row is skipped (pip install numba)\n")
        return
    if iminuit is None:
        return
    from numba import types

    data = np.random.default_rng(1).normal(1.0, 2.0, 100)

    def nll(mu, s):
        q = 0.0
        for v in data:
            q += (v - mu) * (v - mu)
        return data.size * math.log(s) + q / (2.0 * s * s)

    jitted = numba.njit(nll)

    @numba.cfunc(types.float64(types.CPointer(types.float64), types.voidptr))
    def native(xp, ctx):
        return jitted(xp[0], xp[1])

    def minuit():
        m = iminuit.Minuit(jitted, 0.0, 1.0)
        m.errordef = iminuit.Minuit.LIKELIHOOD
        m.limits["s"] = (0.0, None)
        m.migrad()
        m.hesse()
        return m

    env = {"vm": velmora, "fn": velmora.NativeObjective(native), "minuit": minuit}
    r, m = eval("vm.fit(fn, [0.0, 1.0], bounds=[(None, None), (0, None)])", env), minuit()
    print(
        f"{'native normal n=100':<34} {r.nfev:>11} | {m.nfcn:<6} Velmora.fit | iminuit; standard errors "
        f"{np.array2string(r.se, precision=5)} | {np.array2string(np.array(m.errors), precision=5)}\n"
    )
    row(
        "fit",
        "fit native normal n=100 vs iminuit",
        "vm.fit(fn, [0.0, 1.0], bounds=[(None, None), (0, None)])",
        "minuit()",
        "iminuit MIGRAD + HESSE",
        0.2,
        env,
    )


# A logistic regression whose regressors are in units LOGIT_SCALE times too
# small (coefficients that many times smaller): the time to estimates within
# 0.01 standard errors of statsmodels' Newton fit, with their standard errors.
LOGIT_SCALE = 1e3


def logit_problem():
    import statsmodels.api as sm  # type: ignore[import-untyped]

    data = sm.datasets.spector.load_pandas()
    X = sm.add_constant(data.exog.to_numpy(float))
    X[:, 1:] *= LOGIT_SCALE
    return X, data.endog.to_numpy(float)


def logit_nll(b, X, y):
    eta = X @ b
    return float(np.sum(np.logaddexp(0.0, eta) - y * eta))


def logit_grad(b, X, y):
    return X.T @ (0.5 * (1.0 + np.tanh(0.5 * (X @ b))) - y)  # the logistic, without overflow


def velmora_logit(vm, X, y):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the standard errors' warnings, timed alike every call
        return vm.fit(logit_nll, np.zeros(X.shape[1]), args=(X, y), jac=logit_grad)


def statsmodels_logit(X, y, sm):
    r = sm.Logit(y, X).fit(disp=0, method="newton", tol=1e-10)
    return r.params, r.bse


def iminuit_logit(X, y, iminuit):
    m = iminuit.Minuit(
        lambda b: logit_nll(b, X, y), np.zeros(X.shape[1]), grad=lambda b: logit_grad(b, X, y)
    )
    m.errordef = iminuit.Minuit.LIKELIHOOD
    m.migrad()
    m.hesse()
    return np.array(m.values), np.array(m.errors)


def logit_rows(velmora, peers):
    if peers["statsmodels"] is None:
        return
    import statsmodels.api as sm  # type: ignore[import-untyped]

    X, y = logit_problem()
    exact, bse = statsmodels_logit(X, y, sm)
    env = {
        "vm": velmora,
        "np": np,
        "X": X,
        "y": y,
        "sm": sm,
        "iminuit": peers["iminuit"],
        "velmora_logit": velmora_logit,
        "statsmodels_logit": statsmodels_logit,
        "iminuit_logit": iminuit_logit,
    }
    ours = "velmora_logit(vm, X, y)"
    r = eval(ours, env)
    statements = {
        "statsmodels": ("statsmodels_logit(X, y, sm)", "statsmodels Newton bse"),
        "iminuit": ("iminuit_logit(X, y, iminuit)", "iminuit MIGRAD + HESSE"),
    }
    print(
        f"{'fit outcome, logit x' + f'{LOGIT_SCALE:g}':<34} {'success':>8}  largest |x - exact| / se"
    )
    print(f"{'Velmora.fit':<34} {str(r.success):>8}  {np.max(np.abs(r.x - exact) / bse):.2e}")
    for peer, (stmt, peer_name) in statements.items():
        if peers[peer] is None:
            continue
        x, _ = eval(stmt, env)
        print(f"{peer_name:<34} {'':>8}  {np.max(np.abs(x - exact) / bse):.2e}")
        row("fit", f"fit logit x{LOGIT_SCALE:g} vs {peer}", ours, stmt, peer_name, None, env)
    print()


PROFILE_LABEL = "profile ci native normal n=100 vs MINOS"


def profile_rows(pattern=""):
    """Profile-likelihood intervals of both parameters of a native normal
    model (a numba cfunc, 100 observations) against iminuit's MINOS on the
    same function compiled with numba's njit, each from a fitted state."""
    if pattern not in PROFILE_LABEL:
        return
    try:
        import iminuit  # type: ignore[import-untyped]
        import numba  # type: ignore[import-untyped]
    except ImportError:
        print("iminuit or numba is not installed: the profile row is skipped\n")
        return
    from numba import types

    import Velmora

    data = np.random.default_rng(1).normal(1.0, 2.0, 100)

    def nll(mu, s):
        q = 0.0
        for v in data:
            q += (v - mu) * (v - mu)
        return data.size * math.log(s) + q / (2.0 * s * s)

    jitted = numba.njit(nll)

    @numba.cfunc(types.float64(types.CPointer(types.float64), types.voidptr))
    def native(xp, ctx):
        return jitted(xp[0], xp[1])

    fitted = Velmora.fit(
        Velmora.NativeObjective(native), [0.0, 1.0], bounds=[(None, None), (0, None)]
    )
    m = iminuit.Minuit(jitted, 0.0, 1.0)
    m.errordef = iminuit.Minuit.LIKELIHOOD
    m.limits["s"] = (0.0, None)
    m.migrad()
    m.hesse()
    level = 0.6826894921370859
    ours, peer = fitted.ci(level, method="profile"), (m.minos(), m.merrors)[1]
    print(
        f"{'profile ci native normal n=100':<34} Velmora {np.array2string(ours.ravel(), precision=5)}"
        f" | MINOS {[round(m.values[k] + getattr(peer[k], side), 5) for k in ('mu', 's') for side in ('lower', 'upper')]}\n"
    )
    row(
        "profile",
        PROFILE_LABEL,
        "fitted.ci(level, method='profile')",
        "m.minos()",
        "iminuit MINOS",
        1 / 3,
        {"fitted": fitted, "level": level, "m": m},
    )


# --- curve fitting ------------------------------------------------------------------

CURVE_FITS = 10_000  # datasets: each timed call fits the next one, cycling
CURVE_POINTS = 20


def decay_model(t, a, b, c):
    return a * np.exp(-b * t) + c


def decay_jac(t, a, b, c):
    e = np.exp(-b * t)
    return np.column_stack([e, -a * t * e, np.ones_like(t)])


def curve_datasets():
    """CURVE_FITS noisy exponential decays y = a exp(-b t) + c on 20 points."""
    rng = np.random.default_rng(18)
    t = np.linspace(0.0, 4.0, CURVE_POINTS)
    params = rng.uniform([1.5, 0.8, 0.2], [3.5, 1.8, 0.8], (CURVE_FITS, 3))
    ys = (
        params[:, :1] * np.exp(-params[:, 1:2] * t)
        + params[:, 2:]
        + 0.02 * rng.standard_normal((CURVE_FITS, t.size))
    )
    return t, list(ys)


def decay_model_cfunc():
    """The decay as a native curve model (a numba cfunc); None without numba."""
    try:
        import numba  # type: ignore[import-untyped]
        from numba import carray, types
    except ImportError:
        return None
    sig = types.void(
        types.CPointer(types.float64),
        types.int64,
        types.CPointer(types.float64),
        types.CPointer(types.float64),
        types.voidptr,
    )

    @numba.cfunc(sig)
    def decay_cfunc(xp, m, pp, outp, ctx):
        x, p, out = carray(xp, m), carray(pp, 3), carray(outp, m)
        for i in range(m):
            out[i] = p[0] * np.exp(-p[1] * x[i]) + p[2]

    return decay_cfunc


def curve_fit_rows():
    """Exponential-decay fits, one dataset per call from a cycle of 10^4, from
    p0 = (1, 1, 1): Velmora.curve_fit with a Python model and with a numba
    cfunc against SciPy's curve_fit (time per fit; fits/s = 1 / time), and
    the other ways a SciPy or iminuit user would fit it, for information."""
    import itertools

    import scipy.optimize as spo  # type: ignore[import-untyped]

    import Velmora

    t, ys = curve_datasets()
    env = {
        "vm": Velmora,
        "spo": spo,
        "np": np,
        "t": t,
        "Y": itertools.cycle(ys),
        "f": decay_model,
        "jac": decay_jac,
        "p0": np.ones(3),
    }
    env["res"] = lambda p, y: decay_model(t, *p) - y
    env["res_jac"] = lambda p, y: decay_jac(t, *p)
    env["sse"] = lambda p, y: float(np.sum((decay_model(t, *p) - y) ** 2))
    env["sse_grad"] = lambda p, y: 2.0 * decay_jac(t, *p).T @ (decay_model(t, *p) - y)
    ours_python = "vm.curve_fit(f, t, next(Y), p0=p0)"
    scipy_cf = "spo.curve_fit(f, t, next(Y), p0=p0)"
    row(
        "curve_fit",
        "curve_fit per fit, Python model",
        ours_python,
        scipy_cf,
        "scipy curve_fit",
        0.5,
        env,
    )
    decay_cfunc = decay_model_cfunc()
    if decay_cfunc is None:
        print("numba is not installed: the native-model row is skipped (pip install numba)\n")
    else:
        env["native"] = decay_cfunc
        row(
            "curve_fit",
            "curve_fit per fit, numba cfunc model",
            "vm.curve_fit(native, t, next(Y), p0=p0)",
            scipy_cf,
            "scipy curve_fit",
            0.05,
            env,
        )
    peers = [
        (
            'spo.least_squares(res, p0, jac=res_jac, method="lm", args=(next(Y),))',
            "least_squares lm, jac",
        ),
        ('spo.minimize(sse, p0, args=(next(Y),), method="L-BFGS-B")', "L-BFGS-B, differences"),
        (
            'spo.minimize(sse, p0, args=(next(Y),), jac=sse_grad, method="L-BFGS-B")',
            "L-BFGS-B, gradient",
        ),
    ]
    try:
        import iminuit  # type: ignore[import-untyped]
        import iminuit.cost  # type: ignore[import-untyped]
    except ImportError:
        print("iminuit is not installed: its curve_fit row is skipped (pip install iminuit)\n")
    else:
        env["iminuit"] = iminuit
        peers.append(
            (
                "iminuit.Minuit(iminuit.cost.LeastSquares(t, next(Y), 1.0, f), a=1.0, b=1.0, c=1.0).migrad()",
                "iminuit LeastSquares",
            )
        )
    for stmt, name in peers:
        row("curve_fit", f"curve_fit per fit vs {name}", ours_python, stmt, name, None, env)


def vm_native(velmora, compiled):
    """The cfunc as a NativeObjective, built once outside the timed call."""
    return velmora.NativeObjective(compiled)


# --- minimize_many: many small fits ---------------------------------------------

# The targets, as ratios of the time per fit: a native objective with
# its gradient at least 10x a Python loop of SciPy's L-BFGS-B with the
# analytic gradient; Python objectives at least 2x the corresponding loop;
# two workers at least 1.7x one worker. Fewer problems for the slow peers.
MANY_K, MANY_PYTHON_K, MANY_PEER_K = 10_000, 2_000, 300
DECAY_T = np.linspace(0.0, 4.0, 20)
MANY_LABELS = {
    "python jac": f"minimize_many Python+jac, per fit (K={MANY_PYTHON_K})",
    "python differences": "minimize_many Python, differences, per fit",
    "native": "minimize_many native+grad, per fit (K=10^4)",
    "workers": "minimize_many native+grad, 2 workers vs 1",
    "minimize loop": "minimize_many native+grad vs minimize loop",
    "iminuit": "minimize_many native+grad vs iminuit loop",
}


def decay_problems(K, seed=0):
    """K exponential decays y = a*exp(-b*t) + c on 20 time points, with noise."""
    rng = np.random.default_rng(seed)
    p = np.column_stack(
        [rng.uniform(1.0, 3.0, K), rng.uniform(0.3, 2.0, K), rng.uniform(-1.0, 1.0, K)]
    )
    return (
        p[:, :1] * np.exp(-p[:, 1:2] * DECAY_T)
        + p[:, 2:]
        + rng.normal(0.0, 0.01, (K, DECAY_T.size))
    )


def decay_sse(p, y):
    r = p[0] * np.exp(-p[1] * DECAY_T) + p[2] - y
    return float(r @ r)


def decay_grad(p, y):
    e = np.exp(-p[1] * DECAY_T)
    r = p[0] * e + p[2] - y
    return 2.0 * np.array([r @ e, -p[0] * (r @ (DECAY_T * e)), r.sum()])


def decay_native(velmora):
    """The decay's sum of squares and its gradient as numba cfuncs whose
    context is the row of 20 values; None without numba."""
    try:
        import numba  # type: ignore[import-untyped]
    except ImportError:
        return None
    from numba import carray, types

    t, m = DECAY_T, DECAY_T.size
    value = types.float64(types.CPointer(types.float64), types.voidptr)
    value_grad = types.float64(
        types.CPointer(types.float64), types.CPointer(types.float64), types.voidptr
    )

    @numba.cfunc(value)
    def sse(p, ctx):
        y = carray(ctx, m, dtype=np.float64)
        s = 0.0
        for i in range(m):
            r = p[0] * np.exp(-p[1] * t[i]) + p[2] - y[i]
            s += r * r
        return s

    @numba.cfunc(value_grad)
    def sse_grad(p, g, ctx):
        y = carray(ctx, m, dtype=np.float64)
        s = ga = gb = gc = 0.0
        for i in range(m):
            e = np.exp(-p[1] * t[i])
            r = p[0] * e + p[2] - y[i]
            s += r * r
            ga += 2.0 * r * e
            gb -= 2.0 * r * p[0] * t[i] * e
            gc += 2.0 * r
        g[0], g[1], g[2] = ga, gb, gc
        return s

    return velmora.NativeObjective(sse, grad=sse_grad)


def scipy_loop(spo, y, start, jac):
    for row in y:
        spo.minimize(decay_sse, start, args=(row,), jac=jac, method="L-BFGS-B")


def decay_of_row(row):
    """The decay's value and gradient in p alone (iminuit reads the parameters
    from the signature), for one row."""
    return (lambda p: decay_sse(p, row)), (lambda p: decay_grad(p, row))


def iminuit_loop(iminuit, y, start):
    for row in y:
        fcn, grad = decay_of_row(row)
        m = iminuit.Minuit(fcn, start, grad=grad)
        m.errordef = 1.0
        m.migrad()


def per_fit(ours, peer):
    """adjust: seconds per call to seconds per fit."""
    return (lambda t: t / ours, lambda t: t / peer)


def many_rows():
    """minimize_many against Python loops of SciPy's L-BFGS-B and iminuit
    over the same decays; the outcomes are printed first."""
    import scipy.optimize as spo  # type: ignore[import-untyped]

    import Velmora

    try:
        import iminuit  # type: ignore[import-untyped]
    except ImportError:
        iminuit = None
    native = decay_native(Velmora)
    y = decay_problems(MANY_K)
    start = np.array([1.0, 1.0, 0.0])
    env = {
        "vm": Velmora,
        "spo": spo,
        "np": np,
        "y": y,
        "yp": y[:MANY_PYTHON_K],
        "ys": y[:MANY_PEER_K],
        "start": start,
        "f": decay_sse,
        "g": decay_grad,
        "native": native,
        "iminuit": iminuit,
        "scipy_loop": scipy_loop,
        "iminuit_loop": iminuit_loop,
    }

    check = y[:100]
    ours = Velmora.minimize_many(decay_sse, start, check, jac=decay_grad)
    peer = [
        spo.minimize(decay_sse, start, args=(row,), jac=decay_grad, method="L-BFGS-B")
        for row in check
    ]
    same_nit = np.mean(ours.nit == [r.nit for r in peer])
    dx = np.max(np.abs(ours.x - [r.x for r in peer]))
    print(
        f"minimize_many outcome, {len(check)} decays with the analytic gradient: {ours.success.sum()} "
        f"converged (SciPy {sum(r.success for r in peer)}), same iterations as SciPy in "
        f"{100 * same_nit:.0f}% of the fits, largest |x - x_SciPy| {dx:.1e}; load average "
        f"{' '.join(f'{v:.2f}' for v in os.getloadavg())}\n"
    )

    scipy_grad = "scipy_loop(spo, ys, start, g)"
    python_jac = "vm.minimize_many(f, start, yp, jac=g)"
    row(
        "many",
        MANY_LABELS["python jac"],
        python_jac,
        scipy_grad,
        "scipy L-BFGS-B loop, jac",
        0.5,
        env,
        per_fit(MANY_PYTHON_K, MANY_PEER_K),
    )
    row(
        "many",
        MANY_LABELS["python differences"],
        "vm.minimize_many(f, start, yp)",
        "scipy_loop(spo, ys, start, None)",
        "scipy L-BFGS-B loop",
        0.5,
        env,
        per_fit(MANY_PYTHON_K, MANY_PEER_K),
    )
    if native is None:
        print(
            "numba is not installed: the native minimize_many rows are skipped (pip install numba)\n"
        )
        return
    native_call = "vm.minimize_many(native, start, y)"
    row(
        "many",
        MANY_LABELS["native"],
        native_call,
        scipy_grad,
        "scipy L-BFGS-B loop, jac",
        0.1,
        env,
        per_fit(MANY_K, MANY_PEER_K),
    )
    row(
        "many",
        MANY_LABELS["workers"],
        "vm.minimize_many(native, start, y, workers=2)",
        "vm.minimize_many(native, start, y, workers=1)",
        "the same call, 1 worker",
        1 / 1.7,
        env,
    )
    row(
        "many",
        MANY_LABELS["minimize loop"],
        native_call,
        "[vm.minimize(vm.NativeObjective(native.address, r.ctypes.data, native.grad), start) for r in ys]",
        "Velmora.minimize loop",
        None,
        env,
        per_fit(MANY_K, MANY_PEER_K),
    )
    if iminuit is not None:
        row(
            "many",
            MANY_LABELS["iminuit"],
            native_call,
            "iminuit_loop(iminuit, ys, start)",
            "iminuit MIGRAD loop, grad",
            None,
            env,
            per_fit(MANY_K, MANY_PEER_K),
        )


# --- fit_many and curve_fit_many ---------------------------------------------------

# The targets: curve_fit_many with a native model at least 20x a
# Python loop of SciPy's curve_fit over the same decays (time per fit), and
# two workers at least 1.7x one; the other rows are for information.
FITS_MANY_LABELS = {
    "curve native": "curve_fit_many native model, per fit (K=10^4)",
    "curve python": f"curve_fit_many Python model, per fit (K={MANY_PYTHON_K})",
    "curve workers": "curve_fit_many native model, 2 workers vs 1",
    "fit native": "fit_many native+grad, per fit (K=10^4)",
    "fit python": f"fit_many Python+jac, per fit (K={MANY_PYTHON_K})",
    "fit iminuit": "fit_many native+grad vs iminuit loop",
}


def curve_fit_loop(spo, y, start):
    for row in y:
        spo.curve_fit(decay_model, DECAY_T, row, p0=start)


def velmora_fit_loop(velmora, objective, y, start, jac=None):
    """Velmora.fit of each row: a native objective gets the row as its ctx,
    a Python one as its argument."""
    for row in y:
        if jac is None:
            velmora.fit(
                velmora.NativeObjective(objective.address, row.ctypes.data, objective.grad),
                start,
                errordef=1.0,
            )
        else:
            velmora.fit(objective, start, args=(row,), jac=jac, errordef=1.0)


def iminuit_fit_loop(iminuit, y, start):
    for row in y:
        fcn, grad = decay_of_row(row)
        m = iminuit.Minuit(fcn, start, grad=grad)
        m.errordef = 1.0
        m.migrad()
        m.hesse()


def fits_many_rows():
    """fit_many and curve_fit_many against Python loops of their single-fit
    peers over the same decays; the outcomes are printed first."""
    import warnings

    import scipy.optimize as spo  # type: ignore[import-untyped]

    import Velmora

    try:
        import iminuit  # type: ignore[import-untyped]
    except ImportError:
        iminuit = None
    y = decay_problems(MANY_K)
    start = np.array([1.0, 1.0, 0.0])
    env = {
        "vm": Velmora,
        "spo": spo,
        "np": np,
        "y": y,
        "yp": y[:MANY_PYTHON_K],
        "ys": y[:MANY_PEER_K],
        "t": DECAY_T,
        "start": start,
        "f": decay_sse,
        "g": decay_grad,
        "model": decay_model,
        "iminuit": iminuit,
        "curve_fit_loop": curve_fit_loop,
        "fit_loop": velmora_fit_loop,
        "iminuit_fit_loop": iminuit_fit_loop,
    }
    check = y[:100]
    ours = Velmora.curve_fit_many(decay_model, DECAY_T, check, start)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peer = np.array([spo.curve_fit(decay_model, DECAY_T, r, p0=start)[0] for r in check])
    print(
        f"curve_fit_many outcome, {len(check)} decays: {ours.success.sum()} converged, largest "
        f"|x - x_SciPy| {np.max(np.abs(ours.x - peer)):.1e}; load average "
        f"{' '.join(f'{v:.2f}' for v in os.getloadavg())}\n"
    )

    curve_scipy = "curve_fit_loop(spo, ys, start)"
    row(
        "many fits",
        FITS_MANY_LABELS["curve python"],
        "vm.curve_fit_many(model, t, yp, start)",
        curve_scipy,
        "scipy curve_fit loop",
        None,
        env,
        per_fit(MANY_PYTHON_K, MANY_PEER_K),
    )
    row(
        "many fits",
        FITS_MANY_LABELS["fit python"],
        "vm.fit_many(f, start, yp, jac=g, errordef=1.0)",
        "fit_loop(vm, f, ys, start, g)",
        "Velmora.fit loop, jac",
        None,
        env,
        per_fit(MANY_PYTHON_K, MANY_PEER_K),
    )
    native_model, native = decay_model_cfunc(), decay_native(Velmora)
    if native is None or native_model is None:
        print(
            "numba is not installed: the native fit_many and curve_fit_many rows are skipped "
            "(pip install numba)\n"
        )
        return
    env.update(native_model=Velmora.NativeModel(native_model), native=native)
    curve_native = "vm.curve_fit_many(native_model, t, y, start)"
    row(
        "many fits",
        FITS_MANY_LABELS["curve native"],
        curve_native,
        curve_scipy,
        "scipy curve_fit loop",
        0.05,
        env,
        per_fit(MANY_K, MANY_PEER_K),
    )
    row(
        "many fits",
        FITS_MANY_LABELS["curve workers"],
        "vm.curve_fit_many(native_model, t, y, start, workers=2)",
        "vm.curve_fit_many(native_model, t, y, start, workers=1)",
        "the same call, 1 worker",
        1 / 1.7,
        env,
    )
    fit_native = "vm.fit_many(native, start, y, errordef=1.0)"
    row(
        "many fits",
        FITS_MANY_LABELS["fit native"],
        fit_native,
        "fit_loop(vm, native, ys, start)",
        "Velmora.fit loop, native",
        None,
        env,
        per_fit(MANY_K, MANY_PEER_K),
    )
    if iminuit is not None:
        row(
            "many fits",
            FITS_MANY_LABELS["fit iminuit"],
            fit_native,
            "iminuit_fit_loop(iminuit, ys, start)",
            "iminuit MIGRAD+HESSE loop",
            None,
            env,
            per_fit(MANY_K, MANY_PEER_K),
        )


class Progress:
    """A status line on standard error while rows are timed, kept only on a
    terminal (the finished rows themselves go to standard output)."""

    def __init__(self, total, stream=sys.stderr):
        self.total, self.stream = total, stream
        self.live = stream.isatty()

    def show(self, done, label):
        if self.live:
            self.stream.write(f"\r\x1b[K[{done + 1}/{self.total}] timing {label} ...")
            self.stream.flush()

    def clear(self):
        if self.live:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


# --- fit_distribution against the peers' distribution fits -----------------------

DISTRIBUTION_SIZES = (("10^2", 10**2), ("10^4", 10**4), ("10^6", 10**6))
# Faster than every peer at every size, at least 5x at 10^4.
DISTRIBUTION_TARGETS = {"10^2": 1.0, "10^4": 0.2, "10^6": 1.0}
DISTRIBUTION_PEERS = {
    "SciPy": ("scipy_weibull(data)", "scipy.stats fit + Hessian"),
    "iminuit": ("iminuit_weibull(data)", "iminuit UnbinnedNLL+HESSE"),
    "statsmodels": ("statsmodels_weibull(data)", "statsmodels GenericLikelihood"),
}


def difference_hessian(f, x):
    """Central second differences of f at x (steps 1e-4 relative): the
    Hessian a SciPy user forms around `rv.fit`, which gives none."""
    n = x.size
    h = 1e-4 * np.maximum(np.abs(x), 1e-8)
    out = np.empty((n, n))
    for i in range(n):
        for j in range(i, n):
            ei, ej = np.eye(n)[i] * h[i], np.eye(n)[j] * h[j]
            out[i, j] = out[j, i] = (
                f(x + ei + ej) - f(x + ei - ej) - f(x - ei + ej) + f(x - ei - ej)
            ) / (4 * h[i] * h[j])
    return out


def scipy_weibull(x):
    import scipy.stats as stats  # type: ignore[import-untyped]

    c, _, scale = stats.weibull_min.fit(x, floc=0)
    p = np.array([c, scale])
    h = difference_hessian(lambda q: stats.weibull_min.nnlf((q[0], 0.0, q[1]), x), p)
    return p, np.sqrt(np.diag(np.linalg.inv(h)))


def iminuit_weibull(x):
    import iminuit  # type: ignore[import-untyped]
    import scipy.stats as stats
    from iminuit.cost import UnbinnedNLL  # type: ignore[import-untyped]

    cost = UnbinnedNLL(x, lambda v, k, lam: stats.weibull_min.logpdf(v, k, scale=lam), log=True)
    m = iminuit.Minuit(cost, k=1.0, lam=float(np.mean(x)))
    m.limits = [(1e-9, None), (1e-9, None)]
    m.migrad()
    m.hesse()
    return np.array(m.values), np.array(m.errors)


def statsmodels_weibull(x):
    import warnings

    import scipy.stats as stats
    from statsmodels.base.model import GenericLikelihoodModel  # type: ignore[import-untyped]

    class Weibull(GenericLikelihoodModel):  # type: ignore[misc]
        def nloglikeobs(self, params):
            return -stats.weibull_min.logpdf(self.endog, params[0], scale=params[1])

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model = Weibull(x, exog=np.ones((x.size, 2)))
        res = model.fit(start_params=np.array([1.0, float(np.mean(x))]), disp=0)
        return np.asarray(res.params), np.asarray(res.bse)


def distribution_fit_rows(pattern=""):
    """Velmora.fit_distribution(data, "weibull") (estimates, standard errors,
    log-likelihood) against each peer's route to the same, at 10^2, 10^4 and
    10^6 observations."""
    labels = {
        (size, peer): f"fit_distribution weibull n={size} vs {peer}"
        for size, _ in DISTRIBUTION_SIZES
        for peer in DISTRIBUTION_PEERS
    }
    if not any(pattern in label for label in labels.values()):
        return
    import Velmora

    rng = np.random.default_rng(3)
    for size, n in DISTRIBUTION_SIZES:
        env = {
            "vm": Velmora,
            "data": rng.weibull(1.7, n) * 40.0,
            "scipy_weibull": scipy_weibull,
            "iminuit_weibull": iminuit_weibull,
            "statsmodels_weibull": statsmodels_weibull,
        }
        ours = 'vm.fit_distribution(data, "weibull")'
        for peer, (stmt, peer_name) in DISTRIBUTION_PEERS.items():
            label = labels[size, peer]
            if pattern not in label:
                continue
            try:
                __import__(peer.lower())
            except ImportError:
                print(f"{peer} is not installed: {label} is skipped\n")
                continue
            row("distfit", label, ours, stmt, peer_name, DISTRIBUTION_TARGETS[size], env)


def add_arguments(parser):
    parser.add_argument(
        "-k",
        dest="pattern",
        default="",
        metavar="PATTERN",
        help="only rows whose label contains PATTERN",
    )
    parser.add_argument(
        "--quick", action="store_true", help="shorter runs and fewer repeats (about a minute)"
    )


def load_scipy():
    """Imports the peer on first use; False when SciPy is not installed."""
    global sps
    try:
        import scipy.special  # type: ignore[import-untyped]
    except ImportError:
        return False
    sps = scipy.special
    return True


def run(args, prog="bench"):
    """Builds and times the rows selected by `args` (see add_arguments); the
    table goes to standard output as it is measured."""
    if not load_scipy():
        print(f"{prog}: error: {MISSING_SCIPY}", file=sys.stderr)
        return 1
    repeats, budget = (3, 0.004) if args.quick else (5, 0.02)
    ROWS.clear()
    print("preparing inputs and the minimizer outcomes ...", file=sys.stderr, flush=True)
    quantile_rows()
    transform_rows()
    public_transform_rows()
    minimizer_rows()
    minimize_rows()
    fit_rows(args.pattern)
    distribution_fit_rows(args.pattern)
    profile_rows(args.pattern)
    curve_fit_rows()
    if any(args.pattern in label for label in MANY_LABELS.values()):
        many_rows()  # its preparation compiles and fits: only when a row of it is selected
    if any(args.pattern in label for label in FITS_MANY_LABELS.values()):
        fits_many_rows()
    selected = [r for r in ROWS if args.pattern in r.label]

    header = (
        f"{'group':<11} {'row':<44} {'ours':>10} {'peer':>10}  {'peer name':<26} {'ratio':>7} "
        f"{'target':>7}  met"
    )
    print(header)
    print("-" * len(header), flush=True)
    progress = Progress(len(selected))
    missed, checked = [], 0
    for done, r in enumerate(selected):
        progress.show(done, r.label)
        ours, peer = seconds_per_call(r.ours, r.peer, r.env, repeats, budget)
        if r.adjust is not None:
            ours, peer = r.adjust[0](ours), r.adjust[1](peer)
        progress.clear()
        ratio = ours / peer
        if r.target is None:
            target, met = "-", ""
        else:
            checked += 1
            ok = ratio <= r.target
            if not ok:
                missed.append(r.label)
            target, met = f"{r.target:.2f}", "yes" if ok else "NO"
        print(
            f"{r.group:<11} {r.label:<44} {fmt_time(ours):>10} {fmt_time(peer):>10}  "
            f"{r.peer_name:<26} {ratio:7.3f} {target:>7}  {met}",
            flush=True,
        )
    print(f"\n{checked - len(missed)} of {checked} row(s) meet their target; {len(missed)} miss it")
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_arguments(parser)
    return run(parser.parse_args(argv))


if __name__ == "__main__":
    raise SystemExit(main())
