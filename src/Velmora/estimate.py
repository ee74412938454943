"""Maximum-likelihood estimates with their uncertainties: `fit`.

`fit(nll, x0, ...)` minimizes a negative log-likelihood (or a chi-square,
with ``errordef=1``) and returns a `FitResult` with the estimates, their
covariance, standard errors, correlations, Wald confidence intervals and a
summary table. Bounds are handled by reparametrisation: the minimization runs
on the unconstrained coordinates of a `Velmora.transforms.ParameterMap`, so
estimates lie strictly inside their bounds and intervals respect them. The
objective takes every form `minimize` takes; a native objective runs the whole
fit, Hessian included, without a Python call.
"""

from __future__ import annotations

import math
import numbers
import textwrap
import warnings
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from Velmora import optimize as _opt
from Velmora._ckernels.distributions._distributions import ndtri_as241
from Velmora._ckernels.optim import _minimize

__all__ = ["ConvergenceWarning", "FitResult", "IdentifiabilityWarning", "fit"]


class IdentifiabilityWarning(UserWarning):
    """The Hessian at the estimate does not identify some parameters: a flat
    direction (parameters that enter the objective only through a combination,
    or an estimate at the edge of identifiability), a curvature that is not
    positive, or a Hessian that could not be formed. Their standard errors,
    covariances and intervals are NaN; the message names them."""


class ConvergenceWarning(UserWarning):
    """The minimization behind `fit` did not report success: the estimate is
    the last point reached, and its standard errors are those of the Hessian
    there."""


# The native family codes of a parameter bounded on both sides
# (transforms/parameter_map.h), and the method codes of _minimize.fit.
_INTERVAL_FAMILY = {"logit": 3, "probit": 4}
_METHOD_CODE = {"L-BFGS-B": 0, "Nelder-Mead": 1}

# States of _minimize.fit (optim/fit_driver.h) and of its Hessian analysis
# (optim/hessian.h).
_DONE, _STOPPED, _BAD_START, _NOT_FINITE_START, _NO_HESSIAN, _NO_MEMORY = range(6)
_IDENTIFIED, _FLAT, _NOT_FINITE = range(3)


def _format_number(v: float, width: int = 11) -> str:
    """Six significant digits, right-aligned; NaN and infinities spelled out."""
    if math.isnan(v):
        text = "nan"
    elif math.isinf(v):
        text = "inf" if v > 0 else "-inf"
    else:
        text = f"{v:.6g}"
    return text.rjust(width)


def _bound_text(low: float, high: float) -> str:
    if low == high:
        return f"fixed at {low:.6g}"
    return f"({low:.6g}, {high:.6g})"


class FitResult:
    """What `fit` found.

    x: the estimates (n float64 values); fun: the objective there; names:
    the parameter names; success, status, message: the outcome of the
    minimization; nit: its iterations; nfev: evaluations of the objective
    for the whole fit (the minimization and the Hessian); njev: gradient
    evaluations; errordef: what a one-standard-error step raises the
    objective by; minimize_result: the `OptimizeResult` of the minimization
    on the unconstrained coordinates y of the free parameters.

    hessian: the Hessian of the objective with respect to y at the estimate
        (m x m for the m free parameters, in their order: those with
        ``fixed`` False);
    cov: the covariance of x (n x n), 2 * errordef * H^-1 carried to the
        scale of x by the delta method (cov_x = D cov_y D, D = dx/dy); 0 in
        the rows and columns of fixed parameters, NaN in those of parameters
        the Hessian does not identify (see `unidentified`);
    se: the standard errors, sqrt(diag(cov));
    corr: the correlations, cov / (se se^T) (NaN where a standard error is 0
        or NaN);
    fixed: True for a parameter held at its equal bounds;
    unidentified: the names of the parameters without a standard error.

    `ci(level)` gives Wald intervals, `summary(level)` a table.
    """

    __slots__ = ("x", "fun", "names", "success", "status", "message", "nit", "nfev", "njev",
                 "errordef", "minimize_result", "hessian", "cov", "se", "fixed", "unidentified",
                 "_y", "_cov_y", "_lower", "_upper", "_kind", "_hessian_source", "_corr")

    x: NDArray[np.float64]
    fun: float
    names: tuple[str, ...]
    success: bool
    status: int
    message: str
    nit: int
    nfev: int
    njev: int
    errordef: float
    minimize_result: _opt.OptimizeResult
    hessian: NDArray[np.float64]
    cov: NDArray[np.float64]
    se: NDArray[np.float64]
    fixed: NDArray[np.bool_]
    unidentified: tuple[str, ...]
    _y: NDArray[np.float64]
    _cov_y: NDArray[np.float64]
    _lower: NDArray[np.float64]
    _upper: NDArray[np.float64]
    _kind: str
    _hessian_source: bool
    _corr: NDArray[np.float64] | None

    @property
    def corr(self) -> NDArray[np.float64]:
        """The correlation matrix (n x n)."""
        if self._corr is None:
            se = self.se
            with np.errstate(invalid="ignore", divide="ignore"):
                corr = self.cov / np.multiply.outer(se, se)
            usable = se > 0
            corr[np.diag_indices_from(corr)] = np.where(usable, 1.0, np.nan)
            corr[~usable, :] = np.nan
            corr[:, ~usable] = np.nan
            self._corr = corr
        return self._corr.copy()

    def ci(self, level: float = 0.95) -> NDArray[np.float64]:
        """Wald confidence intervals, an (n, 2) array of (low, high).

        Formed on the unconstrained scale, y +- z se_y with z the standard
        normal quantile of 0.5 + level / 2, and mapped back to x: a bounded
        parameter's interval lies within its bounds and need not be symmetric
        about the estimate. A fixed parameter's interval is its value; one
        without a standard error gets NaN.
        """
        z = _quantile_of_level(level)
        from Velmora.transforms import ParameterMap

        free = ~self.fixed
        out = np.repeat(self.x[:, None], 2, axis=1)
        se_y = np.sqrt(np.diag(self._cov_y))
        pm = ParameterMap(list(zip(self._lower[free].tolist(), self._upper[free].tolist())),
                          kind=self._kind)
        with np.errstate(invalid="ignore"):
            ends = np.stack([pm.to_constrained(self._y - z * se_y), pm.to_constrained(self._y + z * se_y)], 1)
        ends.sort(axis=1)
        ends[np.isnan(se_y)] = np.nan
        out[free] = ends
        return out

    def summary(self, level: float = 0.95) -> str:
        """A plain-text table: each parameter's estimate, standard error,
        Wald interval at `level` and bounds, under the run's outcome."""
        intervals = self.ci(level)
        low_title, high_title = f"[{(1 - level) / 2:.4g}", f"{(1 + level) / 2:.4g}]"
        width = max(8, *(len(name) for name in self.names))
        lines = []
        rows = []
        for i, name in enumerate(self.names):
            rows.append(f"{name:<{width}} {_format_number(self.x[i])} {_format_number(self.se[i])} "
                        f"{_format_number(intervals[i, 0])} {_format_number(intervals[i, 1])}   "
                        f"{_bound_text(self._lower[i], self._upper[i])}")
        header = (f"{'':<{width}} {'estimate':>11} {'std err':>11} {low_title:>11} {high_title:>11}   bounds")
        rule_width = max(len(header), *(len(r) for r in rows), 72)
        fixed = int(self.fixed.sum())
        hessian = "central differences of the gradient" if self._hessian_source else "second differences of the objective"
        outcome = ("converged" if self.success else "NOT converged") + f": {self.message}"
        method = "Nelder-Mead" if self.minimize_result.jac is None else "L-BFGS-B"
        lines.append("Velmora.fit".center(rule_width).rstrip())
        lines.append("=" * rule_width)
        lines.append(f"{'Objective:':<14}{self.fun:<24.10g}{'errordef:':<14}{self.errordef:g}")
        lines.append(f"{'Parameters:':<14}{len(self.names):<24}{'fixed:':<14}{fixed}")
        lines.append(f"{'Method:':<14}{method:<24}{'iterations:':<14}{self.nit}")
        lines.append(f"{'Evaluations:':<14}{self.nfev:<24}{'gradients:':<14}{self.njev}")
        lines.append(f"{'Outcome:':<14}{outcome}")
        lines.append("=" * rule_width)
        lines.append(header)
        lines.append("-" * rule_width)
        lines.extend(rows)
        lines.append("=" * rule_width)
        notes = (f"Hessian by {hessian} on the unconstrained scale; standard errors by the delta "
                 f"method; Wald intervals formed on the unconstrained scale and mapped back.")
        if self.unidentified:
            notes += " Not identified by the Hessian (no standard error): " + ", ".join(self.unidentified) + "."
        lines.extend(textwrap.wrap(notes, rule_width))
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.summary()

    def __repr__(self) -> str:
        pairs = ", ".join(f"{name}={value:.6g}" for name, value in zip(self.names, self.x.tolist()))
        return f"<FitResult {pairs}; fun={self.fun:.6g}, success={self.success}>"


def _quantile_of_level(level: object) -> float:
    if isinstance(level, bool) or not isinstance(level, (numbers.Real, np.floating, np.integer)):
        raise TypeError(f"level must be a real number, got {type(level).__name__}")
    lv = float(level)
    if not 0.0 < lv < 1.0:
        raise ValueError(f"level must lie strictly between 0 and 1, got {level!r}")
    return float(ndtri_as241(0.5 + lv / 2.0))


def _names(names: object, n: int) -> tuple[str, ...]:
    if names is None:
        return tuple(f"x{i}" for i in range(n))
    if isinstance(names, (str, bytes)) or not isinstance(names, (Sequence, np.ndarray)):
        raise TypeError(f"names must be a sequence of strings, got {type(names).__name__}")
    given = list(names)
    if len(given) != n:
        raise ValueError(f"names has {len(given)} entries for {n} parameters")
    for i, name in enumerate(given):
        if not isinstance(name, str):
            raise TypeError(f"names[{i}] must be a string, got {type(name).__name__}")
    if len(set(given)) != n:
        twice = next(name for name in given if given.count(name) > 1)
        raise ValueError(f"names must be distinct: {twice!r} appears more than once")
    return tuple(given)


def _errordef(errordef: object) -> float:
    if isinstance(errordef, bool) or not isinstance(errordef, (numbers.Real, np.floating, np.integer)):
        raise TypeError(f"errordef must be a real number, got {type(errordef).__name__}")
    value = float(errordef)
    if not 0.0 < value < math.inf:
        raise ValueError(f"errordef must be a finite number > 0 (0.5 for a negative log-likelihood, "
                         f"1 for a chi-square), got {errordef!r}")
    return value


def _check_start(x: np.ndarray, lower: np.ndarray, upper: np.ndarray, names: tuple[str, ...]) -> None:
    """x0 inside the bounds, strictly for a parameter that is not fixed; an
    interval narrow enough to be mapped."""
    fixed = lower == upper
    with np.errstate(over="ignore", invalid="ignore"):
        too_wide = np.isfinite(lower) & np.isfinite(upper) & ~np.isfinite(upper - lower)
    outside = (x < lower) | (x > upper) | np.isnan(x)
    on_bound = ~fixed & ((x == lower) | (x == upper))
    for i in np.flatnonzero(outside | on_bound | too_wide).tolist():
        name, low, high, v = names[i], float(lower[i]), float(upper[i]), float(x[i])
        if too_wide[i]:
            raise ValueError(f"parameter {name!r}: the interval ({low!r}, {high!r}) is wider than the largest float")
        if outside[i]:
            what = f"fixed at {low!r}" if fixed[i] else f"in ({low!r}, {high!r})"
            raise ValueError(f"x0 of parameter {name!r} is {v!r}, outside its bounds: it must lie {what}")
        raise ValueError(f"x0 of parameter {name!r} is {v!r}, on its bound: the start must lie strictly "
                         f"inside ({low!r}, {high!r}), where the transform is finite")


def _option_tuple(method: str, opts: Mapping[str, Any]) -> tuple[Any, ...]:
    if method == "L-BFGS-B":
        return (opts["maxcor"], opts["maxiter"], opts["maxfun"], opts["maxls"],
                opts["ftol"] / _opt.MACHINE_EPSILON, opts["gtol"], opts["eps"] or 0.0)
    return (opts["maxiter"] or 0, opts["maxfev"] or 0, opts["xatol"], opts["fatol"])


def fit(nll: Any, x0: Any, args: Any = (), *, jac: Any = None, bounds: Any = None, kind: str = "logit",
        names: Sequence[str] | None = None, method: str = "L-BFGS-B",
        options: Mapping[str, Any] | None = None, errordef: float = 0.5) -> FitResult:
    """Estimate parameters by minimizing nll, with standard errors,
    covariance and confidence intervals from the Hessian at the minimum.

    nll, args, jac, method, options: as for `Velmora.minimize`: nll is a
        Python callable nll(x, *args) returning a real number, a native
        function double f(const double *x, void *ctx) (ctypes, cffi, numba
        cfunc, or NativeObjective with an optional native gradient), or a
        built-in objective's name; jac a callable jac(x, *args), True when nll
        returns (value, gradient), or None. Gradients are with respect to x.
    x0: the start, n real numbers, strictly inside the bounds.
    bounds: None, n (low, high) pairs (None or an infinity for no bound), or
        an object with lb and ub. A parameter whose two bounds are equal is
        held fixed at that value (its standard error is 0); the others are
        estimated on the unconstrained coordinates y of
        ``ParameterMap(bounds, kind)`` (log for one bound, logit or probit
        for two, the identity for none), with the gradient pulled back
        through it, so estimates lie strictly inside their bounds.
    kind: "logit" or "probit", the map of parameters bounded on both sides.
    names: n distinct strings naming the parameters (default "x0", "x1", ...).
    errordef: how much a one-standard-error step raises the objective: 0.5
        for a negative log-likelihood, 1 for a chi-square (as in iminuit).

    The Hessian H of the objective with respect to y at the minimum comes
    from central differences of the gradient when there is one (steps
    eps^(1/3) max(|y_i|, 1), errors of order eps^(2/3)), otherwise from
    second differences of the values (steps eps^(1/4) max(|y_i|, 1), errors
    of order eps^(1/2)), and is symmetrised. The covariance of y is
    2 * errordef * H^-1, computed through the package's Cholesky factorisation
    and inverse; the covariance of x follows by the delta method. A direction
    whose curvature, measured in difference steps, is below what the
    differencing resolves relative to the largest (1000 times eps^(2/3) or
    eps^(1/2)) is flat: the parameters it moves get NaN standard errors and
    an `IdentifiabilityWarning` names them; the others keep exact ones. A
    native objective runs the whole fit, Hessian included, without Python
    and without the interpreter lock.

    Raises ValueError, before any evaluation, for names of the wrong length,
    an x0 outside (or on) its bounds (naming the parameter), and everything
    `minimize` refuses; and for an objective that is not finite at x0, after
    that one evaluation. An exception raised by nll or jac propagates
    unchanged. A minimization that does not report success gives a
    `ConvergenceWarning` and a result whose success is False.

    Returns a `FitResult`.
    """
    name = _opt._method(method)
    x = _opt._start(x0)
    n = x.size
    labels = _names(names, n)
    if not np.isfinite(x).all():
        i = int(np.argmin(np.isfinite(x)))
        raise ValueError(f"x0 of parameter {labels[i]!r} is {float(x[i])!r}: the start must be finite")
    scale = _errordef(errordef)
    if not isinstance(kind, str) or kind not in _INTERVAL_FAMILY:
        raise ValueError(f"kind must be 'logit' or 'probit', got {kind!r}")
    if not isinstance(args, tuple):
        args = (args,)
    objective = _opt._objective(nll, args, jac, name, n)
    box = _opt._bounds(bounds, n)
    opts = _opt._options(name, options, None)
    if box is None:
        lower, upper = np.full(n, -math.inf), np.full(n, math.inf)
    else:
        lo, hi, codes = box
        lower = np.where((codes == 1) | (codes == 2), lo, -math.inf)
        upper = np.where((codes == 2) | (codes == 3), hi, math.inf)
        _check_start(x, lower, upper, labels)
    fixed = lower == upper
    if fixed.all():
        raise ValueError("every parameter is fixed by equal bounds: there is nothing to estimate")
    differences = objective[0] == 2 or (objective[0] == 0 and objective[2] is None) or \
        (objective[0] == 1 and not objective[2])
    if name == "L-BFGS-B" and opts["eps"] is not None and differences:
        from Velmora.transforms import ParameterMap

        pm = ParameterMap(list(zip(lower[~fixed].tolist(), upper[~fixed].tolist())), kind=kind)
        _opt._check_step(pm.to_unconstrained(x[~fixed]), None, opts["eps"])

    x_start = x.copy()
    (state, index, status, message, nfev, njev, nit, fun, start_nfev, hessian_nfev, by_gradient,
     hessian_state, y, grad, hessian, cov_y, cov, flat) = _minimize.fit(
        objective, x, box, _option_tuple(name, opts), None,
        (_METHOD_CODE[name], _INTERVAL_FAMILY[kind], scale))
    if state == _BAD_START:
        i = int(index)
        raise ValueError(f"x0 of parameter {labels[i]!r} is {float(x_start[i])!r}, too close to its bounds "
                         f"({float(lower[i])!r}, {float(upper[i])!r}) for the transform to be finite")
    if state == _NOT_FINITE_START:
        raise ValueError(f"the objective is not finite at x0 (it returned {fun!r}): fit needs a finite "
                         f"value at the start")
    if state == _NO_MEMORY:
        raise MemoryError(f"fit: no memory for the workspace of {n} parameters")
    if state == _STOPPED:  # pragma: no cover - a stop always comes with an exception
        raise RuntimeError("fit was stopped")

    lbfgsb = name == "L-BFGS-B"
    success = status == _opt.SUCCESS[name]
    run = _opt.OptimizeResult(x=y, fun=fun, jac=grad if lbfgsb else None, nit=nit, nfev=nfev,
                              njev=njev if lbfgsb else 0, status=status, success=success, message=message)
    result = FitResult.__new__(FitResult)
    result.x = x
    result.fun = fun
    result.names = labels
    result.success = success
    result.status = status
    result.message = message
    result.nit = nit
    result.nfev = nfev + start_nfev + hessian_nfev
    result.njev = run.njev + (hessian_nfev if by_gradient else 0)
    result.errordef = scale
    result.minimize_result = run
    result.hessian = hessian
    result.cov = cov
    with np.errstate(invalid="ignore"):
        result.se = np.sqrt(np.diag(cov))
    result.fixed = fixed
    result.unidentified = tuple(label for label, f in zip(labels, flat.tolist()) if f)
    result._y, result._cov_y = y, cov_y
    result._lower, result._upper, result._kind = lower, upper, kind
    result._hessian_source = bool(by_gradient)
    result._corr = None
    if not success:
        warnings.warn(f"the minimization did not converge ({message}): the estimate is the last point "
                      f"reached", ConvergenceWarning, stacklevel=2)
    if result.unidentified:
        if state == _NO_HESSIAN or hessian_state == _NOT_FINITE:
            reason = "the Hessian at the estimate could not be formed (values that are not finite near it)"
        else:
            reason = ("the Hessian at the estimate is flat or not positive along a direction that "
                      "moves them")
        warnings.warn(f"{reason}: no standard errors for {', '.join(result.unidentified)}",
                      IdentifiabilityWarning, stacklevel=2)
    return result
