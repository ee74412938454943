"""Accuracy of the quantile and of the 63 transform functions against mpmath.

    PYTHONPATH=tests/support python benchmarks/accuracy.py [--points N]

needs mpmath (the test extra). For each function: the largest error of the
scalar and of the array form over the test grids and N random points of the
domain, in ulps of max(|exact|, s), where s = 1 (b - a for the affine
families) is the size of the terms the formulas combine: a formula that
subtracts nearly equal terms has an absolute error of a few ulps of them.
"""

import argparse
import math
import os
import sys

import mpmath as mp
import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))

import test_transforms as ref  # noqa: E402  (the mpmath references of the test suite)
from Velmora import bench  # noqa: E402
from Velmora._ckernels.distributions import _distributions as dist  # noqa: E402

def error_ulps(got, exact, scale):
    """The largest |got - exact| in ulps of max(|exact|, scale)."""
    worst = 0.0
    for g, e in zip(np.asarray(got, dtype=float), np.asarray(exact, dtype=float)):
        if g == e or (math.isnan(g) and math.isnan(e)):
            continue
        worst = max(worst, abs(g - e) / math.ulp(max(abs(e), scale)))
    return worst


def random_points(rng, family, op, count):
    """Inverse side: normal(0, 3); forward side: inside the domain, with the
    bounds of the test references."""
    if not op.endswith("fwd"):
        return rng.normal(0.0, 3.0, count)
    if family in ("lower", "upper"):
        [bound] = ref.BOUNDS[family]
        offsets = 10.0 ** rng.uniform(-8, 8, count)
        return bound + offsets if family == "lower" else bound - offsets
    return rng.uniform(*ref.BOUNDS.get(family, bench.DOMAINS[family]), count)


def transform_rows(rng, count):
    for family, op in ref.FUNCTIONS:
        fn = getattr(ref.t, f"{family}_{op}")
        bounds = ref.call_bounds(family, op)
        points = np.concatenate([ref.grid(family, op), random_points(rng, family, op, count)])
        exact = [ref.reference(family, op, v, ref.BOUNDS.get(family, ())) for v in points]
        scale = ref.BOUNDS[family][1] - ref.BOUNDS[family][0] if family.startswith("aff") else 1.0
        scalars = [fn(float(v), *bounds) for v in points]
        yield f"{family}_{op}", error_ulps(scalars, exact, scale), error_ulps(fn(points, *bounds), exact, scale)


def quantile_row(rng, count):
    # Probabilities over the centre and both tails, down to the smallest doubles.
    p = np.concatenate([rng.uniform(0.0, 1.0, count), 10.0 ** -rng.uniform(0, 300, count),
                        1.0 - rng.uniform(0.0, 1e-3, count), [5e-324, 1e-300, 0.02425, 0.5, 0.97575]])
    p = p[(p > 0) & (p < 1)]
    exact = [float(ref._ndtri(mp.mpf(v))) for v in p]
    scalars = [dist.ndtri_as241(float(v)) for v in p]
    # the quantile is accurate relative to itself, also near 0 (s = 0)
    return "ndtri_as241", error_ulps(scalars, exact, 0.0), error_ulps(dist.ndtri_as241_into(p), exact, 0.0)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=100, help="random points per function (default 100)")
    args = parser.parse_args(argv)
    rng = np.random.default_rng(2026)
    mp.mp.dps = 40
    print(f"{'function':<36} {'scalar':>10} {'array':>10}   (worst error, ulps of max(|exact|, s))")
    rows = [quantile_row(rng, args.points)]
    print(f"{rows[0][0]:<36} {rows[0][1]:10.2f} {rows[0][2]:10.2f}", flush=True)
    for name, scalar, array in transform_rows(rng, args.points):
        rows.append((name, scalar, array))
        print(f"{name:<36} {scalar:10.2f} {array:10.2f}", flush=True)
    worst = max(rows[1:], key=lambda r: max(r[1:]))
    print(f"\nworst transform: {worst[0]} {max(worst[1:]):.2f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
