# Types of the private module behind Velmora.minimize and Velmora.fit (call those instead).
# objective is (0, fun, jac, args), (1, address, grad, ctx) or
# (2, name, params); bounds is None or (lo, hi, codes); the result is
# (status, message, nfev, njev, nit, fun).

from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

_Result = tuple[int, str, int, int, int, float]
_Bounds = tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.int64]] | None
_Callback = Callable[[NDArray[np.float64], float], object] | None

def lbfgsb(
    objective: tuple[Any, ...],
    x: NDArray[np.float64],
    bounds: _Bounds,
    options: tuple[int, int, int, int, float, float, float],
    callback: _Callback,
    g: NDArray[np.float64],
    /,
) -> _Result: ...
def neldermead(
    objective: tuple[Any, ...],
    x: NDArray[np.float64],
    bounds: _Bounds,
    options: tuple[int, int, float, float],
    callback: _Callback,
    /,
) -> _Result: ...

# fit: options as for lbfgsb (settings[0] == 0) or neldermead (1); settings
# (method, interval_family, errordef); callback must be None. The result is
# (state, index, start_problem, status, message, nfev, njev, nit, fun,
# start_nfev, hessian_nfev, hessian_by_gradient, hessian_state, flat_count, y,
# grad, hessian, cov_y, cov, se, flat).
_FitResult = tuple[
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
]

def fit(
    objective: tuple[Any, ...],
    x: NDArray[np.float64],
    bounds: _Bounds,
    options: tuple[int, int, int, int, float, float, float] | tuple[int, int, float, float],
    callback: None,
    settings: tuple[int, int, float, float],
    /,
) -> _FitResult: ...

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
