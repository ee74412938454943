# Types of the private module behind Velmora's estimation functions (call
# those instead): the runs of Velmora.minimize, fit and the profiles; of
# minimize_many and fit_many (the *_many functions); of least_squares,
# curve_fit and curve_fit_many (solve, solve_many and their helpers).

from collections.abc import Callable
from typing import Any, Final, final

import numpy as np
from _typeshed import structseq
from numpy.typing import NDArray

_F = NDArray[np.float64]
_I = NDArray[np.int64]
_Bounds = tuple[NDArray[np.float64], NDArray[np.float64]] | None

# ---------------------------------------------------------------------------
# Velmora.minimize, fit and the profiles. objective is (0, fun, jac, args),
# (1, address, grad, ctx) or (2, name, params); bounds is None or (lo, hi),
# -inf and +inf where an element has no bound; the result is a RunResult
# record.

@final
class RunResult(structseq[Any], tuple[int, str, int, int, int, float]):
    __match_args__: Final = ("status", "message", "nfev", "njev", "nit", "fun")
    @property
    def status(self) -> int: ...
    @property
    def message(self) -> str: ...
    @property
    def nfev(self) -> int: ...
    @property
    def njev(self) -> int: ...
    @property
    def nit(self) -> int: ...
    @property
    def fun(self) -> float: ...

_Callback = Callable[[NDArray[np.float64], float], object] | None

def lbfgsb(
    objective: tuple[Any, ...],
    x: NDArray[np.float64],
    bounds: _Bounds,
    options: tuple[int, int, int, int, float, float, float],
    callback: _Callback,
    g: NDArray[np.float64],
    /,
) -> RunResult: ...
def neldermead(
    objective: tuple[Any, ...],
    x: NDArray[np.float64],
    bounds: _Bounds,
    options: tuple[int, int, float, float],
    callback: _Callback,
    /,
) -> RunResult: ...

# fit: options as for lbfgsb (settings[0] == 0) or neldermead (1); settings
# (method, interval_family, errordef, edm_tol); callback must be None.
@final
class FitOutcome(
    structseq[Any],
    tuple[
        int,
        int,
        int,
        int,
        str,
        int,
        int,
        int,
        float,
        int,
        int,
        int,
        int,
        int,
        NDArray[np.float64],
        NDArray[np.float64],
        NDArray[np.float64],
        NDArray[np.float64],
        NDArray[np.float64],
        NDArray[np.float64],
        NDArray[np.bool_],
        float,
        NDArray[np.bool_],
    ],
):
    __match_args__: Final = (
        "state",
        "element",
        "start_problem",
        "status",
        "message",
        "nfev",
        "njev",
        "nit",
        "fun",
        "start_nfev",
        "hessian_nfev",
        "hessian_by_gradient",
        "hessian_state",
        "flat_count",
        "y",
        "grad",
        "hessian",
        "cov_y",
        "cov",
        "se",
        "flat",
        "edm",
        "at_bound",
    )
    @property
    def state(self) -> int: ...
    @property
    def element(self) -> int: ...
    @property
    def start_problem(self) -> int: ...
    @property
    def status(self) -> int: ...
    @property
    def message(self) -> str: ...
    @property
    def nfev(self) -> int: ...
    @property
    def njev(self) -> int: ...
    @property
    def nit(self) -> int: ...
    @property
    def fun(self) -> float: ...
    @property
    def start_nfev(self) -> int: ...
    @property
    def hessian_nfev(self) -> int: ...
    @property
    def hessian_by_gradient(self) -> int: ...
    @property
    def hessian_state(self) -> int: ...
    @property
    def flat_count(self) -> int: ...
    @property
    def y(self) -> NDArray[np.float64]: ...
    @property
    def grad(self) -> NDArray[np.float64]: ...
    @property
    def hessian(self) -> NDArray[np.float64]: ...
    @property
    def cov_y(self) -> NDArray[np.float64]: ...
    @property
    def cov(self) -> NDArray[np.float64]: ...
    @property
    def se(self) -> NDArray[np.float64]: ...
    @property
    def flat(self) -> NDArray[np.bool_]: ...
    @property
    def edm(self) -> float: ...
    @property
    def at_bound(self) -> NDArray[np.bool_]: ...

def fit(
    objective: tuple[Any, ...],
    x: NDArray[np.float64],
    bounds: _Bounds,
    options: tuple[int, int, int, int, float, float, float] | tuple[int, int, float, float],
    callback: None,
    settings: tuple[int, int, float, float],
    /,
) -> FitOutcome: ...

# The codes of a fit's outcome (state), of its Hessian's analysis and of a
# refused start.
FIT_DONE: int
FIT_STOPPED: int
FIT_BAD_START: int
FIT_NOT_FINITE_START: int
FIT_NO_HESSIAN: int
FIT_NO_MEMORY: int
FIT_NOT_RUN: int
HESSIAN_IDENTIFIED: int
HESSIAN_FLAT: int
HESSIAN_NOT_FINITE: int
START_NOT_FINITE: int
START_OUTSIDE: int
START_ON_BOUND: int
START_TOO_WIDE: int
START_TOO_CLOSE: int
START_NOTHING_FREE: int

# profile_ends / profile_values: fit's arguments with x the estimate (read
# only, callback None), then the fit's covariance of y over the free elements
# (flattened), its minimum, and: the rise at an end, its accuracy and the
# elements to profile -> ((n, 2) ends, (n, 2) at_bound, (n, 2) found, nfit);
# or the element and its values (ascending) -> (fun, ok).
def profile_ends(
    objective: tuple[Any, ...],
    x: NDArray[np.float64],
    bounds: _Bounds,
    options: tuple[int, int, int, int, float, float, float] | tuple[int, int, float, float],
    callback: None,
    settings: tuple[int, int, float, float],
    cov_y: NDArray[np.float64],
    fun: float,
    rise: float,
    tol: float,
    which: NDArray[np.int64],
    /,
) -> tuple[NDArray[np.float64], NDArray[np.bool_], NDArray[np.bool_], int]: ...
def profile_values(
    objective: tuple[Any, ...],
    x: NDArray[np.float64],
    bounds: _Bounds,
    options: tuple[int, int, int, int, float, float, float] | tuple[int, int, float, float],
    callback: None,
    settings: tuple[int, int, float, float],
    cov_y: NDArray[np.float64],
    fun: float,
    index: int,
    values: NDArray[np.float64],
    /,
) -> tuple[NDArray[np.float64], NDArray[np.bool_]]: ...

# ---------------------------------------------------------------------------
# Velmora.minimize_many and fit_many. objective is (0, fun, jac, args) or (1,
# address, grad, ctx); x holds the K starts (overwritten with the results);
# bounds is None or (lo, hi) of shape (n,) or (K, n); report(done) is
# called from the calling thread. The result is a RowsResult record of arrays
# of K.

@final
class RowsResult(
    structseq[Any],
    tuple[
        NDArray[np.float64],
        NDArray[np.int64],
        NDArray[np.int64],
        NDArray[np.int64],
        NDArray[np.object_],
    ],
):
    __match_args__: Final = ("fun", "nit", "nfev", "status", "message")
    @property
    def fun(self) -> NDArray[np.float64]: ...
    @property
    def nit(self) -> NDArray[np.int64]: ...
    @property
    def nfev(self) -> NDArray[np.int64]: ...
    @property
    def status(self) -> NDArray[np.int64]: ...
    @property
    def message(self) -> NDArray[np.object_]: ...

_Report = Callable[[int], object] | None

def lbfgsb_many(
    objective: tuple[Any, ...],
    x: NDArray[np.float64],
    data: NDArray[np.float64] | None,
    bounds: _Bounds,
    options: tuple[int, int, int, int, float, float, float],
    workers: int,
    report: _Report,
    /,
) -> RowsResult: ...
def neldermead_many(
    objective: tuple[Any, ...],
    x: NDArray[np.float64],
    data: NDArray[np.float64] | None,
    bounds: _Bounds,
    options: tuple[int, int, float, float],
    workers: int,
    report: _Report,
    /,
) -> RowsResult: ...

# fit_many: settings (method 0 L-BFGS-B or 1 Nelder-Mead, interval family 3 logit
# or 4 probit, errordef, edm_tol); x receives the estimates. The result is a
# FitRows record, or a BadStart record for an unusable start.
@final
class FitRows(
    structseq[Any],
    tuple[
        NDArray[np.int64],
        NDArray[np.int64],
        NDArray[np.object_],
        NDArray[np.int64],
        NDArray[np.int64],
        NDArray[np.int64],
        NDArray[np.float64],
        NDArray[np.int64],
        NDArray[np.float64],
        NDArray[np.float64],
        NDArray[np.float64],
        NDArray[np.bool_],
        NDArray[np.float64],
        NDArray[np.float64],
        NDArray[np.bool_],
    ],
):
    __match_args__: Final = (
        "state",
        "status",
        "message",
        "nfev",
        "njev",
        "nit",
        "fun",
        "hessian_state",
        "se",
        "y",
        "se_y",
        "flat",
        "cov",
        "edm",
        "at_bound",
    )
    @property
    def state(self) -> NDArray[np.int64]: ...
    @property
    def status(self) -> NDArray[np.int64]: ...
    @property
    def message(self) -> NDArray[np.object_]: ...
    @property
    def nfev(self) -> NDArray[np.int64]: ...
    @property
    def njev(self) -> NDArray[np.int64]: ...
    @property
    def nit(self) -> NDArray[np.int64]: ...
    @property
    def fun(self) -> NDArray[np.float64]: ...
    @property
    def hessian_state(self) -> NDArray[np.int64]: ...
    @property
    def se(self) -> NDArray[np.float64]: ...
    @property
    def y(self) -> NDArray[np.float64]: ...
    @property
    def se_y(self) -> NDArray[np.float64]: ...
    @property
    def flat(self) -> NDArray[np.bool_]: ...
    @property
    def cov(self) -> NDArray[np.float64]: ...
    @property
    def edm(self) -> NDArray[np.float64]: ...
    @property
    def at_bound(self) -> NDArray[np.bool_]: ...

@final
class BadStart(structseq[Any], tuple[int, int, int]):
    __match_args__: Final = ("problem", "element", "reason")
    @property
    def problem(self) -> int: ...
    @property
    def element(self) -> int: ...
    @property
    def reason(self) -> int: ...

def fit_many(
    objective: tuple[Any, ...],
    x: NDArray[np.float64],
    data: NDArray[np.float64] | None,
    bounds: _Bounds,
    options: tuple[Any, ...],
    settings: tuple[int, int, float, float],
    workers: int,
    report: _Report,
    /,
) -> FitRows | BadStart: ...

# ---------------------------------------------------------------------------
# Velmora.least_squares and curve_fit. problem is (0, fun, jac, args), (1,
# address, jac, ctx), (2, f, jac, xdata) or (3, address, jac, ctx, xdata);
# bounds is None or (lo, hi); data is None or (y, weight,
# whiten); the result is a SolveResult record. The LM_* and LOSS_* constants
# are the native iteration's outcomes and the robust losses' codes.

@final
class SolveResult(structseq[Any], tuple[int, int, int, int, int, float, int, _F | None, _F | None]):
    __match_args__: Final = (
        "status",
        "nfev",
        "nfev_jac",
        "njev",
        "nit",
        "cost",
        "rank",
        "jac",
        "cov",
    )
    @property
    def status(self) -> int: ...
    @property
    def nfev(self) -> int: ...
    @property
    def nfev_jac(self) -> int: ...
    @property
    def njev(self) -> int: ...
    @property
    def nit(self) -> int: ...
    @property
    def cost(self) -> float: ...
    @property
    def rank(self) -> int: ...
    @property
    def jac(self) -> _F | None: ...
    @property
    def cov(self) -> _F | None: ...

@final
class SolveManyResult(structseq[Any], tuple[_I, _I, _I, _I, _I, _I, _F, _F]):
    __match_args__: Final = ("status", "nfev", "nfev_jac", "njev", "nit", "rank", "cost", "cov")
    @property
    def status(self) -> _I: ...
    @property
    def nfev(self) -> _I: ...
    @property
    def nfev_jac(self) -> _I: ...
    @property
    def njev(self) -> _I: ...
    @property
    def nit(self) -> _I: ...
    @property
    def rank(self) -> _I: ...
    @property
    def cost(self) -> _F: ...
    @property
    def cov(self) -> _F: ...

LM_FTOL: int
LM_XTOL: int
LM_FTOL_XTOL: int
LM_GTOL: int
LM_MAX_NFEV: int
LM_FTOL_TINY: int
LM_XTOL_TINY: int
LM_GTOL_TINY: int
LM_INVALID: int
LM_START_NOT_FINITE: int
LM_JACOBIAN_NOT_FINITE: int
LM_STOPPED: int
LM_NO_MEMORY: int
LM_NOT_OPTIMAL: int
LOSS_LINEAR: int
LOSS_SOFT_L1: int
LOSS_HUBER: int
LOSS_CAUCHY: int
LOSS_ARCTAN: int

def solve(
    problem: tuple[Any, ...],
    x: _F,
    bounds: _Bounds,
    data: tuple[_F, _F | None, _F | None] | None,
    options: tuple[float, float, float, int, bool, float, float, _F | None, bool],
    fvec: _F,
    want: int,
    /,
) -> SolveResult: ...
def qr(a: _F, m: int, n: int, tau: _F, perm: NDArray[np.int64], b: _F, /) -> None: ...
def cholesky(S: _F, L: _F, m: int, /) -> int: ...
def finite(a: object, /) -> bool | None: ...

# solve_many: K curve fits (Velmora.curve_fit_many); x (K, n) receives the
# solutions; the result's arrays have a row per fit, cov (K, n, n).

def solve_many(
    problem: tuple[Any, ...],
    x: _F,
    xrows: int,
    ydata: _F,
    weight: _F | None,
    bounds: _Bounds,
    options: tuple[float, float, float, int, bool, float, float, None, bool],
    want: int,
    workers: int,
    report: Callable[[int], object] | None,
    /,
) -> SolveManyResult: ...
