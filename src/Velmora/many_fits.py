"""Many independent estimates in one call: `fit_many` and `curve_fit_many`.

`fit_many(nll, x0, data, ...)` makes, for each of K problems that share a
negative log-likelihood and differ in their data, the fit `Velmora.fit` makes
of it; `curve_fit_many(f, xdata, ydata, p0, ...)` does the same for
`Velmora.curve_fit`. Arguments, workers, the progress line and Ctrl-C work as
for `minimize_many`; the results are arrays with one row per problem.
"""

from __future__ import annotations

import types
from collections.abc import Mapping, Sequence
from typing import Any, ClassVar

import numpy as np
from numpy.typing import NDArray

from Velmora import _args, _fixed, _missing, _progress
from Velmora import least_squares_fits as _lsq
from Velmora import optimize as _opt
from Velmora._ckernels.optim import _fitting

__all__ = ["CurveFitManyResult", "FitManyResult", "curve_fit_many", "fit_many"]


class _Rows:
    """What the many-fits results share: the fields below (one row per
    problem), which are attributes, also readable by name like the dict
    results of `minimize_many` (r["x"], keys(), items()), and the display of
    `OptimizeResult`."""

    x: np.ndarray
    se: np.ndarray
    cov: np.ndarray
    fun: np.ndarray
    nit: np.ndarray
    nfev: np.ndarray
    njev: np.ndarray
    status: np.ndarray
    success: np.ndarray
    message: np.ndarray
    names: tuple[str, ...]
    _fields: ClassVar[tuple[str, ...]] = tuple(__annotations__)
    __slots__ = _fields

    def __init__(self, **fields: Any) -> None:
        for name in self._fields:
            setattr(self, name, fields.pop(name))
        if fields:
            raise TypeError(f"{type(self).__name__} has no fields {sorted(fields)}")

    def __getitem__(self, key: str) -> Any:
        if key not in self._fields:
            raise KeyError(key)
        return getattr(self, key)

    def keys(self) -> tuple[str, ...]:
        return self._fields

    def items(self) -> list[tuple[str, Any]]:
        return [(name, getattr(self, name)) for name in self._fields]

    def __repr__(self) -> str:
        return _opt.OptimizeResult.__repr__(dict(self.items()))  # type: ignore[arg-type]

    def _repr_html_(self) -> str:
        from Velmora._html import many_html

        return many_html(self)


class FitManyResult(_Rows):
    """The result of `fit_many`: one row per problem, row k holding what
    `Velmora.fit` reports for problem k.

    x, se: the estimates and their standard errors, float64 (K, n); cov: the
    covariances (K, n, n); fun: the objective at the estimates (K,); nit,
    nfev, njev, status: int64 (K,); success: bool (K,); message: K strings;
    unidentified: bool (K, n), True for a parameter the Hessian does not
    identify (its standard error is NaN); edm: the certification's estimated
    distance to the minimum (K,), NaN without an estimate; at_bound: bool
    (K, n), True for an estimate on a bound or within one standard error of
    one (`FitResult.at_bound`); names: the parameter names; errordef: as
    given. A problem without an estimate (its objective is not finite at its
    start) has success False and NaN standard errors.

    `ci(level)` gives the Wald intervals, (K, n, 2).
    """

    unidentified: np.ndarray
    edm: np.ndarray
    at_bound: np.ndarray
    errordef: float
    _fields = (*_Rows._fields, *__annotations__)
    # The intervals' pieces: y and its standard errors on the unconstrained
    # scale, the bounds (K, n) and the map of parameters bounded on both sides.
    __slots__ = (*__annotations__, "_y", "_se_y", "_lower", "_upper", "_kind")

    def ci(self, level: float = 0.95) -> NDArray[np.float64]:
        """Wald intervals of shape (K, n, 2), as `FitResult.ci` forms them
        for each problem: y +- z se_y on the unconstrained scale mapped back,
        the value itself for a fixed parameter, NaN without a standard error."""
        z = _args.quantile_of_level(level)
        y, se_y, lower, upper = self._y, self._se_y, self._lower, self._upper
        free = lower != upper
        out = np.repeat(self.x[..., None], 2, axis=-1)
        if free.any():
            from Velmora.transforms import ParameterMap

            # One map over every free element of every problem: one pass of
            # the transform kernels, whatever K.
            pm = ParameterMap(
                types.SimpleNamespace(lb=lower[free], ub=upper[free]), kind=self._kind
            )
            with np.errstate(invalid="ignore"):
                ends = np.stack(
                    [
                        pm.to_constrained(y[free] - z * se_y[free]),
                        pm.to_constrained(y[free] + z * se_y[free]),
                    ],
                    1,
                )
            ends.sort(axis=1)
            ends[np.isnan(se_y[free])] = np.nan
            out[free] = ends
        return out


class CurveFitManyResult(_Rows):
    """The result of `curve_fit_many`: one row per problem (or the leading
    shape of a cube of data), row k holding what `curve_fit` reports for
    problem k.

    x: popt, float64 (K, n); se: the square roots of pcov's diagonal; cov:
    pcov (K, n, n), inf where curve_fit would warn that it cannot be
    estimated; fun: the weighted sum of squares at x (K,); nit, nfev, njev:
    int64 (K,); status: curve_fit's ier (leastsq's without bounds and with
    method None or 'lm', least_squares' status otherwise); success: bool
    (K,); message: K strings; names: the model's parameter names (p0, p1,
    ... when its signature does not give them).

    `ci(level)` gives x +- z se, (K, n, 2).
    """

    __slots__ = ()

    def ci(self, level: float = 0.95) -> NDArray[np.float64]:
        """x +- z se with z the standard normal quantile of 0.5 + level / 2,
        (..., n, 2); NaN where there is no standard error."""
        half = _args.quantile_of_level(level) * self.se
        return np.stack([self.x - half, self.x + half], axis=-1)


def _row_box(box: _args.Box | None, k: int) -> _args.Box | None:
    """The bounds of problem k from bounds of shape (n,) or (K, n)."""
    if box is None or box[0].ndim == 1:
        return box
    return box[0][k], box[1][k]


def _bound_tables(box: _args.Box | None, K: int, n: int) -> tuple[np.ndarray, np.ndarray]:
    """Lower and upper bounds of shape (K, n), infinite where there is none."""
    lower, upper = _args.bound_arrays(box, n)
    return np.broadcast_to(lower, (K, n)), np.broadcast_to(upper, (K, n))


def fit_many(
    nll: Any,
    x0: Any,
    data: Any = None,
    args: Any = (),
    *,
    jac: Any = None,
    bounds: Any = None,
    kind: str = "logit",
    names: Sequence[str] | None = None,
    method: str = "L-BFGS-B",
    options: Mapping[str, Any] | None = None,
    errordef: float = 0.5,
    workers: int | None = None,
    progress: bool | None = None,
    edm_tol: float = 1e-6,
) -> FitManyResult:
    """Estimate the parameters of K problems that share a negative
    log-likelihood and differ in their data; problem k is the fit
    `Velmora.fit` makes of it on row k.

    nll: a Python callable nll(x, data[k], *args) (nll(x, *args) when data
        is None) returning a real number; or a native function
        double f(const double *x, void *ctx) in any form `fit` takes, whose
        ctx is the address of row k of data (as for `minimize_many`). Native
        objectives run on `workers` threads without the interpreter lock, so
        they must be safe to call from several threads; Python ones run one
        problem after another on the calling thread.
    x0: starts of shape (K, n), or (n,) for the same start everywhere;
        strictly inside the bounds. Or a mapping from names to a value or K
        values each (the names then come from it), as `fit` takes; bounds
        may then be a mapping by name too.
    data: None, or an array of real numbers with one row per problem.
    args, jac, kind, names, method, options, errordef, edm_tol: as for `fit` (jac is
        called as jac(x, data[k], *args)).
    bounds: as for `fit`, the same for every problem; or per problem: pairs
        of shape (K, n, 2), or lb and ub of shape (K, n).
    workers, progress: as for `minimize_many`. Results do not depend on
        workers.

    Returns a `FitManyResult`. A problem that does not converge, or whose
    objective is not finite at its start, is reported in its row (success
    False) without stopping the others and without a warning. Bad arguments
    (a start outside its bounds included, naming the problem) raise
    ValueError before any evaluation; an exception from Python code, and
    Ctrl-C, stop the whole call.
    """
    name = _args.method_name(method)
    if isinstance(nll, str):
        raise ValueError(
            f"fit_many takes a Python or native objective, not the name {nll!r} "
            "(run built-in objectives with fit)"
        )
    if not isinstance(args, tuple):
        args = (args,)
    if isinstance(x0, Mapping):  # names from it; a value per name, or one per problem
        if names is not None and list(names) != list(x0):
            raise ValueError("names differ from the keys of x0: give one or the other")
        names = list(x0)
        x0 = np.stack(
            np.broadcast_arrays(*[np.asarray(v, dtype=np.float64) for v in x0.values()]), -1
        )
    if isinstance(bounds, Mapping):
        if names is None:
            raise ValueError("bounds by name need names (or x0 as a mapping)")
        unknown = [key for key in bounds if key not in names]
        if unknown:
            raise ValueError(
                f"bounds: no parameter {unknown[0]!r}; the parameters are {tuple(names)}"
            )
        bounds = [bounds.get(label, (None, None)) for label in names]
    starts = _args.row_starts(x0)
    table = _args.row_data(data)
    check_rows = getattr(nll, "check_rows", None)  # an objective that reads a row layout
    if table is not None and callable(check_rows):
        check_rows(table)
    K, n = _args.problem_count(starts, table), starts.shape[-1]
    labels = _args.parse_names(names, n)
    scale = _args.parse_errordef(errordef)
    tolerance = _args.parse_edm_tol(edm_tol)
    if not isinstance(kind, str) or kind not in _args.INTERVAL_FAMILY:
        raise ValueError(f"kind must be 'logit' or 'probit', got {kind!r}")
    objective = _args.row_objective(nll, args, jac, name, n, table)
    box = _args.many_bounds(bounds, K, n)
    opts = _args.minimizer_options(name, options, None)
    threads = _progress.worker_count(workers)
    x = np.array(np.broadcast_to(starts, (K, n)), dtype=np.float64, order="C")
    if name == "L-BFGS-B" and opts["eps"] is not None and _args.uses_differences(objective):
        for k in range(K):
            _args.check_step_on_y(x[k], _row_box(box, k), kind, opts["eps"])

    out = _progress.run_batch(
        _fitting.fit_many,
        "fit_many",
        K,
        progress,
        objective,
        x,
        table,
        box,
        _args.option_tuple(name, opts),
        (_args.METHOD_CODE[name], _args.INTERVAL_FAMILY[kind], scale, tolerance),
        threads,
    )
    if type(out) is _fitting.BadStart:  # an unusable start, found before any evaluation
        k = out.problem
        error = _args.bad_start(out.reason, out.element, x[k], _row_box(box, k), labels)
        raise ValueError(f"problem {k}: {error}")
    state, status, message, nfev, njev, nit = (
        out.state,
        out.status,
        out.message,
        out.nfev,
        out.njev,
        out.nit,
    )
    fun, se, y, se_y, flat, cov, edm, at_bound = (
        out.fun,
        out.se,
        out.y,
        out.se_y,
        out.flat,
        out.cov,
        out.edm,
        out.at_bound,
    )
    estimated = (state == _fitting.FIT_DONE) | (state == _fitting.FIT_NO_HESSIAN)
    result = FitManyResult(
        x=x,
        se=se,
        cov=cov,
        fun=fun,
        nit=nit,
        nfev=nfev,
        njev=njev,
        status=status,
        success=estimated & (status == _opt.SUCCESS[name]),
        message=message,
        unidentified=flat & estimated[:, None],
        edm=edm,
        at_bound=at_bound,
        names=labels,
        errordef=scale,
    )
    result._lower, result._upper = _bound_tables(box, K, n)
    result._y, result._se_y, result._kind = y, se_y, kind
    return result


# --- curve_fit_many ----------------------------------------------------------------

# curve_fit's solver keywords that apply to every problem alike.
CURVE_FIT_MANY_OPTIONS = tuple(
    key for key in _args.CURVE_FIT_OPTIONS if key not in ("diag", "x_scale")
)


def _curve_bounds(bounds: object, K: int, n: int) -> _args.Box | None:
    """The bounds as curve_fit takes them, the same for every problem
    (shape (n,)), or per problem: lb and ub broadcasting to (K, n)."""
    if bounds is None or _args.default_bounds(bounds):
        return None
    if hasattr(bounds, "lb") and hasattr(bounds, "ub"):
        low, high = bounds.lb, bounds.ub
    elif isinstance(bounds, (str, bytes)) or not hasattr(bounds, "__len__") or len(bounds) != 2:
        return _args.lsq_box(bounds, n)  # its message
    else:
        low, high = bounds  # type: ignore[misc]
    if np.ndim(low) < 2 and np.ndim(high) < 2:
        return _args.lsq_box(bounds, n)
    lb = np.ascontiguousarray(_args.side_table(low, K, n, "lb", -np.inf))
    ub = np.ascontiguousarray(_args.side_table(high, K, n, "ub", np.inf))
    with np.errstate(over="ignore", invalid="ignore"):
        bad = ~(lb < ub) | (np.isfinite(lb) & np.isfinite(ub) & ~np.isfinite(ub - lb))
    if bad.any():
        k, i = np.unravel_index(int(np.argmax(bad)), bad.shape)
        raise ValueError(
            f"Each lower bound must be strictly less than each upper bound (and their distance a "
            f"finite number): problem {k}, variable {i} has lb = {float(lb[k, i])!r}, "
            f"ub = {float(ub[k, i])!r}"
        )
    return lb, ub


def _inside_many(x: np.ndarray, box: _args.Box) -> None:
    """curve_fit's start checks for every problem: ValueError naming the
    first start outside its bounds; starts on a bound move a little inside."""
    lb, ub = box
    outside = (x < lb) | (x > ub)
    if outside.any():
        k, i = np.unravel_index(int(np.argmax(outside)), outside.shape)
        raise ValueError(
            f"Initial guess is outside of provided bounds: problem {k}, variable {i} is "
            f"{float(x[k, i])!r}, bounds ({float(np.broadcast_to(lb, x.shape)[k, i])!r}, "
            f"{float(np.broadcast_to(ub, x.shape)[k, i])!r})"
        )
    with np.errstate(over="ignore", invalid="ignore"):
        width = np.where(np.isfinite(ub - lb), (ub - lb) / 4.0, np.inf)
    for bound, sign in ((lb, 1.0), (ub, -1.0)):
        on = x == bound
        if on.any():
            step = np.minimum(_args.BOUND_STEP * np.maximum(1.0, np.abs(bound)), width)
            x[on] = np.broadcast_to(bound + sign * step, x.shape)[on]


def _curve_rows(a: Any, name: str, check: bool) -> np.ndarray:
    """ydata or sigma as C-contiguous float64; NaN and infinities refused
    when check is on."""
    array = np.asarray(a)
    if array.dtype.kind not in "biuf":
        raise ValueError(f"{name} must hold real numbers, got dtype {array.dtype}")
    array = np.ascontiguousarray(array, dtype=np.float64)
    if check and not np.isfinite(array).all():
        raise ValueError(f"{name} must not contain infs or NaNs")
    return array


def _many_weights(sigma: Any, K: int, m: int) -> np.ndarray | None:
    """1 / sigma for standard deviations of shape (m,) (every problem) or
    (K, m) (one row per problem)."""
    if sigma is None:
        return None
    s = _curve_rows(sigma, "sigma", False)
    if s.shape not in ((m,), (K, m)):
        raise ValueError(
            f"`sigma` has incorrect shape {s.shape}: expected ({m},) or (K, m) = ({K}, {m}) "
            f"standard deviations"
        )
    if not np.isfinite(s).all():
        raise ValueError("`sigma` must hold finite values.")
    if not (s > 0.0).all():
        raise ValueError("`sigma` must hold positive standard deviations.")
    return 1.0 / s


def _outcome_text(
    status: np.ndarray, lm_style: bool, opt: Any, budget: int
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(ier, success, message) per problem from the native outcomes, as
    curve_fit reports them (ier is leastsq's without bounds and with method
    None or 'lm', least_squares' status otherwise)."""
    ier = status.copy()
    success = np.zeros(status.shape, dtype=bool)
    message = np.empty(status.shape, dtype=object)
    for outcome in np.unique(status).tolist():
        rows = status == outcome
        if outcome == _lsq.START_NOT_FINITE:
            text, code, good = "Residuals are not finite in the initial point.", outcome, False
        elif lm_style:
            code, good = outcome, outcome in (_lsq.FTOL, _lsq.XTOL, _lsq.BOTH, _lsq.GTOL)
            text = _lsq.outcome_message(True, code, opt, budget)
        else:
            code = _lsq.LSQ_STATUS[outcome]
            good, text = code > 0, _lsq.outcome_message(False, code, opt, budget)
        ier[rows], success[rows], message[rows] = code, good, text
    return ier, success, message


def curve_fit_many(
    f: Any,
    xdata: Any,
    ydata: Any,
    p0: Any = None,
    sigma: Any = None,
    absolute_sigma: bool = False,
    check_finite: bool = False,
    bounds: Any = _args.NO_BOUNDS,
    method: str | None = None,
    jac: Any = None,
    *,
    workers: int | None = None,
    progress: bool | None = None,
    fixed: Any = None,
    nan_policy: str | None = None,
    mask: Any = None,
    **kwargs: Any,
) -> CurveFitManyResult:
    """Fit one model f(xdata, *params) to K data sets at once; problem k is
    the fit `Velmora.curve_fit` makes of ydata[k].

    fixed: as for curve_fit ({name or index: value}, or equal bounds shared
        by every problem): the same values in every problem.

    f: a Python model f(xdata_k, p1, ..., pn), or a native model
        `void model(const double *xdata, int64_t m, const double *p,
        double *out, void *ctx)` (NativeModel, numba cfunc, ctypes or cffi
        pointer), which runs on `workers` threads without the interpreter
        lock and must be safe to call from several threads.
    xdata: one for every problem (passed as curve_fit passes it; a native
        model reads it as C-contiguous float64), or with `ydata.shape[0]` =
        K rows, xdata[k] for problem k (a native model then reads row k).
        It has K rows when it is an array of at least two dimensions whose
        first axis has length K and ydata has more than one point per row.
    ydata: (K, m), one row of m data values per problem.
    p0: starts, (n,) for every problem or (K, n); None as for curve_fit
        (a Python model's parameter count).
    sigma: None, standard deviations of shape (m,) or (K, m).
    absolute_sigma, bounds, method, jac: as for curve_fit, bounds also per
        problem: lb and ub broadcasting to (K, n).
    check_finite: True refuses NaN and infinities in xdata and ydata
        up front; by default (False) a problem whose residuals are not finite
        at its start is reported in its row.
    workers, progress: as for `minimize_many`; results do not depend on
        workers.
    nan_policy: None or 'propagate' (a row whose residuals are not finite
        fails alone), 'raise' (ValueError up front) or 'omit' (each row fits
        its finite samples; see `Velmora._missing`); mask: True for samples to
        leave out, broadcasting to ydata's shape (a numpy.ma array's mask
        counts too). A row left with fewer samples than parameters is
        reported failed, with NaN estimates. ydata may also have any leading
        shape (..., m) (a (ny, nx, m) cube), with xdata, sigma and p0 shaped
        alike or shared; the results then have that leading shape.
    kwargs: ftol, xtol, gtol, maxfev / max_nfev, epsfcn / diff_step, factor,
        loss and f_scale, as for curve_fit. x_scale, diag and full_output are
        not taken.

    Returns a `CurveFitManyResult`: x (popt, K x n), cov (pcov, K x n x n), se
    (the square roots of its diagonal), fun (the sum of squares of the
    weighted residuals), nfev, njev, nit, status (curve_fit's ier), success
    and message per problem; ci(level) gives x +- z se with z the standard
    normal quantile. A problem that does not converge has success False
    (where curve_fit raises RuntimeError); an undetermined covariance is inf
    (where curve_fit warns); neither stops the others. Bad arguments raise
    ValueError before any evaluation; an exception from f or jac, and
    Ctrl-C, stop the whole call.
    """
    for key in kwargs:
        if key not in CURVE_FIT_MANY_OPTIONS:
            raise TypeError(f"curve_fit_many() got an unexpected keyword argument {key!r}")
    count = int(np.shape(p0)[-1]) if p0 is not None else _args.count_of(f, None)
    if fixed is not None or _fixed.has_equal_bounds(bounds, count):
        held = _fixed.held_values(f, count or _args.parameter_count(f), fixed, bounds)
        if held:
            return _fixed.curve_fit_many_fixed(  # type: ignore[no-any-return]
                curve_fit_many, f, xdata, ydata, p0, count or _args.parameter_count(f), held,
                bounds, jac, sigma=sigma, absolute_sigma=absolute_sigma,
                check_finite=check_finite, method=method, workers=workers, progress=progress,
                nan_policy=nan_policy, mask=mask, **kwargs,
            )  # fmt: skip
    opt = _args.curve_settings(kwargs) if kwargs else _args.DEFAULT_SETTINGS
    if method is not None and not _args.is_one_of(method, ("lm", "trf", "dogbox")):
        raise ValueError(f"method must be None, 'lm', 'trf' or 'dogbox', got {method!r}")
    native = _args.is_native_model(f)
    if not native and not callable(f):
        raise TypeError(f"f must be callable or a native model, got {type(f).__name__}")
    check = bool(check_finite)
    keep, leading = None, None
    if nan_policy is not None or mask is not None or np.ndim(ydata) != 2:
        ydata, keep, leading = _missing.flatten(ydata, mask, nan_policy)
        xdata, sigma, p0 = (_missing.rows(a, leading, "") for a in (xdata, sigma, p0))
        check = check and keep is None
    y = _curve_rows(ydata, "ydata", check)
    if y.ndim != 2 or y.shape[1] == 0:
        raise ValueError(f"ydata must have shape (K, m) with m >= 1, got shape {y.shape}")
    K, m = y.shape
    if native or isinstance(xdata, (np.ndarray, list, tuple)):
        xdata = _curve_rows(xdata, "xdata", check)
    per_row = (
        isinstance(xdata, np.ndarray)
        and xdata.ndim >= 2
        and xdata.shape[0] == K
        and m > 1
        and xdata.shape[-1] == m
    )

    box_given = not (bounds is None or _args.default_bounds(bounds))
    if p0 is None:
        if native:
            raise ValueError(
                "p0 is required with a native model: it gives the number of parameters"
            )
        n = _args.parameter_count(f)
        box = _curve_bounds(bounds, K, n) if box_given else None
        start = _args.initial_parameters(n, None if box is None or box[0].ndim > 1 else box)
        if box is not None and box[0].ndim > 1:
            start = (
                np.stack([_args.initial_parameters(n, (box[0][k], box[1][k])) for k in range(K)])
                if K
                else np.ones((0, n))
            )
    else:
        start = _args.row_starts(p0)
        n = start.shape[-1]
        if start.ndim == 2 and start.shape[0] != K:
            raise ValueError(f"p0 has {start.shape[0]} rows and ydata {K}: one of each per problem")
        if not np.isfinite(start).all():
            raise ValueError("p0 must hold finite values")
        if not native:
            _args.check_arity(f, n)
        box = _curve_bounds(bounds, K, n) if box_given else None
    if n > m:
        raise TypeError(
            f"The number of func parameters={n} must not exceed the number of data points={m}"
        )
    x = np.array(np.broadcast_to(start, (K, n)), dtype=np.float64, order="C")
    if box is not None:
        _inside_many(x, box)
    weight = _missing.weights(_many_weights(sigma, K, m), keep, (K, m))
    threads = _progress.worker_count(workers)
    if native:
        if jac is not None and not (isinstance(jac, str) and jac == "2-point"):
            raise ValueError(
                "a native model's Jacobian is NativeModel(..., jac=...): jac must be None"
            )
        model = f if isinstance(f, _lsq.NativeModel) else _lsq.NativeModel(f)
        problem: tuple[Any, ...] = (3, model.address, model.jac or 0, model.ctx, xdata.reshape(-1))
        jac_given = model.jac is not None
    else:
        jac = _args.jac_kind(jac, "jac")
        problem = (2, f, jac, xdata)
        jac_given = jac is not None

    lm_style = _args.leastsq_style(box, method, opt)
    budget = _args.evaluation_budget(opt, jac_given, lm_style, n)
    options = (
        opt.ftol,
        opt.xtol,
        opt.gtol,
        budget,
        lm_style,
        opt.factor,
        opt.step,
        None,
        False,
    ) + opt.loss
    out = _progress.run_batch(
        _fitting.solve_many,
        "curve_fit_many",
        K,
        progress,
        problem,
        x,
        int(per_row),
        y,
        weight,
        box,
        options,
        2 if absolute_sigma else 3,
        threads,
    )
    ier, success, message = _outcome_text(out.status, lm_style, opt, budget)
    undetermined = (out.rank >= 0) & ((out.rank < n) | (not absolute_sigma and m <= n))
    cov = out.cov
    cov[undetermined] = np.inf
    with np.errstate(invalid="ignore"):
        se = np.sqrt(np.diagonal(cov, axis1=1, axis2=2))
    result = CurveFitManyResult(
        x=x,
        se=se,
        cov=cov,
        fun=2.0 * out.cost,
        nit=out.nit,
        nfev=out.nfev + out.nfev_jac if lm_style else out.nfev,
        njev=out.njev,
        status=ier,
        success=success,
        message=message,
        names=_args.model_parameter_names(f, n),
    )
    if leading is not None:
        _missing.correct(result, keep, n, absolute_sigma)
        _missing.reshape(result, leading)
    return result
