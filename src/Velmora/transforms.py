"""Transforms between constrained parameters and the real line, for NumPy and
the libraries built on it.

The 63 functions of `Velmora._ckernels.transforms._transforms` as NumPy
ufuncs, under the same names: `log_fwd`, `logit_inv`, `aff_logit_fwd`, ...
(nine families: log, logit, probit, aff_logit, aff_probit, softplus, lower,
upper, tanh; seven operations: fwd, inv, grad_fwd, grad_inv,
ldet_abs_jac_fwd, ldet_abs_jac_inv, grad_ldet_abs_jac_inv). The value comes
first, then its bounds, all as ufunc inputs, so bounds broadcast against the
values: one bound per parameter, per row, or one for all::

    aff_logit_fwd(x, low, high)      # y = logit((x - low) / (high - low))

They do what NumPy ufuncs do: broadcasting, ``out=``, ``where=``, ``dtype=``
and the casting rules (float16, float32, integers and bools are converted to
float64; complex, object and string input is refused with TypeError; long
double input needs ``dtype=numpy.float64``, since it loses precision), NumPy
scalars for scalar input, and the ``__array_ufunc__`` protocol, so a Dask
array stays a lazy Dask array and an xarray DataArray keeps its labels. They
pickle by reference, so they travel to worker processes.

Contiguous float64 input with scalar bounds runs the native array kernels and
gives exactly the values of the `_transforms` function; other layouts (strided,
broadcast or per-element bounds, Fortran order, ``where=``) run the same
formulas element by element in native loops, within a few units in the last
place of those values. Outside a family's domain the result is the IEEE value
of the formula (NaN or an infinity), without a warning.

`ParameterMap` applies one transform per element of a parameter vector,
chosen from its bounds, for estimators that work on unconstrained values.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._ckernels.transforms import _ufuncs
from ._ckernels.transforms._ufuncs import (
    aff_logit_fwd,
    aff_logit_grad_fwd,
    aff_logit_grad_inv,
    aff_logit_grad_ldet_abs_jac_inv,
    aff_logit_inv,
    aff_logit_ldet_abs_jac_fwd,
    aff_logit_ldet_abs_jac_inv,
    aff_probit_fwd,
    aff_probit_grad_fwd,
    aff_probit_grad_inv,
    aff_probit_grad_ldet_abs_jac_inv,
    aff_probit_inv,
    aff_probit_ldet_abs_jac_fwd,
    aff_probit_ldet_abs_jac_inv,
    log_fwd,
    log_grad_fwd,
    log_grad_inv,
    log_grad_ldet_abs_jac_inv,
    log_inv,
    log_ldet_abs_jac_fwd,
    log_ldet_abs_jac_inv,
    logit_fwd,
    logit_grad_fwd,
    logit_grad_inv,
    logit_grad_ldet_abs_jac_inv,
    logit_inv,
    logit_ldet_abs_jac_fwd,
    logit_ldet_abs_jac_inv,
    lower_fwd,
    lower_grad_fwd,
    lower_grad_inv,
    lower_grad_ldet_abs_jac_inv,
    lower_inv,
    lower_ldet_abs_jac_fwd,
    lower_ldet_abs_jac_inv,
    probit_fwd,
    probit_grad_fwd,
    probit_grad_inv,
    probit_grad_ldet_abs_jac_inv,
    probit_inv,
    probit_ldet_abs_jac_fwd,
    probit_ldet_abs_jac_inv,
    softplus_fwd,
    softplus_grad_fwd,
    softplus_grad_inv,
    softplus_grad_ldet_abs_jac_inv,
    softplus_inv,
    softplus_ldet_abs_jac_fwd,
    softplus_ldet_abs_jac_inv,
    tanh_fwd,
    tanh_grad_fwd,
    tanh_grad_inv,
    tanh_grad_ldet_abs_jac_inv,
    tanh_inv,
    tanh_ldet_abs_jac_fwd,
    tanh_ldet_abs_jac_inv,
    upper_fwd,
    upper_grad_fwd,
    upper_grad_inv,
    upper_grad_ldet_abs_jac_inv,
    upper_inv,
    upper_ldet_abs_jac_fwd,
    upper_ldet_abs_jac_inv,
)

__all__ = [
    "ParameterMap",
    "aff_logit_fwd",
    "aff_logit_grad_fwd",
    "aff_logit_grad_inv",
    "aff_logit_grad_ldet_abs_jac_inv",
    "aff_logit_inv",
    "aff_logit_ldet_abs_jac_fwd",
    "aff_logit_ldet_abs_jac_inv",
    "aff_probit_fwd",
    "aff_probit_grad_fwd",
    "aff_probit_grad_inv",
    "aff_probit_grad_ldet_abs_jac_inv",
    "aff_probit_inv",
    "aff_probit_ldet_abs_jac_fwd",
    "aff_probit_ldet_abs_jac_inv",
    "log_fwd",
    "log_grad_fwd",
    "log_grad_inv",
    "log_grad_ldet_abs_jac_inv",
    "log_inv",
    "log_ldet_abs_jac_fwd",
    "log_ldet_abs_jac_inv",
    "logit_fwd",
    "logit_grad_fwd",
    "logit_grad_inv",
    "logit_grad_ldet_abs_jac_inv",
    "logit_inv",
    "logit_ldet_abs_jac_fwd",
    "logit_ldet_abs_jac_inv",
    "lower_fwd",
    "lower_grad_fwd",
    "lower_grad_inv",
    "lower_grad_ldet_abs_jac_inv",
    "lower_inv",
    "lower_ldet_abs_jac_fwd",
    "lower_ldet_abs_jac_inv",
    "probit_fwd",
    "probit_grad_fwd",
    "probit_grad_inv",
    "probit_grad_ldet_abs_jac_inv",
    "probit_inv",
    "probit_ldet_abs_jac_fwd",
    "probit_ldet_abs_jac_inv",
    "softplus_fwd",
    "softplus_grad_fwd",
    "softplus_grad_inv",
    "softplus_grad_ldet_abs_jac_inv",
    "softplus_inv",
    "softplus_ldet_abs_jac_fwd",
    "softplus_ldet_abs_jac_inv",
    "tanh_fwd",
    "tanh_grad_fwd",
    "tanh_grad_inv",
    "tanh_grad_ldet_abs_jac_inv",
    "tanh_inv",
    "tanh_ldet_abs_jac_fwd",
    "tanh_ldet_abs_jac_inv",
    "upper_fwd",
    "upper_grad_fwd",
    "upper_grad_inv",
    "upper_grad_ldet_abs_jac_inv",
    "upper_inv",
    "upper_ldet_abs_jac_fwd",
    "upper_ldet_abs_jac_inv",
]

# This module is the ufuncs' public home: pickle refers to them here.
for _name in _ufuncs.__all__:
    try:
        getattr(_ufuncs, _name).__module__ = __name__
    except AttributeError:  # a NumPy whose ufuncs take no attributes: found by name instead
        break
del _name


# ---- ParameterMap --------------------------------------------------------------------

# The native family codes (parameter_map.h) and the transform of each.
_FREE, _LOWER, _UPPER, _AFF_LOGIT, _AFF_PROBIT = range(5)
_FAMILY_NAMES = ("identity", "lower", "upper", "aff_logit", "aff_probit")
_INTERVAL_CODES = {"logit": _AFF_LOGIT, "probit": _AFF_PROBIT}


def _bound_value(value: Any, index: int, side: str, none: float) -> float:
    """One bound as a float: None is no bound (`none`, an infinity)."""
    if value is None:
        return none
    if not isinstance(value, (str, bytes)):
        try:
            return float(value)
        except (TypeError, ValueError, OverflowError):
            pass
    raise ValueError(
        f"bounds of element {index}: the {side} bound {value!r} is not a number or None"
    )


def _pairs_to_arrays(bounds: Any) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Lower and upper bounds from a sequence of (low, high) pairs."""
    if isinstance(bounds, (str, bytes)) or not isinstance(bounds, (Sequence, np.ndarray)):
        raise ValueError(
            f"bounds must be a sequence of (low, high) pairs or an object with lb and ub, "
            f"got {type(bounds).__name__}"
        )
    n = len(bounds)
    lower, upper = np.empty(n), np.empty(n)
    for i in range(n):
        pair = bounds[i]
        if (
            isinstance(pair, (str, bytes))
            or not isinstance(pair, (Sequence, np.ndarray))
            or len(pair) != 2
        ):
            raise ValueError(f"bounds of element {i}: expected a (low, high) pair, got {pair!r}")
        lower[i] = _bound_value(pair[0], i, "lower", -math.inf)
        upper[i] = _bound_value(pair[1], i, "upper", math.inf)
    return lower, upper


def _side_array(values: Any, side: str, none: float) -> NDArray[np.float64]:
    if values is None:
        return np.array(none)
    if isinstance(values, (list, tuple)):  # None for no bound, as in a pair
        values = [none if v is None else v for v in values]
    try:
        array = np.asarray(values)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"bounds: {side} bounds are not numbers ({exc})") from None
    if array.dtype.kind not in "biuf":  # strings are not parsed, objects not converted
        raise ValueError(f"bounds: {side} bounds are not numbers (an array of {array.dtype})")
    array = np.array(array, dtype=np.float64)  # a copy, never the caller's array
    if array.ndim > 1:
        raise ValueError(
            f"bounds: {side} bounds must be a number or a vector, got shape {array.shape}"
        )
    return array


def _lb_ub_to_arrays(bounds: Any) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Lower and upper bounds from an object with `lb` and `ub` (as SciPy's
    Bounds): vectors of one length, or a number for every element."""
    lower = _side_array(bounds.lb, "lb", -math.inf)
    upper = _side_array(bounds.ub, "ub", math.inf)
    if lower.ndim == 0 and upper.ndim == 0:
        raise ValueError(
            "bounds: lb and ub are both numbers, which does not tell the number of elements"
        )
    if lower.ndim == 1 and upper.ndim == 1 and lower.size != upper.size:
        (short, m), (long_, n) = sorted(
            [("lb", lower.size), ("ub", upper.size)], key=lambda side: side[1]
        )
        raise ValueError(f"bounds of element {m}: {long_} has {n} values but {short} only {m}")
    lower, upper = np.broadcast_arrays(lower, upper)
    return np.array(lower), np.array(upper)


def _check_bounds(lower: NDArray[np.float64], upper: NDArray[np.float64]) -> None:
    """ValueError naming the first element whose bounds do not make an interval."""
    with np.errstate(invalid="ignore", over="ignore"):
        too_wide = np.isfinite(lower) & np.isfinite(upper) & np.isinf(upper - lower)
    bad = ~(lower < upper) | too_wide  # NaN fails the comparison
    if not bad.any():
        return
    i = int(np.argmax(bad))
    low, high = float(lower[i]), float(upper[i])
    if math.isnan(low) or math.isnan(high):
        reason = "a bound is NaN"
    elif not low < high:
        reason = f"the lower bound {low!r} is not below the upper bound {high!r}"
    else:
        reason = f"the interval ({low!r}, {high!r}) is wider than the largest float"
    raise ValueError(f"bounds of element {i}: {reason}")


class ParameterMap:
    """One transform per element of a parameter vector, chosen by its bounds.

    ``ParameterMap(bounds, kind="logit")`` takes the bounds as `minimize` does:
    a sequence of ``(low, high)`` pairs with None (or an infinity) for a
    missing bound, or an object with ``lb`` and ``ub`` (such as SciPy's
    ``Bounds``; a number stands for every element). Element i is mapped by

    ========================  ===================  =========================
    bounds                    transform            y from x
    ========================  ===================  =========================
    none                      identity             y = x
    low only                  ``lower``            y = log(x - low)
    high only                 ``upper``            y = log(high - x)
    both                      ``aff_logit``        y = logit((x - low) / (high - low))
    both, ``kind="probit"``   ``aff_probit``       y = Phi^-1((x - low) / (high - low))
    ========================  ===================  =========================

    Methods take a vector of n values, or an array whose last axis has n
    values (one vector per row), as anything NumPy converts to float64, and
    return new float64 arrays; a vector of another length is a ValueError.
    x denotes constrained values, y unconstrained ones.

    Bad bounds (NaN, low >= high, an interval wider than the largest float, a
    pair that is not a pair, ``lb`` and ``ub`` of different lengths) raise
    ValueError naming the element by its 0-based index.

    >>> pm = ParameterMap([(None, None), (0.0, None), (None, 1.0), (0.0, 1.0)])
    >>> y = pm.to_unconstrained([2.0, 3.0, -1.0, 0.25])
    >>> pm.to_constrained(y)
    array([ 2.  ,  3.  , -1.  ,  0.25])
    """

    __slots__ = ("_plan", "_lower", "_upper", "_kind", "_codes")

    def __init__(self, bounds: Any, kind: str = "logit") -> None:
        if not isinstance(kind, str) or kind not in _INTERVAL_CODES:
            raise ValueError(f"kind must be 'logit' or 'probit', got {kind!r}")
        if hasattr(bounds, "lb") and hasattr(bounds, "ub"):
            lower, upper = _lb_ub_to_arrays(bounds)
        else:
            lower, upper = _pairs_to_arrays(bounds)
        _check_bounds(lower, upper)
        has_low, has_high = np.isfinite(lower), np.isfinite(upper)
        codes = np.select(
            [has_low & has_high, has_low, has_high], [_INTERVAL_CODES[kind], _LOWER, _UPPER], _FREE
        ).astype(np.uint8)
        for array in (lower, upper, codes):
            array.flags.writeable = False
        self._plan = _ufuncs.ParameterPlan(codes, lower, upper)
        self._lower, self._upper, self._kind, self._codes = lower, upper, kind, codes

    # -- what the map is ---------------------------------------------------------------

    @property
    def n(self) -> int:
        """The number of elements."""
        return int(self._codes.size)

    def __len__(self) -> int:
        return int(self._codes.size)

    @property
    def kind(self) -> str:
        """The transform of elements bounded on both sides: "logit" or "probit"."""
        return self._kind

    @property
    def lower(self) -> NDArray[np.float64]:
        """The lower bounds, -inf where there is none (read-only)."""
        return self._lower

    @property
    def upper(self) -> NDArray[np.float64]:
        """The upper bounds, +inf where there is none (read-only)."""
        return self._upper

    @property
    def families(self) -> tuple[str, ...]:
        """The transform of each element: "identity", "lower", "upper",
        "aff_logit" or "aff_probit"."""
        return tuple(_FAMILY_NAMES[c] for c in self._codes.tolist())

    @property
    def bounds(self) -> list[tuple[float | None, float | None]]:
        """The bounds as (low, high) pairs, None where there is none: what the
        map was made from, normalised."""
        return [
            (lo if math.isfinite(lo) else None, hi if math.isfinite(hi) else None)
            for lo, hi in zip(self._lower.tolist(), self._upper.tolist())
        ]

    def __repr__(self) -> str:
        if self.n <= 6:
            return f"ParameterMap({self.bounds!r}, kind={self._kind!r})"
        counts = np.bincount(self._codes, minlength=len(_FAMILY_NAMES))
        parts = ", ".join(f"{c} {name}" for name, c in zip(_FAMILY_NAMES, counts.tolist()) if c)
        return f"<ParameterMap of {self.n} elements, kind={self._kind!r}: {parts}>"

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.bounds, self._kind))

    # -- the maps and their derivatives ------------------------------------------------

    def to_unconstrained(self, x: ArrayLike) -> NDArray[np.float64]:
        """y for x, element by element (shape (..., n) to (..., n))."""
        return self._plan.to_unconstrained(x)

    def to_constrained(self, y: ArrayLike) -> NDArray[np.float64]:
        """x for y, element by element (shape (..., n) to (..., n))."""
        return self._plan.to_constrained(y)

    def constrained_grad(self, y: ArrayLike) -> NDArray[np.float64]:
        """dx_i/dy_i at y, the diagonal of the Jacobian of `to_constrained`
        (shape (..., n) to (..., n))."""
        return self._plan.constrained_grad(y)

    def log_abs_det_jacobian(self, y: ArrayLike) -> float | NDArray[np.float64]:
        """The sum over the elements of log|dx_i/dy_i| at y: what a density on
        y adds to the log-density of x = to_constrained(y). A float for one
        vector, an array of shape (...) for shape (..., n)."""
        return self._plan.log_abs_det_jacobian(y)

    def log_abs_det_jacobian_grad(self, y: ArrayLike) -> NDArray[np.float64]:
        """The gradient of `log_abs_det_jacobian` with respect to y (shape
        (..., n) to (..., n))."""
        return self._plan.log_abs_det_jacobian_grad(y)

    def pullback(self, y: ArrayLike, grad_x: ArrayLike) -> NDArray[np.float64]:
        """The gradient with respect to y of f(to_constrained(y)), given the
        gradient grad_x of f at x = to_constrained(y) (the chain rule:
        grad_x * dx/dy). grad_x may hold one gradient per row (shape (..., n),
        a Jacobian for instance) at one point y, or have the shape of y."""
        return self._plan.pullback(y, grad_x)
