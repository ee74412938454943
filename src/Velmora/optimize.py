"""Minimization of the user's own objective with SciPy's interface.

`minimize(fun, x0, ...)` takes the arguments of `scipy.optimize.minimize`
and runs the package's native L-BFGS-B or Nelder-Mead over

- a Python callable `fun(x, *args)` (x is a new float64 array on every call),
  with a gradient from `jac`, from `fun` itself (`jac=True`) or from the
  driver's forward differences (`jac=None`);
- a native function `double f(const double *x, void *ctx)`: a ctypes function
  pointer, a numba `cfunc`, a cffi function pointer, any object with an integer
  `.address`, or a `NativeObjective` (which may add a native value and
  gradient); such a run calls no Python per evaluation and releases the
  interpreter lock throughout;
- the name of a built-in objective ("rosenbrock", "quad", "double_well",
  "rosen_halfplane"), run exactly as `run_lbfgsb` / `run_neldermead` run it.

Python checks and normalises the arguments here; one native call does the
whole run. Departures from SciPy, on purpose: an unknown option name, a `jac`
given to Nelder-Mead and invalid option values raise ValueError instead of
warning or being ignored; status numbers and messages are the native
minimizers' own (see `minimize`).
"""

from __future__ import annotations

import ctypes
import inspect
import numbers
import operator
import warnings
from collections.abc import Callable, Mapping
from typing import Any, NamedTuple

import numpy as np

from Velmora import _args
from Velmora._ckernels.optim import _fitting
from Velmora._warnings import OptimizeWarning

__all__ = ["NativeObjective", "OptimizeResult", "minimize"]

SUCCESS = {"L-BFGS-B": 4, "Nelder-Mead": 0}

# The callback ended the run (both methods; SciPy's number and message).
CALLBACK_STOP = 99
CALLBACK_STOP_MESSAGE = "`callback` raised `StopIteration`."


class NativeSignature(NamedTuple):
    """A C function signature as ctypes, cffi and numba describe it."""

    restype: Any  # the ctypes result type (None for void)
    argtypes: tuple[Any, ...]  # the ctypes argument types
    cffi: frozenset[str]  # cffi's spellings of the function pointer type
    numba: str  # numba's spelling, for messages


# The two native signatures of minimize: value f(x, ctx), and value and
# gradient f(x, g, ctx).
_F64_P = ctypes.POINTER(ctypes.c_double)
VALUE_SIGNATURE = NativeSignature(
    ctypes.c_double,
    (_F64_P, ctypes.c_void_p),
    frozenset({"double(*)(double *, void *)"}),
    "float64(CPointer(float64), voidptr)",
)
VALUE_GRAD_SIGNATURE = NativeSignature(
    ctypes.c_double,
    (_F64_P, _F64_P, ctypes.c_void_p),
    frozenset({"double(*)(double *, double *, void *)"}),
    "float64(CPointer(float64), CPointer(float64), voidptr)",
)


class OptimizeResult(dict[str, Any]):
    """The result of `minimize`: a dict whose keys are also attributes.

    x: the final point (a new float64 array); fun: its value; jac: the
    gradient there (L-BFGS-B) or None (Nelder-Mead); nit: iterations; nfev:
    objective evaluations (finite differences included); njev: gradient
    evaluations (0 for Nelder-Mead); status, success, message: the outcome.
    `least_squares` fills in its own keys (SciPy's): x, cost, fun (the
    residuals), jac, grad, optimality, active_mask, nfev, njev, status,
    message, success.
    """

    # For type checkers: the keys `minimize` fills in (read through __getattr__).
    x: np.ndarray
    fun: float
    jac: np.ndarray | None
    nit: int
    nfev: int
    njev: int
    status: int
    success: bool
    message: str
    # The keys only `least_squares` fills in (its `fun` is the residual vector).
    cost: float
    grad: np.ndarray
    optimality: float
    active_mask: np.ndarray

    def __getattr__(self, name: str) -> Any:
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    __setattr__ = dict.__setitem__
    __delattr__ = dict.__delitem__

    def __dir__(self) -> list[str]:
        return list(self.keys())

    def _repr_html_(self) -> str:
        from Velmora._html import optimize_html

        return optimize_html(self)

    def __repr__(self) -> str:
        if not self:
            return f"{type(self).__name__}()"
        width = max(map(len, self.keys()))
        lines = []
        for key, value in self.items():
            text = repr(value).replace("\n", "\n" + " " * (width + 2))
            lines.append(f"{key:>{width}}: {text}")
        return "\n".join(lines)


def _is_ctypes_function(obj: object) -> bool:
    return isinstance(obj, ctypes._CFuncPtr)  # type: ignore[attr-defined]


def _is_cffi_pointer(obj: object) -> bool:
    return type(obj).__module__ == "_cffi_backend"


def _is_int(v: object) -> bool:
    """An integer other than a bool (the exact int first: it is the common case)."""
    return type(v) is int or (isinstance(v, numbers.Integral) and not isinstance(v, bool))


def is_native_pointer(obj: object) -> bool:
    """A ctypes or cffi function pointer, or an object with an integer
    `.address` (a numba cfunc)."""
    if isinstance(obj, str):
        return False
    if _is_ctypes_function(obj) or _is_cffi_pointer(obj):
        return True
    return _is_int(getattr(obj, "address", None))


def _address_value(value: object, what: str) -> int:
    if not _is_int(value):
        raise TypeError(f"{what} must be an int, got {type(value).__name__}")
    v = operator.index(value)  # type: ignore[arg-type]
    if not 0 < v < 2**64:
        raise ValueError(f"{what} must be a non-null address (0 < {what} < 2**64), got {v}")
    return v


def _same_ctype(a: Any, b: Any) -> bool:
    """The same C type: pointer classes made apart (numba has its own
    POINTER(c_double)) compare by what they point to."""
    if a is b:
        return True
    target = getattr(a, "_type_", None)  # a pointer class's target type (a code letter otherwise)
    if target.__class__ is str or target is not getattr(b, "_type_", None):
        return False
    return isinstance(a, type) and issubclass(a, ctypes._Pointer) and issubclass(b, ctypes._Pointer)


def _ctypes_signature_ok(fn: Any, signature: NativeSignature) -> bool:
    given = fn.argtypes or ()
    if fn.restype is not signature.restype or len(given) != len(signature.argtypes):
        return False
    for a, b in zip(given, signature.argtypes):
        if not _same_ctype(a, b):
            return False
    return True


def function_address(obj: object, what: str, signature: NativeSignature) -> int:
    """The address of a native function given as an int, a ctypes function
    pointer, a cffi function pointer or an object with an integer `.address`
    (a numba cfunc); its signature is checked where the object tells it."""
    if _is_ctypes_function(obj):
        if not _ctypes_signature_ok(obj, signature):
            restype = "None" if signature.restype is None else signature.restype.__name__
            raise TypeError(
                f"{what}: the ctypes function must have restype {restype} and argtypes "
                f"{tuple(t.__name__ for t in signature.argtypes)}"
            )
        return _address_value(ctypes.cast(obj, ctypes.c_void_p).value or 0, what)  # type: ignore[arg-type]
    if _is_cffi_pointer(obj):
        import importlib

        ffi: Any = importlib.import_module("cffi").FFI()  # present: the object came from it
        ctype = ffi.typeof(obj)
        name = ffi.getctype(ctype).replace("const ", "")
        if ctype.kind != "function" or name not in signature.cffi:
            raise TypeError(
                f"{what}: the cffi pointer has type {ffi.getctype(ctype)!r}, expected "
                f"{min(signature.cffi)!r}"
            )
        return _address_value(int(ffi.cast("uintptr_t", obj)), what)
    address = getattr(obj, "address", None)
    if address is not None:  # (an int has no .address)
        wrapper = getattr(obj, "ctypes", None)  # numba's cfunc describes itself this way
        if _is_ctypes_function(wrapper) and not _ctypes_signature_ok(wrapper, signature):
            raise TypeError(f"{what}: the compiled function's signature is not {signature.numba}")
        return _address_value(address, f"{what}.address")
    if _is_int(obj):
        return _address_value(obj, what)
    raise TypeError(
        f"{what} must be an int address, a ctypes or cffi function pointer or an "
        f"object with an integer .address, got {type(obj).__name__}"
    )


def context_value(ctx: object) -> int:
    if type(ctx) is int and 0 <= ctx < 2**64:
        return ctx
    if ctx is None:
        return 0
    if isinstance(ctx, (ctypes._Pointer, ctypes._SimpleCData)):
        return ctypes.cast(ctx, ctypes.c_void_p).value or 0
    if isinstance(ctx, bool) or not isinstance(ctx, numbers.Integral):
        raise TypeError(
            f"ctx must be an int address, a ctypes pointer or None, got {type(ctx).__name__}"
        )
    v = operator.index(ctx)
    if not 0 <= v < 2**64:
        raise ValueError(f"ctx must be an address (0 <= ctx < 2**64), got {v}")
    return v


class ProcessLocal:
    """Base of the objects that hold native addresses: they mean nothing in
    another process, so pickling is refused (whatever the address came from,
    a numba cfunc too) and a copy in this process is the object itself."""

    __slots__ = ()

    def __reduce__(self) -> Any:
        raise TypeError(
            f"a {type(self).__name__} holds addresses valid in this process only and cannot "
            "be pickled; to run it in other processes, build it there: define the native "
            "function at the top level of an importable module, import it in the worker and "
            "wrap it there (Velmora.dask.minimize_blocks takes it by its name 'module:name')"
        )

    def __copy__(self) -> Any:
        return self

    def __deepcopy__(self, memo: Any) -> Any:
        return self


class NativeObjective(ProcessLocal):
    """A native objective for `minimize`.

    address: the function `double f(const double *x, void *ctx)`, returning
        the objective's value at the n values of x (an int, a ctypes function
        pointer, a cffi function pointer, or an object with an integer
        `.address` such as a numba cfunc);
    ctx: passed to the functions untouched (an int address, a ctypes pointer
        or None for null);
    grad: optionally `double fg(const double *x, double *g, void *ctx)`, which
        returns the value and writes the gradient into g (n values); L-BFGS-B
        then calls it instead of forming differences of `address`.

    The functions must not keep or modify x, must be safe to call without the
    interpreter lock, and must stay valid while `minimize` runs (the object
    keeps a reference to what it was given). A ctypes function wrapping a
    Python function also works: ctypes takes the lock for each call, but an
    exception inside it cannot stop the run (ctypes prints it and returns 0).
    """

    __slots__ = ("_keep", "address", "ctx", "grad")

    def __init__(self, address: object, ctx: object = 0, grad: object = None) -> None:
        self.address = function_address(address, "address", VALUE_SIGNATURE)
        self.ctx = context_value(ctx)
        self.grad = None if grad is None else function_address(grad, "grad", VALUE_GRAD_SIGNATURE)
        self._keep = (address, ctx, grad)

    def __repr__(self) -> str:
        grad = "None" if self.grad is None else hex(self.grad)
        return f"NativeObjective(address={self.address:#x}, ctx={self.ctx:#x}, grad={grad})"


# --- arguments ------------------------------------------------------------------


def _callback(callback: object) -> Callable[[np.ndarray, float], object] | None:
    """The callback as the native run calls it: cb(x, fun). As in SciPy, a
    callback whose only parameter is `intermediate_result` gets an
    OptimizeResult(x, fun); any other gets x."""
    if callback is None:
        return None
    if not callable(callback):
        raise TypeError(f"callback must be callable or None, got {type(callback).__name__}")
    try:
        parameters = set(inspect.signature(callback).parameters)
    except (TypeError, ValueError):
        parameters = set()
    if parameters == {"intermediate_result"}:
        return lambda x, fun: callback(intermediate_result=OptimizeResult(x=x, fun=fun))
    return lambda x, fun: callback(x)


def minimize(
    fun: Any,
    x0: Any,
    args: Any = (),
    method: str = "L-BFGS-B",
    jac: Any = None,
    bounds: Any = None,
    callback: Any = None,
    options: Mapping[str, Any] | None = None,
    tol: float | None = None,
) -> OptimizeResult:
    """Minimize fun from x0: SciPy's `minimize` over the native L-BFGS-B and
    Nelder-Mead.

    fun: a Python callable fun(x, *args) returning a real number (x is a new
        1-D float64 array on every call, yours to keep or modify); a native
        function double f(const double *x, void *ctx) (a ctypes CFUNCTYPE
        pointer, a numba cfunc, a cffi pointer, an object with an integer
        .address, or NativeObjective(address, ctx, grad)), run without the
        interpreter lock and with no Python call per evaluation; or the name
        of a built-in objective ("rosenbrock", "quad", "double_well",
        "rosen_halfplane"; "quad" takes args=(params,)).
    x0: a number or a 1-D array-like of reals (copied, never modified); a
        start outside the bounds is moved onto them with an OptimizeWarning
        (as SciPy warns), and Nelder-Mead refuses one that is not finite.
    args: extra arguments of fun and jac (a non-tuple is one argument).
    method: "L-BFGS-B" (default) or "Nelder-Mead", in any case; also
        "lbfgsb" and "neldermead".
    jac: L-BFGS-B only: a callable jac(x, *args) returning n numbers, True
        when fun returns (value, gradient), or None for forward differences
        (n + 1 evaluations per gradient, counted in nfev). With differences,
        a run whose line search fails is judged once more by central
        differences at its final point (2n evaluations): it succeeds when
        their projected gradient is within gtol (far from zero the forward
        step's own error can exceed gtol at the minimum).
    bounds: None, n (low, high) pairs (None or an infinity for no bound), or
        an object with lb and ub (scipy.optimize.Bounds; scalars broadcast).
    callback: called after each iteration with a copy of x, or, when its only
        parameter is named intermediate_result, with OptimizeResult(x, fun).
        StopIteration from it ends the run: status 99, success False,
        message "`callback` raised `StopIteration`.".
    options: L-BFGS-B: maxcor (10), ftol (2.220446049250313e-09), gtol
        (1e-5), eps (absent: a relative step; given: that absolute step),
        maxfun (15000), maxiter (15000), maxls (20). Nelder-Mead: maxiter,
        maxfev (200*n), xatol, fatol (1e-4). An unknown name raises
        ValueError.
    tol: sets ftol and gtol (L-BFGS-B) or xatol and fatol (Nelder-Mead)
        unless options gives them.

    Returns an OptimizeResult with x, fun, jac (L-BFGS-B: the final gradient;
    Nelder-Mead: None), nit, nfev, njev, status, success and message.
    L-BFGS-B statuses: 4 "CONVERGENCE" (success); 5 iteration or evaluation
    limit; 7 invalid input (such as a value that is not finite at the start);
    8 line search failed; -2 the objective reached -inf (unbounded below);
    -3 the gradient at the final point could not be formed; -1 workspace
    allocation failed. Nelder-Mead statuses: 0 success; 1 evaluation limit;
    2 iteration limit; -1 allocation failed. Both: 99 the callback stopped
    the run.

    Exceptions raised by fun, jac or callback propagate unchanged and end the
    run at once; a value that is not a real number raises TypeError, a
    gradient of the wrong size or not real ValueError. Ctrl-C stops any run
    with KeyboardInterrupt.
    """
    name = _args.method_name(method)
    x = _args.start_vector(x0)
    n = x.size
    if not isinstance(args, tuple):
        args = (args,)
    objective = _args.parse_objective(fun, args, jac, name, n)
    box = _args.parse_bounds(bounds, n)
    opts = _args.minimizer_options(name, options, tol)
    cb = _callback(callback)
    if name == "Nelder-Mead" and not np.isfinite(x).all():
        i = int(np.argmin(np.isfinite(x)))
        raise ValueError(
            f"x0 must hold finite values for Nelder-Mead, got x0[{i}] = {float(x[i])!r}"
        )
    if box is not None and _args.outside(x, box).any():
        warnings.warn(
            "Initial guess is not within the specified bounds", OptimizeWarning, stacklevel=2
        )
    settings = _args.option_tuple(name, opts)
    if name == "L-BFGS-B":
        if opts["eps"] is not None and _args.uses_differences(objective):
            _args.check_step(x, box, opts["eps"])  # the step of the driver's differences
        g = np.full(n, np.nan)
        status, message, nfev, njev, nit, value = _fitting.lbfgsb(
            objective, x, box, settings, cb, g
        )
        gradient: np.ndarray | None = g
    else:
        status, message, nfev, njev, nit, value = _fitting.neldermead(
            objective, x, box, settings, cb
        )
        gradient = None
    if status == CALLBACK_STOP:
        message = CALLBACK_STOP_MESSAGE
    return OptimizeResult(
        x=x,
        fun=value,
        jac=gradient,
        nit=nit,
        nfev=nfev,
        njev=njev,
        status=status,
        success=status == SUCCESS[name],
        message=message,
    )
