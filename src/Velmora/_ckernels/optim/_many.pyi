# Types of the private module behind Velmora.minimize_many (call that instead).
# objective is (0, fun, jac, args) or (1, address, grad, ctx); x holds the K
# starts (overwritten with the results); bounds is None or (lo, hi, codes) of
# shape (n,) or (K, n); report(done) is called from the calling thread. The
# result is (fun, nit, nfev, status, message), arrays of K.

from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

_Result = tuple[NDArray[np.float64], NDArray[np.int64], NDArray[np.int64], NDArray[np.int64],
                NDArray[np.object_]]
_Bounds = tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.int64]] | None
_Report = Callable[[int], object] | None

def lbfgsb(
    objective: tuple[Any, ...],
    x: NDArray[np.float64],
    data: NDArray[np.float64] | None,
    bounds: _Bounds,
    options: tuple[int, int, int, int, float, float, float],
    workers: int,
    report: _Report,
    /,
) -> _Result: ...
def neldermead(
    objective: tuple[Any, ...],
    x: NDArray[np.float64],
    data: NDArray[np.float64] | None,
    bounds: _Bounds,
    options: tuple[int, int, float, float],
    workers: int,
    report: _Report,
    /,
) -> _Result: ...
