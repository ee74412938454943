"""The package's warning classes, in one place so that every module warns
with the same ones and users filter them by class:

    VelmoraWarning
     +-- OptimizeWarning            a result is not fully determined (SciPy's name)
     |    +-- IdentifiabilityWarning  parameters the data do not identify
     +-- ConvergenceWarning         the minimization did not report success
     +-- BoundaryWarning            estimates on or near a bound of their parameters
 +-- SamplingWarning            the sampler's draws may not represent the posterior
"""

from __future__ import annotations

__all__ = [
    "BoundaryWarning",
    "ConvergenceWarning",
    "IdentifiabilityWarning",
    "OptimizeWarning",
    "SamplingWarning",
    "VelmoraWarning",
]


class VelmoraWarning(UserWarning):
    """Base class of the warnings Velmora issues."""


class OptimizeWarning(VelmoraWarning):
    """A fit finished but a result is not fully determined: for example the
    covariance of the parameters could not be estimated (SciPy's
    `OptimizeWarning` says the same)."""


class IdentifiabilityWarning(OptimizeWarning):
    """The Hessian at the estimate does not identify some parameters: a flat
    direction (parameters that enter the objective only through a combination,
    or an estimate at the edge of identifiability), a curvature that is not
    positive, or a Hessian that could not be formed. Their standard errors,
    covariances and intervals are NaN; the message names them."""


class ConvergenceWarning(VelmoraWarning):
    """The minimization behind `fit` did not report success, or its end point
    could not be certified as the minimum (the estimated distance to the
    minimum, EDM, stayed above its tolerance): the estimate is the last point
    reached, and its standard errors are those of the Hessian there."""


class BoundaryWarning(VelmoraWarning):
    """Estimates lie on a bound of their parameters (the likelihood still
    rises towards it) or within one standard error of one: the Wald
    interval, which assumes a quadratic maximum inside the parameter space,
    is not reliable for them. The message names them; an estimate on its
    bound has no standard error."""


class SamplingWarning(VelmoraWarning):
    """`sample` finished, but its diagnostics say the draws may not represent
    the posterior: divergent transitions, R-hat above 1.01, fewer than 100
    effective draws per chain, or trajectories cut at max_treedepth. The
    message names the problem and the parameters."""
