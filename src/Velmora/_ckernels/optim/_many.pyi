# Types of the private module behind Velmora.minimize_many (call that instead).
# objective is (0, fun, jac, args) or (1, address, grad, ctx); x holds the K
# starts (overwritten with the results); bounds is None or (lo, hi) of
# shape (n,) or (K, n); report(done) is called from the calling thread. The
# result is a RowsResult record of arrays of K.

from collections.abc import Callable
from typing import Any, Final, final

import numpy as np
from _typeshed import structseq
from numpy.typing import NDArray

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

_Bounds = tuple[NDArray[np.float64], NDArray[np.float64]] | None
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
) -> RowsResult: ...
def neldermead(
    objective: tuple[Any, ...],
    x: NDArray[np.float64],
    data: NDArray[np.float64] | None,
    bounds: _Bounds,
    options: tuple[int, int, float, float],
    workers: int,
    report: _Report,
    /,
) -> RowsResult: ...

# fit: settings (method 0 L-BFGS-B or 1 Nelder-Mead, interval family 3 logit
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

def fit(
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
