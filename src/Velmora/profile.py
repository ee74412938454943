"""Profile likelihood: the minimized objective along one or two parameters.

`FitResult.profile`, `FitResult.ci(level, method="profile")` and
`FitResult.contour` call the functions here. Every point of a profile is a
re-fit of the other parameters with the profiled ones held fixed by equal
bounds, warm-started from the solution of the neighbouring point. Profiles
and intervals run natively from end to end (the objective, bounds and
options the fit used; re-fits without Hessian, their stopping tests
tightened so each profile value is accurate to a tenth of the root
tolerance; starts moved along the fit's covariance, as the quadratic
approximation predicts the others): a native objective runs the whole
profile without the interpreter lock. Contours re-fit by `Velmora.fit`.

The interval of one parameter at confidence `level` is where the profile
rises by errordef * z^2 above the minimum (z the standard normal quantile of
0.5 + level / 2): 1.92 for a negative log-likelihood (errordef 0.5) at 95%,
3.84 for a chi-square (errordef 1), as iminuit's MINOS finds it. The
confidence region of two parameters is bounded by a rise of errordef times
the chi-square quantile with two degrees of freedom, -2 log(1 - level).
Each end is found by root finding on the unconstrained coordinate of the
parameter (see `Velmora.transforms.ParameterMap`), so a search never leaves
the parameter's bounds; an end the rise never reaches before a bound is
reported at that bound, and says so.
"""

from __future__ import annotations

import math
import threading
import warnings
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from Velmora._ckernels.optim import _fitting
from Velmora._warnings import ConvergenceWarning, IdentifiabilityWarning, VelmoraWarning

if TYPE_CHECKING:
    from Velmora.estimate import FitResult

__all__ = ["ContourResult", "IntervalAtBoundWarning", "ProfileIntervals", "ProfileResult"]


class IntervalAtBoundWarning(VelmoraWarning):
    """A profile-likelihood interval reaches a parameter's bound: the
    likelihood never falls far enough on that side for the level asked."""


class ProfileResult(NamedTuple):
    """The profile of one parameter: values of the parameter (ascending),
    the objective minimized over the others at each, and whether that
    re-fit converged."""

    name: str
    x: NDArray[np.float64]
    fun: NDArray[np.float64]
    success: NDArray[np.bool_]

    def _repr_html_(self) -> str:
        from Velmora._html import table

        rows = [(x, f, bool(ok)) for x, f, ok in zip(self.x, self.fun, self.success)]
        return table([self.name, "objective", "re-fit converged"], rows)


class ProfileIntervals(NamedTuple):
    """Profile-likelihood intervals of every parameter at `level`.

    low, high: the ends (n values each); at_lower, at_upper: True where the
    end is the parameter's bound because the objective never rose enough
    before it; valid: False where an end could not be found (the end is
    NaN, or infinite for an unbounded side the rise never reached); nfit:
    the re-fits run.
    """

    names: tuple[str, ...]
    level: float
    low: NDArray[np.float64]
    high: NDArray[np.float64]
    at_lower: NDArray[np.bool_]
    at_upper: NDArray[np.bool_]
    valid: NDArray[np.bool_]
    nfit: int

    def _repr_html_(self) -> str:
        from Velmora._html import profile_intervals_html

        return profile_intervals_html(self)


class ContourResult(NamedTuple):
    """The boundary of the joint confidence region of two parameters:
    points (size x 2, counter-clockwise around the estimate), and for each
    whether it lies on a bound instead of on the boundary proper."""

    names: tuple[str, str]
    level: float
    points: NDArray[np.float64]
    at_bound: NDArray[np.bool_]

    def _repr_html_(self) -> str:
        from Velmora._html import table

        rows = [(*p, "at bound" if b else "") for p, b in zip(self.points, self.at_bound)]
        return f"<p>level {self.level:.4g}</p>" + table([*self.names, "flag"], rows)


# --- argument checks (all before any re-fit) ---------------------------------


def _index(result: FitResult, name: object) -> int:
    if isinstance(name, (int, np.integer)) and not isinstance(name, bool):
        if not -len(result.names) <= int(name) < len(result.names):
            raise IndexError(f"parameter index {name} out of range for {len(result.names)}")
        return int(name) % len(result.names)
    if not isinstance(name, str):
        raise TypeError(f"a parameter is named by a string or an index, got {type(name).__name__}")
    if name not in result.names:
        raise ValueError(f"no parameter named {name!r}; the parameters are {list(result.names)}")
    return result.names.index(name)


def _free_index(result: FitResult, name: object) -> int:
    i = _index(result, name)
    if result.fixed[i]:
        raise ValueError(f"parameter {result.names[i]!r} is fixed: it has no profile")
    return i


def _refittable(result: FitResult) -> dict[str, Any]:
    refit = getattr(result, "_refit", None)
    if not refit:
        raise ValueError(
            "this result does not carry its objective (a result restored from a pickle does "
            "not): profiles need the result of Velmora.fit"
        )
    return refit


def _level(level: object) -> float:
    from Velmora._args import quantile_of_level

    quantile_of_level(level)  # the one check of a level and its message
    return float(level)  # type: ignore[arg-type]


def _positive_int(v: object, what: str, least: int) -> int:
    if isinstance(v, bool) or not isinstance(v, (int, np.integer)) or int(v) < least:
        raise ValueError(f"{what} must be an integer >= {least}, got {v!r}")
    return int(v)


# --- the re-fit with some parameters held ------------------------------------


class _Quiet:
    """Silences the re-fits' convergence and identifiability warnings (each
    point's outcome is in the result instead). warnings.catch_warnings
    swaps process-wide state and restores it on exit, so profiles running
    on several threads at once would restore each other's filters out of
    order: they share one set, installed by the first to enter and removed
    by the last to leave. While any profile runs, those two warnings are
    silenced in every thread."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.users = 0
        self.saved: Any = None

    def __enter__(self) -> None:
        with self.lock:
            if self.users == 0:
                self.saved = warnings.catch_warnings()
                self.saved.__enter__()
                warnings.simplefilter("ignore", ConvergenceWarning)
                warnings.simplefilter("ignore", IdentifiabilityWarning)
            self.users += 1

    def __exit__(self, *exc: object) -> None:
        with self.lock:
            self.users -= 1
            if self.users == 0:
                self.saved.__exit__(None, None, None)
                self.saved = None


_quiet = _Quiet()


class _Refitter:
    """Re-fits of the other parameters with some held fixed, each started
    from the last solution (a warm start); counts the re-fits."""

    def __init__(self, result: FitResult) -> None:
        self.result = result
        self.run = _refittable(result)
        self.lower, self.upper = result.lower, result.upper
        self.start = result.x.copy()
        self.nfit = 0

    def __call__(self, held: dict[int, float]) -> tuple[float, bool]:
        from Velmora.estimate import fit
        from Velmora.optimize import minimize

        lower, upper = self.lower.copy(), self.upper.copy()
        x0 = self.start.copy()
        for i, v in held.items():
            lower[i] = upper[i] = x0[i] = v
        bounds = list(zip(lower.tolist(), upper.tolist()))
        run = self.run
        self.nfit += 1
        if np.all(lower == upper):  # nothing left to re-fit: one evaluation
            # (Nelder-Mead: it evaluates only at the start when nothing is free)
            r = minimize(run["nll"], x0, run["args"], bounds=bounds, method="Nelder-Mead")
            return float(r.fun), True
        with _quiet:
            r = fit(
                run["nll"],
                x0,
                run["args"],
                jac=run["jac"],
                bounds=bounds,
                kind=self.result._kind,
                method=run["method"],
                options=run["options"],
                errordef=self.result.errordef,
            )
        if r.success and math.isfinite(r.fun):
            self.start = r.x
        return float(r.fun), bool(r.success)


def _coordinate(result: FitResult, i: int) -> Any:
    """The map of parameter i between its value and its unconstrained coordinate."""
    from Velmora.transforms import ParameterMap

    return ParameterMap([(float(result.lower[i]), float(result.upper[i]))], kind=result._kind)


def _se_y(result: FitResult, i: int) -> float:
    """The standard error of parameter i on its unconstrained coordinate."""
    free = np.flatnonzero(~result.fixed)
    k = int(np.searchsorted(free, i))
    return float(np.sqrt(result._cov_y[k, k]))


def _native_arguments(result: FitResult) -> tuple[Any, ...]:
    """The arguments the native profile functions share: the fit's own
    (objective, estimate, bounds, options, settings) as `Velmora.fit` passed
    them, then its covariance on the unconstrained scale and its minimum
    (made once per result: the native side only reads them)."""

    def make() -> tuple[Any, ...]:
        objective, box, options, settings = _refittable(result)["native"]
        cov_y = np.ascontiguousarray(result._cov_y, dtype=np.float64).ravel()
        return (objective, result.x, box, options, None, settings, cov_y, result.fun)

    return result._cached("profile_arguments", make)


# --- one parameter ------------------------------------------------------------


def profile(result: FitResult, name: object, bound: Any = 3, size: int = 50) -> ProfileResult:
    """The profile of parameter `name` at `size` values: `bound` standard
    errors either side of the estimate (formed on the unconstrained scale,
    so the values stay inside the parameter's bounds), or the values between
    bound = (low, high)."""
    i = _free_index(result, name)
    size = _positive_int(size, "size", 2)
    _refittable(result)
    if isinstance(bound, (tuple, list)):
        if len(bound) != 2:
            raise ValueError(
                f"bound must be a number of standard errors or (low, high), got {bound!r}"
            )
        low, high = sorted(float(b) for b in bound)
        if not (result.lower[i] <= low and high <= result.upper[i]):
            raise ValueError(f"bound {bound!r} leaves the bounds of {result.names[i]!r}")
    else:
        if (
            isinstance(bound, bool)
            or not isinstance(bound, (int, float, np.number))
            or not bound > 0
        ):
            raise ValueError(
                f"bound must be a number of standard errors > 0 or (low, high), got {bound!r}"
            )
        se = _se_y(result, i)
        if not math.isfinite(se):
            raise ValueError(
                f"parameter {result.names[i]!r} has no standard error: give bound=(low, high)"
            )
        pm = _coordinate(result, i)
        y = float(pm.to_unconstrained(result.x[i : i + 1])[0])
        low, high = (
            float(v)
            for v in pm.to_constrained(np.array([[y - bound * se], [y + bound * se]])).ravel()
        )
    values = np.linspace(low, high, size)
    # Outward from the estimate, each re-fit starting from its neighbour.
    fun, ok = _fitting.profile_values(*_native_arguments(result), i, values)
    return ProfileResult(result.names[i], values, fun, ok)


def _root(g: Any, inside: float, outside: float, g_out: float, tol: float) -> float:
    """The root of g between `inside` (g < 0) and `outside` (g = g_out > 0),
    by regula falsi with the Illinois modification."""
    a, fa, b, fb = inside, g(inside), outside, g_out
    side = 0
    for _ in range(60):
        c = b - fb * (b - a) / (fb - fa) if fb != fa else 0.5 * (a + b)
        if not (min(a, b) < c < max(a, b)):
            c = 0.5 * (a + b)
        fc = g(c)
        if abs(fc) <= tol or abs(b - a) <= 1e-10 * max(1.0, abs(c)):
            return c
        if (fc > 0) == (fb > 0):
            b, fb = c, fc
            if side == 1:
                fa *= 0.5
            side = 1
        else:
            a, fa = c, fc
            if side == -1:
                fb *= 0.5
            side = -1
    return c


def _ends(result: FitResult, level: float) -> tuple[Any, ...]:
    """(ends (n, 2), at_bound (n, 2), found (n, 2), re-fits) of every
    parameter's interval: each end by root finding on the parameter's
    unconstrained coordinate, from the end of the Wald interval there, to
    1e-6 errordef."""
    from Velmora._args import quantile_of_level

    z = quantile_of_level(level)
    free = result._cached(
        "profile_free", lambda: np.flatnonzero(~result.fixed).astype(np.int64, copy=False)
    )
    rise = result.errordef * z * z
    return _fitting.profile_ends(  # type: ignore[no-any-return]
        *_native_arguments(result), rise, 1e-6 * result.errordef, free
    )


def profile_intervals(result: FitResult, level: float = 0.95) -> ProfileIntervals:
    """The profile-likelihood interval of every parameter (see the module)."""
    ends, at_bound, found, nfit = _ends(result, level)
    low, high = ends.T
    at_lower, at_upper = at_bound.T
    valid = found[:, 0] & found[:, 1]
    return ProfileIntervals(result.names, float(level), low, high, at_lower, at_upper, valid, nfit)


def ci_profile(result: FitResult, level: float) -> NDArray[np.float64]:
    """`FitResult.ci(level, method="profile")`: the (n, 2) ends, with an
    `IntervalAtBoundWarning` naming any end that is a bound."""
    ends, at_bound, _, _ = _ends(result, level)
    if at_bound.any():
        hits = [
            f"{name} ({side})"
            for name, flags in zip(result.names, at_bound.tolist())
            for side, hit in zip(("lower", "upper"), flags)
            if hit
        ]
        warnings.warn(
            f"the profile-likelihood interval at level {level:g} reaches the bound of "
            f"{', '.join(hits)}: the objective does not rise enough before it",
            IntervalAtBoundWarning,
            stacklevel=3,
        )
    return ends  # type: ignore[no-any-return]


# --- two parameters -----------------------------------------------------------


def contour(
    result: FitResult,
    name1: object,
    name2: object,
    level: float = 0.6826894921370859,
    size: int = 100,
) -> ContourResult:
    """The boundary of the joint confidence region of two parameters at
    `level` (default: the one-standard-error level), as `size` points.

    Along each of `size` rays from the estimate, on the unconstrained
    coordinates and shaped by their covariance (so that the quadratic
    approximation would give an ellipse of equal radii), the profile over
    the other parameters is followed out to where it rises by errordef times
    the two-degree-of-freedom chi-square quantile."""
    i, j = _free_index(result, name1), _free_index(result, name2)
    if i == j:
        raise ValueError(f"a contour needs two different parameters, got {result.names[i]!r} twice")
    size = _positive_int(size, "size", 3)
    lv = _level(level)
    _refittable(result)
    q = -2.0 * math.log1p(-lv)
    rise = result.errordef * q
    pm_i, pm_j = _coordinate(result, i), _coordinate(result, j)
    centre = np.array(
        [
            pm_i.to_unconstrained(result.x[i : i + 1])[0],
            pm_j.to_unconstrained(result.x[j : j + 1])[0],
        ]
    )
    free = np.flatnonzero(~result.fixed)
    ki, kj = int(np.searchsorted(free, i)), int(np.searchsorted(free, j))
    cov = result._cov_y[np.ix_([ki, kj], [ki, kj])]
    try:
        shape = np.linalg.cholesky(cov) if np.isfinite(cov).all() else np.eye(2)
    except np.linalg.LinAlgError:
        shape = np.diag(np.sqrt(np.abs(np.diag(cov))))
    refit = _Refitter(result)
    bounds = (result.lower[[i, j]], result.upper[[i, j]])

    def point(y: NDArray[np.float64]) -> NDArray[np.float64]:
        return np.array([pm_i.to_constrained(y[:1])[0], pm_j.to_constrained(y[1:])[0]])

    points = np.empty((size, 2))
    at_bound = np.zeros(size, bool)
    for k, angle in enumerate(np.linspace(0.0, 2 * math.pi, size, endpoint=False)):
        direction = shape @ np.array([math.cos(angle), math.sin(angle)])
        refit.start = result.x.copy()  # each ray from the estimate

        def along(r: float, direction: NDArray[np.float64] = direction) -> NDArray[np.float64]:
            return point(centre + r * direction)

        points[k], at_bound[k] = _ray_end(result, refit, along, (i, j), bounds, rise, q)
    return ContourResult((result.names[i], result.names[j]), lv, points, at_bound)


def _ray_end(
    result: FitResult,
    refit: _Refitter,
    along: Any,
    pair: tuple[int, int],
    bounds: tuple[NDArray[np.float64], NDArray[np.float64]],
    rise: float,
    q: float,
) -> tuple[NDArray[np.float64], bool]:
    """Where the profile over the others rises by `rise` along one ray
    (along(r): the two values at radius r), or the bound the ray meets first."""
    cache: dict[float, float] = {0.0: -rise}  # the estimate

    def g(r: float) -> float:
        if r not in cache:
            xy = along(r)
            fun, _ = refit({pair[0]: float(xy[0]), pair[1]: float(xy[1])})
            cache[r] = (fun if math.isfinite(fun) else math.inf) - result.fun - rise
        return cache[r]

    inside, r = 0.0, math.sqrt(q)
    for _ in range(40):
        xy = along(r)
        if np.any(xy == bounds[0]) or np.any(xy == bounds[1]) or not np.isfinite(xy).all():
            return xy, True
        g_out = g(r)
        if g_out > 0:
            return along(_root(g, inside, r, min(g_out, 1e300), 1e-6 * result.errordef)), False
        inside, r = r, 2 * r
    return np.full(2, np.nan), True
