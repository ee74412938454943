"""The package's warning classes, in one place so that every module warns
with the same ones and users filter them by class."""

from __future__ import annotations

__all__ = ["OptimizeWarning", "VelmoraWarning"]


class VelmoraWarning(UserWarning):
    """Base class of the warnings Velmora issues."""


class OptimizeWarning(VelmoraWarning):
    """A fit finished but a result is not fully determined: for example the
    covariance of the parameters could not be estimated (SciPy's
    `OptimizeWarning` says the same)."""
