"""The argument layer: what the public functions take (starts, bounds,
options, objectives and models, names, errordef, the rows of many problems)
checked and turned into what the native runs take. Every public module
normalises its arguments here, so one rule holds for all of them and the
messages are the same everywhere.

Bounds cross to the native side in one form, a `Box`: (lo, hi), float64
arrays with -inf / +inf where an element has no bound on that side, of
shape (n,) or, for many problems with bounds of their own, (K, n); the
native side derives what its minimizers and maps take from them.
"""

from __future__ import annotations

import functools
import inspect
import itertools
import math
import numbers
import operator
import types
from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from Velmora import _fixed
from Velmora import optimize as _optimize
from Velmora._ckernels.distributions._distributions import ndtri_as241
from Velmora._ckernels.optim import _fitting

# Bounds as the native runs take them: (lo, hi), infinite where there is none.
Box = tuple[NDArray[np.float64], NDArray[np.float64]]

# --- machine epsilon; least squares' steps and losses --------------------------------

EPS = 2.220446049250313e-16  # 2^-52
DIFF_STEP = 1.4901161193847656e-08  # sqrt(EPS): forward differences' relative step
FACTOR = 100.0  # the first trust region: FACTOR * ||D x0||
BOUND_STEP = 1e-10  # how far a start on a bound moves inside, relative


# Solver keywords curve_fit passes on, with SciPy's names: leastsq's
# (maxfev, epsfcn, factor, diag) and least_squares' (max_nfev, diff_step,
# x_scale, loss).
CURVE_FIT_OPTIONS = (
    "ftol",
    "xtol",
    "gtol",
    "maxfev",
    "max_nfev",
    "epsfcn",
    "diff_step",
    "factor",
    "diag",
    "x_scale",
    "loss",
    "f_scale",
)


# The robust losses, as SciPy names them, with their native codes
# (optim/robust_loss.h).
LOSSES = {
    "linear": _fitting.LOSS_LINEAR,
    "soft_l1": _fitting.LOSS_SOFT_L1,
    "huber": _fitting.LOSS_HUBER,
    "cauchy": _fitting.LOSS_CAUCHY,
    "arctan": _fitting.LOSS_ARCTAN,
}


def loss_options(loss: object, f_scale: object) -> tuple[Any, ...]:
    """The options' tail of a robust loss: () for 'linear', else (code, f_scale)."""
    if not isinstance(loss, str) or loss not in LOSSES:
        if callable(loss):
            raise ValueError("a callable loss is not supported: use one of " + ", ".join(LOSSES))
        raise ValueError(f"loss must be one of {', '.join(LOSSES)}; got {loss!r}")
    scale = difference_step("f_scale", f_scale)
    return () if loss == "linear" else (LOSSES[loss], scale)


# --- minimizers: methods, starts, bounds, options, objectives ----------------------


BUILTIN_OBJECTIVES = ("rosenbrock", "quad", "double_well", "rosen_halfplane")


METHODS = {
    "l-bfgs-b": "L-BFGS-B",
    "lbfgsb": "L-BFGS-B",
    "nelder-mead": "Nelder-Mead",
    "neldermead": "Nelder-Mead",
}


LBFGSB_OPTIONS = {
    "maxcor": 10,
    "ftol": 2.220446049250313e-09,
    "gtol": 1e-5,
    "eps": None,
    "maxfun": 15000,
    "maxiter": 15000,
    "maxls": 20,
}


NELDERMEAD_OPTIONS = {"maxiter": None, "maxfev": None, "xatol": 1e-4, "fatol": 1e-4}


TOL_SETS = {"L-BFGS-B": ("ftol", "gtol"), "Nelder-Mead": ("xatol", "fatol")}


I64_MAX = 2**63 - 1


def is_native(obj: object) -> bool:
    """A native function pointer in one of the forms `_optimize.NativeObjective` accepts."""
    return isinstance(obj, _optimize.NativeObjective) or _optimize.is_native_pointer(obj)


def method_name(method: object) -> str:
    name = METHODS.get(method.lower()) if isinstance(method, str) else None
    if name is None:
        raise ValueError(
            f"unknown method {method!r}; the choices are 'L-BFGS-B' (or 'lbfgsb') and "
            f"'Nelder-Mead' (or 'neldermead'), in any case"
        )
    return name


def is_real_scalar(v: object) -> bool:
    return isinstance(v, (numbers.Real, np.bool_)) and not isinstance(v, np.timedelta64)


def real_array(values: object, name: str) -> np.ndarray:
    """values as an array of real numbers (not copied when it is one):
    TypeError naming `name` for anything else."""
    a = np.asarray(values)
    if a.dtype.kind == "O":
        if not all(is_real_scalar(v) for v in a.flat):
            raise TypeError(f"{name} must hold real numbers")
        try:
            a = np.array([float(v) for v in a.flat], dtype=np.float64).reshape(a.shape)
        except OverflowError:  # an int beyond the float range
            raise OverflowError(f"{name} holds a number too large for a float64") from None
    elif a.dtype.kind not in "biuf":
        raise TypeError(f"{name} must hold real numbers, got dtype {a.dtype}")
    return a


def outside(x: np.ndarray, box: Box) -> np.ndarray:
    """Where x lies outside the bounds (the runs start from x moved onto them)."""
    lo, hi = box
    return (x < lo) | (x > hi)


def start_vector(x0: object) -> np.ndarray:
    a = real_array(x0, "x0")
    if a.ndim > 1:
        raise ValueError(f"x0 must be a number or a one-dimensional array, got shape {a.shape}")
    x = np.array(a, dtype=np.float64, copy=True).reshape(-1)
    if x.size == 0:
        raise ValueError("x0 is empty: at least one variable is needed")
    return x


_PLAIN_SIDES = (float, int, type(None))


def bound_side(v: object, where: str, missing: float) -> float:
    if v is None:
        return missing
    if type(v) is float or type(v) is int:  # the common case, without the ABC checks
        return float(v)
    if not is_real_scalar(v) and not (
        isinstance(v, np.ndarray) and v.ndim == 0 and v.dtype.kind in "biuf"
    ):
        raise TypeError(f"{where} must be a real number or None, got {type(v).__name__}")
    return float(v)  # type: ignore[arg-type]


def bound_array(values: object, n: int, name: str, missing: float) -> np.ndarray:
    a = np.asarray(values)
    if a.dtype.kind == "O":
        a = np.array([bound_side(v, f"bounds.{name}", missing) for v in a.flat]).reshape(a.shape)
    elif a.dtype.kind not in "biuf":
        raise TypeError(f"bounds.{name} must hold real numbers, got dtype {a.dtype}")
    if a.ndim == 1 and a.size == 1:  # scipy.optimize.Bounds keeps a number with shape (1,)
        a = a.reshape(())
    if a.ndim > 1 or (a.ndim == 1 and a.size != n):
        raise ValueError(
            f"bounds.{name} must be a number or hold n = {n} values, got shape {a.shape}"
        )
    return np.broadcast_to(a.astype(np.float64), (n,)).copy()


def parse_bounds(bounds: object, n: int) -> Box | None:
    """The checked bounds of n variables from pairs (low, high) or an object
    with lb and ub; None for none."""
    if bounds is None:
        return None
    if hasattr(bounds, "lb") and hasattr(bounds, "ub"):
        lo = bound_array(bounds.lb, n, "lb", -math.inf).tolist()
        hi = bound_array(bounds.ub, n, "ub", math.inf).tolist()
    else:
        if isinstance(bounds, (str, bytes)) or not hasattr(bounds, "__iter__"):
            raise TypeError(
                "bounds must be None, a sequence of (low, high) pairs or an object with "
                f"lb and ub, got {type(bounds).__name__}"
            )
        # At most n + 1 entries, and 3 sides of a pair, are read: an endless
        # iterable must not take all the memory.
        pairs = list(itertools.islice(bounds, n + 1))
        if len(pairs) != n:
            count = (
                len(bounds)
                if isinstance(bounds, (list, tuple))
                else (f"more than {n}" if len(pairs) > n else len(pairs))
            )
            raise ValueError(f"bounds has {count} entries for n = {n} variables")
        lo, hi = [0.0] * n, [0.0] * n
        for i, pair in enumerate(pairs):
            if (
                type(pair) is tuple
                and len(pair) == 2
                and type(pair[0]) in _PLAIN_SIDES
                and type(pair[1]) in _PLAIN_SIDES
            ):  # the common case, (float or None, float or None)
                low, high = pair
                lo[i] = -math.inf if low is None else float(low)
                hi[i] = math.inf if high is None else float(high)
                continue
            if isinstance(pair, (str, bytes)) or not hasattr(pair, "__iter__"):
                raise TypeError(
                    f"bounds[{i}] must be a (low, high) pair, got {type(pair).__name__}"
                )
            sides = list(itertools.islice(pair, 3))
            if len(sides) != 2:
                count = (
                    len(pair)
                    if isinstance(pair, (list, tuple))
                    else ("more than 2" if len(sides) > 2 else len(sides))
                )
                raise ValueError(f"bounds[{i}] must be a (low, high) pair, got {count} values")
            lo[i] = bound_side(sides[0], f"bounds[{i}] low", -math.inf)
            hi[i] = bound_side(sides[1], f"bounds[{i}] high", math.inf)
    # Plain floats from here: checked in Python, one array each at the end.
    for i, (low, high) in enumerate(zip(lo, hi)):
        if math.isnan(low) or math.isnan(high):
            raise ValueError(f"bounds for variable {i} are NaN: ({low}, {high})")
        if low > high:
            raise ValueError(f"bounds for variable {i} are crossed: low {low} > high {high}")
        if low == math.inf or high == -math.inf:
            raise ValueError(f"bounds for variable {i} admit no finite value: ({low}, {high})")
    return np.array(lo, dtype=np.float64), np.array(hi, dtype=np.float64)


def int_option(name: str, v: object) -> int:
    if isinstance(v, bool) or not is_real_scalar(v):
        raise TypeError(f"options[{name!r}] must be an integer, got {type(v).__name__}")
    if isinstance(v, numbers.Integral):
        k = operator.index(v)
    else:
        f = float(v)  # type: ignore[arg-type]
        if not f.is_integer():
            raise ValueError(f"options[{name!r}] must be a whole number, got {v!r}")
        k = int(f)
    if k < 1:
        raise ValueError(f"options[{name!r}] must be at least 1, got {k}")
    return min(k, I64_MAX)


def real_option(name: str, v: object) -> float:
    if isinstance(v, bool) or not is_real_scalar(v):
        raise TypeError(f"{name} must be a real number, got {type(v).__name__}")
    f = float(v)  # type: ignore[arg-type]
    if not f >= 0.0:
        raise ValueError(f"{name} must be a number >= 0, got {v!r}")
    return f


def minimizer_options(method: str, options: object, tol: object) -> dict[str, Any]:
    defaults = LBFGSB_OPTIONS if method == "L-BFGS-B" else NELDERMEAD_OPTIONS
    if options is None:
        options = {}
    if not isinstance(options, Mapping):
        raise TypeError(f"options must be a dict or None, got {type(options).__name__}")
    for key in options:
        if key not in defaults:
            raise ValueError(
                f"unknown option {key!r} for {method}; its options are " + ", ".join(defaults)
            )
    chosen = dict(defaults)
    if tol is not None:
        t = real_option("tol", tol)
        for key in TOL_SETS[method]:
            chosen[key] = t
    chosen.update({k: v for k, v in options.items() if v is not None})
    for key, value in chosen.items():
        if value is None:
            continue
        if key in ("maxcor", "maxfun", "maxiter", "maxls", "maxfev"):
            chosen[key] = int_option(key, value)
        else:
            chosen[key] = real_option(f"options[{key!r}]", value)
    eps = chosen.get("eps")
    if eps is not None and not 0.0 < eps < math.inf:
        raise ValueError(f"options['eps'] must be a finite step > 0, got {eps!r}")
    return chosen


def stuck_start(x: np.ndarray, box: Box | None, eps: float) -> tuple[np.ndarray, np.ndarray]:
    """(the start projected into the bounds, where an absolute step eps does
    not move a finite coordinate of it); any shape that broadcasts."""
    start = x.copy() if box is None else np.clip(x, *box)
    with np.errstate(over="ignore"):
        moved = start + eps
    return start, np.isfinite(start) & ((moved == start) | ~np.isfinite(moved))


def check_step(
    x: np.ndarray, bounds: tuple[np.ndarray, np.ndarray, np.ndarray] | None, eps: float
) -> None:
    """An absolute difference step must move every finite start coordinate."""
    start, stuck = stuck_start(x, bounds, eps)
    if stuck.any():
        i = int(np.argmax(stuck))
        raise ValueError(
            f"options['eps'] = {eps!r} does not move variable {i} of the start ({start[i]!r})"
        )


def parse_objective(
    fun: object, args: tuple[Any, ...], jac: object, method: str, n: int
) -> tuple[Any, ...]:
    """The objective as the native run takes it (see _fitting)."""
    if method == "Nelder-Mead" and jac is not None and jac is not False:
        raise ValueError("Nelder-Mead uses no gradient: jac must be None")
    if jac is not None and jac is not True and jac is not False and not callable(jac):
        raise TypeError(f"jac must be None, True or a callable, got {type(jac).__name__}")
    if isinstance(fun, str):
        if fun not in BUILTIN_OBJECTIVES:
            raise ValueError(
                f"unknown built-in objective {fun!r}; the built-in objectives are "
                + ", ".join(repr(name) for name in BUILTIN_OBJECTIVES)
            )
        if jac is not None and jac is not False:
            raise ValueError("a built-in objective has no gradient: jac must be None")
        if fun != "quad":
            if args:
                raise ValueError(f"the built-in objective {fun!r} takes no args")
            return (2, fun, None)
        if len(args) != 1:
            raise ValueError(
                "the built-in objective 'quad' takes args=(params,): the n weights "
                "followed by the n centre coordinates"
            )
        params = np.ascontiguousarray(args[0], dtype=np.float64)
        if params.ndim != 1 or params.size < 2 * n:
            raise ValueError(
                f"'quad' needs params of 2*n = {2 * n} values (the n weights, then the "
                f"n centre coordinates), got shape {params.shape}"
            )
        return (2, fun, params.copy())
    if is_native(fun):
        native = (
            fun if isinstance(fun, _optimize.NativeObjective) else _optimize.NativeObjective(fun)
        )
        if args:
            raise ValueError("a native objective takes no args: pass data through its ctx")
        if jac is not None and jac is not False:
            raise ValueError(
                "a native objective's gradient is _optimize.NativeObjective(..., grad=...): jac must be None"
            )
        return (1, native.address, native.grad or 0, native.ctx)
    if not callable(fun):
        raise TypeError(
            "fun must be a callable, a native function (ctypes, cffi, an object with "
            "an integer .address, or _optimize.NativeObjective) or the name of a built-in "
            f"objective, got {type(fun).__name__}"
        )
    return (0, fun, None if jac is False else jac, args)


# --- fits: names, errordef, levels, the native fit's start checks and options -------


# The native family codes of a parameter bounded on both sides
# (transforms/parameter_map.h), and the method codes of _fitting.fit.
INTERVAL_FAMILY = {"logit": 3, "probit": 4}


METHOD_CODE = {"L-BFGS-B": 0, "Nelder-Mead": 1}


def format_number(v: float, width: int = 11) -> str:
    """Six significant digits, right-aligned; NaN and infinities spelled out."""
    if math.isnan(v):
        text = "nan"
    elif math.isinf(v):
        text = "inf" if v > 0 else "-inf"
    else:
        text = f"{v:.6g}"
    return text.rjust(width)


def quantile_of_level(level: object) -> float:
    if isinstance(level, bool) or not isinstance(level, (numbers.Real, np.floating, np.integer)):
        raise TypeError(f"level must be a real number, got {type(level).__name__}")
    lv = float(level)
    if not 0.0 < lv < 1.0:
        raise ValueError(f"level must lie strictly between 0 and 1, got {level!r}")
    return float(ndtri_as241(0.5 + lv / 2.0))


@functools.lru_cache(maxsize=64)
def default_names(n: int) -> tuple[str, ...]:
    return tuple(f"x{i}" for i in range(n))


def parse_names(names: object, n: int) -> tuple[str, ...]:
    if names is None:
        return default_names(n)
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


def parse_errordef(errordef: object) -> float:
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


def parse_edm_tol(edm_tol: object) -> float:
    if type(edm_tol) is float and edm_tol > 0.0:
        return edm_tol
    if isinstance(edm_tol, bool) or not isinstance(
        edm_tol, (numbers.Real, np.floating, np.integer)
    ):
        raise TypeError(f"edm_tol must be a real number, got {type(edm_tol).__name__}")
    value = float(edm_tol)
    if not value > 0.0:
        raise ValueError(f"edm_tol must be > 0 (inf accepts any end point), got {edm_tol!r}")
    return value


def bound_arrays(box: Box | None, n: int) -> Box:
    """Lower and upper bounds of n variables, infinite where there is none."""
    if box is None:
        return np.full(n, -math.inf), np.full(n, math.inf)
    return box


def bad_start(
    problem: int, index: int, x: np.ndarray, box: Any, names: tuple[str, ...]
) -> ValueError:
    """The error for a start the native checks refused."""
    if problem == _fitting.START_NOTHING_FREE:
        return ValueError("every parameter is fixed by equal bounds: there is nothing to estimate")
    lower, upper = bound_arrays(box, x.size)
    name, v, low, high = names[index], float(x[index]), float(lower[index]), float(upper[index])
    if problem == _fitting.START_NOT_FINITE:
        return ValueError(f"x0 of parameter {name!r} is {v!r}: the start must be finite")
    if problem == _fitting.START_TOO_WIDE:
        return ValueError(
            f"parameter {name!r}: the interval ({low!r}, {high!r}) is wider than the largest float"
        )
    if problem == _fitting.START_OUTSIDE:
        what = f"fixed at {low!r}" if low == high else f"in ({low!r}, {high!r})"
        return ValueError(
            f"x0 of parameter {name!r} is {v!r}, outside its bounds: it must lie {what}"
        )
    if problem == _fitting.START_ON_BOUND:
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


def option_tuple(method: str, opts: Mapping[str, Any]) -> tuple[Any, ...]:
    if method == "L-BFGS-B":
        return (
            opts["maxcor"],
            opts["maxiter"],
            opts["maxfun"],
            opts["maxls"],
            opts["ftol"] / EPS,
            opts["gtol"],
            opts["eps"] or 0.0,
        )
    return (opts["maxiter"] or 0, opts["maxfev"] or 0, opts["xatol"], opts["fatol"])


def uses_differences(objective: tuple[Any, ...]) -> bool:
    """Whether the run of a parsed objective takes its gradient by
    differences: a built-in one, or a Python or native one given without."""
    kind = objective[0]
    return kind == 2 or (kind == 0 and objective[2] is None) or (kind == 1 and not objective[2])


def check_step_on_y(x: np.ndarray, box: Any, kind: str, eps: float) -> None:
    """An absolute difference step (options['eps']) must move every
    unconstrained coordinate of a usable start (the run differences there)."""
    from Velmora.transforms import ParameterMap

    lower, upper = bound_arrays(box, x.size)
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
        check_step(y, None, eps)


# --- many problems: rows of starts, data and bounds --------------------------------


def row_objective(
    fun: Any, args: tuple[Any, ...], jac: Any, method: str, n: int, table: Any
) -> Any:
    """The objective of many problems: as for one, and a native objective
    given data reads its row through ctx, so it must not bring its own."""
    objective = parse_objective(fun, args, jac, method, n)
    if objective[0] == 1 and table is not None and objective[3] != 0:
        raise ValueError(
            "with data, a native objective's ctx is the address of row k of data: "
            "give a NativeObjective without ctx"
        )
    return objective


def row_starts(x0: object) -> np.ndarray:
    """x0 as float64 of shape (n,) or (K, n), not yet copied."""
    a = real_array(x0, "x0")
    if a.ndim not in (1, 2) or a.shape[-1] == 0:
        raise ValueError(f"x0 must have shape (n,) or (K, n) with n >= 1, got shape {a.shape}")
    return a.astype(np.float64, copy=False)


def row_data(data: object) -> np.ndarray | None:
    """data as C-contiguous float64 rows, or None."""
    if data is None:
        return None
    a = np.asarray(data)
    if a.dtype.kind not in "biuf":
        raise ValueError(f"data must hold real numbers, got dtype {a.dtype}")
    if a.ndim == 0:
        raise ValueError(
            "data must have one row per problem (at least one dimension), got a scalar"
        )
    return np.ascontiguousarray(a, dtype=np.float64)


def problem_count(x0: np.ndarray, data: np.ndarray | None) -> int:
    if data is not None:
        if x0.ndim == 2 and x0.shape[0] != data.shape[0]:
            raise ValueError(
                f"x0 has {x0.shape[0]} rows and data {data.shape[0]}: one of each per problem"
            )
        return int(data.shape[0])
    if x0.ndim == 1:
        raise ValueError(
            "the number of problems is unknown: give x0 of shape (K, n) or data with K rows"
        )
    return int(x0.shape[0])


def problem_bounds(lo: np.ndarray, hi: np.ndarray) -> Box:
    """Checked per-problem bounds of shape (K, n)."""
    for bad, what in (
        (np.isnan(lo) | np.isnan(hi), "are NaN"),
        (lo > hi, "are crossed"),
        ((lo == math.inf) | (hi == -math.inf), "admit no finite value"),
    ):
        if bad.any():
            k, i = np.unravel_index(int(np.argmax(bad)), bad.shape)
            raise ValueError(
                f"bounds for problem {k}, variable {i} {what}: ({float(lo[k, i])}, "
                f"{float(hi[k, i])})"
            )
    return np.ascontiguousarray(lo), np.ascontiguousarray(hi)


def many_bounds(bounds: object, K: int, n: int) -> Box | None:
    """Bounds for every problem, shape (n,), or per problem, shape (K, n):
    from pairs of shape (K, n, 2), or lb and ub of shape (K, n)."""
    if bounds is None:
        return None
    if hasattr(bounds, "lb") and hasattr(bounds, "ub"):
        if np.ndim(bounds.lb) < 2 and np.ndim(bounds.ub) < 2:
            return parse_bounds(bounds, n)
        return problem_bounds(
            side_table(bounds.lb, K, n, "bounds.lb", -math.inf),
            side_table(bounds.ub, K, n, "bounds.ub", math.inf),
        )
    if not (isinstance(bounds, np.ndarray) and bounds.ndim == 3) and nested_depth(bounds) != 3:
        return parse_bounds(bounds, n)
    try:
        pairs = np.asarray(bounds)
    except ValueError as exc:  # ragged lists
        raise ValueError(f"per-problem bounds must have shape (K, n, 2) = {(K, n, 2)}") from exc
    if pairs.shape != (K, n, 2):
        raise ValueError(
            f"per-problem bounds must have shape (K, n, 2) = {(K, n, 2)}, got {pairs.shape}"
        )
    return problem_bounds(
        side_table(pairs[..., 0], K, n, "bounds low", -math.inf),
        side_table(pairs[..., 1], K, n, "bounds high", math.inf),
    )


def side_table(values: object, K: int, n: int, name: str, missing: float) -> np.ndarray:
    """One side of per-problem bounds as float64 of shape (K, n) (rows and
    numbers broadcast); None is `missing`, no bound."""
    a = np.asarray(values)
    if a.dtype.kind == "O":
        a = np.array([bound_side(v, name, missing) for v in a.flat]).reshape(a.shape)
    elif a.dtype.kind not in "biuf":
        raise TypeError(f"{name} must hold real numbers, got dtype {a.dtype}")
    try:
        return np.broadcast_to(a.astype(np.float64), (K, n))
    except ValueError:
        raise ValueError(
            f"{name} must broadcast to (K, n) = {(K, n)}, got shape {a.shape}"
        ) from None


def nested_depth(obj: object) -> int:
    """How deep the first items of nested lists and tuples go (3 for K lists
    of n pairs)."""
    depth = 0
    while isinstance(obj, (list, tuple)) and obj and depth < 4:
        obj = obj[0]
        depth += 1
    return depth


def check_steps(x: np.ndarray, box: Box | None, eps: float) -> None:
    """An absolute difference step must move every finite start coordinate
    of every problem."""
    start, stuck = stuck_start(x, box, eps)
    if stuck.any():
        k, i = np.unravel_index(int(np.argmax(stuck)), stuck.shape)
        raise ValueError(
            f"options['eps'] = {eps!r} does not move variable {i} of the start of "
            f"problem {k} ({float(start[k, i])!r})"
        )


# --- least squares and curve fits: settings, bounds, models --------------------------


def is_one_of(value: object, names: tuple[str, ...]) -> bool:
    return isinstance(value, str) and value in names


def tolerance(name: str, value: object) -> float:
    if isinstance(value, bool) or not is_real_scalar(value):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    t = float(value)  # type: ignore[arg-type]
    if not t >= EPS:
        raise ValueError(f"{name} must be at least machine epsilon ({EPS:.3g}), got {value!r}")
    return t


def positive_count(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int or None, got {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, got {value}")
    return min(int(value), 2**63 - 1)


def difference_step(name: str, value: object) -> float:
    if isinstance(value, bool) or not is_real_scalar(value):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    h = float(value)  # type: ignore[arg-type]
    if not 0.0 < h < math.inf:
        raise ValueError(f"{name} must be a finite number > 0, got {value!r}")
    return h


def finite_start(x: np.ndarray, name: str) -> np.ndarray:
    if not np.isfinite(x).all():
        raise ValueError(f"{name} must hold finite values, got {x!r}")
    return x


NO_BOUNDS = (-math.inf, math.inf)


def default_bounds(bounds: object) -> bool:
    """(-inf, inf), the default: no bounds (a quick test for the common call)."""
    return bounds is NO_BOUNDS or (
        type(bounds) is tuple
        and len(bounds) == 2
        and is_real_scalar(bounds[0])
        and is_real_scalar(bounds[1])
        and bounds[0] == -math.inf
        and bounds[1] == math.inf
    )


def lsq_box(bounds: object, n: int) -> Box | None:
    """The bounds from SciPy's least-squares forms, a pair (lb, ub) of numbers
    or arrays, or an object with lb and ub; None when no bound is finite.
    Each lower bound lies strictly below its upper one."""
    if bounds is None or default_bounds(bounds):
        return None
    if hasattr(bounds, "lb") and hasattr(bounds, "ub"):
        low, high = bounds.lb, bounds.ub
    else:
        if isinstance(bounds, (str, bytes)) or not hasattr(bounds, "__len__") or len(bounds) != 2:
            raise ValueError(
                "bounds must be a pair (lb, ub) of numbers or arrays of n values, or an object with "
                "lb and ub (scipy.optimize.Bounds)"
            )
        low, high = bounds  # type: ignore[misc]
    lb = bound_array(low, n, "lb", -math.inf)
    ub = bound_array(high, n, "ub", math.inf)
    with np.errstate(over="ignore", invalid="ignore"):
        bad = ~(lb < ub) | (np.isfinite(lb) & np.isfinite(ub) & ~np.isfinite(ub - lb))
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(
            f"Each lower bound must be strictly less than each upper bound (and their distance a "
            f"finite number): variable {i} has lb = {lb[i]!r}, ub = {ub[i]!r}"
        )
    if not (np.isfinite(lb).any() or np.isfinite(ub).any()):
        return None
    return lb, ub


def inside(x: np.ndarray, box: Box) -> None:
    """ValueError for a start outside the bounds; a start on a bound moves a
    little inside (the reparametrisation maps the bound itself to infinity)."""
    lb, ub = box
    outside = (x < lb) | (x > ub)
    if outside.any():
        i = int(np.argmax(outside))
        raise ValueError(
            f"Initial guess is outside of provided bounds: variable {i} is {x[i]!r}, bounds "
            f"({lb[i]!r}, {ub[i]!r})"
        )
    width = np.where(np.isfinite(ub - lb), (ub - lb) / 4.0, math.inf)
    for bound, sign in ((lb, 1.0), (ub, -1.0)):
        on = x == bound
        if on.any():
            step = np.minimum(BOUND_STEP * np.maximum(1.0, np.abs(bound)), width)
            x[on] = (bound + sign * step)[on]


def jac_kind(jac: object, what: str) -> Any:
    """None for forward differences, else the callable."""
    if jac is None or (isinstance(jac, str) and jac == "2-point"):
        return None
    if isinstance(jac, str):
        raise ValueError(
            f"{what} must be a callable, None or '2-point' (forward differences), got {jac!r}"
        )
    if not callable(jac):
        raise TypeError(f"{what} must be a callable, None or '2-point', got {type(jac).__name__}")
    return jac


def parameter_count(f: Any) -> int:
    try:
        sig = inspect.signature(f)
    except (TypeError, ValueError):
        raise ValueError("Unable to determine number of fit parameters.") from None
    kinds = [p.kind for p in sig.parameters.values()]
    if inspect.Parameter.VAR_POSITIONAL in kinds:
        raise ValueError("Unable to determine number of fit parameters.")
    count = sum(
        k in (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)
        for k in kinds
    )
    if count < 2:
        raise ValueError("Unable to determine number of fit parameters.")
    return count - 1


def check_arity(f: Any, n: int) -> None:
    """A plain Python function that cannot take xdata and n parameters:
    ValueError before any evaluation (other callables tell for themselves)."""
    if type(f) is not types.FunctionType:
        return
    code = f.__code__
    if code.co_flags & inspect.CO_VARARGS:
        return
    total = code.co_argcount
    required = total - len(f.__defaults__ or ())
    if not required <= n + 1 <= total:
        raise ValueError(
            f"p0 has {n} values but the model {f.__name__} takes {total - 1} parameters after xdata"
        )


def initial_parameters(n: int, box: Any) -> np.ndarray:
    """SciPy's start without p0: ones, or inside the bounds (the middle of an
    interval, one away from a single bound)."""
    x = np.ones(n)
    if box is not None:
        lb, ub = box
        has_low, has_high = np.isfinite(lb), np.isfinite(ub)
        x = np.where(
            has_low & has_high,
            0.5 * (lb + ub),
            np.where(has_low, lb + 1.0, np.where(has_high, ub - 1.0, x)),
        )
    return x


class Settings(NamedTuple):
    """curve_fit's solver keywords, checked."""

    ftol: float = 1e-8
    xtol: float = 1e-8
    gtol: float = 1e-8
    limit: int | None = None  # maxfev / max_nfev
    step: float = DIFF_STEP
    x_scale: Any = None
    factor: float = FACTOR
    loss: tuple[Any, ...] = ()  # (code, f_scale) of a robust loss


DEFAULT_SETTINGS = Settings()


def curve_settings(kwargs: dict[str, Any]) -> Settings:
    for key in kwargs:
        if key not in CURVE_FIT_OPTIONS:
            raise TypeError(f"curve_fit() got an unexpected keyword argument {key!r}")
    get = kwargs.get
    robust = loss_options(get("loss", "linear"), get("f_scale", 1.0))
    limit = get("maxfev", get("max_nfev"))
    step = DIFF_STEP
    if get("epsfcn") is not None:
        step = math.sqrt(max(difference_step("epsfcn", kwargs["epsfcn"]), EPS))
    if get("diff_step") is not None:
        step = difference_step("diff_step", kwargs["diff_step"])
    x_scale = get("x_scale")
    if get("diag") is not None:
        diag = np.asarray(kwargs["diag"], dtype=np.float64)
        x_scale = 1.0 / diag if (diag > 0).all() else diag
    return Settings(
        ftol=tolerance("ftol", get("ftol", 1e-8)),
        xtol=tolerance("xtol", get("xtol", 1e-8)),
        gtol=tolerance("gtol", get("gtol", 1e-8)),
        limit=None
        if limit is None
        else positive_count("maxfev" if "maxfev" in kwargs else "max_nfev", limit),
        step=step,
        x_scale=x_scale,
        factor=FACTOR if get("factor") is None else difference_step("factor", kwargs["factor"]),
        loss=robust,
    )


PYTHON_FUNCTIONS = (types.FunctionType, types.MethodType, types.BuiltinFunctionType)


def is_native_model(f: Any) -> bool:
    """Whether a curve model is native (NativeModel or a function pointer)
    rather than a Python callable."""
    from Velmora.least_squares_fits import NativeModel

    return type(f) not in PYTHON_FUNCTIONS and (
        isinstance(f, NativeModel) or _optimize.is_native_pointer(f)
    )


def leastsq_style(box: Any, method: object, opt: Settings) -> bool:
    """Whether a curve fit reports as SciPy's leastsq (no bounds, method None
    or 'lm', no robust loss) rather than as least_squares."""
    return box is None and (method is None or method == "lm") and not opt.loss


def evaluation_budget(opt: Settings, jac_given: bool, lm_style: bool, n: int) -> int:
    """maxfev / max_nfev, or SciPy's default for the reporting style."""
    if opt.limit is not None:
        return opt.limit
    return (100 if jac_given else 200) * (n + 1) if lm_style else 100 * n


def count_of(f: Any, p0: Any) -> int | None:
    """The number of parameters p0 gives, else f's signature (None if neither)."""
    if p0 is not None:
        return int(np.size(p0))
    return len(_fixed.parameter_names(f)) or None


def model_parameter_names(f: Any, n: int) -> tuple[str, ...]:
    """The names of a curve model's parameters from its signature (those
    after x), or p0, p1, ... when it does not give n of them."""
    try:
        names = [
            p.name
            for p in inspect.signature(f).parameters.values()
            if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)
        ][1:]
    except (TypeError, ValueError):
        names = []
    return tuple(names) if len(names) == n else tuple(f"p{i}" for i in range(n))
