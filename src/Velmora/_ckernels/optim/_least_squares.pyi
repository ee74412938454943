# Types of the private module behind Velmora.least_squares and
# Velmora.curve_fit (call those instead). problem is (0, fun, jac, args),
# (1, address, jac, ctx), (2, f, jac, xdata) or (3, address, jac, ctx, xdata);
# bounds is None or (codes, lower, upper); data is None or (y, weight,
# whiten); the result is (status, nfev, nfev_jac, njev, nit, cost, rank, jac,
# cov).

from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

_F = NDArray[np.float64]
_Result = tuple[int, int, int, int, int, float, int, _F | None, _F | None]

def solve(
    problem: tuple[Any, ...],
    x: _F,
    bounds: tuple[NDArray[np.int64], _F, _F] | None,
    data: tuple[_F, _F | None, _F | None] | None,
    options: tuple[float, float, float, int, bool, float, float, _F | None, bool],
    fvec: _F,
    want: int,
    /,
) -> _Result: ...
def qr(a: _F, m: int, n: int, tau: _F, perm: NDArray[np.int64], b: _F, /) -> None: ...
def cholesky(S: _F, L: _F, m: int, /) -> int: ...
def finite(a: object, /) -> bool | None: ...

# solve_many: K curve fits (Velmora.curve_fit_many); x (K, n) receives the
# solutions; the result is (status, nfev, nfev_jac, njev, nit, rank, cost,
# cov) with cov of shape (K, n, n).
_I = NDArray[np.int64]

def solve_many(
    problem: tuple[Any, ...],
    x: _F,
    xrows: int,
    ydata: _F,
    weight: _F | None,
    bounds: tuple[_I, _F, _F] | None,
    options: tuple[float, float, float, int, bool, float, float, None, bool],
    want: int,
    workers: int,
    report: Callable[[int], object] | None,
    /,
) -> tuple[_I, _I, _I, _I, _I, _I, _F, _F]: ...
