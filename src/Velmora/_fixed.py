"""Fixed parameters for `curve_fit`: the fit runs over the free parameters
of a reduced model, and the fixed values are put back into popt (with zero
rows and columns in pcov), as `fit` reports a parameter held by equal bounds.

A parameter is fixed by ``fixed={name or index: value}`` or by equal lower
and upper bounds.
"""

from __future__ import annotations

import inspect
from collections.abc import Callable, Mapping
from typing import Any

import numpy as np

from Velmora import _args


def parameter_names(f: Any) -> list[str]:
    try:
        params = list(inspect.signature(f).parameters.values())[1:]
    except (TypeError, ValueError):
        return []
    return [p.name for p in params if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]


def _bound_sides(bounds: Any, n: int) -> tuple[np.ndarray, np.ndarray] | None:
    if bounds is None:
        return None
    if hasattr(bounds, "lb") and hasattr(bounds, "ub"):
        lb, ub = bounds.lb, bounds.ub
    else:
        try:
            lb, ub = bounds
        except (TypeError, ValueError):
            return None  # curve_fit names the problem
    try:
        lo = np.broadcast_to(np.asarray(lb, dtype=np.float64), (n,))
        hi = np.broadcast_to(np.asarray(ub, dtype=np.float64), (n,))
    except (TypeError, ValueError):
        return None
    return lo, hi


def has_equal_bounds(bounds: Any, n: int | None) -> bool:
    if n is None:
        return False
    if type(bounds) is tuple and len(bounds) == 2 and all(type(v) is float for v in bounds):
        return bounds[0] == bounds[1]  # the default (-inf, inf) and other number pairs, quickly
    sides = _bound_sides(bounds, n or 1)
    return sides is not None and bool((sides[0] == sides[1]).any())


def held_values(f: Any, n: int, fixed: Any, bounds: Any) -> dict[int, float]:
    """The fixed parameters by index: from `fixed` (names of f's parameters
    or indices) and from equal bounds."""
    held: dict[int, float] = {}
    sides = _bound_sides(bounds, n)
    if sides is not None:
        for i in np.flatnonzero(sides[0] == sides[1]).tolist():
            held[i] = float(sides[0][i])
    if fixed is None:
        return held
    if not isinstance(fixed, Mapping):
        raise TypeError(
            f"fixed must be a mapping of names or indices to values, got {type(fixed).__name__}"
        )
    names = parameter_names(f)
    for key, value in fixed.items():
        if isinstance(key, str):
            if key not in names:
                raise ValueError(
                    f"fixed: the model has no parameter {key!r}; its parameters are {names}"
                )
            index = names.index(key)
        elif isinstance(key, (int, np.integer)) and not isinstance(key, bool) and 0 <= key < n:
            index = int(key)
        else:
            raise ValueError(f"fixed: {key!r} is not a parameter name or an index below {n}")
        v = float(value)
        if not np.isfinite(v):
            raise ValueError(f"fixed[{key!r}] must be finite, got {value!r}")
        held[index] = v
    return held


class _Reduced:
    """A curve model over its free parameters: the fixed values put back in
    for every call of the model and its Jacobian (whose fixed columns are
    dropped), the bounds and start of the free ones."""

    def __init__(self, f: Any, jac: Any, n: int, held: dict[int, float], bounds: Any) -> None:
        if len(held) == n:
            raise ValueError("every parameter is fixed: there is nothing to fit")
        self.f, self.jac, self.n = f, jac, n
        self.free = [i for i in range(n) if i not in held]
        self.values = np.array([held.get(i, 0.0) for i in range(n)])
        sides = _bound_sides(bounds, n)
        self.bounds = (
            (-np.inf, np.inf) if sides is None else (sides[0][self.free], sides[1][self.free])
        )

    def expand(self, q: Any) -> list[float]:
        full = self.values.copy()
        full[self.free] = q
        return full.tolist()

    def model(self, x: Any, *q: float) -> Any:
        return self.f(x, *self.expand(q))

    def jacobian(self) -> Any:
        if not callable(self.jac):
            return self.jac
        return lambda x, *q: np.asarray(self.jac(x, *self.expand(q)))[:, self.free]

    def start(self, p0: Any) -> np.ndarray:
        """p0's free entries (any leading shape); without p0, as curve_fit
        starts: the middle of an interval, 1 moved inside a one-sided bound."""
        if p0 is not None:
            return np.asarray(p0, dtype=np.float64)[..., self.free]
        k = len(self.free)
        lo, hi = np.broadcast_to(self.bounds[0], k), np.broadcast_to(self.bounds[1], k)
        with np.errstate(invalid="ignore"):
            start = np.where(np.isfinite(lo) & np.isfinite(hi), 0.5 * (lo + hi), np.ones(k))
        start = np.where(np.isfinite(lo) & ~np.isfinite(hi), np.maximum(lo + 1, 1.0), start)
        return np.where(~np.isfinite(lo) & np.isfinite(hi), np.minimum(hi - 1, 1.0), start)


def curve_fit_fixed(
    run: Callable[..., Any],
    f: Any,
    xdata: Any,
    ydata: Any,
    p0: Any,
    n: int,
    held: dict[int, float],
    bounds: Any,
    jac: Any,
    full_output: bool,
    **rest: Any,
) -> Any:
    """`run` (curve_fit) over the free parameters; popt and pcov of all n."""
    r = _Reduced(f, jac, n, held, bounds)
    start = r.start(None if p0 is None else np.asarray(p0, dtype=np.float64).reshape(-1))
    out = run(
        r.model, xdata, ydata, start, bounds=r.bounds, jac=r.jacobian(),
        full_output=full_output, **rest,
    )  # fmt: skip
    cov = np.zeros((n, n))
    cov[np.ix_(r.free, r.free)] = out[1]
    return (np.array(r.expand(out[0])), cov, *out[2:])


def curve_fit_many_fixed(
    run: Callable[..., Any],
    f: Any,
    xdata: Any,
    ydata: Any,
    p0: Any,
    n: int,
    held: dict[int, float],
    bounds: Any,
    jac: Any,
    **rest: Any,
) -> Any:
    """`run` (curve_fit_many) over the free parameters; the result's rows
    hold all n, the fixed ones with zero standard errors and covariances."""
    r = _Reduced(f, jac, n, held, bounds)
    result = run(r.model, xdata, ydata, r.start(p0), bounds=r.bounds, jac=r.jacobian(), **rest)
    lead = result.x.shape[:-1]  # K rows, or a cube's (ny, nx)
    x = np.broadcast_to(r.values, (*lead, n)).copy()
    se, cov = np.zeros((*lead, n)), np.zeros((*lead, n, n))
    x[..., r.free], se[..., r.free] = result.x, result.se
    cov[..., np.array(r.free)[:, None], np.array(r.free)[None, :]] = result.cov
    result.x, result.se, result.cov = x, se, cov
    result.names = _args.model_parameter_names(f, n)
    return result
