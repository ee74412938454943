# Types of the transform ufuncs. Each is a numpy.ufunc with one float64
# loop; the protocols below describe its calls: numbers give numpy.float64,
# arrays, lists and tuples give NDArray[numpy.float64] (except a
# zero-dimensional array, which NumPy turns into a numpy.float64 at run time),
# an `out` array is returned as it is, and any other object (a Dask array, an
# xarray DataArray: the __array_ufunc__ protocol) gives Any. The inputs are
# positional, as for every ufunc; the options are keywords.
# mypy: disable-error-code="overload-overlap"

from typing import Any, Literal, Protocol, TypeAlias, TypeVar, final, overload

import numpy as np
from numpy.typing import ArrayLike, DTypeLike, NDArray

__all__ = [
    "aff_logit_fwd",
    "aff_logit_grad_fwd",
    "aff_logit_grad_inv",
    "aff_logit_grad_ldet_abs_jac_inv",
    "aff_logit_inv",
    "aff_logit_ldet_abs_jac_fwd",
    "aff_logit_ldet_abs_jac_inv",
    "aff_probit_fwd",
    "aff_probit_grad_fwd",
    "aff_probit_grad_inv",
    "aff_probit_grad_ldet_abs_jac_inv",
    "aff_probit_inv",
    "aff_probit_ldet_abs_jac_fwd",
    "aff_probit_ldet_abs_jac_inv",
    "log_fwd",
    "log_grad_fwd",
    "log_grad_inv",
    "log_grad_ldet_abs_jac_inv",
    "log_inv",
    "log_ldet_abs_jac_fwd",
    "log_ldet_abs_jac_inv",
    "logit_fwd",
    "logit_grad_fwd",
    "logit_grad_inv",
    "logit_grad_ldet_abs_jac_inv",
    "logit_inv",
    "logit_ldet_abs_jac_fwd",
    "logit_ldet_abs_jac_inv",
    "lower_fwd",
    "lower_grad_fwd",
    "lower_grad_inv",
    "lower_grad_ldet_abs_jac_inv",
    "lower_inv",
    "lower_ldet_abs_jac_fwd",
    "lower_ldet_abs_jac_inv",
    "probit_fwd",
    "probit_grad_fwd",
    "probit_grad_inv",
    "probit_grad_ldet_abs_jac_inv",
    "probit_inv",
    "probit_ldet_abs_jac_fwd",
    "probit_ldet_abs_jac_inv",
    "softplus_fwd",
    "softplus_grad_fwd",
    "softplus_grad_inv",
    "softplus_grad_ldet_abs_jac_inv",
    "softplus_inv",
    "softplus_ldet_abs_jac_fwd",
    "softplus_ldet_abs_jac_inv",
    "tanh_fwd",
    "tanh_grad_fwd",
    "tanh_grad_inv",
    "tanh_grad_ldet_abs_jac_inv",
    "tanh_inv",
    "tanh_ldet_abs_jac_fwd",
    "tanh_ldet_abs_jac_inv",
    "upper_fwd",
    "upper_grad_fwd",
    "upper_grad_inv",
    "upper_grad_ldet_abs_jac_inv",
    "upper_inv",
    "upper_ldet_abs_jac_fwd",
    "upper_ldet_abs_jac_inv",
]

_Number: TypeAlias = float | int | np.floating[Any] | np.integer[Any] | np.bool_
_ArrayIn: TypeAlias = NDArray[Any] | list[Any] | tuple[Any, ...]
_Out = TypeVar("_Out", bound=NDArray[Any])
_OutArg: TypeAlias = NDArray[Any] | tuple[Any, ...] | None
_Casting: TypeAlias = Literal["no", "equiv", "safe", "same_kind", "unsafe"]
_Order: TypeAlias = Literal["K", "A", "C", "F"]

class _TransformUFunc(Protocol):
    @property
    def __name__(self) -> str: ...
    @property
    def __doc__(self) -> str: ...  # type: ignore[override]
    @property
    def nin(self) -> int: ...
    @property
    def nout(self) -> Literal[1]: ...
    @property
    def nargs(self) -> int: ...
    @property
    def ntypes(self) -> Literal[1]: ...
    @property
    def types(self) -> list[str]: ...
    @property
    def identity(self) -> None: ...
    @property
    def signature(self) -> None: ...
    def outer(self, *args: Any, **kwargs: Any) -> Any: ...
    def at(self, *args: Any, **kwargs: Any) -> None: ...
    def reduce(self, *args: Any, **kwargs: Any) -> Any: ...
    def accumulate(self, *args: Any, **kwargs: Any) -> Any: ...
    def reduceat(self, *args: Any, **kwargs: Any) -> Any: ...

class _Transform1(_TransformUFunc, Protocol):
    @overload
    def __call__(
        self,
        x: _Number,
        /,
        out: None = None,
        *,
        where: ArrayLike = True,
        casting: _Casting = "same_kind",
        order: _Order = "K",
        dtype: DTypeLike | None = None,
        subok: bool = True,
        signature: Any = None,
    ) -> np.float64: ...
    @overload
    def __call__(
        self,
        x: _ArrayIn | _Number,
        /,
        out: None = None,
        *,
        where: ArrayLike = True,
        casting: _Casting = "same_kind",
        order: _Order = "K",
        dtype: DTypeLike | None = None,
        subok: bool = True,
        signature: Any = None,
    ) -> NDArray[np.float64]: ...
    @overload
    def __call__(
        self,
        x: ArrayLike,
        /,
        out: _Out,
        *,
        where: ArrayLike = True,
        casting: _Casting = "same_kind",
        order: _Order = "K",
        dtype: DTypeLike | None = None,
        subok: bool = True,
        signature: Any = None,
    ) -> _Out: ...
    @overload
    def __call__(
        self,
        *args: Any,
        out: _OutArg = None,
        where: Any = True,
        casting: _Casting = "same_kind",
        order: _Order = "K",
        dtype: DTypeLike | None = None,
        subok: bool = True,
        signature: Any = None,
    ) -> Any: ...

class _Transform2(_TransformUFunc, Protocol):
    @overload
    def __call__(
        self,
        x: _Number,
        bound: _Number,
        /,
        out: None = None,
        *,
        where: ArrayLike = True,
        casting: _Casting = "same_kind",
        order: _Order = "K",
        dtype: DTypeLike | None = None,
        subok: bool = True,
        signature: Any = None,
    ) -> np.float64: ...
    @overload
    def __call__(
        self,
        x: _ArrayIn | _Number,
        bound: _ArrayIn | _Number,
        /,
        out: None = None,
        *,
        where: ArrayLike = True,
        casting: _Casting = "same_kind",
        order: _Order = "K",
        dtype: DTypeLike | None = None,
        subok: bool = True,
        signature: Any = None,
    ) -> NDArray[np.float64]: ...
    @overload
    def __call__(
        self,
        x: ArrayLike,
        bound: ArrayLike,
        /,
        out: _Out,
        *,
        where: ArrayLike = True,
        casting: _Casting = "same_kind",
        order: _Order = "K",
        dtype: DTypeLike | None = None,
        subok: bool = True,
        signature: Any = None,
    ) -> _Out: ...
    @overload
    def __call__(
        self,
        *args: Any,
        out: _OutArg = None,
        where: Any = True,
        casting: _Casting = "same_kind",
        order: _Order = "K",
        dtype: DTypeLike | None = None,
        subok: bool = True,
        signature: Any = None,
    ) -> Any: ...

class _Transform3(_TransformUFunc, Protocol):
    @overload
    def __call__(
        self,
        x: _Number,
        low: _Number,
        high: _Number,
        /,
        out: None = None,
        *,
        where: ArrayLike = True,
        casting: _Casting = "same_kind",
        order: _Order = "K",
        dtype: DTypeLike | None = None,
        subok: bool = True,
        signature: Any = None,
    ) -> np.float64: ...
    @overload
    def __call__(
        self,
        x: _ArrayIn | _Number,
        low: _ArrayIn | _Number,
        high: _ArrayIn | _Number,
        /,
        out: None = None,
        *,
        where: ArrayLike = True,
        casting: _Casting = "same_kind",
        order: _Order = "K",
        dtype: DTypeLike | None = None,
        subok: bool = True,
        signature: Any = None,
    ) -> NDArray[np.float64]: ...
    @overload
    def __call__(
        self,
        x: ArrayLike,
        low: ArrayLike,
        high: ArrayLike,
        /,
        out: _Out,
        *,
        where: ArrayLike = True,
        casting: _Casting = "same_kind",
        order: _Order = "K",
        dtype: DTypeLike | None = None,
        subok: bool = True,
        signature: Any = None,
    ) -> _Out: ...
    @overload
    def __call__(
        self,
        *args: Any,
        out: _OutArg = None,
        where: Any = True,
        casting: _Casting = "same_kind",
        order: _Order = "K",
        dtype: DTypeLike | None = None,
        subok: bool = True,
        signature: Any = None,
    ) -> Any: ...

@final
class ParameterPlan:
    """The native side of Velmora.transforms.ParameterMap."""
    def __new__(cls, families: ArrayLike, low: ArrayLike, high: ArrayLike) -> ParameterPlan: ...
    @property
    def n(self) -> int: ...
    def to_unconstrained(self, x: ArrayLike, /) -> NDArray[np.float64]: ...
    def to_constrained(self, y: ArrayLike, /) -> NDArray[np.float64]: ...
    def constrained_grad(self, y: ArrayLike, /) -> NDArray[np.float64]: ...
    def log_abs_det_jacobian(self, y: ArrayLike, /) -> float | NDArray[np.float64]: ...
    def log_abs_det_jacobian_grad(self, y: ArrayLike, /) -> NDArray[np.float64]: ...
    def pullback(self, y: ArrayLike, grad_x: ArrayLike, /) -> NDArray[np.float64]: ...

# log
log_fwd: _Transform1
log_inv: _Transform1
log_grad_fwd: _Transform1
log_grad_inv: _Transform1
log_ldet_abs_jac_fwd: _Transform1
log_ldet_abs_jac_inv: _Transform1
log_grad_ldet_abs_jac_inv: _Transform1
# logit
logit_fwd: _Transform1
logit_inv: _Transform1
logit_grad_fwd: _Transform1
logit_grad_inv: _Transform1
logit_ldet_abs_jac_fwd: _Transform1
logit_ldet_abs_jac_inv: _Transform1
logit_grad_ldet_abs_jac_inv: _Transform1
# probit
probit_fwd: _Transform1
probit_inv: _Transform1
probit_grad_fwd: _Transform1
probit_grad_inv: _Transform1
probit_ldet_abs_jac_fwd: _Transform1
probit_ldet_abs_jac_inv: _Transform1
probit_grad_ldet_abs_jac_inv: _Transform1
# aff_logit
aff_logit_fwd: _Transform3
aff_logit_inv: _Transform3
aff_logit_grad_fwd: _Transform3
aff_logit_grad_inv: _Transform3
aff_logit_ldet_abs_jac_fwd: _Transform3
aff_logit_ldet_abs_jac_inv: _Transform3
aff_logit_grad_ldet_abs_jac_inv: _Transform1
# aff_probit
aff_probit_fwd: _Transform3
aff_probit_inv: _Transform3
aff_probit_grad_fwd: _Transform3
aff_probit_grad_inv: _Transform3
aff_probit_ldet_abs_jac_fwd: _Transform3
aff_probit_ldet_abs_jac_inv: _Transform3
aff_probit_grad_ldet_abs_jac_inv: _Transform1
# softplus
softplus_fwd: _Transform1
softplus_inv: _Transform1
softplus_grad_fwd: _Transform1
softplus_grad_inv: _Transform1
softplus_ldet_abs_jac_fwd: _Transform1
softplus_ldet_abs_jac_inv: _Transform1
softplus_grad_ldet_abs_jac_inv: _Transform1
# lower
lower_fwd: _Transform2
lower_inv: _Transform2
lower_grad_fwd: _Transform2
lower_grad_inv: _Transform1
lower_ldet_abs_jac_fwd: _Transform2
lower_ldet_abs_jac_inv: _Transform1
lower_grad_ldet_abs_jac_inv: _Transform1
# upper
upper_fwd: _Transform2
upper_inv: _Transform2
upper_grad_fwd: _Transform2
upper_grad_inv: _Transform1
upper_ldet_abs_jac_fwd: _Transform2
upper_ldet_abs_jac_inv: _Transform1
upper_grad_ldet_abs_jac_inv: _Transform1
# tanh
tanh_fwd: _Transform1
tanh_inv: _Transform1
tanh_grad_fwd: _Transform1
tanh_grad_inv: _Transform1
tanh_ldet_abs_jac_fwd: _Transform1
tanh_ldet_abs_jac_inv: _Transform1
tanh_grad_ldet_abs_jac_inv: _Transform1
