"""Nonlinear least squares with SciPy's interface: `least_squares` and
`curve_fit` over a native Levenberg-Marquardt solver.

`least_squares(fun, x0, ...)` minimises 1/2 sum(fun(x)**2) and returns an
`OptimizeResult` with SciPy's fields; `curve_fit(f, xdata, ydata, ...)` fits
a model curve and returns (popt, pcov) as SciPy's does. Both run Moré's
Levenberg-Marquardt method (scaled trust region, QR factorisation of the
Jacobian) in one native call over

- Python functions: one call per residual evaluation, with the parameters as
  SciPy passes them (`fun(x, *args)` with a new array x; `f(xdata, *params)`
  with NumPy float64 parameters);
- native functions: `NativeResiduals` (`void r(const double *x, double *res,
  void *ctx)`) and `NativeModel` (`void model(const double *xdata, int64_t m,
  const double *p, double *out, void *ctx)`), numba cfuncs of those
  signatures, ctypes or cffi pointers; such a run makes no Python call per
  evaluation and releases the interpreter lock.

Bounds are handled by reparametrisation (`Velmora.transforms.ParameterMap`'s
transforms), so every point tried lies strictly inside them.

Where we depart from SciPy, on purpose: every `method` runs the same
Levenberg-Marquardt iteration, bounds included (SciPy's 'lm' takes none);
tolerances below machine epsilon, a non-positive `sigma` and a `sigma` with
NaN raise ValueError; a rank-deficient Jacobian gives an infinite covariance
and an `OptimizeWarning` (SciPy may return huge finite numbers); the
covariance uses the Jacobian at the solution itself.
"""

from __future__ import annotations

import ctypes
import numbers
import types
import warnings
from typing import Any

import numpy as np
from numpy.typing import NDArray

from Velmora import _args, _fixed
from Velmora._ckernels.optim import _fitting
from Velmora._warnings import OptimizeWarning
from Velmora.optimize import (
    NativeSignature,
    OptimizeResult,
    ProcessLocal,
    context_value,
    function_address,
    is_native_pointer,
)

__all__ = ["NativeModel", "NativeResiduals", "curve_fit", "least_squares"]

F8 = np.dtype(np.float64)  # native-order float64 (dtype instances of built-in types are shared)

_F64_P = ctypes.POINTER(ctypes.c_double)
RESIDUALS_SIGNATURE = NativeSignature(
    None,
    (_F64_P, _F64_P, ctypes.c_void_p),
    frozenset({"void(*)(double *, double *, void *)"}),
    "none(CPointer(float64), CPointer(float64), voidptr)",
)
MODEL_SIGNATURE = NativeSignature(
    None,
    (_F64_P, ctypes.c_int64, _F64_P, _F64_P, ctypes.c_void_p),
    frozenset(
        {
            "void(*)(double *, int64_t, double *, double *, void *)",
            "void(*)(double *, long, double *, double *, void *)",
        }
    ),
    "none(CPointer(float64), int64, CPointer(float64), CPointer(float64), voidptr)",
)

# The native iteration's outcomes, as the native module defines them.
FTOL, XTOL, BOTH, GTOL = _fitting.LM_FTOL, _fitting.LM_XTOL, _fitting.LM_FTOL_XTOL, _fitting.LM_GTOL
MAX_NFEV, FTOL_TINY = _fitting.LM_MAX_NFEV, _fitting.LM_FTOL_TINY
XTOL_TINY, GTOL_TINY = _fitting.LM_XTOL_TINY, _fitting.LM_GTOL_TINY
START_NOT_FINITE = _fitting.LM_START_NOT_FINITE
JACOBIAN_NOT_FINITE = _fitting.LM_JACOBIAN_NOT_FINITE
NOT_OPTIMAL = _fitting.LM_NOT_OPTIMAL

# least_squares' status for each outcome, and its messages (SciPy's).
LSQ_STATUS = {
    FTOL: 2,
    XTOL: 3,
    BOTH: 4,
    GTOL: 1,
    MAX_NFEV: 0,
    FTOL_TINY: 2,
    XTOL_TINY: 3,
    GTOL_TINY: 1,
    JACOBIAN_NOT_FINITE: -3,
    NOT_OPTIMAL: -6,
}
LSQ_MESSAGES = {
    0: "The maximum number of function evaluations is exceeded.",
    1: "`gtol` termination condition is satisfied.",
    2: "`ftol` termination condition is satisfied.",
    3: "`xtol` termination condition is satisfied.",
    4: "Both `ftol` and `xtol` termination conditions are satisfied.",
    -3: "The Jacobian is not finite at the current point.",
    -6: "A stopping test held, but the sum of squares can still decrease from x: first-order "
    "optimality does not hold there.",
}

# curve_fit without bounds reports as SciPy's leastsq does: the outcome's
# number (ier) and message.
LM_MESSAGES = {
    FTOL: "Both actual and predicted relative reductions in the sum of squares\n  are at most {ftol:f}",
    XTOL: "The relative error between two consecutive iterates is at most {xtol:f}",
    BOTH: "Both actual and predicted relative reductions in the sum of squares\n  are at most {ftol:f} and the "
    "relative error between two consecutive iterates is at \n  most {xtol:f}",
    GTOL: "The cosine of the angle between func(x) and any column of the\n  Jacobian is at most {gtol:f} in "
    "absolute value",
    MAX_NFEV: "Number of calls to function has reached maxfev = {maxfev:d}.",
    FTOL_TINY: "ftol={ftol:f} is too small, no further reduction in the sum of squares\n  is possible.",
    XTOL_TINY: "xtol={xtol:f} is too small, no further improvement in the approximate\n  solution is possible.",
    GTOL_TINY: "gtol={gtol:f} is too small, func(x) is orthogonal to the columns of\n  the Jacobian to machine "
    "precision.",
    JACOBIAN_NOT_FINITE: LSQ_MESSAGES[-3],
    NOT_OPTIMAL: LSQ_MESSAGES[-6],
}

COVARIANCE_WARNING = "Covariance of the parameters could not be estimated"


class NativeResiduals(ProcessLocal):
    """Native residuals for `least_squares`.

    address: the function `void r(const double *x, double *res, void *ctx)`,
        writing the m residuals at the n values of x into res (an int, a
        ctypes or cffi function pointer, or an object with an integer
        `.address` such as a numba cfunc);
    m: the number of residuals;
    ctx: passed to the functions untouched (an int address, a ctypes pointer
        or None for null);
    jac: optionally `void j(const double *x, double *J, void *ctx)`, writing
        the Jacobian (m x n, row-major); forward differences otherwise.

    The functions must not keep or modify x, must be safe to call without the
    interpreter lock and must stay valid while the fit runs.
    """

    __slots__ = ("_keep", "address", "ctx", "jac", "m")
    address: int
    m: int
    ctx: int
    jac: int | None
    _keep: tuple[object, ...]

    def __init__(self, address: object, m: int, ctx: object = 0, jac: object = None) -> None:
        self.address = function_address(address, "address", RESIDUALS_SIGNATURE)
        if isinstance(m, bool) or not isinstance(m, numbers.Integral) or m < 1:
            raise ValueError(f"m must be a positive int (the number of residuals), got {m!r}")
        self.m = int(m)
        self.ctx = context_value(ctx)
        self.jac = None if jac is None else function_address(jac, "jac", RESIDUALS_SIGNATURE)
        self._keep = (address, ctx, jac)

    def __repr__(self) -> str:
        jac = "None" if self.jac is None else hex(self.jac)
        return (
            f"NativeResiduals(address={self.address:#x}, m={self.m}, ctx={self.ctx:#x}, jac={jac})"
        )


class NativeModel(ProcessLocal):
    """A native curve model for `curve_fit`.

    address: `void model(const double *xdata, int64_t m, const double *p,
        double *out, void *ctx)`, writing the model's m values at the
        parameters p into out; xdata is the data as a C-contiguous float64
        array in the caller's layout (for k predictors of shape (k, m), value
        j of predictor i at xdata[i * m + j]);
    ctx: passed untouched (an int address, a ctypes pointer or None);
    jac: optionally `void jac(const double *xdata, int64_t m, const double *p,
        double *J, void *ctx)` writing dmodel/dp (m x n, row-major).

    curve_fit also takes such a function directly (a numba cfunc, a ctypes or
    cffi pointer); wrapping it once saves checking its signature on every fit.
    """

    __slots__ = ("_keep", "address", "ctx", "jac")
    address: int
    ctx: int
    jac: int | None
    _keep: tuple[object, ...]

    def __init__(self, address: object, ctx: object = 0, jac: object = None) -> None:
        self.address = function_address(address, "address", MODEL_SIGNATURE)
        self.ctx = context_value(ctx)
        self.jac = None if jac is None else function_address(jac, "jac", MODEL_SIGNATURE)
        self._keep = (address, ctx, jac)

    def __repr__(self) -> str:
        jac = "None" if self.jac is None else hex(self.jac)
        return f"NativeModel(address={self.address:#x}, ctx={self.ctx:#x}, jac={jac})"


# --- arguments ----------------------------------------------------------------------


def _scale(x_scale: object, z_scale: np.ndarray | None, n: int) -> np.ndarray | None:
    """The fixed scaling D = 1 / x_scale (times dx/dz with bounds), or None for
    the Jacobian's column norms ('jac', the default)."""
    if x_scale is None or (isinstance(x_scale, str) and x_scale == "jac"):
        return None
    if isinstance(x_scale, str):
        raise ValueError(f"x_scale must be 'jac', None or positive numbers, got {x_scale!r}")
    a = np.asarray(x_scale)
    if a.dtype.kind not in "biuf" or a.ndim > 1 or (a.ndim == 1 and a.size != n):
        raise ValueError(
            f"x_scale must be 'jac', None, a number or n = {n} numbers, got {x_scale!r}"
        )
    a = np.broadcast_to(a.astype(np.float64), (n,))
    if not (np.isfinite(a) & (a > 0.0)).all():
        raise ValueError(f"x_scale must hold finite positive numbers, got {x_scale!r}")
    d = 1.0 / a
    if z_scale is not None:
        d = np.maximum(d * z_scale, np.finfo(np.float64).tiny)
    return np.ascontiguousarray(d)


def _z_scale(x: np.ndarray, box: _args.Box) -> np.ndarray:
    """|dx/dz| at the start: how far x moves per unit step of the iteration's z."""
    from Velmora.transforms import ParameterMap

    pm = ParameterMap(types.SimpleNamespace(lb=box[0], ub=box[1]))
    return np.abs(pm.constrained_grad(pm.to_unconstrained(x)))


def _run(
    problem: tuple[Any, ...],
    x: np.ndarray,
    box: Any,
    data: Any,
    fvec: np.ndarray,
    options: tuple[Any, ...],
    want: int,
) -> Any:
    """One native run: its SolveResult record (status, nfev, nfev_jac, njev,
    nit, cost, rank, jac, cov); x and fvec receive the solution and its residuals. options: (ftol,
    xtol, gtol, budget, budget counts the Jacobian's evaluations, factor,
    difference step, scale, fvec holds the residuals at x). want: 1 the
    Jacobian at the solution, 2 also the covariance, 3 the covariance times
    the residual variance 2 cost / (m - n)."""
    result = _fitting.solve(problem, x, box, data, options, fvec, want)
    outcome = result.status
    if outcome < 0 and outcome not in (JACOBIAN_NOT_FINITE, NOT_OPTIMAL):
        if outcome == START_NOT_FINITE:
            raise ValueError("Residuals are not finite in the initial point.")
        raise MemoryError("the least-squares workspace could not be allocated")
    return result


def _c_function(signature: NativeSignature, address: int) -> Any:
    """The native function at address, callable from Python through ctypes."""
    return ctypes.CFUNCTYPE(signature.restype, *signature.argtypes)(address)


def _raw_residuals(
    problem: tuple[Any, ...], x: np.ndarray, m: int, data: tuple[Any, Any, Any] | None = None
) -> np.ndarray:
    """The m residuals at x as the run weighs them (data: curve_fit's y,
    weight and whitening factor), without a robust loss's scaling, which a
    robust run leaves in its residuals: one more evaluation."""
    kind, p = problem[0], x.copy()
    if kind == 0:
        _, fun, _, args = problem
        return np.asarray(fun(p, *args), dtype=np.float64).reshape(-1)
    out = np.empty(m)
    if kind == 1:
        call = _c_function(RESIDUALS_SIGNATURE, problem[1])
        call(p.ctypes.data_as(_F64_P), out.ctypes.data_as(_F64_P), problem[3] or None)
        return out
    y, weight, whiten = data  # type: ignore[misc]
    if kind == 2:
        out = np.asarray(problem[1](problem[3], *p), dtype=np.float64).reshape(-1)
    else:
        _, address, _, ctx, points = problem
        _c_function(MODEL_SIGNATURE, address)(
            points.ctypes.data_as(_F64_P), m, p.ctypes.data_as(_F64_P),
            out.ctypes.data_as(_F64_P), ctx or None,
        )  # fmt: skip
    r = out - y
    if weight is not None:
        r = r * weight
    if whiten is not None:
        r = np.linalg.solve(whiten.reshape(m, m), r)
    return r


# --- least_squares -------------------------------------------------------------------


def least_squares(
    fun: Any,
    x0: Any,
    jac: Any = None,
    bounds: Any = None,
    args: Any = (),
    ftol: float = 1e-8,
    xtol: float = 1e-8,
    gtol: float = 1e-8,
    x_scale: Any = None,
    max_nfev: int | None = None,
    *,
    method: str = "lm",
    loss: str = "linear",
    f_scale: float = 1.0,
    diff_step: float | None = None,
    kwargs: dict[str, Any] | None = None,
) -> OptimizeResult:
    """Minimise 1/2 sum(fun(x)**2) from x0: SciPy's `least_squares` over the
    native Levenberg-Marquardt method.

    fun: a Python callable fun(x, *args, **kwargs) returning m >= n residuals
        (x is a new 1-D float64 array on every call), or `NativeResiduals`.
    x0: a number or a 1-D array-like of n finite reals (copied).
    jac: a callable jac(x, *args, **kwargs) returning the m x n Jacobian, or
        None / '2-point' for forward differences (step `diff_step`, default
        sqrt(eps), times the larger of |x_j| and a typical size: x_scale_j,
        else |x0_j|, else 1; n evaluations per Jacobian, not counted in nfev).
        A native Jacobian comes with NativeResiduals(..., jac=...).
    bounds: None, a pair (lb, ub) of numbers or n-arrays (+-inf for none), or
        scipy.optimize.Bounds. The iteration runs on a reparametrisation, so
        every point tried is strictly inside; a start on a bound moves inside
        by 1e-10 relative.
    args, kwargs: extra arguments of fun and jac.
    ftol, xtol, gtol: the stopping tolerances of SciPy's 'lm' (each at least
        machine epsilon): relative reduction of the cost, relative size of the
        trust region against ||D x||, cosine between the residuals and the
        Jacobian's columns.
    x_scale: None or 'jac' for Moré's scaling by the Jacobian's column norms
        (SciPy's default for 'lm'), or the characteristic scale of each
        variable (a number or n numbers).
    max_nfev: residual evaluations allowed (None: 100 n), differences excluded.
    method: 'lm', 'trf' or 'dogbox', accepted for compatibility; all run
        Levenberg-Marquardt. loss, f_scale: a robust loss as SciPy defines
        it ('linear', 'soft_l1', 'huber', 'cauchy', 'arctan'; the cost is
        1/2 f_scale^2 sum rho((f / f_scale)^2)), minimised natively by the
        same iteration on loss-scaled residuals; then cost is the robust
        cost, jac the loss-scaled ("modified") Jacobian and grad the cost's
        gradient, as SciPy reports them, and fun the plain residuals (one
        more evaluation). Unlike SciPy, every method accepts a loss.

    Returns an OptimizeResult with x, cost, fun (the residuals), jac (at x),
    grad (jac.T @ fun), optimality (max |grad|), active_mask (-1/+1 where x
    is within 1e-10 relative of its lower/upper bound), nfev, njev (None with
    differences), status, message and success. Status: 1 gtol, 2 ftol, 3 xtol,
    4 ftol and xtol satisfied; 0 max_nfev reached; -3 the Jacobian was not
    finite at an accepted point; -6 a stopping test held but the sum of
    squares can still fall from x (first-order optimality, checked in x on
    the bounds, does not hold). -3 and -6 are new statuses.

    Residuals that are not finite at the start raise ValueError; elsewhere
    such a point is never accepted (the step shrinks). Exceptions raised by
    fun or jac propagate unchanged. A native run releases the interpreter
    lock; Ctrl-C stops it.
    """
    if not _args.is_one_of(method, ("lm", "trf", "dogbox")):
        raise ValueError(f"method must be 'lm', 'trf' or 'dogbox', got {method!r}")
    robust = _args.loss_options(loss, f_scale)
    x = _args.finite_start(_args.start_vector(x0), "x0")
    n = x.size
    if not isinstance(args, tuple):
        args = (args,)
    ftol, xtol, gtol = (
        _args.tolerance("ftol", ftol),
        _args.tolerance("xtol", xtol),
        _args.tolerance("gtol", gtol),
    )
    budget = 0 if max_nfev is None else _args.positive_count("max_nfev", max_nfev)
    step = _args.DIFF_STEP if diff_step is None else _args.difference_step("diff_step", diff_step)
    box = _args.lsq_box(bounds, n)
    if box is not None:
        _args.inside(x, box)
    scale = _scale(
        x_scale,
        None if box is None or x_scale is None or isinstance(x_scale, str) else _z_scale(x, box),
        n,
    )
    if isinstance(fun, NativeResiduals):
        if args or kwargs or jac is not None:
            raise ValueError(
                "NativeResiduals takes no args, kwargs or jac: pass data through its ctx and the "
                "Jacobian as NativeResiduals(..., jac=...)"
            )
        if fun.m < n:
            raise ValueError(
                "Method 'lm' doesn't work when the number of residuals is less than the number of "
                f"variables ({fun.m} residuals, {n} variables)."
            )
        problem: tuple[Any, ...] = (1, fun.address, fun.jac or 0, fun.ctx)
        fvec, fvec_given = np.empty(fun.m), False
        jac_given = fun.jac is not None
    else:
        if is_native_pointer(fun):
            raise TypeError(
                "a native residual function needs its number of residuals: pass "
                "NativeResiduals(fun, m)"
            )
        if not callable(fun):
            raise TypeError(f"fun must be callable or NativeResiduals, got {type(fun).__name__}")
        jac = _args.jac_kind(jac, "jac")
        if kwargs:
            fun, jac = (
                _with_keywords(fun, kwargs),
                None if jac is None else _with_keywords(jac, kwargs),
            )
        fvec = _first_residuals(fun(x.copy(), *args), n)
        fvec_given, jac_given = True, jac is not None
        problem = (0, fun, jac, args)
    run = _run(
        problem,
        x,
        box,
        None,
        fvec,
        (ftol, xtol, gtol, budget, False, _args.FACTOR, step, scale, fvec_given, *robust),
        1,
    )
    status = LSQ_STATUS[run.status]
    J = run.jac
    grad = J.T @ fvec
    if robust:
        fvec = _raw_residuals(problem, x, fvec.size)
    return OptimizeResult(
        x=x,
        cost=run.cost,
        fun=fvec,
        jac=J,
        grad=grad,
        optimality=float(np.max(np.abs(grad))),
        active_mask=_active(x, box),
        nfev=run.nfev,
        njev=run.njev if jac_given else None,
        status=status,
        message=LSQ_MESSAGES[status],
        success=status > 0,
    )


def _with_keywords(fn: Any, kwargs: dict[str, Any]) -> Any:
    return lambda *a: fn(*a, **kwargs)


def _first_residuals(value: object, n: int) -> np.ndarray:
    """The residuals at the start as a new float64 vector (which also fixes m)."""
    f0 = np.asarray(value)
    if f0.dtype.kind not in "biuf":
        raise ValueError(f"the residuals must hold real numbers, got dtype {f0.dtype}")
    if f0.ndim > 1:
        raise ValueError(
            f"fun must return a one-dimensional array of residuals, got shape {f0.shape}"
        )
    f0 = np.array(f0, dtype=np.float64).reshape(-1)
    if f0.size < n:
        raise ValueError(
            "Method 'lm' doesn't work when the number of residuals is less than the number of "
            f"variables ({f0.size} residuals, {n} variables)."
        )
    if not np.isfinite(f0).all():
        raise ValueError("Residuals are not finite in the initial point.")
    return f0


def _active(x: np.ndarray, box: Any) -> NDArray[np.int64]:
    """-1 / +1 where x lies within 1e-10 (relative) of its lower / upper bound."""
    mask = np.zeros(x.size, dtype=np.int64)
    if box is not None:
        lb, ub = box
        with np.errstate(invalid="ignore"):
            mask[np.isfinite(lb) & (x - lb <= _args.BOUND_STEP * np.maximum(1.0, np.abs(lb)))] = -1
            mask[np.isfinite(ub) & (ub - x <= _args.BOUND_STEP * np.maximum(1.0, np.abs(ub)))] = 1
    return mask


# --- curve_fit ----------------------------------------------------------------------


def _weights(sigma: Any, m: int, keep: Any) -> tuple[np.ndarray | None, np.ndarray | None]:
    """(weight, whiten) for sigma: 1/sigma for standard deviations, the
    Cholesky factor L of a covariance matrix (the residuals become L^-1 (f - y))."""
    if sigma is None:
        return None, None
    s = np.asarray(sigma, dtype=np.float64)
    if keep is not None:
        s = s[keep] if s.ndim == 1 else s[np.ix_(keep, keep)] if s.ndim == 2 else s
    if not np.isfinite(s).all():
        raise ValueError("`sigma` must hold finite values.")
    if s.shape == (m,):
        if not (s > 0.0).all():
            raise ValueError("`sigma` must hold positive standard deviations.")
        return 1.0 / s, None
    if s.shape == (m, m):
        low = np.empty((m, m))
        if _fitting.cholesky(np.ascontiguousarray(s).reshape(-1), low.reshape(-1), m) != 0:
            raise ValueError("`sigma` must be positive definite.")
        return None, low.reshape(-1)
    raise ValueError(f"`sigma` has incorrect shape {s.shape}: expected ({m},) or ({m}, {m}).")


def _all_finite(a: np.ndarray) -> bool:
    verdict = _fitting.finite(a)
    return bool(np.isfinite(a).all()) if verdict is None else verdict


def _checked(a: Any, check: bool) -> np.ndarray:
    """a as float64 (NumPy's conversion), refused when check is on and a value
    is not finite (NumPy's message for it)."""
    array: np.ndarray = np.asarray(a, dtype=F8)
    if check and _fitting.finite(array) is not True and not np.isfinite(array).all():
        raise ValueError("array must not contain infs or NaNs")
    return array


def _parameters(p0: Any) -> np.ndarray:
    """A new 1-D float64 vector of finite parameters."""
    x = np.array(p0)
    if not (x.dtype is F8 and x.ndim == 1 and x.size):
        x = _args.start_vector(p0)
    if not _all_finite(x):
        raise ValueError(f"p0 must hold finite values, got {x!r}")
    return x


def curve_fit(
    f: Any,
    xdata: Any,
    ydata: Any,
    p0: Any = None,
    sigma: Any = None,
    absolute_sigma: bool = False,
    check_finite: bool | None = None,
    bounds: Any = _args.NO_BOUNDS,
    method: str | None = None,
    jac: Any = None,
    *,
    full_output: bool = False,
    nan_policy: str | None = None,
    fixed: Any = None,
    **kwargs: Any,
) -> Any:
    """Fit f(xdata, *params) to ydata by least squares: SciPy's `curve_fit` over
    the native Levenberg-Marquardt method.

    fixed: parameters to hold at values, {name or index: value}; equal lower
        and upper bounds hold one too. The fit runs over the others; popt
        holds the fixed values, pcov zeros in their rows and columns.

    f: a Python model f(xdata, p1, ..., pn) returning the m = ydata.size values
        (or one for all), called with NumPy float64 parameters; or a native
        model `void model(const double *xdata, int64_t m, const double *p,
        double *out, void *ctx)` (NativeModel, a numba cfunc, a ctypes or cffi
        pointer), run without Python per evaluation and without the lock.
    xdata: passed to f; a list, tuple or array becomes a float64 array, as in
        SciPy (for k predictors, shape (k, m)). A native model reads it as a
        C-contiguous float64 array.
    ydata: the m data values (any shape; flattened).
    p0: the n starting parameters; None: ones (from the number of f's
        parameters), or inside the bounds as SciPy chooses. Required for a
        native model.
    sigma: None, the m standard deviations of ydata (weights 1/sigma), or
        their m x m covariance matrix (the residuals are whitened by its
        Cholesky factor).
    absolute_sigma: False scales pcov by the residual variance
        sum(r**2) / (m - n); True takes sigma as absolute.
    check_finite: NaN or infinity in xdata, ydata raises ValueError (default:
        on, unless nan_policy is given). nan_policy: None or 'raise' (refuse
        NaN), 'omit' (drop the points where ydata or xdata is NaN).
    bounds: (lb, ub) numbers or n-arrays, or scipy.optimize.Bounds.
    method: None, 'lm', 'trf' or 'dogbox'; the same iteration for all, but
        without bounds and with method None or 'lm' the outcome is reported as
        SciPy's leastsq reports it (ier, messages, evaluations counted with
        the differences, maxfev default 200 (n + 1), or 100 (n + 1) with jac),
        otherwise as least_squares does (max_nfev default 100 n).
    jac: a callable jac(xdata, *params) returning the m x n Jacobian of f, or
        None / '2-point' for forward differences.
    full_output: also return infodict, mesg and ier (SciPy's contents;
        infodict holds fvec and nfev, and without bounds also fjac, ipvt and
        qtf of the pivoted QR of the final Jacobian).
    kwargs: ftol, xtol, gtol (1e-8), maxfev / max_nfev, epsfcn or diff_step
        (difference step), factor (first trust region, 100), diag or x_scale
        (variable scales), loss and f_scale (a robust loss, as for
        `least_squares`; the covariance then comes from the loss-scaled
        Jacobian, as in SciPy).

    Returns popt and pcov (inf entries and an OptimizeWarning when the
    covariance is undetermined: a rank-deficient Jacobian, or m = n without
    absolute_sigma). Raises RuntimeError "Optimal parameters not found: ..."
    when the fit stops without converging; ValueError for bad data,
    shapes or sigma; TypeError when there are fewer points than parameters.
    Exceptions raised by f or jac propagate unchanged.
    """
    if fixed is not None or _fixed.has_equal_bounds(bounds, _args.count_of(f, p0)):
        n = _args.count_of(f, p0) or _args.parameter_count(f)
        held = _fixed.held_values(f, n, fixed, bounds)
        if held:
            return _fixed.curve_fit_fixed(
                curve_fit, f, xdata, ydata, p0, n, held, bounds, jac, full_output, sigma=sigma,
                absolute_sigma=absolute_sigma, check_finite=check_finite, method=method,
                nan_policy=nan_policy, **kwargs,
            )  # fmt: skip
    opt = _args.curve_settings(kwargs) if kwargs else _args.DEFAULT_SETTINGS
    if method is not None and not _args.is_one_of(method, ("lm", "trf", "dogbox")):
        raise ValueError(f"method must be None, 'lm', 'trf' or 'dogbox', got {method!r}")
    if nan_policy is not None and not _args.is_one_of(nan_policy, ("raise", "omit")):
        raise ValueError(f"nan_policy must be None, 'raise' or 'omit', got {nan_policy!r}")
    check = nan_policy is None if check_finite is None else bool(check_finite)
    native = _args.is_native_model(f)
    if not native and not callable(f):
        raise TypeError(f"f must be callable or a native model, got {type(f).__name__}")
    ydata = _checked(ydata, check)
    if native or isinstance(xdata, (np.ndarray, list, tuple)):
        xdata = _checked(xdata, check)
    keep = None
    if nan_policy is not None:
        xdata, ydata, keep = _without_nan(xdata, ydata, nan_policy)
    m = ydata.size
    if m == 0:
        raise ValueError("`ydata` must not be empty!")

    box_given = not (bounds is None or _args.default_bounds(bounds))
    if p0 is None:
        if native:
            raise ValueError(
                "p0 is required with a native model: it gives the number of parameters"
            )
        n = _args.parameter_count(f)
        box = _args.lsq_box(bounds, n) if box_given else None
        x = _args.initial_parameters(n, box)
    else:
        x = _parameters(p0)
        n = x.size
        if not native:
            _args.check_arity(f, n)
        box = _args.lsq_box(bounds, n) if box_given else None
    if n > m:
        raise TypeError(
            f"The number of func parameters={n} must not exceed the number of data points={m}"
        )
    if box is not None:
        _args.inside(x, box)
    weight, whiten = _weights(sigma, m, keep) if sigma is not None else (None, None)
    y = ydata.reshape(-1)
    if native:
        if jac is not None and not (isinstance(jac, str) and jac == "2-point"):
            raise ValueError(
                "a native model's Jacobian is NativeModel(..., jac=...): jac must be None"
            )
        if isinstance(f, NativeModel):
            address, model_jac, ctx = f.address, f.jac, f.ctx
        else:  # a bare pointer: no object to build
            address, model_jac, ctx = function_address(f, "f", MODEL_SIGNATURE), None, 0
        points = xdata.reshape(-1)  # a copy when xdata is not C-contiguous
        problem: tuple[Any, ...] = (3, address, model_jac or 0, ctx, points)
        jac_given = model_jac is not None
    else:
        jac = _args.jac_kind(jac, "jac")
        problem = (2, f, jac, xdata)
        jac_given = jac is not None

    lm_style = _args.leastsq_style(box, method, opt)
    budget = _args.evaluation_budget(opt, jac_given, lm_style, n)
    scale = None
    if opt.x_scale is not None:
        scale = _scale(
            opt.x_scale,
            None if box is None or isinstance(opt.x_scale, str) else _z_scale(x, box),
            n,
        )
    fvec = np.empty(m)
    # The native run scales the covariance by the residual variance itself
    # (want 3) unless sigma is absolute.
    run = _run(
        problem,
        x,
        box,
        (y, weight, whiten),
        fvec,
        (opt.ftol, opt.xtol, opt.gtol, budget, lm_style, opt.factor, opt.step, scale, False)
        + opt.loss,
        2 if absolute_sigma else 3,
    )
    ier = run.status if lm_style else LSQ_STATUS[run.status]
    if not (run.status in (FTOL, XTOL, BOTH, GTOL) if lm_style else ier > 0):
        raise RuntimeError(
            "Optimal parameters not found: " + outcome_message(lm_style, ier, opt, budget)
        )
    pcov = run.cov
    if run.rank < n or (not absolute_sigma and m <= n):
        pcov = np.full((n, n), np.inf)
        warnings.warn(COVARIANCE_WARNING, OptimizeWarning, stacklevel=2)
    if not full_output:
        return x, pcov
    mesg = outcome_message(lm_style, ier, opt, budget)
    if lm_style:
        infodict = _leastsq_info(run.jac, fvec, run.nfev + run.nfev_jac)
        if jac_given:
            infodict["njev"] = run.njev
    else:
        if opt.loss:  # SciPy's fvec: the weighted residuals, not the loss-scaled ones
            fvec = _raw_residuals(problem, x, m, (y, weight, whiten))
        infodict = {"nfev": run.nfev, "fvec": fvec}
    return x, pcov, infodict, mesg, ier


def outcome_message(lm_style: bool, ier: int, opt: _args.Settings, budget: int) -> str:
    if lm_style:
        return LM_MESSAGES[ier].format(ftol=opt.ftol, xtol=opt.xtol, gtol=opt.gtol, maxfev=budget)
    return LSQ_MESSAGES[ier]


def _leastsq_info(J: np.ndarray, fvec: np.ndarray, nfev: int) -> dict[str, Any]:
    """leastsq's infodict: fvec, nfev, and fjac, ipvt, qtf from the pivoted QR
    of the final Jacobian (fjac.T[:n] holds R in its upper triangle, ipvt the
    pivots, 0-based as SciPy gives them: J[:, ipvt] = Q R)."""
    m, n = J.shape
    a = np.array(J, dtype=np.float64)
    tau, perm, qtf = np.empty(min(m, n)), np.empty(n, dtype=np.int64), fvec.copy()
    _fitting.qr(a.reshape(-1), m, n, tau, perm, qtf)
    return {
        "fvec": fvec,
        "nfev": nfev,
        "fjac": np.ascontiguousarray(a.T),
        "ipvt": perm.astype(np.int32),
        "qtf": qtf[:n],
    }


def _without_nan(xdata: Any, ydata: np.ndarray, policy: str) -> tuple[Any, np.ndarray, Any]:
    """nan_policy: 'raise' refuses NaN in xdata or ydata; 'omit' drops those
    points (columns of a (k, m) xdata)."""
    y = ydata.reshape(-1)
    bad = np.isnan(y)
    x = (
        xdata
        if isinstance(xdata, np.ndarray) and xdata.ndim and xdata.shape[-1] == y.size
        else None
    )
    if x is not None and x.size:
        bad = bad | np.isnan(x.reshape(-1, y.size)).any(axis=0)
    if not bad.any():
        return xdata, ydata, None
    if policy == "raise":
        raise ValueError("The input contains nan values")
    keep = ~bad
    if x is not None:
        xdata = x[..., keep]
    return xdata, y[keep], keep
