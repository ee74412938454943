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
]

def fit(
    objective: tuple[Any, ...],
    x: NDArray[np.float64],
    bounds: _Bounds,
    options: tuple[int, int, int, int, float, float, float] | tuple[int, int, float, float],
    callback: None,
    settings: tuple[int, int, float],
    /,
) -> _FitResult: ...

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
    settings: tuple[int, int, float],
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
    settings: tuple[int, int, float],
    cov_y: NDArray[np.float64],
    fun: float,
    index: int,
    values: NDArray[np.float64],
    /,
) -> tuple[NDArray[np.float64], NDArray[np.bool_]]: ...
