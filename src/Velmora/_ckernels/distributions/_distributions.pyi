# Types of the normal-quantile module. The two scalar functions return a
# plain Python float (not a NumPy scalar); the array function returns a new
# float64 array shaped like np.ascontiguousarray(p), so a scalar p gives a
# one-element one-dimensional array.

from typing import SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

def ndtri_as241(p: SupportsFloat | SupportsIndex) -> float:
    """Inverse standard-normal CDF (probit). ``-inf`` at 0, ``+inf`` at 1."""

def erfinv_from_as241(y: SupportsFloat | SupportsIndex) -> float:
    """Inverse error function, ``erfinv(y) = ndtri(0.5*(y+1)/sqrt(2))``."""

def ndtri_as241_into(p: ArrayLike) -> NDArray[np.float64]:
    """Elementwise ndtri; returns a new float64 array shaped like ``p``."""
