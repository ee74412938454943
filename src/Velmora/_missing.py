"""Missing samples and cubes of data for `curve_fit_many`.

A sample that is masked, or not finite under nan_policy="omit", is dropped
from its row by giving it weight 0 (its value replaced by 0, so that it
contributes neither residual nor Jacobian row): every row keeps the same
length and the whole batch stays one native call. What depends on a row's
count of samples m_k -- the residual variance 2 cost / (m_k - n) that scales
its covariance, and whether it has enough samples at all -- is put right
afterwards. ydata of any leading shape (..., m) runs as K = prod(...) rows;
the results take the leading shape back.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

NAN_POLICIES = (None, "propagate", "raise", "omit")


def check_policy(nan_policy: object) -> None:
    if nan_policy not in NAN_POLICIES:
        raise ValueError(
            f"nan_policy must be None, 'propagate', 'raise' or 'omit', got {nan_policy!r}"
        )


def flatten(
    ydata: Any, mask: Any, nan_policy: object
) -> tuple[np.ndarray, np.ndarray | None, tuple[int, ...]]:
    """(y as (K, m), the samples kept (K, m) or None for all, the leading shape)."""
    check_policy(nan_policy)
    if isinstance(ydata, np.ma.MaskedArray):
        extra = np.ma.getmaskarray(ydata)
        mask = extra if mask is None else (np.asarray(mask, dtype=bool) | extra)
        ydata = ydata.data
    y = np.asarray(ydata)
    if y.dtype.kind not in "biuf":
        raise ValueError(f"ydata must hold real numbers, got dtype {y.dtype}")
    y = np.array(y, dtype=np.float64)  # a copy: the omitted samples are overwritten
    if y.ndim < 2 or y.shape[-1] == 0:
        raise ValueError(
            f"ydata must have shape (K, m), or (..., m) for a cube, with m >= 1; got shape {y.shape}"
        )
    leading = y.shape[:-1]
    y = y.reshape(-1, y.shape[-1])
    keep = None
    if mask is not None:
        try:
            masked = np.broadcast_to(np.asarray(mask, dtype=bool), leading + y.shape[-1:])
        except ValueError:
            raise ValueError(
                f"mask of shape {np.shape(mask)} does not match ydata of shape {leading + y.shape[-1:]}"
            ) from None
        keep = ~masked.reshape(y.shape)
    finite = np.isfinite(y)
    if nan_policy == "raise" and not finite[keep if keep is not None else ...].all():
        raise ValueError("ydata holds NaN or infinite values (nan_policy='raise')")
    if nan_policy == "omit":
        keep = finite if keep is None else keep & finite
    if keep is not None:
        y[~keep] = 0.0
    return y, keep, leading


def rows(a: Any, leading: tuple[int, ...], name: str) -> Any:
    """An argument shaped (*leading, k) as (K, k); others as given."""
    if isinstance(a, np.ndarray) and a.ndim == len(leading) + 1 and a.shape[:-1] == leading:
        return a.reshape(-1, a.shape[-1])
    return a


def weights(
    weight: np.ndarray | None, keep: np.ndarray | None, shape: tuple[int, int]
) -> np.ndarray | None:
    """The weights with 0 for the samples left out."""
    if keep is None:
        return weight
    w = np.empty(shape)
    w[...] = 1.0 if weight is None else weight
    w[~keep] = 0.0
    return w


def correct(result: Any, keep: np.ndarray | None, n: int, absolute_sigma: bool) -> None:
    """Rescale each row's covariance to its own sample count and report the
    rows with too few samples as failed."""
    if keep is None:
        return
    m = keep.shape[1]
    counts = keep.sum(axis=1)
    if not absolute_sigma and m > n:
        with np.errstate(divide="ignore", invalid="ignore"):
            result.cov *= ((m - n) / (counts - n))[:, None, None]
        result.cov[counts <= n] = math.inf
    elif not absolute_sigma:
        result.cov[counts <= n] = math.inf
    few = counts < n
    if few.any():
        result.x[few] = np.nan
        result.se[few] = np.nan
        result.cov[few] = np.nan
        result.success[few] = False
        message = result.message
        for k in np.flatnonzero(few):
            message[k] = f"too few samples: {counts[k]} kept for {n} parameters"
    with np.errstate(invalid="ignore"):
        result.se[...] = np.sqrt(np.diagonal(result.cov, axis1=1, axis2=2))


def reshape(result: Any, leading: tuple[int, ...]) -> None:
    """Give every per-problem array of the result the leading shape."""
    K = int(np.prod(leading))
    for key in result.keys():
        value = getattr(result, key)
        if isinstance(value, np.ndarray) and value.ndim >= 1 and value.shape[0] == K:
            setattr(result, key, value.reshape(leading + value.shape[1:]))
