"""Side-by-side benchmarks of the native core against NumPy and SciPy.

Each row times one of our calls and a peer computing the same values in the
same run, and prints the ratio ours/peer with the row's target:

    python benchmarks/bench.py            # every row
    python benchmarks/bench.py -k ndtri   # rows whose label contains "ndtri"
    python benchmarks/bench.py --quick    # fewer repeats

SciPy is an optional extra (pip install '.[bench]'); rows whose peer needs it
are skipped without it.
"""

import argparse
import math
import sys
import timeit
from dataclasses import dataclass, field

import numpy as np

try:
    import scipy.special as sps
except ImportError:  # the peer rows are skipped
    sps = None


@dataclass
class Row:
    group: str
    label: str
    ours: str  # statement timed for us
    peer: str  # statement timed for the peer
    peer_name: str
    target: float | None  # largest acceptable ours/peer ratio
    env: dict = field(default_factory=dict)
    needs_scipy: bool = False


ROWS: list[Row] = []


def row(group, label, ours, peer, peer_name, target=None, env=None, needs_scipy=False):
    ROWS.append(Row(group, label, ours, peer, peer_name, target, env or {}, needs_scipy))


def seconds_per_call(stmt, env, repeats):
    timer = timeit.Timer(stmt, globals=env)
    number, _ = timer.autorange()
    number = max(1, number // 2)
    return min(timer.repeat(repeat=repeats, number=number)) / number


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:7.2f} {unit}"
    return f"{seconds / 1e-9:7.2f} ns"


# --- normal quantile ----------------------------------------------------------

def quantile_rows():
    from Velmora._ckernels.distributions import _distributions as dist

    # Callables are bound to local names so that both sides pay the same lookup.
    env = {"f": dist.ndtri_as241, "g": sps and sps.ndtri, "floor": math.log, "p": 0.3}
    row("quantile", "ndtri_as241(float)", "f(p)", "g(p)", "scipy.special.ndtri", 0.5, env,
        needs_scipy=True)
    row("quantile", "ndtri_as241(float) vs floor", "f(p)", "floor(p)", "math.log (floor)", None, env)
    rng = np.random.default_rng(0)
    for n in (10, 1000, 1_000_000):
        env_n = {"f": dist.ndtri_as241_into, "g": sps and sps.ndtri, "a": rng.uniform(0.0, 1.0, n)}
        row("quantile", f"ndtri_as241_into n={n}", "f(a)", "g(a)", "scipy.special.ndtri",
            1.0 if n == 1_000_000 else None, env_n, needs_scipy=True)


# --- transforms ---------------------------------------------------------------

def transform_rows():
    from Velmora._ckernels.transforms import _transforms as tr

    env = {"tr": tr, "np": np, "sps": sps, "x": 0.3}
    row("transforms", "log_fwd(float)", "tr.log_fwd(x)", "np.log(x)", "numpy.log", 0.35, env)
    row("transforms", "logit_fwd(float)", "tr.logit_fwd(x)", "sps.logit(x)", "scipy.special.logit",
        0.35, env, needs_scipy=True)
    row("transforms", "probit_fwd(float)", "tr.probit_fwd(x)", "sps.ndtri(x)", "scipy.special.ndtri",
        0.35, env, needs_scipy=True)
    # (function, input, peer statement, peer name, needs SciPy, target at 10^6)
    cases = [
        ("log_fwd", "u", "np.log(a)", "numpy.log", False, 1.5),
        ("log_inv", "r", "np.exp(a)", "numpy.exp", False, None),
        ("logit_fwd", "u", "sps.logit(a)", "scipy.special.logit", True, 1.0),
        ("logit_inv", "r", "sps.expit(a)", "scipy.special.expit", True, None),
        ("probit_fwd", "u", "sps.ndtri(a)", "scipy.special.ndtri", True, None),
        ("probit_inv", "r", "sps.ndtr(a)", "scipy.special.ndtr", True, None),
        ("softplus_inv", "r", "np.logaddexp(0.0, a)", "numpy.logaddexp(0, y)", False, None),
        ("tanh_fwd", "t", "np.arctanh(a)", "numpy.arctanh", False, None),
        ("aff_logit_fwd", "w", "sps.logit((a - 2.0) / 4.0)", "scipy logit((x-a)/(b-a))", True, None),
    ]
    rng = np.random.default_rng(0)
    for n in (10, 1000, 1_000_000):
        inputs = {"u": rng.uniform(0.0, 1.0, n), "r": rng.normal(0.0, 3.0, n),
                  "t": rng.uniform(-1.0, 1.0, n), "w": rng.uniform(2.0, 6.0, n)}
        for name, kind, peer, peer_name, needs_scipy, target in cases:
            env_n = {"tr": tr, "np": np, "sps": sps, "a": inputs[kind]}
            ours = f"tr.{name}(a, 2.0, 6.0)" if name.startswith("aff_") else f"tr.{name}(a)"
            row("transforms", f"{name} n={n}", ours, peer, peer_name,
                target if n == 1_000_000 else None, env_n, needs_scipy)


# --- minimizers ---------------------------------------------------------------

def minimizer_rows():
    pass


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-k", dest="pattern", default="", help="only rows whose label contains this")
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    args = parser.parse_args(argv)
    repeats = 3 if args.quick else 7

    quantile_rows()
    transform_rows()
    minimizer_rows()

    header = f"{'group':<11} {'row':<38} {'ours':>10} {'peer':>10}  {'peer name':<26} {'ratio':>7} {'target':>7}  met"
    print(header)
    print("-" * len(header))
    missed = 0
    for r in ROWS:
        if args.pattern not in r.label:
            continue
        if r.needs_scipy and sps is None:
            print(f"{r.group:<11} {r.label:<38} {'(skipped: SciPy not installed)'}")
            continue
        ours = seconds_per_call(r.ours, r.env, repeats)
        peer = seconds_per_call(r.peer, r.env, repeats)
        ratio = ours / peer
        if r.target is None:
            target, met = "-", ""
        else:
            ok = ratio <= r.target
            missed += not ok
            target, met = f"{r.target:.2f}", "yes" if ok else "NO"
        print(f"{r.group:<11} {r.label:<38} {fmt_time(ours):>10} {fmt_time(peer):>10}  "
              f"{r.peer_name:<26} {ratio:7.3f} {target:>7}  {met}")
        sys.stdout.flush()
    print(f"\n{missed} row(s) miss their target")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
