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

import math
import numbers
import os
import sys
import time
from collections.abc import Mapping
from typing import Any, TextIO

import numpy as np

from Velmora._ckernels.optim import _many
from Velmora.optimize import (
    MACHINE_EPSILON,
    SUCCESS,
    OptimizeResult,
    _bound_side,
    _bounds,
    _method,
    _objective,
    _options,
    _real_array,
    _stuck_start,
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


# --- arguments ------------------------------------------------------------------


def _starts(x0: object) -> np.ndarray:
    """x0 as float64 of shape (n,) or (K, n), not yet copied."""
    a = _real_array(x0, "x0")
    if a.ndim not in (1, 2) or a.shape[-1] == 0:
        raise ValueError(f"x0 must have shape (n,) or (K, n) with n >= 1, got shape {a.shape}")
    return a.astype(np.float64, copy=False)


def _data(data: object) -> np.ndarray | None:
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


def _problem_count(x0: np.ndarray, data: np.ndarray | None) -> int:
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


def _problem_bounds(lo: np.ndarray, hi: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Checked per-problem bounds of shape (K, n) as (lo, hi, codes); the
    codes are 0 free, 1 lower, 2 both, 3 upper."""
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
    has_lo, has_hi = np.isfinite(lo), np.isfinite(hi)
    codes = np.where(has_lo, np.where(has_hi, 2, 1), np.where(has_hi, 3, 0)).astype(np.int64)
    return np.where(has_lo, lo, 0.0), np.where(has_hi, hi, 0.0), codes


def _many_bounds(
    bounds: object, K: int, n: int
) -> tuple[np.ndarray, np.ndarray, np.ndarray] | None:
    """Bounds for every problem, shape (n,), or per problem, shape (K, n):
    from pairs of shape (K, n, 2), or lb and ub of shape (K, n)."""
    if bounds is None:
        return None
    if hasattr(bounds, "lb") and hasattr(bounds, "ub"):
        if np.ndim(bounds.lb) < 2 and np.ndim(bounds.ub) < 2:
            return _bounds(bounds, n)
        return _problem_bounds(
            _side_table(bounds.lb, K, n, "bounds.lb", -math.inf),
            _side_table(bounds.ub, K, n, "bounds.ub", math.inf),
        )
    if not (isinstance(bounds, np.ndarray) and bounds.ndim == 3) and _nested_depth(bounds) != 3:
        return _bounds(bounds, n)
    try:
        pairs = np.asarray(bounds)
    except ValueError as exc:  # ragged lists
        raise ValueError(f"per-problem bounds must have shape (K, n, 2) = {(K, n, 2)}") from exc
    if pairs.shape != (K, n, 2):
        raise ValueError(
            f"per-problem bounds must have shape (K, n, 2) = {(K, n, 2)}, got {pairs.shape}"
        )
    return _problem_bounds(
        _side_table(pairs[..., 0], K, n, "bounds low", -math.inf),
        _side_table(pairs[..., 1], K, n, "bounds high", math.inf),
    )


def _side_table(values: object, K: int, n: int, name: str, missing: float) -> np.ndarray:
    """One side of per-problem bounds as float64 of shape (K, n) (rows and
    numbers broadcast); None is `missing`, no bound."""
    a = np.asarray(values)
    if a.dtype.kind == "O":
        a = np.array([_bound_side(v, name, missing) for v in a.flat]).reshape(a.shape)
    elif a.dtype.kind not in "biuf":
        raise TypeError(f"{name} must hold real numbers, got dtype {a.dtype}")
    try:
        return np.broadcast_to(a.astype(np.float64), (K, n))
    except ValueError:
        raise ValueError(
            f"{name} must broadcast to (K, n) = {(K, n)}, got shape {a.shape}"
        ) from None


def _nested_depth(obj: object) -> int:
    """How deep the first items of nested lists and tuples go (3 for K lists
    of n pairs)."""
    depth = 0
    while isinstance(obj, (list, tuple)) and obj and depth < 4:
        obj = obj[0]
        depth += 1
    return depth


def _check_steps(
    x: np.ndarray, box: tuple[np.ndarray, np.ndarray, np.ndarray] | None, eps: float
) -> None:
    """An absolute difference step must move every finite start coordinate
    of every problem."""
    start, stuck = _stuck_start(x, box, eps)
    if stuck.any():
        k, i = np.unravel_index(int(np.argmax(stuck)), stuck.shape)
        raise ValueError(
            f"options['eps'] = {eps!r} does not move variable {i} of the start of "
            f"problem {k} ({float(start[k, i])!r})"
        )


def usable_cpus() -> int:
    """The CPUs this process may run on."""
    count: Any = getattr(os, "process_cpu_count", None)
    if count is not None:
        return int(count() or 1)
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):
        return int(os.cpu_count() or 1)


# Threads are cheap, but a runaway value should not start millions of them.
MAX_WORKERS = 1024


def _workers(workers: object) -> int:
    if workers is None:
        return usable_cpus()
    if isinstance(workers, bool) or not isinstance(workers, numbers.Integral):
        raise TypeError(f"workers must be an int or None, got {type(workers).__name__}")
    w = int(workers)
    if w < 1:
        raise ValueError(f"workers must be at least 1, got {w}")
    return min(w, MAX_WORKERS)


# --- progress -------------------------------------------------------------------


def _clock(seconds: float) -> str:
    if not math.isfinite(seconds):
        return "?"
    s = int(seconds + 0.5)
    return (
        f"{s // 3600}:{s // 60 % 60:02d}:{s % 60:02d}" if s >= 3600 else f"{s // 60}:{s % 60:02d}"
    )


class Progress:
    """The progress line of a batch on a stream: problems done out of the
    total, the rate and the time left, redrawn a few times a second. With
    `force` False it appears only once the call is expected to last more
    than `threshold` seconds. The native run calls it with the number of
    problems done; `finish` ends the line."""

    def __init__(self, label: str, total: int, stream: TextIO, force: bool, threshold: float = 2.0):
        self.label, self.total, self.stream, self.force = label, total, stream, force
        self.threshold = threshold
        self.terminal = _isatty(stream)
        self.start = time.monotonic()
        self.shown = False
        self.drawn_at = -math.inf

    def __call__(self, done: int) -> None:
        now = time.monotonic()
        elapsed = now - self.start
        if not self.shown:
            expected = elapsed * self.total / done if done else math.inf
            if not self.force and (elapsed < 0.5 or expected < self.threshold):
                return
            self.shown = True
        if now - self.drawn_at >= (0.25 if self.terminal else 2.0):
            self.drawn_at = now
            rate = done / elapsed if elapsed > 0 else 0.0
            left = (self.total - done) / rate if rate > 0 else math.inf
            self._write(
                f"{self.label}: {done}/{self.total} problems, {rate:,.0f}/s, {_clock(left)} left"
            )

    def finish(self, completed: bool) -> None:
        if not self.shown and not self.force:  # asked for: at least the final line
            return
        elapsed = time.monotonic() - self.start
        if completed:
            rate = self.total / elapsed if elapsed > 0 else 0.0
            self._write(f"{self.label}: {self.total} problems in {elapsed:.1f} s ({rate:,.0f}/s)")
        self._write_raw("\n" if self.terminal else "")

    def _write(self, line: str) -> None:
        self._write_raw(f"\r{line}\x1b[K" if self.terminal else line + "\n")

    def _write_raw(self, text: str) -> None:
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError):  # a closed or broken stream: go on without the line
            self.shown, self.force, self.threshold = False, False, math.inf


def _isatty(stream: object) -> bool:
    try:
        return bool(stream.isatty())  # type: ignore[attr-defined]
    except (AttributeError, OSError, ValueError):  # no such method, or a closed stream
        return False


def _progress(progress: object, label: str, total: int) -> Any:
    from Velmora._progress import in_notebook, tqdm_progress

    if progress is not None and not isinstance(progress, (bool, np.bool_)):
        raise TypeError(f"progress must be None, True or False, got {type(progress).__name__}")
    stream = sys.stderr
    if progress is False or stream is None or total == 0:
        return None
    if in_notebook():  # no terminal there for the line: tqdm's widget when installed
        bar = tqdm_progress(label, total, bool(progress))
        if bar is not None:
            return bar
    if progress is None and not _isatty(stream):
        return None
    return Progress(label, total, stream, force=bool(progress))


def run_batch(native: Any, label: str, total: int, progress: object, *arguments: Any) -> Any:
    """native(*arguments, report) with the progress line of `progress`
    (None, True or False) around it; the line is ended whatever happens."""
    report = _progress(progress, label, total)
    completed = False
    try:
        out = native(*arguments, report)
        completed = True
        return out
    finally:
        if report is not None:
            report.finish(completed)


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
    name = _method(method)
    if isinstance(fun, str):
        raise ValueError(
            f"minimize_many takes a Python or native objective, not the name {fun!r} "
            "(run built-in objectives with minimize)"
        )
    if not isinstance(args, tuple):
        args = (args,)
    starts = _starts(x0)
    table = _data(data)
    K, n = _problem_count(starts, table), starts.shape[-1]
    objective = _objective(fun, args, jac, name, n)
    if objective[0] == 1 and table is not None and objective[3] != 0:
        raise ValueError(
            "with data, a native objective's ctx is the address of row k of data: "
            "give a NativeObjective without ctx"
        )
    box = _many_bounds(bounds, K, n)
    opts = _options(name, options, tol)
    threads = _workers(workers)
    x = np.array(np.broadcast_to(starts, (K, n)), dtype=np.float64, order="C")
    if name == "L-BFGS-B":
        kind = objective[0]
        differences = (kind == 0 and objective[2] is None) or (kind == 1 and not objective[2])
        if opts["eps"] is not None and differences:
            _check_steps(x, box, opts["eps"])
        native: Any = _many.lbfgsb
        settings: tuple[Any, ...] = (
            opts["maxcor"],
            opts["maxiter"],
            opts["maxfun"],
            opts["maxls"],
            opts["ftol"] / MACHINE_EPSILON,
            opts["gtol"],
            opts["eps"] or 0.0,
        )
    else:
        native = _many.neldermead
        settings = (opts["maxiter"] or 0, opts["maxfev"] or 0, opts["xatol"], opts["fatol"])
    fun_values, nit, nfev, status, message = run_batch(
        native, "minimize_many", K, progress, objective, x, table, box, settings, threads
    )
    return ManyResult(
        x=x,
        fun=fun_values,
        nit=nit,
        nfev=nfev,
        status=status,
        success=status == SUCCESS[name],
        message=message,
    )
