# Types of the private module behind Velmora.minimize and Velmora.fit (call those instead).
# objective is (0, fun, jac, args), (1, address, grad, ctx) or
# (2, name, params); bounds is None or (lo, hi), -inf and +inf where an
# element has no bound; the result is a
# RunResult record.

from collections.abc import Callable
from typing import Any, Final, final

import numpy as np
from _typeshed import structseq
from numpy.typing import NDArray

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

_Bounds = tuple[NDArray[np.float64], NDArray[np.float64]] | None
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
