"""Many minimizations over a Dask array of problems.

`minimize_blocks(fun, x0, data, ...)` runs `minimize_many` on each block of
rows of a Dask array, lazily, on whatever scheduler computes it: threads, or
the worker processes of a `dask.distributed` cluster. It returns a
`ManyResult` whose fields are lazy Dask arrays views of one computation, so

    r = Velmora.dask.minimize_blocks(fun, x0, data)
    x, success = dask.compute(r.x, r.success)

solves every block once. The results equal those of `minimize_many` on the
whole array.

On a cluster of worker processes the objective travels to the workers. A
Python function defined in an importable module travels by reference, and
one defined elsewhere is pickled by value; a native function cannot travel
(its address means nothing in another process), so give its place instead:
the string "package.module:name" of a numba cfunc, ctypes pointer or
`NativeObjective` defined at the top level of an importable module, which
each worker imports (and, for numba, compiles) once.

Dask is imported on first use: pip install 'Velmora[dask]' (or dask[array]).
"""

from __future__ import annotations

import functools
import importlib
from typing import Any

import numpy as np

from Velmora.many_minimize import ManyResult, minimize_many

__all__ = ["minimize_blocks"]

MISSING_DASK = (
    "Velmora.dask needs Dask, which is not installed: pip install 'Velmora[dask]' "
    "(or pip install 'dask[array]')"
)


def _dask_array() -> Any:
    try:
        return importlib.import_module("dask.array")
    except ImportError as exc:
        raise ImportError(MISSING_DASK) from exc


def resolve(fun: Any) -> Any:
    """The objective itself: fun, or the object a "module:name" string names
    (imported here, so in the process that runs the block)."""
    if not (isinstance(fun, str) and ":" in fun):
        return fun
    module_name, _, attribute = fun.partition(":")
    obj: Any = importlib.import_module(module_name)
    for part in attribute.split("."):
        obj = getattr(obj, part)
    return obj


def _record_dtype(n: int) -> np.dtype:
    return np.dtype(
        [
            ("x", np.float64, (n,)),
            ("fun", np.float64),
            ("nit", np.int64),
            ("nfev", np.int64),
            ("status", np.int64),
            ("success", np.bool_),
            ("message", object),
        ]
    )


def _solve_block(
    data: np.ndarray,
    *rows: np.ndarray,
    fun: Any,
    x0: Any,
    bounds: Any,
    per_problem: tuple[bool, bool],
    kwargs: dict[str, Any],
) -> np.ndarray:
    """One block of rows: minimize_many on it, as one record per problem.
    rows: this block's rows of x0 and of the bounds, for those given per
    problem (per_problem says which)."""
    given = iter(rows)
    start = next(given) if per_problem[0] else x0
    box = next(given) if per_problem[1] else bounds
    r = minimize_many(resolve(fun), start, data, bounds=box, progress=False, **kwargs)
    out = np.empty(r.fun.shape[0], dtype=_record_dtype(r.x.shape[1]))
    for key in out.dtype.names or ():
        out[key] = r[key]
    return out


def _rows_like(a: Any, da: Any, chunks: tuple[int, ...], name: str, K: int) -> Any:
    """An array with K rows as a Dask array chunked like the data's rows
    (trailing axes in one chunk)."""
    arr = a if isinstance(a, da.Array) else da.from_array(np.asarray(a), chunks=-1)
    if arr.ndim == 0 or arr.shape[0] != K:
        raise ValueError(f"{name} must have one row per problem ({K}), got shape {arr.shape}")
    return arr.rechunk((chunks,) + (-1,) * (arr.ndim - 1))


def minimize_blocks(
    fun: Any,
    x0: Any,
    data: Any,
    args: Any = (),
    *,
    method: str = "L-BFGS-B",
    jac: Any = None,
    bounds: Any = None,
    options: Any = None,
    tol: Any = None,
    workers: int = 1,
) -> ManyResult:
    """`minimize_many` over the row blocks of a Dask array, lazily.

    fun: as for minimize_many, or "package.module:name" naming an objective
        defined at the top level of an importable module (the way to send a
        native objective to worker processes).
    x0: (n,) for every problem, or (K, n) (NumPy or Dask; rechunked to the
        rows of data).
    data: a Dask array (or an array-like, made one) with one row per
        problem; each block of rows is one minimize_many call, the other
        axes are joined into one chunk.
    bounds: as for minimize_many; per-problem bounds of shape (K, n, 2) may
        be a Dask array.
    workers: threads per block for a native objective (default 1: Dask runs
        the blocks in parallel).
    args, method, jac, options, tol: as for minimize_many.

    Returns a ManyResult whose fields (x, fun, nit, nfev, status, success,
    message) are lazy Dask arrays with data's row chunks, all views of one
    record array: compute them together (dask.compute(r.x, r.fun)) to solve
    each block once. Arguments that can be checked without the data are
    checked here, before any block runs; the rest raise when computed.
    """
    da = _dask_array()
    data = data if isinstance(data, da.Array) else da.asarray(data)
    if data.ndim == 0:
        raise ValueError(
            "data must have one row per problem (at least one dimension), got a scalar"
        )
    K = data.shape[0]
    if np.isnan(K):
        raise ValueError(
            "data must have known chunk sizes along its rows (call compute_chunk_sizes())"
        )
    rows = data.chunks[0]
    data = data.rechunk((rows,) + (-1,) * (data.ndim - 1))
    start = x0 if isinstance(x0, da.Array) else np.asarray(x0)
    if start.ndim not in (1, 2):
        raise ValueError(f"x0 must have shape (n,) or (K, n), got shape {start.shape}")
    n = int(start.shape[-1])
    if (
        hasattr(bounds, "lb")
        and hasattr(bounds, "ub")
        and max(np.ndim(bounds.lb), np.ndim(bounds.ub)) > 1
    ):
        raise ValueError("per-problem bounds of minimize_blocks are an array of shape (K, n, 2)")
    per_problem = (
        bounds is not None
        and not hasattr(bounds, "lb")
        and (isinstance(bounds, da.Array) or np.ndim(bounds) == 3)
    )
    kwargs = {
        "args": args,
        "method": method,
        "jac": jac,
        "options": options,
        "tol": tol,
        "workers": workers,
    }
    # Everything but the data and the per-problem values, checked now on an
    # empty set of problems of the same shapes.
    minimize_many(
        resolve(fun),
        np.zeros(n) if start.ndim == 1 else np.zeros((0, n)),
        np.zeros((0,) + data.shape[1:], dtype=data.dtype),
        bounds=None if per_problem else bounds,
        progress=False,
        **kwargs,
    )

    pieces: list[Any] = [data, "i" + "abcdefgh"[: data.ndim - 1]]
    if start.ndim == 2:
        pieces += [_rows_like(start, da, rows, "x0", K), "ik"]
    if per_problem:
        pieces += [_rows_like(bounds, da, rows, "bounds", K), "ikl"]
    solve = functools.partial(
        _solve_block,
        fun=fun,
        x0=start if start.ndim == 1 else None,
        bounds=None if per_problem else bounds,
        per_problem=(start.ndim == 2, per_problem),
        kwargs=kwargs,
    )
    dtype = _record_dtype(n)
    records = da.blockwise(
        solve, "i", *pieces, concatenate=True, dtype=dtype, meta=np.empty((0,), dtype=dtype)
    )
    return ManyResult({key: records[key] for key in dtype.names or ()})
