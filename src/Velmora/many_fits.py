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
from typing import Any

import numpy as np
from numpy.typing import NDArray

from Velmora import estimate as _est
from Velmora import optimize as _opt
from Velmora._ckernels.optim import _many
from Velmora.many import (
    ManyResult,
    _data,
    _many_bounds,
    _problem_count,
    _starts,
    _workers,
    run_batch,
)

__all__ = ["FitManyResult", "fit_many"]

_Box = tuple[np.ndarray, np.ndarray, np.ndarray]


class FitManyResult(ManyResult):
    """The result of `fit_many`: a dict whose keys are also attributes, one
    row per problem, row k holding what `Velmora.fit` reports for problem k.

    x, se: the estimates and their standard errors, float64 (K, n); cov: the
    covariances (K, n, n); fun: the objective at the estimates (K,); nit,
    nfev, njev, status: int64 (K,); success: bool (K,); message: K strings;
    unidentified: bool (K, n), True for a parameter the Hessian does not
    identify (its standard error is NaN); names: the parameter names;
    errordef: as given. A problem without an estimate (its objective is not
    finite at its start) has success False and NaN standard errors.

    `ci(level)` gives the Wald intervals, (K, n, 2).
    """

    se: np.ndarray
    cov: np.ndarray
    njev: np.ndarray
    unidentified: np.ndarray
    names: tuple[str, ...]
    errordef: float

    def ci(self, level: float = 0.95) -> NDArray[np.float64]:
        """Wald intervals of shape (K, n, 2), as `FitResult.ci` forms them
        for each problem: y +- z se_y on the unconstrained scale mapped back,
        the value itself for a fixed parameter, NaN without a standard error."""
        z = _est._quantile_of_level(level)
        y, se_y = self.__dict__["_y"], self.__dict__["_se_y"]
        lower, upper = self.__dict__["_lower"], self.__dict__["_upper"]
        free = lower != upper
        out = np.repeat(self.x[..., None], 2, axis=-1)
        if free.any():
            from Velmora.transforms import ParameterMap

            # One map over every free element of every problem: one pass of
            # the transform kernels, whatever K.
            pm = ParameterMap(types.SimpleNamespace(lb=lower[free], ub=upper[free]), kind=self.__dict__["_kind"])
            with np.errstate(invalid="ignore"):
                ends = np.stack([pm.to_constrained(y[free] - z * se_y[free]),
                                 pm.to_constrained(y[free] + z * se_y[free])], 1)
            ends.sort(axis=1)
            ends[np.isnan(se_y[free])] = np.nan
            out[free] = ends
        return out


def _row_box(box: _Box | None, k: int) -> _Box | None:
    """The bounds of problem k from bounds of shape (n,) or (K, n)."""
    if box is None or box[0].ndim == 1:
        return box
    return box[0][k], box[1][k], box[2][k]


def _bound_tables(box: _Box | None, K: int, n: int) -> tuple[np.ndarray, np.ndarray]:
    """Lower and upper bounds of shape (K, n), infinite where there is none."""
    lower, upper = _est._bound_arrays(box, n)
    return np.broadcast_to(lower, (K, n)), np.broadcast_to(upper, (K, n))


def fit_many(nll: Any, x0: Any, data: Any = None, args: Any = (), *, jac: Any = None, bounds: Any = None,
             kind: str = "logit", names: Sequence[str] | None = None, method: str = "L-BFGS-B",
             options: Mapping[str, Any] | None = None, errordef: float = 0.5, workers: int | None = None,
             progress: bool | None = None) -> FitManyResult:
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
        strictly inside the bounds.
    data: None, or an array of real numbers with one row per problem.
    args, jac, kind, names, method, options, errordef: as for `fit` (jac is
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
    name = _opt._method(method)
    if isinstance(nll, str):
        raise ValueError(f"fit_many takes a Python or native objective, not the name {nll!r} "
                         "(run built-in objectives with fit)")
    if not isinstance(args, tuple):
        args = (args,)
    starts = _starts(x0)
    table = _data(data)
    K, n = _problem_count(starts, table), starts.shape[-1]
    labels = _est._names(names, n)
    scale = _est._errordef(errordef)
    if not isinstance(kind, str) or kind not in _est._INTERVAL_FAMILY:
        raise ValueError(f"kind must be 'logit' or 'probit', got {kind!r}")
    objective = _opt._objective(nll, args, jac, name, n)
    if objective[0] == 1 and table is not None and objective[3] != 0:
        raise ValueError("with data, a native objective's ctx is the address of row k of data: "
                         "give a NativeObjective without ctx")
    box = _many_bounds(bounds, K, n)
    opts = _opt._options(name, options, None)
    threads = _workers(workers)
    x = np.array(np.broadcast_to(starts, (K, n)), dtype=np.float64, order="C")
    differences = (objective[0] == 0 and objective[2] is None) or (objective[0] == 1 and not objective[2])
    if name == "L-BFGS-B" and opts["eps"] is not None and differences:
        for k in range(K):
            _est._check_step_on_y(x[k], _row_box(box, k), kind, opts["eps"])

    out = run_batch(_many.fit, "fit_many", K, progress, objective, x, table, box, _est._option_tuple(name, opts),
                    (_est._METHOD_CODE[name], _est._INTERVAL_FAMILY[kind], scale), threads)
    if len(out) == 3:  # an unusable start, found before any evaluation
        k, index, problem = out
        error = _est._bad_start(problem, index, x[k], _row_box(box, k), labels)
        raise ValueError(f"problem {k}: {error}")
    state, status, message, nfev, njev, nit, fun, _hessian_state, se, y, se_y, flat, cov = out
    estimated = (state == _est._DONE) | (state == _est._NO_HESSIAN)
    result = FitManyResult(x=x, se=se, cov=cov, fun=fun, nit=nit, nfev=nfev, njev=njev, status=status,
                           success=estimated & (status == _opt.SUCCESS[name]), message=message,
                           unidentified=flat & estimated[:, None], names=labels, errordef=scale)
    lower, upper = _bound_tables(box, K, n)
    result.__dict__.update(_y=y, _se_y=se_y, _lower=lower, _upper=upper, _kind=kind)
    return result
