# Types of the private module behind Velmora.sample (call that instead).
# objective and prior are (0, fun, jac, args) with jac True or a callable, or
# (1, address, grad, ctx) with a native gradient; prior may be None. bounds is
# None or (lo, hi) of shape (n,); jitter holds n half-widths on the
# unconstrained scale; settings is (draws, tune, chains, max_depth, metric,
# interval_family, tries, seed, target_accept, max_energy_error); report(transitions,
# divergences) is called from the calling thread; partial keeps the draws of an
# interrupted run.

from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

_Bounds = tuple[NDArray[np.float64], NDArray[np.float64]] | None
_F64 = NDArray[np.float64]

def run(
    objective: tuple[Any, ...],
    prior: tuple[Any, ...] | None,
    x0: _F64,
    bounds: _Bounds,
    jitter: _F64,
    settings: tuple[int, int, int, int, int, int, int, int, float, float],
    workers: int,
    report: Callable[[int, int], object] | None,
    partial: bool,
    /,
) -> tuple[Any, ...]: ...
def diagnostics(draws: _F64, /) -> tuple[_F64, _F64, _F64, _F64, _F64, _F64]: ...
def philox4x32_10(
    counter: tuple[int, int, int, int], key: tuple[int, int], /
) -> tuple[int, int, int, int]: ...

# The codes of a chain's outcome.
CHAIN_DONE: int
CHAIN_STOPPED: int
CHAIN_NO_START: int
CHAIN_NO_STEP: int
