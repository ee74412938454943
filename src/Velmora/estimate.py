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
from collections.abc import Callable, Mapping, Sequence
from typing import Any, TypeVar, cast

import numpy as np
from numpy.typing import NDArray

from Velmora import _args
from Velmora import optimize as _opt
from Velmora._ckernels.optim import _fitting
from Velmora._warnings import BoundaryWarning, ConvergenceWarning, IdentifiabilityWarning

__all__ = ["BoundaryWarning", "ConvergenceWarning", "FitResult", "IdentifiabilityWarning", "fit"]

_T = TypeVar("_T")


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
    unidentified: the names of the parameters the Hessian does not identify
        (no standard error);
    edm: the estimated distance to the minimum, g^T H^-1 g / 2 over the
        parameters not on a bound (g the gradient with respect to y): the
        objective would fall by about that much more, and EDM / errordef is
        the squared distance to the minimum in standard errors. success is
        True only when it is at most edm_tol * errordef;
    at_bound: the names of the parameters whose estimate is on a bound or
        within one standard error of one (iminuit's
        ``has_parameters_at_limit``, by name).

    `ci(level)` gives Wald intervals, `summary(level)` a table.

    An estimate on a bound (a maximum of the likelihood at the edge of the
    parameter space: the objective still falls towards the bound, and the
    unconstrained coordinate runs off towards infinity) gets no standard
    error (NaN, without being called unidentified); the other parameters'
    covariance is the one with it held there. An estimate within two
    standard errors of a bound keeps its standard error. Both are named in
    `at_bound` with a `BoundaryWarning`: their Wald intervals are not
    reliable.
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
        "edm",
        "at_bound",
        "_run",
        "_box",
        "_kind",
        "_y",
        "_cov_y",
        "_hessian_source",
        "_cache",
        "nobs",
        "_refit",
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
    edm: float
    at_bound: tuple[str, ...]
    _run: dict[str, Any]
    _box: _args.Box | None
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
        return self._cached("bounds", lambda: _args.bound_arrays(self._box, self.x.size))

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

    def ci(self, level: float = 0.95, method: str = "wald") -> NDArray[np.float64]:
        """Wald confidence intervals, an (n, 2) array of (low, high).

        method="profile" gives profile-likelihood intervals instead (see
        `Velmora.profile`): asymmetric, found by re-fitting, and reaching a
        bound only with an `IntervalAtBoundWarning`.

        Formed on the unconstrained scale, y +- z se_y with z the standard
        normal quantile of 0.5 + level / 2, and mapped back to x: a bounded
        parameter's interval lies within its bounds and need not be symmetric
        about the estimate. A fixed parameter's interval is its value; one
        without a standard error gets NaN.
        """
        z = _args.quantile_of_level(level)
        if method != "wald":
            return _profile_route(self, level, method)
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

    def profile(self, name: str, bound: Any = 3, size: int = 50) -> Any:
        """The objective minimized over the other parameters along parameter
        `name`: a `Velmora.profile.ProfileResult` (see there)."""
        from Velmora.profile import profile

        return profile(self, name, bound, size)

    def contour(
        self, name1: str, name2: str, level: float = 0.6826894921370859, size: int = 100
    ) -> Any:
        """The boundary of the joint confidence region of two parameters: a
        `Velmora.profile.ContourResult` (see `Velmora.profile.contour`)."""
        from Velmora.profile import contour

        return contour(self, name1, name2, level, size)

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
                f"{name:<{width}} {_args.format_number(self.x[i])} {_args.format_number(self.se[i])} "
                f"{_args.format_number(intervals[i, 0])} {_args.format_number(intervals[i, 1])}   "
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
        lines.append(
            f"{'EDM:':<14}{self.edm:<24.2g}{'EDM/errordef:':<14}{self.edm / self.errordef:.2g}"
        )
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
        if self.at_bound:
            notes += (
                f" On or near a bound (Wald interval not reliable): {', '.join(self.at_bound)}."
            )
        lines.extend(textwrap.wrap(notes, rule_width))
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.summary()

    def _repr_html_(self) -> str:
        from Velmora._html import fit_html

        return fit_html(self)

    def __repr__(self) -> str:
        pairs = ", ".join(f"{name}={value:.6g}" for name, value in zip(self.names, self.x.tolist()))
        return f"<FitResult {pairs}; fun={self.fun:.6g}, success={self.success}>"


class _Recipe(dict[str, Any]):
    """The objective and settings of a fit, for re-fits (profiles). A pickle
    leaves it out -- the objective need not pickle, and its data can be
    large -- so a restored result has no profiles; copies share it."""

    def __reduce__(self) -> tuple[Any, ...]:
        return (dict, ())

    def __copy__(self) -> _Recipe:
        return self

    def __deepcopy__(self, memo: Any) -> _Recipe:
        return self


def _profile_route(result: FitResult, level: float, method: object) -> NDArray[np.float64]:
    if method != "profile":
        raise ValueError(f"method must be 'wald' or 'profile', got {method!r}")
    from Velmora.profile import ci_profile

    return ci_profile(result, level)


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
    edm_tol: float = 1e-6,
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
    edm_tol: the certification's tolerance, in units of errordef: success
        needs EDM <= edm_tol * errordef (see below). The default 1e-6 puts
        every parameter within 1e-3 standard errors of the minimum; inf
        accepts whatever point the minimizer reports.

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

    Certified convergence. Where the minimizer stops, the gradient g with
    respect to y (the analytic one, or without one the central differences
    the Hessian's probes give at no cost) and H give the estimated distance
    to the minimum, EDM = g^T H^-1 g / 2, as iminuit's MIGRAD reports it:
    the further fall of a quadratic objective, and, divided by errordef, the
    squared distance to the minimum in standard errors, whatever the units
    of the parameters. Above edm_tol * errordef, Newton steps on y follow
    (a backtracking line search; steps along the diagonally scaled gradient
    where H is not positive definite, as at a start in a bound map's
    saturation zone), each with a new Hessian, at most 20 of them.
    success is True only when the criterion holds at the end (and the
    minimizer stopped on its own tests, not on a limit); otherwise status 10
    (or the minimizer's own), a `ConvergenceWarning` giving the EDM.
    Parameters on a bound are left out of the criterion: the objective
    falls towards the bound there, and they are named in
    `FitResult.at_bound` with a `BoundaryWarning`, as are estimates within
    one standard error of a bound.

    Raises ValueError, before any evaluation, for names of the wrong length,
    an x0 outside (or on) its bounds (naming the parameter), and everything
    `minimize` refuses; and for an objective that is not finite at x0, after
    that one evaluation. An exception raised by nll or jac propagates
    unchanged. A minimization that does not report success gives a
    `ConvergenceWarning` and a result whose success is False.

    Returns a `FitResult`.
    """
    name = _args.method_name(method)
    x0, names, bounds = _named_arguments(x0, names, bounds, fixed)
    x = _args.start_vector(x0)
    n = x.size
    labels = _args.parse_names(names, n)
    scale = _args.parse_errordef(errordef)
    tolerance = _args.parse_edm_tol(edm_tol)
    observations = _nobs(getattr(nll, "nobs", None) if nobs is None else nobs)
    if not isinstance(kind, str) or kind not in _args.INTERVAL_FAMILY:
        raise ValueError(f"kind must be 'logit' or 'probit', got {kind!r}")
    if not isinstance(args, tuple):
        args = (args,)
    objective = _args.parse_objective(nll, args, jac, name, n)
    box = _args.parse_bounds(bounds, n)
    if options is None:
        if name not in _args._DEFAULT_OPTIONS:
            _args._DEFAULT_OPTIONS[name] = _args.option_tuple(
                name, _args.minimizer_options(name, None, None)
            )
        option_tuple = _args._DEFAULT_OPTIONS[name]
    else:
        opts = _args.minimizer_options(name, options, None)
        option_tuple = _args.option_tuple(name, opts)
        if name == "L-BFGS-B" and opts["eps"] is not None and _args.uses_differences(objective):
            _args.check_step_on_y(x, box, kind, opts["eps"])

    settings = (_args.METHOD_CODE[name], _args.INTERVAL_FAMILY[kind], scale, tolerance)
    out = _fitting.fit(
        objective,
        x,
        box,
        option_tuple,
        None,
        settings,
    )
    if out.state == _fitting.FIT_BAD_START:
        raise _args.bad_start(out.start_problem, out.element, x, box, labels)  # x is untouched then
    if out.state == _fitting.FIT_NOT_FINITE_START:
        raise ValueError(
            f"the objective is not finite at x0 (it returned {out.fun!r}): fit needs a finite "
            f"value at the start"
        )
    if out.state == _fitting.FIT_NO_MEMORY:
        raise MemoryError(f"fit: no memory for the workspace of {n} parameters")
    if out.state == _fitting.FIT_NOT_RUN:
        raise ValueError(f"the minimizer refused its input: {out.message} (status {out.status})")
    if (
        out.state == _fitting.FIT_STOPPED
    ):  # pragma: no cover - a stop always comes with an exception
        raise RuntimeError("fit was stopped")

    lbfgsb = name == "L-BFGS-B"
    success = out.status == _opt.SUCCESS[name]
    result = FitResult.__new__(FitResult)
    result.x, result.fun, result.names = x, out.fun, labels
    result.success, result.status, result.message, result.nit = (
        success,
        out.status,
        out.message,
        out.nit,
    )
    result.nfev = out.nfev + out.start_nfev + out.hessian_nfev
    result.njev = (out.njev if lbfgsb else 0) + (out.hessian_nfev if out.hessian_by_gradient else 0)
    result.errordef, result.hessian, result.cov, result.se = scale, out.hessian, out.cov, out.se
    result.unidentified = (
        tuple(label for label, f in zip(labels, out.flat.tolist()) if f) if out.flat_count else ()
    )
    result.edm = out.edm
    bound_flags = out.at_bound.tolist()
    result.at_bound = (
        tuple(label for label, b in zip(labels, bound_flags) if b) if True in bound_flags else ()
    )
    result._run = {
        "x": out.y,
        "fun": out.fun,
        "jac": out.grad if lbfgsb else None,
        "nit": out.nit,
        "nfev": out.nfev,
        "njev": out.njev if lbfgsb else 0,
        "status": out.status,
        "success": success,
        "message": out.message,
    }
    result._box, result._kind, result._y, result._cov_y = box, kind, out.y, out.cov_y
    result._hessian_source, result._cache = bool(out.hessian_by_gradient), {}
    result.nobs = observations
    # What a profile needs to re-fit with some parameters held.
    result._refit = _Recipe(
        nll=nll,
        args=args,
        jac=jac,
        method=name,
        options=options,
        native=(objective, box, option_tuple, settings),  # as _fitting.fit takes them
    )
    if not success:
        warnings.warn(_not_converged(out.message, out.edm, scale), ConvergenceWarning, stacklevel=2)
    if result.at_bound:
        warnings.warn(_boundary_text(result), BoundaryWarning, stacklevel=2)
    if out.flat_count:
        if out.state == _fitting.FIT_NO_HESSIAN or out.hessian_state == _fitting.HESSIAN_NOT_FINITE:
            reason = (
                f"the Hessian at the estimate could not be formed (the objective is not "
                f"finite at every Hessian probe of "
                f"{', '.join(_not_finite_rows(result.hessian, result.names, result.unidentified))})"
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


def _not_converged(message: str, edm: float, errordef: float) -> str:
    return (
        f"the minimization did not converge ({message}; EDM {edm:.3g}, "
        f"EDM/errordef {edm / errordef:.3g}): the estimate is the last point reached"
    )


def _boundary_text(result: FitResult) -> str:
    on = [
        name
        for name, se in zip(result.names, result.se.tolist())
        if name in result.at_bound and se != se
    ]
    near = [name for name in result.at_bound if name not in on]
    parts = []
    if on:
        parts.append(f"on their bound (no standard error): {', '.join(on)}")
    if near:
        parts.append(f"within one standard error of a bound: {', '.join(near)}")
    return "estimates " + "; ".join(parts) + ": their Wald intervals are not reliable"


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
    labels = _args.parse_names(names, len(names))
    x = _args.start_vector(x0)
    if x.size != len(labels):
        raise ValueError(f"x0 has {x.size} values for {len(labels)} names")
    if isinstance(bounds, Mapping):
        unknown = [key for key in bounds if key not in labels]
        if unknown:
            raise ValueError(f"bounds: no parameter {unknown[0]!r}; the parameters are {labels}")
        pairs = [bounds.get(label, (None, None)) for label in labels]
    else:
        lower, upper = _args.bound_arrays(_args.parse_bounds(bounds, x.size), x.size)
        pairs = list(zip(lower.tolist(), upper.tolist()))
    if fixed is not None:
        if not isinstance(fixed, Mapping):
            raise TypeError(
                f"fixed must be a mapping of names to values, got {type(fixed).__name__}"
            )
        for key, value in fixed.items():
            if key not in labels:
                raise ValueError(f"fixed: no parameter {key!r}; the parameters are {labels}")
            v = _args.bound_side(value, f"fixed[{key!r}]", math.nan)
            if not math.isfinite(v):
                raise ValueError(f"fixed[{key!r}] must be finite, got {value!r}")
            i = labels.index(key)
            x[i] = v
            pairs[i] = (v, v)
    return x, labels, pairs
