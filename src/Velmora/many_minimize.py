"""Many independent minimizations of one objective in one call.

`minimize_many(fun, x0, data, ...)` solves K problems that share an
objective and differ in their start, their bounds and their data: problem k
is the run `minimize` makes of the objective on row k of `data`. A native
objective runs on worker threads (all cores by default) with the interpreter
lock released, and receives the address of row k as its context; a Python
objective is called as fun(x, data[k], *args) on the calling thread. The
result is a `ManyResult` of arrays with one row per problem.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np

from Velmora import _args, _progress
from Velmora._ckernels.optim import _fitting
from Velmora.optimize import (
    SUCCESS,
    OptimizeResult,
)

__all__ = ["ManyResult", "minimize_many"]


class ManyResult(dict[str, Any]):
    """The result of `minimize_many`: a dict whose keys are also attributes,
    holding one row per problem.

    x: the final points, float64 of shape (K, n); fun: their values (K,);
    nit, nfev, status: int64 (K,); success: bool (K,); message: an object
    array of K strings. Row k is what `minimize` reports for problem k.
    """

    x: np.ndarray
    fun: np.ndarray
    nit: np.ndarray
    nfev: np.ndarray
    status: np.ndarray
    success: np.ndarray
    message: np.ndarray

    __getattr__ = OptimizeResult.__getattr__
    __setattr__ = dict.__setitem__
    __delattr__ = dict.__delitem__
    __dir__ = OptimizeResult.__dir__
    __repr__ = OptimizeResult.__repr__

    def _repr_html_(self) -> str:
        from Velmora._html import many_html

        return many_html(self)


# --- minimize_many --------------------------------------------------------------


def minimize_many(
    fun: Any,
    x0: Any,
    data: Any = None,
    args: Any = (),
    *,
    method: str = "L-BFGS-B",
    jac: Any = None,
    bounds: Any = None,
    options: Mapping[str, Any] | None = None,
    tol: float | None = None,
    workers: int | None = None,
    progress: bool | None = None,
) -> ManyResult:
    """Minimize one objective over K problems that differ in their start,
    bounds and data; problem k is the run `minimize` makes of it on row k.

    fun: a Python callable fun(x, data[k], *args) (fun(x, *args) when data
        is None) returning a real number; or a native function
        double f(const double *x, void *ctx) in any form `minimize` takes (a
        numba cfunc, a ctypes or cffi pointer, NativeObjective(address,
        grad=...)), whose ctx is the address of row k of data (the row's
        length is known to the function's author), or the NativeObjective's
        own ctx when data is None. Native objectives run on `workers` threads
        at once, without the interpreter lock, so they must be safe to call
        from several threads; Python objectives run one problem after
        another on the calling thread.
    x0: starts of shape (K, n), or (n,) for the same start everywhere.
    data: None, or an array of real numbers with one row per problem (its
        first axis has length K), converted to C-contiguous float64.
    args: extra arguments of a Python fun and jac (a non-tuple is one).
    method, jac, options, tol: as for `minimize` (jac=True, a callable
        jac(x, data[k], *args), or None for differences).
    bounds: as for `minimize` (n pairs, or lb and ub), the same for every
        problem; or per problem: pairs of shape (K, n, 2), or lb and ub of
        shape (K, n).
    workers: threads for a native objective (default: the usable CPUs; at
        most K are started). Results do not depend on it.
    progress: None shows a progress line on standard error when it is a
        terminal and the call is expected to last more than a couple of
        seconds; True always shows it, False never.

    Returns a ManyResult with x (K, n), fun, nit, nfev, status, success and
    message (K,), row k holding what `minimize` reports for problem k. A
    problem that does not converge, or whose objective is not finite at its
    start, is reported in its row (success False) without stopping the
    others. An exception from a Python objective, and Ctrl-C, stop the whole
    call; bad arguments raise before any evaluation.
    """
    name = _args.method_name(method)
    if isinstance(fun, str):
        raise ValueError(
            f"minimize_many takes a Python or native objective, not the name {fun!r} "
            "(run built-in objectives with minimize)"
        )
    if not isinstance(args, tuple):
        args = (args,)
    starts = _args.row_starts(x0)
    table = _args.row_data(data)
    K, n = _args.problem_count(starts, table), starts.shape[-1]
    objective = _args.row_objective(fun, args, jac, name, n, table)
    box = _args.many_bounds(bounds, K, n)
    opts = _args.minimizer_options(name, options, tol)
    threads = _progress.worker_count(workers)
    x = np.array(np.broadcast_to(starts, (K, n)), dtype=np.float64, order="C")
    if name == "L-BFGS-B" and opts["eps"] is not None and _args.uses_differences(objective):
        _args.check_steps(x, box, opts["eps"])
    native = _fitting.lbfgsb_many if name == "L-BFGS-B" else _fitting.neldermead_many
    settings = _args.option_tuple(name, opts)
    out = _progress.run_batch(
        native, "minimize_many", K, progress, objective, x, table, box, settings, threads
    )
    return ManyResult(
        x=x,
        fun=out.fun,
        nit=out.nit,
        nfev=out.nfev,
        status=out.status,
        success=out.status == SUCCESS[name],
        message=out.message,
    )
