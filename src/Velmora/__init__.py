"""Velmora: parameter estimation with a native numerical core.

    import Velmora
    result = Velmora.fit(nll, x0, args=(data,), bounds=[(None, None), (0, None)])
    print(result.summary())
    result = Velmora.minimize(fun, x0, jac=grad, bounds=[(0, None), (None, None)])

`fit`, `FitResult`, `IdentifiabilityWarning` and `ConvergenceWarning` come
from `Velmora.estimate`; `minimize`, `OptimizeResult` and `NativeObjective`
from `Velmora.optimize`, the transform ufuncs and `ParameterMap` from
`Velmora.transforms`; all are imported on first use (so `import Velmora` stays light
and `python -m Velmora bench` can configure NumPy before importing it).
"""

from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"
__all__ = ["NativeObjective", "OptimizeResult", "minimize"]
__all__ += ["ConvergenceWarning", "FitResult", "IdentifiabilityWarning", "fit"]

if TYPE_CHECKING:
    from Velmora.optimize import NativeObjective, OptimizeResult, minimize
    from Velmora.estimate import ConvergenceWarning, FitResult, IdentifiabilityWarning, fit

_LAZY = {"minimize": "Velmora.optimize", "OptimizeResult": "Velmora.optimize",
         "NativeObjective": "Velmora.optimize", "optimize": "Velmora.optimize",
         "transforms": "Velmora.transforms"}
_LAZY.update({"fit": "Velmora.estimate", "FitResult": "Velmora.estimate",
              "IdentifiabilityWarning": "Velmora.estimate", "ConvergenceWarning": "Velmora.estimate",
              "estimate": "Velmora.estimate"})


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
