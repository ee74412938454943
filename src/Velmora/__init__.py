"""Velmora: parameter estimation with a native numerical core.

    import Velmora
    result = Velmora.fit(nll, x0, args=(data,), bounds=[(None, None), (0, None)])
    print(result.summary())
    result = Velmora.minimize(fun, x0, jac=grad, bounds=[(0, None), (None, None)])

`fit` and `FitResult` come from `Velmora.estimate`; `minimize`,
`OptimizeResult` and `NativeObjective` from `Velmora.optimize`;
`minimize_many` and `ManyResult` from `Velmora.many_minimize`, `fit_many`,
`FitManyResult`, `CurveFitManyResult` and `curve_fit_many` from `Velmora.many_fits` (Dask helpers
in `Velmora.dask`); `fit_distribution` and `Likelihood` from
`Velmora.likelihoods`; `sample` and `SampleResult` from `Velmora.sampling`;
`least_squares`, `curve_fit`, `NativeResiduals` and `NativeModel` from
`Velmora.least_squares_fits`; the transform ufuncs and `ParameterMap`
from `Velmora.transforms`; the warning classes from `Velmora._warnings`.
All are imported on first use, so that `import Velmora` stays light.
"""

from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"
__all__ = [
    "BoundaryWarning",
    "ConvergenceWarning",
    "CurveFitManyResult",
    "CurveFitResult",
    "FitManyResult",
    "FitResult",
    "IdentifiabilityWarning",
    "Likelihood",
    "ManyResult",
    "NativeModel",
    "NativeObjective",
    "NativeResiduals",
    "OptimizeResult",
    "OptimizeWarning",
    "SampleResult",
    "SamplingWarning",
    "VelmoraWarning",
    "curve_fit",
    "curve_fit_many",
    "fit",
    "fit_distribution",
    "fit_curve",
    "fit_many",
    "least_squares",
    "minimize",
    "minimize_many",
    "sample",
]

if TYPE_CHECKING:
    from Velmora._warnings import (
        BoundaryWarning,
        ConvergenceWarning,
        IdentifiabilityWarning,
        OptimizeWarning,
        SamplingWarning,
        VelmoraWarning,
    )
    from Velmora.estimate import FitResult, fit
    from Velmora.least_squares_fits import NativeModel, NativeResiduals, curve_fit, least_squares
    from Velmora.likelihoods import Likelihood, fit_distribution
    from Velmora.many_fits import CurveFitManyResult, FitManyResult, curve_fit_many, fit_many
    from Velmora.many_minimize import ManyResult, minimize_many
    from Velmora.optimize import NativeObjective, OptimizeResult, minimize
    from Velmora.report import CurveFitResult, fit_curve
    from Velmora.sampling import SampleResult, sample

_LAZY = {
    "minimize": "Velmora.optimize",
    "OptimizeResult": "Velmora.optimize",
    "NativeObjective": "Velmora.optimize",
    "optimize": "Velmora.optimize",
    "transforms": "Velmora.transforms",
    # least squares
    "least_squares": "Velmora.least_squares_fits",
    "curve_fit": "Velmora.least_squares_fits",
    "NativeResiduals": "Velmora.least_squares_fits",
    "NativeModel": "Velmora.least_squares_fits",
    "OptimizeWarning": "Velmora._warnings",
    # estimates with standard errors
    "fit": "Velmora.estimate",
    "FitResult": "Velmora.estimate",
    "IdentifiabilityWarning": "Velmora._warnings",
    "ConvergenceWarning": "Velmora._warnings",
    "BoundaryWarning": "Velmora._warnings",
    "VelmoraWarning": "Velmora._warnings",
    "estimate": "Velmora.estimate",
    # many problems at once
    "minimize_many": "Velmora.many_minimize",
    "ManyResult": "Velmora.many_minimize",
    "many_minimize": "Velmora.many_minimize",
    "fit_many": "Velmora.many_fits",
    "curve_fit_many": "Velmora.many_fits",
    "FitManyResult": "Velmora.many_fits",
    "CurveFitManyResult": "Velmora.many_fits",
    "many_fits": "Velmora.many_fits",
    "dask": "Velmora.dask",
    # ready-made likelihoods
    "fit_distribution": "Velmora.likelihoods",
    "Likelihood": "Velmora.likelihoods",
    "likelihoods": "Velmora.likelihoods",
    # posterior draws
    "sample": "Velmora.sampling",
    "SampleResult": "Velmora.sampling",
    "SamplingWarning": "Velmora._warnings",
    # after the fit: reports, bands, profiles, plots
    "fit_curve": "Velmora.report",
    "CurveFitResult": "Velmora.report",
    "report": "Velmora.report",
    "profile": "Velmora.profile",
    "plot": "Velmora.plot",
}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        import importlib

        module = importlib.import_module(_LAZY[name])
        value = module if module.__name__ == f"{__name__}.{name}" else getattr(module, name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'Velmora' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))
