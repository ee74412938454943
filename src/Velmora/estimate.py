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

import functools
import math
import numbers
import textwrap
import warnings
from collections.abc import Callable, Mapping, Sequence
from typing import Any, TypeVar, cast

import numpy as np
from numpy.typing import NDArray

from Velmora import optimize as _opt
from Velmora._ckernels.distributions._distributions import ndtri_as241
from Velmora._ckernels.optim import _minimize
from Velmora._warnings import ConvergenceWarning, IdentifiabilityWarning

__all__ = ["ConvergenceWarning", "FitResult", "IdentifiabilityWarning", "fit"]

_T = TypeVar("_T")


# The native family codes of a parameter bounded on both sides
# (transforms/parameter_map.h), and the method codes of _minimize.fit.
_INTERVAL_FAMILY = {"logit": 3, "probit": 4}
_METHOD_CODE = {"L-BFGS-B": 0, "Nelder-Mead": 1}

# States of _minimize.fit (optim/fit_driver.h) and of its Hessian analysis
# (optim/hessian.h).
_DONE, _STOPPED, _BAD_START, _NOT_FINITE_START, _NO_HESSIAN, _NO_MEMORY, _NOT_RUN = range(7)
_HESSIAN_IDENTIFIED, _HESSIAN_FLAT, _HESSIAN_NOT_FINITE = range(3)


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
    fixed: True for a parameter held at its equal bounds; lower, upper: the
        bounds (infinite where there is none);
    unidentified: the names of the parameters without a standard error.

    `ci(level)` gives Wald intervals, `summary(level)` a table.

    An estimate on a bound (a maximum of the likelihood at the edge of the
    parameter space, where the unconstrained coordinate runs off towards
    infinity) is reported where the minimization stopped, with the standard
    error of the Hessian there; its interval, formed on the unconstrained
    scale, reaches towards the bound. Such standard errors describe no
    quadratic maximum and are best read through the interval.
    """

    __slots__ = (
        "x",
        "fun",
        "names",
        "success",
        "status",
        "message",
        "nit",
        "nfev",
        "njev",
        "errordef",
        "hessian",
        "cov",
        "se",
        "unidentified",
        "_run",
        "_box",
        "_kind",
        "_y",
        "_cov_y",
        "_hessian_source",
        "_cache",
        "nobs",
    )

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
    hessian: NDArray[np.float64]
    cov: NDArray[np.float64]
    se: NDArray[np.float64]
    unidentified: tuple[str, ...]
    _run: dict[str, Any]
    _box: tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.int64]] | None
    _kind: str
    _y: NDArray[np.float64]
    _cov_y: NDArray[np.float64]
    _hessian_source: bool
    _cache: dict[str, Any]
    nobs: float | None

    # What is derived on first use: a fit itself builds only what it must.

    def _cached(self, key: str, make: Callable[[], _T]) -> _T:
        if key not in self._cache:
            self._cache[key] = make()
        return cast(_T, self._cache[key])

    @property
    def minimize_result(self) -> _opt.OptimizeResult:
        """The `OptimizeResult` of the minimization on the unconstrained
        coordinates of the free parameters (x there is y, jac the gradient
        with respect to y)."""
        return self._cached("run", lambda: _opt.OptimizeResult(**self._run))

    def _bounds(self) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        return self._cached("bounds", lambda: _bound_arrays(self._box, self.x.size))

    @property
    def lower(self) -> NDArray[np.float64]:
        """The lower bounds, -inf where there is none."""
        return self._bounds()[0].copy()

    @property
    def upper(self) -> NDArray[np.float64]:
        """The upper bounds, +inf where there is none."""
        return self._bounds()[1].copy()

    @property
    def fixed(self) -> NDArray[np.bool_]:
        """True for a parameter held at its equal bounds."""
        lower, upper = self._bounds()
        return np.equal(lower, upper)

    @property
    def corr(self) -> NDArray[np.float64]:
        """The correlation matrix (n x n)."""
        return self._cached("corr", self._correlations).copy()

    def _correlations(self) -> NDArray[np.float64]:
        se = self.se
        with np.errstate(invalid="ignore", divide="ignore"):
            corr = self.cov / np.multiply.outer(se, se)
        usable = se > 0
        corr[np.diag_indices_from(corr)] = np.where(usable, 1.0, np.nan)
        corr[~usable, :] = np.nan
        corr[:, ~usable] = np.nan
        return corr

    # Model comparison. The objective is read through errordef: 0.5 means a
    # negative log-likelihood (loglike = -fun), 1 means -2 ln L, a deviance or
    # chi-square (loglike = -fun / 2); in general loglike = -fun * 0.5 / errordef.

    @property
    def loglike(self) -> float:
        """The log-likelihood at the estimate, -fun * 0.5 / errordef."""
        return -self.fun * 0.5 / self.errordef

    @property
    def nparams(self) -> int:
        """The number of estimated parameters (those not fixed)."""
        return int((~self.fixed).sum())

    @property
    def aic(self) -> float:
        """Akaike's information criterion, 2 k - 2 loglike (k = nparams)."""
        return 2.0 * self.nparams - 2.0 * self.loglike

    @property
    def bic(self) -> float:
        """The Bayesian information criterion, k ln(nobs) - 2 loglike; NaN
        when the number of observations is not known (give fit nobs=)."""
        nobs = getattr(self, "nobs", None)  # a result built elsewhere may not know it
        if nobs is None:
            return math.nan
        return self.nparams * math.log(nobs) - 2.0 * self.loglike

    @property
    def values(self) -> dict[str, float]:
        """The estimates by name (iminuit's ``values``)."""
        return dict(zip(self.names, self.x.tolist()))

    @property
    def errors(self) -> dict[str, float]:
        """The standard errors by name (iminuit's ``errors``)."""
        return dict(zip(self.names, self.se.tolist()))

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

        lower, upper = self.lower, self.upper
        free = lower != upper
        out = np.repeat(self.x[:, None], 2, axis=1)
        se_y = np.sqrt(np.diag(self._cov_y))
        pm = ParameterMap(list(zip(lower[free].tolist(), upper[free].tolist())), kind=self._kind)
        with np.errstate(invalid="ignore"):
            ends = np.stack(
                [pm.to_constrained(self._y - z * se_y), pm.to_constrained(self._y + z * se_y)], 1
            )
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
        lower, upper = self.lower, self.upper
        lines = []
        rows = []
        for i, name in enumerate(self.names):
            rows.append(
                f"{name:<{width}} {_format_number(self.x[i])} {_format_number(self.se[i])} "
                f"{_format_number(intervals[i, 0])} {_format_number(intervals[i, 1])}   "
                f"{_bound_text(lower[i], upper[i])}"
            )
        header = f"{'':<{width}} {'estimate':>11} {'std err':>11} {low_title:>11} {high_title:>11}   bounds"
        rule_width = max(len(header), *(len(r) for r in rows), 72)
        fixed = int(self.fixed.sum())
        hessian = (
            "central differences of the gradient"
            if self._hessian_source
            else "second differences of the objective"
        )
        outcome = ("converged" if self.success else "NOT converged") + f": {self.message}"
        method = "Nelder-Mead" if self._run["jac"] is None else "L-BFGS-B"
        lines.append("Velmora.fit".center(rule_width).rstrip())
        lines.append("=" * rule_width)
        lines.append(f"{'Objective:':<14}{self.fun:<24.10g}{'errordef:':<14}{self.errordef:g}")
        lines.append(f"{'Parameters:':<14}{len(self.names):<24}{'fixed:':<14}{fixed}")
        nobs_value = getattr(self, "nobs", None)
        nobs = "unknown" if nobs_value is None else f"{nobs_value:g}"
        lines.append(f"{'Log-lik.:':<14}{self.loglike:<24.10g}{'AIC:':<14}{self.aic:.10g}")
        lines.append(f"{'Observations:':<14}{nobs:<24}{'BIC:':<14}{self.bic:.10g}")
        lines.append(f"{'Method:':<14}{method:<24}{'iterations:':<14}{self.nit}")
        lines.append(f"{'Evaluations:':<14}{self.nfev:<24}{'gradients:':<14}{self.njev}")
        lines.append(f"{'Outcome:':<14}{outcome}")
        lines.append("=" * rule_width)
        lines.append(header)
        lines.append("-" * rule_width)
        lines.extend(rows)
        lines.append("=" * rule_width)
        notes = (
            f"Hessian by {hessian} on the unconstrained scale; standard errors by the delta "
            f"method; Wald intervals formed on the unconstrained scale and mapped back."
        )
        if self.unidentified:
            notes += f" Not identified by the Hessian (no standard error): {', '.join(self.unidentified)}."
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


@functools.lru_cache(maxsize=64)
def _default_names(n: int) -> tuple[str, ...]:
    return tuple(f"x{i}" for i in range(n))


def _names(names: object, n: int) -> tuple[str, ...]:
    if names is None:
        return _default_names(n)
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
    if type(errordef) is float and 0.0 < errordef < math.inf:
        return errordef
    if isinstance(errordef, bool) or not isinstance(
        errordef, (numbers.Real, np.floating, np.integer)
    ):
        raise TypeError(f"errordef must be a real number, got {type(errordef).__name__}")
    value = float(errordef)
    if not 0.0 < value < math.inf:
        raise ValueError(
            f"errordef must be a finite number > 0 (0.5 for a negative log-likelihood, "
            f"1 for a chi-square), got {errordef!r}"
        )
    return value


def _bound_arrays(
    box: tuple[np.ndarray, np.ndarray, np.ndarray] | None, n: int
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Lower and upper bounds (infinite where there is none) from the bounds
    as `minimize` normalises them."""
    if box is None:
        return np.full(n, -math.inf), np.full(n, math.inf)
    lo, hi, codes = box
    return (
        np.where((codes == 1) | (codes == 2), lo, -math.inf),
        np.where((codes == 2) | (codes == 3), hi, math.inf),
    )


# The start problems of _minimize.fit (optim/fit_driver.h).
(
    _START_NOT_FINITE,
    _START_OUTSIDE,
    _START_ON_BOUND,
    _START_TOO_WIDE,
    _START_TOO_CLOSE,
    _START_NOTHING_FREE,
) = range(1, 7)


def _bad_start(
    problem: int, index: int, x: np.ndarray, box: Any, names: tuple[str, ...]
) -> ValueError:
    """The error for a start the native checks refused."""
    if problem == _START_NOTHING_FREE:
        return ValueError("every parameter is fixed by equal bounds: there is nothing to estimate")
    lower, upper = _bound_arrays(box, x.size)
    name, v, low, high = names[index], float(x[index]), float(lower[index]), float(upper[index])
    if problem == _START_NOT_FINITE:
        return ValueError(f"x0 of parameter {name!r} is {v!r}: the start must be finite")
    if problem == _START_TOO_WIDE:
        return ValueError(
            f"parameter {name!r}: the interval ({low!r}, {high!r}) is wider than the largest float"
        )
    if problem == _START_OUTSIDE:
        what = f"fixed at {low!r}" if low == high else f"in ({low!r}, {high!r})"
        return ValueError(
            f"x0 of parameter {name!r} is {v!r}, outside its bounds: it must lie {what}"
        )
    if problem == _START_ON_BOUND:
        return ValueError(
            f"x0 of parameter {name!r} is {v!r}, on its bound: the start must lie strictly "
            f"inside ({low!r}, {high!r}), where the transform is finite"
        )
    return ValueError(
        f"x0 of parameter {name!r} is {v!r}, too close to its bounds ({low!r}, {high!r}) for "
        f"the transform to be finite"
    )


# The options of a run that gives none, normalised once.
_DEFAULT_OPTIONS: dict[str, tuple[Any, ...]] = {}


def _option_tuple(method: str, opts: Mapping[str, Any]) -> tuple[Any, ...]:
    if method == "L-BFGS-B":
        return (
            opts["maxcor"],
            opts["maxiter"],
            opts["maxfun"],
            opts["maxls"],
            opts["ftol"] / _opt.MACHINE_EPSILON,
            opts["gtol"],
            opts["eps"] or 0.0,
        )
    return (opts["maxiter"] or 0, opts["maxfev"] or 0, opts["xatol"], opts["fatol"])


def fit(
    nll: Any,
    x0: Any,
    args: Any = (),
    *,
    jac: Any = None,
    bounds: Any = None,
    kind: str = "logit",
    names: Sequence[str] | None = None,
    method: str = "L-BFGS-B",
    options: Mapping[str, Any] | None = None,
    errordef: float = 0.5,
    fixed: Mapping[str, float] | None = None,
    nobs: float | None = None,
) -> FitResult:
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
        It also reads the objective for `FitResult.loglike`: -fun for 0.5,
        -fun / 2 for 1 (-2 ln L).
    fixed: values to hold parameters at, by name ({"mu": 170}); the same as
        equal bounds there, with x0 taken from it.
    nobs: the number of observations, for `FitResult.bic`; by default the
        objective's own ``nobs`` (a `Velmora.likelihoods.Likelihood` has one).

    Named parameters: x0 may be a mapping {"mu": 150, "sigma": 5} (the names
    and their order come from it), and bounds a mapping from names to
    (low, high) pairs (a name left out is free).

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
    x0, names, bounds = _named_arguments(x0, names, bounds, fixed)
    x = _opt._start(x0)
    n = x.size
    labels = _names(names, n)
    scale = _errordef(errordef)
    observations = _nobs(getattr(nll, "nobs", None) if nobs is None else nobs)
    if not isinstance(kind, str) or kind not in _INTERVAL_FAMILY:
        raise ValueError(f"kind must be 'logit' or 'probit', got {kind!r}")
    if not isinstance(args, tuple):
        args = (args,)
    objective = _opt._objective(nll, args, jac, name, n)
    box = _opt._bounds(bounds, n)
    if options is None:
        if name not in _DEFAULT_OPTIONS:
            _DEFAULT_OPTIONS[name] = _option_tuple(name, _opt._options(name, None, None))
        option_tuple = _DEFAULT_OPTIONS[name]
    else:
        opts = _opt._options(name, options, None)
        option_tuple = _option_tuple(name, opts)
        differences = (
            objective[0] == 2
            or (objective[0] == 0 and objective[2] is None)
            or (objective[0] == 1 and not objective[2])
        )
        if name == "L-BFGS-B" and opts["eps"] is not None and differences:
            _check_step_on_y(x, box, kind, opts["eps"])

    (
        state,
        index,
        problem,
        status,
        message,
        nfev,
        njev,
        nit,
        fun,
        start_nfev,
        hessian_nfev,
        by_gradient,
        hessian_state,
        flat_count,
        y,
        grad,
        hessian,
        cov_y,
        cov,
        se,
        flat,
    ) = _minimize.fit(
        objective, x, box, option_tuple, None, (_METHOD_CODE[name], _INTERVAL_FAMILY[kind], scale)
    )
    if state == _BAD_START:
        raise _bad_start(problem, index, x, box, labels)  # x is untouched then
    if state == _NOT_FINITE_START:
        raise ValueError(
            f"the objective is not finite at x0 (it returned {fun!r}): fit needs a finite "
            f"value at the start"
        )
    if state == _NO_MEMORY:
        raise MemoryError(f"fit: no memory for the workspace of {n} parameters")
    if state == _NOT_RUN:
        raise ValueError(f"the minimizer refused its input: {message} (status {status})")
    if state == _STOPPED:  # pragma: no cover - a stop always comes with an exception
        raise RuntimeError("fit was stopped")

    lbfgsb = name == "L-BFGS-B"
    success = status == _opt.SUCCESS[name]
    result = FitResult.__new__(FitResult)
    result.x, result.fun, result.names = x, fun, labels
    result.success, result.status, result.message, result.nit = success, status, message, nit
    result.nfev = nfev + start_nfev + hessian_nfev
    result.njev = (njev if lbfgsb else 0) + (hessian_nfev if by_gradient else 0)
    result.errordef, result.hessian, result.cov, result.se = scale, hessian, cov, se
    result.unidentified = (
        tuple(label for label, f in zip(labels, flat.tolist()) if f) if flat_count else ()
    )
    result._run = {
        "x": y,
        "fun": fun,
        "jac": grad if lbfgsb else None,
        "nit": nit,
        "nfev": nfev,
        "njev": njev if lbfgsb else 0,
        "status": status,
        "success": success,
        "message": message,
    }
    result._box, result._kind, result._y, result._cov_y = box, kind, y, cov_y
    result._hessian_source, result._cache = bool(by_gradient), {}
    result.nobs = observations
    if not success:
        warnings.warn(
            f"the minimization did not converge ({message}): the estimate is the last point "
            f"reached",
            ConvergenceWarning,
            stacklevel=2,
        )
    if flat_count:
        if state == _NO_HESSIAN or hessian_state == _HESSIAN_NOT_FINITE:
            reason = (
                f"the Hessian at the estimate could not be formed (the objective is not "
                f"finite at every Hessian probe of "
                f"{', '.join(_not_finite_rows(hessian, labels, result.unidentified))})"
            )
        else:
            reason = (
                "the Hessian at the estimate is flat or not positive along a direction that "
                "moves them"
            )
        warnings.warn(
            f"{reason}: no standard errors for {', '.join(result.unidentified)}",
            IdentifiabilityWarning,
            stacklevel=2,
        )
    return result


def _not_finite_rows(hessian: np.ndarray, labels, unidentified) -> tuple:
    """The parameters whose own second difference is not finite (a bad probe
    spoils every cross term of its coordinate too); all unidentified ones when
    the Hessian covers only the free parameters."""
    hessian = np.asarray(hessian)
    if hessian.ndim != 2 or hessian.shape[0] != len(labels):
        return unidentified
    bad = ~np.isfinite(np.diag(hessian))
    return tuple(label for label, b in zip(labels, bad.tolist()) if b) or unidentified


def _nobs(nobs: object) -> float | None:
    if nobs is None:
        return None
    if isinstance(nobs, bool) or not isinstance(nobs, (numbers.Real, np.floating, np.integer)):
        raise TypeError(f"nobs must be a number, got {type(nobs).__name__}")
    value = float(nobs)
    if not 0.0 < value < math.inf:
        raise ValueError(f"nobs must be a finite number > 0, got {nobs!r}")
    return value


def _named_arguments(x0: Any, names: Any, bounds: Any, fixed: Any) -> tuple[Any, Any, Any]:
    """x0, names and bounds with the named forms resolved: x0 as a mapping
    gives the names; bounds as a mapping and fixed go by name."""
    if isinstance(x0, Mapping):
        if names is not None and list(names) != list(x0):
            raise ValueError("names differ from the keys of x0: give one or the other")
        names = list(x0)
        x0 = list(x0.values())
    if not isinstance(bounds, Mapping) and fixed is None:
        return x0, names, bounds
    if names is None:
        raise ValueError("bounds or fixed by name need names (or x0 as a mapping)")
    labels = _names(names, len(names))
    x = _opt._start(x0)
    if x.size != len(labels):
        raise ValueError(f"x0 has {x.size} values for {len(labels)} names")
    if isinstance(bounds, Mapping):
        unknown = [key for key in bounds if key not in labels]
        if unknown:
            raise ValueError(f"bounds: no parameter {unknown[0]!r}; the parameters are {labels}")
        pairs = [bounds.get(label, (None, None)) for label in labels]
    else:
        lower, upper = _bound_arrays(_opt._bounds(bounds, x.size), x.size)
        pairs = list(zip(lower.tolist(), upper.tolist()))
    if fixed is not None:
        if not isinstance(fixed, Mapping):
            raise TypeError(
                f"fixed must be a mapping of names to values, got {type(fixed).__name__}"
            )
        for key, value in fixed.items():
            if key not in labels:
                raise ValueError(f"fixed: no parameter {key!r}; the parameters are {labels}")
            v = _opt._bound_side(value, f"fixed[{key!r}]", math.nan)
            if not math.isfinite(v):
                raise ValueError(f"fixed[{key!r}] must be finite, got {value!r}")
            i = labels.index(key)
            x[i] = v
            pairs[i] = (v, v)
    return x, labels, pairs


def _check_step_on_y(x: np.ndarray, box: Any, kind: str, eps: float) -> None:
    """An absolute difference step (options['eps']) must move every
    unconstrained coordinate of a usable start (the run differences there)."""
    from Velmora.transforms import ParameterMap

    lower, upper = _bound_arrays(box, x.size)
    free = lower != upper
    inside = np.isfinite(x) & (lower <= x) & (x <= upper)
    if not inside.all() or not free.any():
        return  # the native checks name the problem
    try:
        pm = ParameterMap(list(zip(lower[free].tolist(), upper[free].tolist())), kind=kind)
    except ValueError:
        return
    with np.errstate(all="ignore"):
        y = pm.to_unconstrained(x[free])
    if np.isfinite(y).all():
        _opt._check_step(y, None, eps)
