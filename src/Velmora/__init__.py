"""Velmora: parameter estimation with a native numerical core.

    import Velmora
    result = Velmora.minimize(fun, x0, jac=grad, bounds=[(0, None), (None, None)])

`minimize`, `OptimizeResult` and `NativeObjective` come from
`Velmora.optimize`, imported on first use (so `import Velmora` stays light
and `python -m Velmora bench` can configure NumPy before importing it).
"""

from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"
__all__ = ["NativeObjective", "OptimizeResult", "minimize"]

if TYPE_CHECKING:
    from Velmora.optimize import NativeObjective, OptimizeResult, minimize

_LAZY = {"minimize": "Velmora.optimize", "OptimizeResult": "Velmora.optimize",
         "NativeObjective": "Velmora.optimize"}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        import importlib

        value = getattr(importlib.import_module(_LAZY[name]), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'Velmora' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))
