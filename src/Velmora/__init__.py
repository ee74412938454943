"""Velmora: parameter estimation with a native numerical core.

    import Velmora
    result = Velmora.minimize(fun, x0, jac=grad, bounds=[(0, None), (None, None)])

`minimize`, `OptimizeResult` and `NativeObjective` come from
`Velmora.optimize`, `minimize_many` and `ManyResult` from `Velmora.many`
(Dask helpers in `Velmora.dask`), the transform ufuncs and `ParameterMap`
from `Velmora.transforms`; all are imported on first use (so `import Velmora`
stays light and `python -m Velmora bench` can configure NumPy before
importing it).
"""

from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"
__all__ = ["ManyResult", "NativeObjective", "OptimizeResult", "minimize", "minimize_many"]

if TYPE_CHECKING:
    from Velmora.many import ManyResult, minimize_many
    from Velmora.optimize import NativeObjective, OptimizeResult, minimize

_LAZY = {"minimize": "Velmora.optimize", "OptimizeResult": "Velmora.optimize",
         "NativeObjective": "Velmora.optimize", "optimize": "Velmora.optimize",
         "transforms": "Velmora.transforms",
         "minimize_many": "Velmora.many", "ManyResult": "Velmora.many", "many": "Velmora.many",
         "dask": "Velmora.dask"}


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
