# Types of the private module behind Velmora.minimize (call that instead).
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
