# Types of the private module behind Velmora.least_squares and
# Velmora.curve_fit (call those instead). problem is (0, fun, jac, args),
# (1, address, jac, ctx), (2, f, jac, xdata) or (3, address, jac, ctx, xdata);
# bounds is None or (lo, hi); data is None or (y, weight,
# whiten); the result is a SolveResult record. The LM_* and LOSS_* constants
# are the native iteration's outcomes and the robust losses' codes.

from collections.abc import Callable
from typing import Any, Final, final

import numpy as np
from _typeshed import structseq
from numpy.typing import NDArray

_F = NDArray[np.float64]
_I = NDArray[np.int64]

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
    bounds: tuple[_F, _F] | None,
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
    bounds: tuple[_F, _F] | None,
    options: tuple[float, float, float, int, bool, float, float, None, bool],
    want: int,
    workers: int,
    report: Callable[[int], object] | None,
    /,
) -> SolveManyResult: ...
