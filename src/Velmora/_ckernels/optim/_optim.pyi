# Types of the optimizer module. Both minimizers take the objective by name,
# the start as a float64 array (copied, never written) and optional bounds,
# and return a plain dict whose keys and value types MinimizerResult states.
# MinimizerResult exists only for type checkers: import it under
# `if TYPE_CHECKING:` (or with `from __future__ import annotations`).

from collections.abc import Sequence
from typing import Literal, SupportsFloat, SupportsIndex, SupportsInt, TypeAlias, TypedDict

import numpy as np
from numpy.typing import ArrayLike, NDArray

# The four built-in objectives, spelled out for editors. Any other str passes
# the argument check and is then refused with ValueError, so the parameter
# stays a str (a name held in a str variable is fine). None passes the
# argument check too but is never a known name: such a call always raises
# ValueError, so None is left out and a checker reports it.
_Objective: TypeAlias = Literal["rosenbrock", "quad", "double_well", "rosen_halfplane"] | str

# One side of a bound: None for a missing side, otherwise a number converted
# by the interpreter's float conversion (strings are not parsed).
_Side: TypeAlias = SupportsFloat | SupportsIndex | None
# bounds[i] for each of the n variables: a (lower, upper) pair. Lists of two
# sides are accepted as well; their length is checked only at run time.
_Bounds: TypeAlias = Sequence[tuple[_Side, _Side] | list[_Side]]

# Integer options go through __int__ (a float truncates toward zero) or
# __index__ and must fit a C int; real options through the float conversion.
_Int: TypeAlias = SupportsInt | SupportsIndex
_Real: TypeAlias = SupportsFloat | SupportsIndex

class MinimizerResult(TypedDict):
    """The dict both minimizers return, mirroring the native result record."""

    x: NDArray[np.float64]
    fun: float
    nfev: int
    nit: int
    success: bool
    status: int
    message: str

def run_lbfgsb(
    objective: _Objective,
    x0: NDArray[np.float64],
    bounds: _Bounds | None = None,
    params: ArrayLike | None = None,
    m: _Int = 10,
    maxiter: _Int = 15000,
    maxfun: _Int = 15000,
    maxls: _Int = 20,
    factr: _Real = 10000000.0,
    pgtol: _Real = 1e-05,
    fd_step: _Real = 0.0,
) -> MinimizerResult:
    """Minimize a built-in objective with bound-constrained L-BFGS-B and
    forward-difference gradients.

    objective: "rosenbrock", "quad", "double_well" or "rosen_halfplane".
    x0: C-contiguous, writable, one-dimensional float64 array (not modified).
    bounds: None, or one (lower, upper) pair per variable, None for a missing side.
    params: for "quad" only, at least 2*n values: the n weights, then the
        n centre coordinates.
    m: correction pairs kept. maxiter, maxfun: iteration and evaluation limits
        (<= 0: none). maxls: evaluations per line search. factr: relative
        reduction tolerance in units of machine epsilon. pgtol: projected-gradient
        tolerance. fd_step: > 0 an absolute difference step, else a relative one.

    Returns a dict mirroring the native result record: x (new array, the final
    point), fun, nfev, nit, success, status (4 converged, 5 limit reached,
    7 invalid input (also crossed or NaN bounds, or a difference step that
    cannot move x), 8 line search failed, -2 objective -inf (unbounded below),
    -3 gradient not formed at the final point) and message.
    """

def run_neldermead(
    objective: _Objective,
    x0: NDArray[np.float64],
    bounds: _Bounds | None = None,
    params: ArrayLike | None = None,
    maxiter: _Int = 0,
    maxfun: _Int = 0,
    xatol: _Real = 0.0001,
    fatol: _Real = 0.0001,
) -> MinimizerResult:
    """Minimize a built-in objective with the Nelder-Mead simplex method; trial
    points are clipped into the bounds.

    objective: "rosenbrock", "quad", "double_well" or "rosen_halfplane".
    x0: C-contiguous, writable, one-dimensional float64 array (not modified).
    bounds: None, or one (lower, upper) pair per variable, None for a missing side;
        a NaN bound or a lower bound above the upper one raises ValueError.
    params: for "quad" only, at least 2*n values: the n weights, then the
        n centre coordinates.
    maxiter, maxfun: iteration and evaluation limits; 0 (or less) means 200*n.
    xatol, fatol: absolute tolerances on the spread of the vertices and of
        their values; both must be met.

    Returns a dict mirroring the native result record: x (new array, the best
    vertex), fun, nfev, nit, success, status (0 converged, 1 evaluation limit,
    2 iteration limit, -2 empty x0) and message.
    """
