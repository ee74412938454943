"""Accuracy of the quantile and of the 63 transform functions against mpmath.

    PYTHONPATH=src python benchmarks/accuracy.py [--points N]

needs mpmath (the test extra) and prints the accuracy table of docs/accuracy.md as
markdown (progress goes to standard error; the full run takes some minutes).
For the scalar and the array form of each function it measures:

  usual domain   the largest error over a test grid and random points of the
                 usual domain (normal(0, 3) on the inverse side), in ulps of
                 max(|exact|, s), where s = 1 (b - a for the affine families)
                 is the size of the terms the formulas combine;
  whole domain   the largest relative error, in ulps of the exact value, over
                 N points spread over every binade of the domain (from the
                 smallest subnormal to the largest double, both signs on the
                 inverse side) and over every binade of the distance to each
                 point where the exact value is 0, outside the ranges named;
  ranges         where the relative error exceeds LIMIT ulps or the result is
                 infinite, NaN or 0 while the exact value is not: runs of such
                 points, their ends located by bisection between neighbouring
                 points.

The exact values are the mathematical definitions evaluated by mpmath at 50
digits (more where the quantile needs them), written without the
cancellations of the implemented formulas. The quantile is also checked for
places where it decreases, over a grid of millions of sorted probabilities.
"""

import argparse
import math
import os
import sys
from dataclasses import dataclass

import mpmath as mp
import numpy as np

from Velmora._ckernels.distributions import _distributions as dist
from Velmora._ckernels.transforms import _transforms as tr

sys.path.insert(
    0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support")
)
from native import TRANSFORM_FAMILIES, TRANSFORM_OPS, transform_bounds  # noqa: E402

LIMIT = 1024  # ulps of relative error (2.3e-13) beyond which a result counts as not accurate
FEW = 16  # functions within this many ulps over the whole domain share a row of the table
GAP = 8  # good points that may part two runs of bad points of one kind
# Widths below 2.5 keep the affine log-Jacobians, and positive bounds the
# affine inverses, away from 0 (relative errors near a zero that only these
# bounds put there would say nothing about the formulas).
BOUNDS = {"aff_logit": (2.0, 3.5), "aff_probit": (1.0, 2.5), "lower": (1.5,), "upper": (-2.0,)}
TINY, HUGE = 5e-324, float(np.finfo(float).max)
SMALLEST_NORMAL = 2.2250738585072014e-308
LN2 = 0.6931471805599453

X_GRID = {  # typical and extreme points of the forward side
    "log": [1e-300, 1e-8, 0.3, 1.0, 7.5, 1e5, 1e300],
    "logit": [1e-12, 1e-3, 0.2, 0.5, 0.7, 0.999, 1 - 2**-40],
    "probit": [1e-300, 1e-10, 0.025, 0.3, 0.5, 0.925, 0.999999],
    "softplus": [1e-10, 0.01, 0.6931471805599453, 1.0, 5.0, 40.0, 700.0],
    "lower": [1.5 + 1e-10, 1.6, 2.5, 10.0, 1e10],
    "upper": [-2.0 - 1e-10, -2.2, -3.5, -100.0, -1e10],
    "tanh": [-1 + 1e-12, -0.9, -0.3, 1e-5, 0.5, 0.99, 1 - 1e-9],
}
Z_GRID = [1e-3, 0.2, 0.5, 0.7, 0.999]  # of z = (x - low) / (high - low), the affine families
Y_GRID = [-30.0, -7.5, -1.0, -0.3, 0.0, 0.7, 2.0, 9.0, 30.0]

# What to call instead, where a function has a range and the package has
# something better.
ADVICE = {
    "logit_inv": "`log_inv(y)` (eʸ, which equals σ(y) in doubles below y ≈ −37)",
    "softplus_grad_inv": "`log_inv(y)` (eʸ, which equals σ(y) in doubles below y ≈ −37)",
    "logit_fwd": "near 1/2, `2 * tanh_fwd(2 * x - 1)` (2x − 1 is exact there)",
    "logit_grad_inv": "`logit_grad_inv(-y)` (the derivative is even in y)",
    "logit_ldet_abs_jac_inv": "`logit_ldet_abs_jac_inv(-y)` (even in y)",
    "logit_grad_ldet_abs_jac_inv": "`-tanh_inv(y / 2)` (the same function)",
    "aff_logit_fwd": "near the midpoint, `2 * tanh_fwd((2 * x - low - high) / (high - low))`; near `high`, "
    "`-logit_fwd((high - x) / (high - low))` (high − x is exact there)",
    "aff_logit_grad_fwd": "near `high`, `logit_grad_fwd((high - x) / (high - low)) / (high - low)`",
    "aff_logit_ldet_abs_jac_fwd": "near `high`, `logit_ldet_abs_jac_fwd((high - x) / (high - low)) "
    "- log(high - low)`",
    "aff_logit_grad_inv": "`aff_logit_grad_inv(-y, low, high)` (even in y)",
    "aff_logit_ldet_abs_jac_inv": "`aff_logit_ldet_abs_jac_inv(-y, low, high)` (even in y)",
    "aff_logit_grad_ldet_abs_jac_inv": "`-tanh_inv(y / 2)` (the same function)",
    "aff_probit_fwd": "near `high`, `-probit_fwd((high - x) / (high - low))`",
    "aff_probit_grad_fwd": "near `high`, `probit_grad_fwd((high - x) / (high - low)) / (high - low)`",
    "aff_probit_ldet_abs_jac_fwd": "near `high`, `probit_ldet_abs_jac_fwd((high - x) / (high - low)) "
    "- log(high - low)`",
    "softplus_grad_ldet_abs_jac_inv": "`softplus_grad_inv(-y)` (1 − σ(y) = σ(−y))",
    "softplus_fwd": "x itself from x ≈ 37 on, where log(eˣ − 1) rounds to x",
}


# --- exact values -----------------------------------------------------------------
# Exponentials of arguments below -1e5 are taken as 0: the true values lie far
# below the smallest double, and mpmath is slow on such exponents.


def exp_(v):
    return mp.exp(v) if v > -1e5 else mp.mpf(0)


def expm1_(v):
    return mp.expm1(v) if v > -1e5 else mp.mpf(-1)


def sigma(y):
    """1 / (1 + e^-y)."""
    return 1 / (1 + exp_(-y)) if y >= 0 else exp_(y) / (1 + exp_(y))


def log_sigma(y):
    return -mp.log1p(exp_(-y)) if y >= 0 else y - mp.log1p(exp_(y))


def log1m_exp(x):
    """log(1 - e^-x) for x > 0, without cancellation at either end."""
    return mp.log(-mp.expm1(-x)) if x < 1 else mp.log1p(-exp_(-x))


def ndtri(p):
    # 2p - 1 must keep the digits of p itself, however small p is.
    with mp.extradps(int(-mp.log10(min(p, 1 - p))) + 10):
        return mp.sqrt(2) * mp.erfinv(2 * p - 1)


def npdf(y):
    return exp_(-y * y / 2) / mp.sqrt(2 * mp.pi)


def ncdf(y):
    if y < -1000:  # asymptotic series, relative error below 3/y^4
        return npdf(y) / -y * (1 - 1 / y**2)
    return 1 - ncdf(-y) if y > 1000 else mp.ncdf(y)


LOG_SQRT_2PI = mp.log(2 * mp.pi) / 2

UNIT = {  # family -> op -> exact value (the affine families use their unit family's)
    "log": {
        "fwd": mp.log,
        "inv": exp_,
        "grad_fwd": lambda x: 1 / x,
        "grad_inv": exp_,
        "ldet_abs_jac_fwd": lambda x: -mp.log(x),
        "ldet_abs_jac_inv": lambda y: y,
        "grad_ldet_abs_jac_inv": lambda y: mp.mpf(1),
    },
    "logit": {
        "fwd": lambda x: mp.log(x) - mp.log1p(-x),
        "inv": sigma,
        "grad_fwd": lambda x: 1 / (x * (1 - x)),
        "grad_inv": lambda y: sigma(y) * sigma(-y),
        "ldet_abs_jac_fwd": lambda x: -(mp.log(x) + mp.log1p(-x)),
        "ldet_abs_jac_inv": lambda y: log_sigma(y) + log_sigma(-y),
        "grad_ldet_abs_jac_inv": lambda y: -mp.tanh(y / 2),
    },  # 1 - 2 sigma(y)
    "probit": {
        "fwd": ndtri,
        "inv": ncdf,
        "grad_fwd": lambda x: 1 / npdf(ndtri(x)),
        "grad_inv": npdf,
        "ldet_abs_jac_fwd": lambda x: ndtri(x) ** 2 / 2 + LOG_SQRT_2PI,
        "ldet_abs_jac_inv": lambda y: -y * y / 2 - LOG_SQRT_2PI,
        "grad_ldet_abs_jac_inv": lambda y: -y,
    },
    "softplus": {
        "fwd": lambda x: x + log1m_exp(x),
        "inv": lambda y: max(y, 0) + mp.log1p(exp_(-abs(y))),
        "grad_fwd": lambda x: -1 / expm1_(-x),
        "grad_inv": sigma,
        "ldet_abs_jac_fwd": lambda x: -log1m_exp(x),
        "ldet_abs_jac_inv": log_sigma,
        "grad_ldet_abs_jac_inv": lambda y: sigma(-y),
    },
    "tanh": {
        "fwd": mp.atanh,
        "inv": mp.tanh,
        "grad_fwd": lambda x: 1 / ((1 - x) * (1 + x)),
        "grad_inv": lambda y: 4 * exp_(-2 * abs(y)) / (1 + exp_(-2 * abs(y))) ** 2,
        "ldet_abs_jac_fwd": lambda x: -mp.log1p(-x * x),
        "ldet_abs_jac_inv": lambda y: -2 * mp.log1p(2 * mp.sinh(y / 2) ** 2),  # log sech^2
        "grad_ldet_abs_jac_inv": lambda y: -2 * mp.tanh(y),
    },
}


def exact(family, op, v):
    """The exact value of family_op at the double v, with the family's BOUNDS."""
    v = mp.mpf(v)
    if family in ("lower", "upper"):
        c = mp.mpf(BOUNDS[family][0])
        s = 1 if family == "lower" else -1
        if op in ("fwd", "grad_fwd", "ldet_abs_jac_fwd"):
            d = s * (v - c)  # the distance to the bound
            return {"fwd": mp.log(d), "grad_fwd": s / d, "ldet_abs_jac_fwd": -mp.log(d)}[op]
        return {
            "inv": lambda: c + s * exp_(v),
            "grad_inv": lambda: s * exp_(v),
            "ldet_abs_jac_inv": lambda: v,
            "grad_ldet_abs_jac_inv": lambda: mp.mpf(1),
        }[op]()
    if family.startswith("aff_"):
        a, b = (mp.mpf(c) for c in BOUNDS[family])
        unit = UNIT[family[4:]][op]
        if op in ("fwd", "grad_fwd", "ldet_abs_jac_fwd"):
            u = unit((v - a) / (b - a))
            return {"fwd": u, "grad_fwd": u / (b - a), "ldet_abs_jac_fwd": u - mp.log(b - a)}[op]
        u = unit(v)
        return {
            "inv": a + (b - a) * u,
            "grad_inv": u * (b - a),
            "ldet_abs_jac_inv": u + mp.log(b - a),
            "grad_ldet_abs_jac_inv": u,
        }[op]
    return UNIT[family][op](v)


# --- domains and points -----------------------------------------------------------


def domain(family, op):
    """(lower end, upper end) of the argument; the ends are excluded."""
    if not op.endswith("fwd"):
        return -math.inf, math.inf
    return {
        "log": (0.0, math.inf),
        "softplus": (0.0, math.inf),
        "logit": (0.0, 1.0),
        "probit": (0.0, 1.0),
        "tanh": (-1.0, 1.0),
        "lower": (BOUNDS["lower"][0], math.inf),
        "upper": (-math.inf, BOUNDS["upper"][0]),
    }.get(family) or BOUNDS[family]


def zeros(family, op):
    """Arguments other than 0 where the exact value is 0."""
    a, b = BOUNDS.get(family, (0.0, 1.0)) if family.startswith("aff") else (0.0, 1.0)
    return {
        ("log", "fwd"): [1.0],
        ("log", "ldet_abs_jac_fwd"): [1.0],
        ("logit", "fwd"): [0.5],
        ("probit", "fwd"): [0.5],
        ("aff_logit", "fwd"): [(a + b) / 2],
        ("aff_probit", "fwd"): [(a + b) / 2],
        ("softplus", "fwd"): [LN2],
        ("lower", "fwd"): [BOUNDS["lower"][0] + 1.0],
        ("lower", "ldet_abs_jac_fwd"): [BOUNDS["lower"][0] + 1.0],
        ("upper", "fwd"): [BOUNDS["upper"][0] - 1.0],
        ("upper", "ldet_abs_jac_fwd"): [BOUNDS["upper"][0] - 1.0],
    }.get((family, op), [])


def log_uniform(rng, lo, hi, n):
    return 10.0 ** rng.uniform(math.log10(lo), math.log10(hi), n)


def whole_domain(rng, family, op, n):
    """About n doubles inside the domain: every binade of the distance to each
    end (from the smallest subnormal to the largest double) and to each zero."""
    lo, hi = domain(family, op)
    centres = (
        [c for c in (lo, hi) if math.isfinite(c)]
        + zeros(family, op)
        + ([0.0] if lo < 0 < hi else [])
    )
    parts = []
    for c in centres:
        # Half of them where most results change character (distances 1e-20 to 1e4).
        k = n // len(centres) // 2
        d = np.concatenate([log_uniform(rng, TINY, HUGE, k), log_uniform(rng, 1e-20, 1e4, k)])
        parts += [c + d, c - d]
    x = np.concatenate(parts)
    x = x[np.isfinite(x) & (x > lo) & (x < hi)]
    return np.unique(x)


def usual_domain(rng, family, op, n):
    """The grid of typical and extreme points and n random ones."""
    if not op.endswith("fwd"):
        return np.concatenate([Y_GRID, rng.normal(0.0, 3.0, n)])
    usual = {
        "log": (0.1, 10.0),
        "softplus": (0.01, 20.0),
        "lower": (1.6, 11.5),
        "upper": (-11.5, -2.1),
        "tanh": (-0.999, 0.999),
        "logit": (1e-6, 1 - 1e-6),
        "probit": (1e-6, 1 - 1e-6),
    }
    if family.startswith("aff_"):
        a, b = BOUNDS[family]
        return a + (b - a) * np.concatenate([Z_GRID, rng.uniform(1e-6, 1 - 1e-6, n)])
    return np.concatenate([X_GRID[family], rng.uniform(*usual[family], n)])


# --- errors -----------------------------------------------------------------------


def relative_error(got, want):
    """|got - want| / |want| (0 when equal, infinite when want is 0)."""
    if got == float(want) or not math.isfinite(got):
        return 0.0 if got == float(want) else math.inf
    return float(abs(mp.mpf(got) - want) / abs(want)) if want != 0 else math.inf


def ulps_of(got, want, scale=0.0):
    """|got - want| in ulps of max(|want|, scale), want being the exact value."""
    w = float(want)
    if got == w or (math.isnan(got) and mp.isnan(want)):
        return 0.0
    if not math.isfinite(got) or not math.isfinite(w):
        return math.inf
    return float(abs(mp.mpf(got) - want)) / math.ulp(max(abs(w), scale, TINY))


def wrong_kind(got, want):
    """'inf', '−inf' or 'NaN' when the result is that and the exact value is
    finite; None otherwise."""
    w = float(want)
    if math.isnan(got) and not math.isnan(w):
        return "NaN"
    if math.isinf(got) and math.isfinite(w):
        return "inf" if got > 0 else "−inf"
    return None


class Function:
    """One transform (or the quantile) with its exact values and both forms."""

    def __init__(self, name, family, op):
        self.name, self.family, self.op = name, family, op
        if family == "quantile":
            self.scalar, self.array, self.bounds = dist.ndtri_as241, dist.ndtri_as241_into, ()
        else:
            fn = getattr(tr, name)
            self.bounds = BOUNDS.get(family, ())[: len(transform_bounds(family, op))]
            self.scalar = self.array = fn

    def exact(self, v):
        return ndtri(mp.mpf(v)) if self.family == "quantile" else exact(self.family, self.op, v)

    def values(self, points):
        with np.errstate(all="ignore"):
            scalars = np.array([float(self.scalar(float(v), *self.bounds)) for v in points])
            array = self.array(np.array(points, dtype=float), *self.bounds)
        return scalars, array

    def measure(self, points, scale=0.0):
        """The results at `points` against the exact values (see Measured)."""
        want = [self.exact(v) for v in points]
        s, a = self.values(points)
        return Measured(
            scalar=np.array([ulps_of(g, w, scale) for g, w in zip(s, want)]),
            array=np.array([ulps_of(g, w, scale) for g, w in zip(a, want)]),
            relative=np.array(
                [max(relative_error(g, w), relative_error(h, w)) for g, h, w in zip(s, a, want)]
            ),
            kinds=[
                ", ".join(sorted({wrong_kind(g, w), wrong_kind(h, w)} - {None}))
                for g, h, w in zip(s, a, want)
            ],
            zero=(s == 0) | (a == 0),
            tiny=np.array([abs(float(w)) < SMALLEST_NORMAL for w in want]),
        )

    def classify(self, v):
        return self.measure([v]).classes()[0]

    def wrongly_zero(self, v):
        """Whether a form gives 0 at v, LIMIT ulps or more from the exact value."""
        m = self.measure([v])
        return bool(m.zero[0]) and max(m.scalar[0], m.array[0]) > LIMIT


@dataclass
class Measured:
    """Per point: the errors of the scalar and the array form in ulps of
    max(|exact|, scale), the larger relative error, the kind of non-finite
    result where the exact value is finite (see wrong_kind), whether either
    result is 0, and whether the exact value is 0 or subnormal."""

    scalar: np.ndarray
    array: np.ndarray
    relative: np.ndarray
    kinds: list
    zero: np.ndarray
    tiny: np.ndarray

    def classes(self):
        return [
            point_class(e, k, t)
            for e, k, t in zip(np.maximum(self.scalar, self.array), self.kinds, self.tiny)
        ]


def point_class(error, kind, exact_tiny):
    """The kind of non-finite result, 'loose' above LIMIT ulps (0 where the
    exact value is not is such an error), 'near' above 1/32 of it or where
    the exact value is 0 or subnormal (whose relative precision is the
    format's, not the formula's): such points join a loose run but start
    none; else ''."""
    if kind:
        return kind
    return "loose" if error > LIMIT else ("near" if error > LIMIT / 32 or exact_tiny else "")


def ordered(v):
    """The doubles as integers in the same order."""
    i = int(np.array([v], dtype=np.float64).view(np.int64)[0])
    return i if i >= 0 else -(2**63) - i


def from_ordered(k):
    i = k if k >= 0 else -(2**63) - k
    return float(np.array([i], dtype=np.int64).view(np.float64)[0])


def boundary(holds, outside, inside):
    """The double nearest `outside` where holds(v) is true, between `outside`
    (where it is not) and `inside` (where it is), by bisection."""
    o, i = ordered(outside), ordered(inside)
    while abs(i - o) > 1:
        m = (o + i) // 2
        if holds(from_ordered(m)):
            i = m
        else:
            o = m
    return from_ordered(i)


def hull(holds, p, inside):
    """(first, last, at the lower end, at the upper end): the first and last
    double where holds(v) is true, given the sorted points p and the flags
    `inside` (where it holds among them), the ends located by bisection
    towards the neighbouring points."""
    r0, r1 = np.flatnonzero(inside)[[0, -1]]
    first = boundary(holds, p[r0 - 1], p[r0]) if r0 > 0 else p[r0]
    last = boundary(holds, p[r1 + 1], p[r1]) if r1 + 1 < p.size else p[r1]
    return first, last, r0 == 0, r1 + 1 == p.size


def bad_ranges(fn, points, classes):
    """Runs of points of one class in sorted order, each as (class, first,
    last, reaches the lower end, reaches the upper end), the ends located by
    bisection. 'near' points inside or beside a loose run belong to it."""
    order = np.argsort(points)
    p, c = points[order], [classes[i] for i in order]
    runs = []  # [class, first rank, last rank]
    for rank, cls in enumerate(c):
        if not cls:
            continue
        last = runs[-1] if runs else None
        # Adjacent, or of one class (near counting as loose) with a few good
        # points between: an error that grows with the argument need not
        # exceed the limit everywhere, and exactly rounded points dot it.
        loose_like = last and {cls, last[0]} <= {"near", "loose"}
        if (
            last
            and (cls == last[0] or loose_like)
            and (last[2] == rank - 1 or rank - last[2] <= GAP)
        ):
            last[0] = cls if last[0] == "near" else last[0]
            last[2] = rank
        else:
            runs.append([cls, rank, rank])
    found = []
    for cls, r0, r1 in runs:
        if cls != "near":  # ends: the first and last point of the class itself
            inside = np.zeros(p.size, dtype=bool)
            inside[r0 : r1 + 1] = [k == cls for k in c[r0 : r1 + 1]]
            found.append((cls, *hull(lambda v, cls=cls: fn.classify(v) == cls, p, inside)))
    return found


def fmt_point(v, fn):
    """2 significant digits, written as an offset from a domain end or a zero
    when it is that close to one."""
    lo, hi = domain(fn.family, fn.op) if fn.family != "quantile" else (0.0, 1.0)
    for c in [e for e in (lo, hi) if math.isfinite(e) and e != 0.0] + zeros(fn.family, fn.op):
        d = v - c
        if d == 0:
            return f"{c:.17g}".replace("-", "−")
        if abs(d) < 1e-3 * max(1.0, abs(c)):
            return f"{c:g} {'+' if d > 0 else '−'} {abs(d):.2g}".replace("-", "−")
    return f"{v:.2g}".replace("-", "−")


def describe(fn, first, last, at_start, at_end):
    var = "x" if fn.op.endswith("fwd") or fn.family == "quantile" else "y"
    a, b = fmt_point(first, fn), fmt_point(last, fn)
    if at_start and at_end:
        return f"every {var}"
    if at_end:
        return f"{var} ≥ {a}"
    if at_start:
        return f"{var} ≤ {b}"
    if a == b:
        return f"{var} = {a}"
    return f"|{var}| ≤ {b}" if a == "−" + b else f"{a} ≤ {var} ≤ {b}"


INSTEAD = {
    "inf": "inf instead of a finite value",
    "−inf": "−inf instead of a finite value",
    "NaN": "NaN instead of a number",
}


def relative(r):
    """A relative error in words: 'relative error up to 2.3e-13' (or a
    percentage), or no digit right."""
    return (
        "no digit right"
        if r >= 1
        else f"relative error up to {r:.0%}"
        if r >= 0.01
        else f"relative error up to {r:.1e}"
    )


def measure(fn, rng, n_whole, n_usual):
    """(usual scalar, usual array, whole scalar, whole array, ranges text)."""
    scale = BOUNDS[fn.family][1] - BOUNDS[fn.family][0] if fn.family.startswith("aff_") else 1.0
    if fn.family == "quantile":
        p = np.concatenate(
            [
                rng.uniform(0.0, 1.0, n_usual),
                10.0 ** -rng.uniform(0, 300, n_usual),
                1.0 - rng.uniform(0.0, 1e-3, n_usual),
                [0.02425, 0.5, 0.97575],
            ]
        )
        usual, scale = p[(p > 0) & (p < 1)], 0.0  # accurate relative to itself near 1/2 too
        points = whole_domain(rng, "probit", "fwd", n_whole)
    else:
        usual = usual_domain(rng, fn.family, fn.op, n_usual)
        lo, hi = domain(fn.family, fn.op)
        points = np.unique(
            np.concatenate(
                [whole_domain(rng, fn.family, fn.op, n_whole), usual[(usual > lo) & (usual < hi)]]
            )
        )
    m = fn.measure(usual, scale)
    usual_errors = (m.scalar.max(), m.array.max())

    points = np.sort(points)
    m = fn.measure(points)
    classes = m.classes()
    texts = []
    for cls, first, last, at_start, at_end in bad_ranges(fn, points, classes):
        where = describe(fn, first, last, at_start, at_end)
        if cls != "loose":
            texts.append(f"{where}: {', '.join(INSTEAD[k] for k in cls.split(', '))}")
            continue
        inside = (points >= first) & (points <= last)
        what = relative(m.relative[inside].max(initial=0.0))
        zeros = inside & m.zero & (np.maximum(m.scalar, m.array) > LIMIT)
        if zeros.any():  # results of 0 where the exact value is not
            span = describe(fn, *hull(fn.wrongly_zero, points, zeros))
            what = "0 instead of a non-zero value" if span == where else f"{what}, 0 for {span}"
        texts.append(f"{where}: {what}")
    good = np.array([cls in ("", "near") for cls in classes])
    whole = (m.scalar[good].max(initial=0.0), m.array[good].max(initial=0.0))
    return (*usual_errors, *whole, "; ".join(texts))


# --- the quantile's monotonicity ------------------------------------------------------


def monotonicity(points_per_part):
    """(number of decreases, largest decrease in ulps, where, grid size) of
    the quantile over a sorted grid: every binade of both tails, a uniform
    grid, and runs of consecutive doubles at the region switches."""
    k = points_per_part
    parts = [
        10.0 ** np.linspace(-323.3, math.log10(0.5), k),
        1.0 - 10.0 ** np.linspace(-16, math.log10(0.5), k),
        np.linspace(0.0, 1.0, k)[1:-1],
    ]
    for c in (0.075, 0.925, math.exp(-25.0), 1.0 - math.exp(-25.0)):
        parts.append(c + np.arange(-k // 8, k // 8) * math.ulp(c))
    p = np.unique(np.concatenate(parts))
    p = p[(p > 0) & (p < 1)]
    q = dist.ndtri_as241_into(p)
    down = np.flatnonzero(np.diff(q) < 0)
    ulps = np.array([(q[i] - q[i + 1]) / math.ulp(q[i]) for i in down])
    worst = int(np.argmax(ulps)) if ulps.size else None
    return (
        down.size,
        0.0 if worst is None else ulps[worst],
        math.nan if worst is None else p[down[worst] + 1],
        p.size,
    )


# --- the table --------------------------------------------------------------------


def label(names, family):
    ops = [n[len(family) + 1 :] for n in names]
    if len(ops) == len(TRANSFORM_OPS):
        return f"`{family}_*` (all {len(ops)})"
    if len(ops) < 4:
        return ", ".join(f"`{n}`" for n in names)
    left = [op for op in TRANSFORM_OPS if op not in ops]
    return f"`{family}_*` except {', '.join(f'`{op}`' for op in left)} ({len(ops)})"


def markdown(quantile, rows, mono):
    out = [
        (
            f"| Functions | usual domain: scalar | array | whole domain: scalar | array | "
            f"not accurate (error above {LIMIT} ulps, or a non-finite result) |"
        ),
        "|---|---|---|---|---|---|",
    ]

    def line(name, r):
        cells = [f"{v:.1f}" if math.isfinite(v) else "inf" for v in r[:4]]
        out.append(f"| {name} | {' | '.join(cells)} | {r[4] or '—'} |")

    line("`ndtri_as241` (AS 241)", quantile)
    for family in TRANSFORM_FAMILIES:
        mine = [
            (n, r)
            for n, r in rows
            if n.startswith(family + "_") and n[len(family) + 1 :] in TRANSFORM_OPS
        ]
        plain = [(n, r) for n, r in mine if not r[4] and max(r[2:4]) <= FEW]
        if plain:
            line(
                label([n for n, _ in plain], family),
                [max(r[i] for _, r in plain) for i in range(4)] + [""],
            )
        for n, r in mine:
            if (n, r) not in plain:
                line(f"`{n}`", r)
    notes = [f"- `{n}`: {ADVICE[n]}." for n, r in rows if r[4] and n in ADVICE]
    if notes:
        out += ["", "Better calls in those ranges:", ""] + notes
    decreases, worst, where, size = mono
    out += [
        "",
        (
            f"Over {size:,} sorted probabilities (every binade of both tails, a uniform grid and runs of "
            f"consecutive doubles at the region switches) `ndtri_as241` decreases at {decreases:,} places, "
            f"by at most {worst:.1f} ulps (at p = {where:.17g})."
        ),
    ]
    return "\n".join(out)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--points", type=int, default=1000, help="whole-domain points per function (1000)"
    )
    parser.add_argument(
        "--usual-points", type=int, default=200, help="usual-domain points per function (200)"
    )
    parser.add_argument(
        "--grid", type=int, default=2_000_000, help="quantile monotonicity grid, per part"
    )
    args = parser.parse_args(argv)
    rng = np.random.default_rng(2026)
    mp.mp.dps = 50
    print("measuring ndtri_as241 ...", file=sys.stderr, flush=True)
    quantile = measure(
        Function("ndtri_as241", "quantile", "fwd"), rng, args.points, args.usual_points
    )
    rows = []
    for family in TRANSFORM_FAMILIES:
        for op in TRANSFORM_OPS:
            name = f"{family}_{op}"
            print(f"measuring {name} ...", file=sys.stderr, flush=True)
            rows.append(
                (name, measure(Function(name, family, op), rng, args.points, args.usual_points))
            )
    print(markdown(quantile, rows, monotonicity(args.grid)))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
