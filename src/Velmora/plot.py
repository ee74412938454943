"""Plots of fits: data with the fitted curve, its band and the residuals; a
distribution against the histogram, the empirical CDF and a probability
plot; profiles with their interval; confidence contours; a parameter map of
many fits over a grid.

matplotlib is imported on first use (``pip install 'Velmora[plot]'``). Each
function draws on new axes unless given `ax`, and returns the matplotlib
objects it made (the figure and a dict of axes and artists), so a caller can
restyle or save them.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

__all__ = ["contour", "curve", "distribution", "parameter_map", "profile"]


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError as e:
        raise ImportError(
            "Velmora.plot needs matplotlib: pip install 'Velmora[plot]' (or matplotlib)"
        ) from e
    return plt


def _figure(ax: Any, rows: int = 1, cols: int = 1, **kw: Any) -> tuple[Any, Any]:
    plt = _pyplot()
    if ax is not None:
        return ax.figure, ax
    return plt.subplots(rows, cols, **kw)


def curve(
    result: Any,
    xdata: Any,
    ydata: Any,
    *,
    level: float = 0.95,
    sigma: Any = None,
    residuals: bool = True,
    points: int = 200,
) -> tuple[Any, dict[str, Any]]:
    """Data, the fitted curve with its confidence band at `level`, and (with
    `residuals`) the residuals beneath. result: a `CurveFitResult`
    (`Velmora.fit_curve`). Returns (figure, {"data", "axes", "fit", "band",
    "residual_axes", "residuals"})."""
    x = np.asarray(xdata, dtype=np.float64)
    y = np.asarray(ydata, dtype=np.float64)
    if x.ndim != 1 or y.shape != x.shape:
        raise ValueError("curve plots 1-D xdata with ydata of the same shape")
    if not hasattr(result, "band"):
        raise TypeError("result must be a CurveFitResult (Velmora.fit_curve)")
    plt = _pyplot()
    if residuals:
        fig, (ax, ax_res) = plt.subplots(
            2, 1, sharex=True, gridspec_kw={"height_ratios": (3, 1)}, figsize=(6, 5)
        )
    else:
        fig, ax = plt.subplots()
        ax_res = None
    grid = np.linspace(x.min(), x.max(), points)
    mean, low, high = result.band(grid, level)
    out: dict[str, Any] = {"axes": ax}
    if sigma is None:
        out["data"] = ax.plot(x, y, "o", ms=4, label="data")[0]
    else:
        out["data"] = ax.errorbar(x, y, yerr=sigma, fmt="o", ms=4, label="data")
    out["fit"] = ax.plot(grid, mean, "-", label="fit")[0]
    out["band"] = ax.fill_between(grid, low, high, alpha=0.3, label=f"{level:.0%} band")
    ax.legend()
    if ax_res is not None:
        fitted = np.asarray(result.model(x, *result.x), dtype=np.float64)
        out["residual_axes"] = ax_res
        out["residuals"] = ax_res.plot(x, y - fitted, "o", ms=4)[0]
        ax_res.axhline(0.0, color="grey", lw=1)
        ax_res.set_ylabel("residual")
    return fig, out


def distribution(
    data: Any,
    cdf: Callable[[Any], Any],
    pdf: Callable[[Any], Any] | None = None,
    ppf: Callable[[Any], Any] | None = None,
    *,
    bins: Any = "auto",
) -> tuple[Any, dict[str, Any]]:
    """A fitted distribution against the data: the histogram with the
    density (when `pdf` is given), the empirical CDF with `cdf`, and a
    probability plot -- the sorted data against the quantiles ppf((i - 0.5)
    / n) when `ppf` is given, else cdf(sorted data) against (i - 0.5) / n
    (a P-P plot). Callables take and return arrays, e.g. a frozen SciPy
    distribution's methods or those of a fit's own model. Returns (figure,
    {"hist", "density", "ecdf", "cdf", "probability"})."""
    x = np.sort(np.asarray(data, dtype=np.float64).reshape(-1))
    x = x[np.isfinite(x)]
    if x.size < 2:
        raise ValueError("distribution needs at least two finite data values")
    plt = _pyplot()
    panels = 3 if pdf is not None else 2
    fig, axes = plt.subplots(1, panels, figsize=(4 * panels, 3.5))
    out: dict[str, Any] = {"axes": axes}
    k = 0
    grid = np.linspace(x[0], x[-1], 200)
    if pdf is not None:
        out["hist"] = axes[0].hist(x, bins=bins, density=True, alpha=0.5)[2]
        out["density"] = axes[0].plot(grid, pdf(grid), "-")[0]
        axes[0].set_title("density")
        k = 1
    positions = (np.arange(1, x.size + 1) - 0.5) / x.size
    out["ecdf"] = axes[k].step(x, np.arange(1, x.size + 1) / x.size, where="post")[0]
    out["cdf"] = axes[k].plot(grid, cdf(grid), "-")[0]
    axes[k].set_title("CDF")
    ax = axes[k + 1]
    if ppf is not None:
        theory = np.asarray(ppf(positions), dtype=np.float64)
        out["probability"] = ax.plot(theory, x, "o", ms=3)[0]
        ax.plot([theory[0], theory[-1]], [theory[0], theory[-1]], "-", color="grey")
        ax.set_title("Q-Q")
    else:
        out["probability"] = ax.plot(positions, cdf(x), "o", ms=3)[0]
        ax.plot([0, 1], [0, 1], "-", color="grey")
        ax.set_title("P-P")
    return fig, out


def profile(
    result: Any, name: str, *, level: float = 0.95, bound: Any = 3, size: int = 30, ax: Any = None
) -> tuple[Any, dict[str, Any]]:
    """The profile of parameter `name` of a `FitResult` as the rise of the
    objective above its minimum, the rise that bounds the interval at
    `level`, and the profile-likelihood interval's ends. Returns (figure,
    {"axes", "profile", "threshold", "interval"})."""
    from Velmora._args import quantile_of_level
    from Velmora.profile import profile as profile_of
    from Velmora.profile import profile_intervals

    _pyplot()  # matplotlib first: no re-fits for a plot that cannot be drawn
    z = quantile_of_level(level)
    prof = profile_of(result, name, bound, size)  # checks the name before drawing
    i = result.names.index(prof.name)
    found = profile_intervals(result, level)
    fig, ax = _figure(ax)
    rise = result.errordef * z * z
    out: dict[str, Any] = {"axes": ax}
    out["profile"] = ax.plot(prof.x, prof.fun - result.fun, "-")[0]
    out["threshold"] = ax.axhline(rise, color="grey", ls="--")
    out["interval"] = [
        ax.axvline(v, color="C3", ls=":") for v in (found.low[i], found.high[i]) if math.isfinite(v)
    ]
    ax.set_xlabel(prof.name)
    ax.set_ylabel("rise of the objective")
    return fig, out


def contour(
    result: Any,
    name1: str,
    name2: str,
    *,
    levels: Sequence[float] = (0.6826894921370859, 0.95),
    size: int = 60,
    ax: Any = None,
) -> tuple[Any, dict[str, Any]]:
    """The confidence regions of two parameters of a `FitResult` at each of
    `levels`, as closed curves around the estimate. Returns (figure,
    {"axes", "estimate", "contours"})."""
    _pyplot()  # matplotlib first: no re-fits for a plot that cannot be drawn
    regions = [result.contour(name1, name2, level, size) for level in levels]
    fig, ax = _figure(ax)
    i, j = result.names.index(regions[0].names[0]), result.names.index(regions[0].names[1])
    out: dict[str, Any] = {"axes": ax, "contours": []}
    out["estimate"] = ax.plot([result.x[i]], [result.x[j]], "+", ms=10)[0]
    for region in regions:
        closed = np.vstack([region.points, region.points[:1]])
        out["contours"].append(
            ax.plot(closed[:, 0], closed[:, 1], "-", label=f"{region.level:.3g}")[0]
        )
    ax.set_xlabel(regions[0].names[0])
    ax.set_ylabel(regions[0].names[1])
    ax.legend()
    return fig, out


def parameter_map(
    result: Any, parameter: Any, shape: Sequence[int], *, ax: Any = None, cmap: str = "viridis"
) -> tuple[Any, dict[str, Any]]:
    """One parameter of many fits (a `FitManyResult` or `ManyResult`, one row
    per pixel) as an image of `shape` (ny, nx); failed fits are blank.
    parameter: a name or an index. Returns (figure, {"axes", "image",
    "colorbar"})."""
    x = np.asarray(result.x)
    names = tuple(getattr(result, "names", None) or (f"x{j}" for j in range(x.shape[-1])))
    if isinstance(parameter, str):
        if parameter not in names:
            raise ValueError(f"no parameter named {parameter!r}; the parameters are {list(names)}")
        j = names.index(parameter)
    else:
        j = int(parameter)
    ny, nx = (int(s) for s in shape)
    values = x.reshape(-1, x.shape[-1])[:, j]
    if values.size != ny * nx:
        raise ValueError(f"{values.size} fits do not fill a ({ny}, {nx}) map")
    image = np.where(np.asarray(result.success).reshape(-1), values, np.nan).reshape(ny, nx)
    fig, ax = _figure(ax)
    out: dict[str, Any] = {"axes": ax}
    out["image"] = ax.imshow(image, origin="lower", cmap=cmap)
    out["colorbar"] = fig.colorbar(out["image"], ax=ax, label=names[j])
    return fig, out
