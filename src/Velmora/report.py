"""What a curve fit reports beyond (popt, pcov), and bands of a fitted curve.

`fit_curve` runs `Velmora.curve_fit` and returns a `CurveFitResult`: the
parameters by name with their standard errors and correlations, chi-square,
reduced chi-square, degrees of freedom, R^2, AIC and BIC, a `summary()` in
the style of `FitResult.summary()`, and `band(x)`: the delta-method
confidence band of the fitted curve, or the prediction band of a new
observation, at new x. `band` itself takes any model and covariance, so it
serves `Velmora.fit` results of a model as well.

`fit_curve` is a function of its own rather than a ``result=True`` keyword of
`curve_fit`: curve_fit keeps SciPy's return forms exactly (a tuple whose
length depends only on full_output), so code and type checkers written for
SciPy keep working, while the richer object has one constructor.
"""

from __future__ import annotations

import math
import textwrap
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from Velmora import _args

__all__ = ["CurveFitResult", "band", "fit_curve"]


def _normal_quantile(p: float) -> float:
    from Velmora._ckernels.distributions._distributions import ndtri_as241

    return float(ndtri_as241(p))


def _t_quantile(p: float, dof: float) -> float:
    """Student's t quantile by the Cornish-Fisher expansion about the normal
    one (Abramowitz and Stegun 26.7.5): relative errors below 1e-4 for dof
    >= 10 at levels up to 0.99, growing to about 1% at dof 3 and 0.99 (a
    band of a fit with so few degrees of freedom is a little narrow); the
    normal quantile for infinite dof."""
    z = _normal_quantile(p)
    if math.isinf(dof):
        return z
    z2 = z * z
    g1 = (z2 + 1) * z / 4
    g2 = ((5 * z2 + 16) * z2 + 3) * z / 96
    g3 = (((3 * z2 + 19) * z2 + 17) * z2 - 15) * z / 384
    g4 = ((((79 * z2 + 776) * z2 + 1482) * z2 - 1920) * z2 - 945) * z / 92160
    return z + g1 / dof + g2 / dof**2 + g3 / dof**3 + g4 / dof**4


def _level(level: object) -> float:

    _args.quantile_of_level(level)
    return float(level)  # type: ignore[arg-type]


def _gradient(model: Callable[..., Any], x: Any, p: NDArray[np.float64]) -> NDArray[np.float64]:
    """d model(x, *p) / dp at each x (k x n), by central differences."""
    columns = []
    for j in range(p.size):
        h = 6.055454452393343e-06 * max(abs(p[j]), 1.0)  # eps^(1/3): central differences
        up, down = p.copy(), p.copy()
        up[j] += h
        down[j] -= h
        columns.append(
            (np.asarray(model(x, *up), float) - np.asarray(model(x, *down), float))
            / (up[j] - down[j])
        )
    return np.stack(np.broadcast_arrays(*columns), axis=-1)


def band(
    model: Callable[..., Any],
    x: Any,
    params: Any,
    cov: Any,
    level: float = 0.95,
    *,
    kind: str = "confidence",
    sigma: Any = None,
    dof: float = math.inf,
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """(mean, lower, upper) of model(x, *params) at new x.

    kind="confidence": the band of the fitted curve, mean -+ q sqrt(g^T cov g)
    with g = d model / d params (central differences) -- the delta method;
    kind="prediction": the band of a new observation, adding the noise
    variance sigma^2 at x (sigma: a number or one per x) to the curve's.
    q is Student's t quantile of 0.5 + level / 2 with `dof` degrees of
    freedom (the normal one for dof=inf, the default).
    """
    lv = _level(level)
    if kind not in ("confidence", "prediction"):
        raise ValueError(f"kind must be 'confidence' or 'prediction', got {kind!r}")
    x = np.asarray(x, dtype=np.float64)
    p = np.asarray(params, dtype=np.float64).reshape(-1)
    c = np.asarray(cov, dtype=np.float64)
    if c.shape != (p.size, p.size):
        raise ValueError(f"cov must be ({p.size}, {p.size}) for {p.size} parameters, got {c.shape}")
    if kind == "prediction" and sigma is None:
        raise ValueError("a prediction band needs the noise level sigma at x")
    mean = np.asarray(model(x, *p), dtype=np.float64)
    g = _gradient(model, x, p)
    variance = np.einsum("...i,ij,...j->...", g, c, g)
    if kind == "prediction":
        variance = variance + np.asarray(sigma, dtype=np.float64) ** 2
    half = _t_quantile(0.5 + lv / 2, dof) * np.sqrt(variance)
    mean = np.broadcast_to(mean, half.shape).copy()
    return mean, mean - half, mean + half


class CurveFitResult:
    """What `fit_curve` found.

    names, x (the estimates; also `values` by name), se, cov, corr;
    chisqr: sum of squared weighted residuals (divided by sigma when given,
    whitened by a covariance sigma; without a robust loss's scaling);
    ndata: m, the points the fit used (nan_policy='omit' drops some);
    dof: degrees of freedom m - n; redchi: chisqr / dof; rsquared: 1 - (sum
    of squared residuals) / (sum of squares about the mean of y), unweighted;
    aic, bic: m log(chisqr / m) + 2 n and m log(chisqr / m) + log(m) n (the
    least-squares forms, up to a constant); residuals: y - f(x) at the m
    points used; nfev; message; absolute_sigma. `band(x, level, kind)` gives curve and
    prediction bands, `summary()` a table.
    """

    def __init__(self, **fields: Any) -> None:
        self.__dict__.update(fields)

    @property
    def values(self) -> dict[str, float]:
        return dict(zip(self.names, self.x.tolist()))

    @property
    def corr(self) -> NDArray[np.float64]:
        with np.errstate(invalid="ignore", divide="ignore"):
            return self.cov / np.multiply.outer(self.se, self.se)

    def band(
        self, x: Any, level: float = 0.95, kind: str = "confidence", sigma: Any = None
    ) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
        """(mean, lower, upper) at new x (see `Velmora.report.band`); the
        prediction band's noise is sigma when given, else the residual
        scale sqrt(redchi) (times nothing: unweighted fits), and the quantile
        Student's t with dof degrees of freedom unless sigma was absolute."""
        if kind == "prediction" and sigma is None:
            if self.weighted:
                raise ValueError("a weighted fit's prediction band needs sigma at the new x")
            sigma = math.sqrt(self.redchi) if self.dof > 0 else math.nan
        dof = math.inf if self.absolute_sigma else float(self.dof)
        return band(self.model, x, self.x, self.cov, level, kind=kind, sigma=sigma, dof=dof)

    def summary(self, level: float = 0.95) -> str:
        """A plain-text table: estimates, standard errors and intervals
        (Student's t unless sigma was absolute), under the fit statistics."""

        q = _t_quantile(0.5 + _level(level) / 2, math.inf if self.absolute_sigma else self.dof)
        width = max(8, *(len(name) for name in self.names))
        low_title, high_title = f"[{(1 - level) / 2:.4g}", f"{(1 + level) / 2:.4g}]"
        header = f"{'':<{width}} {'estimate':>11} {'std err':>11} {low_title:>11} {high_title:>11}"
        rows = [
            f"{name:<{width}} {_args.format_number(v)} {_args.format_number(s)} "
            f"{_args.format_number(v - q * s)} {_args.format_number(v + q * s)}"
            for name, v, s in zip(self.names, self.x.tolist(), self.se.tolist())
        ]
        rule = max(len(header), 72)
        lines = ["Velmora.fit_curve".center(rule).rstrip(), "=" * rule]
        lines.append(f"{'Data points:':<14}{self.ndata:<24}{'parameters:':<14}{len(self.names)}")
        lines.append(f"{'Chi-square:':<14}{self.chisqr:<24.8g}{'reduced:':<14}{self.redchi:.8g}")
        lines.append(f"{'R-squared:':<14}{self.rsquared:<24.8g}{'dof:':<14}{self.dof}")
        lines.append(f"{'AIC:':<14}{self.aic:<24.8g}{'BIC:':<14}{self.bic:.8g}")
        outcome = self.message.splitlines()[0]
        lines.append(f"{'Evaluations:':<14}{self.nfev:<24}{'outcome:':<14}{outcome}")
        lines += ["=" * rule, header, "-" * rule, *rows, "=" * rule]
        note = (
            "Standard errors from the covariance "
            + (
                "with sigma taken as absolute"
                if self.absolute_sigma
                else "scaled by the reduced chi-square"
            )
            + "; intervals estimate -+ q std err."
        )
        lines.extend(textwrap.wrap(note, rule))
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.summary()

    def __repr__(self) -> str:
        pairs = ", ".join(f"{k}={v:.6g}" for k, v in self.values.items())
        return f"<CurveFitResult {pairs}; chisqr={self.chisqr:.6g}>"

    def _repr_html_(self) -> str:
        from Velmora._html import curve_fit_html

        return curve_fit_html(self)


def fit_curve(
    f: Callable[..., Any],
    xdata: Any,
    ydata: Any,
    p0: Any = None,
    sigma: Any = None,
    absolute_sigma: bool = False,
    bounds: Any = None,
    *,
    names: Sequence[str] | None = None,
    **kwargs: Any,
) -> CurveFitResult:
    """`Velmora.curve_fit` with a report: a `CurveFitResult`.

    f, xdata, ydata, p0, sigma (one per point), absolute_sigma, bounds and
    the solver keywords (**kwargs) as for curve_fit; f must be a Python
    callable (the report evaluates it). names: the parameters' names
    (default: f's parameter names after the first).
    """
    from Velmora import curve_fit

    if not callable(f):
        raise TypeError(f"f must be a Python callable, got {type(f).__name__}")
    extra = {} if bounds is None else {"bounds": bounds}
    popt, pcov, info, mesg, _ = curve_fit(
        f, xdata, ydata, p0, sigma, absolute_sigma, full_output=True, **extra, **kwargs
    )
    # The fit's own weighted residuals, at the points it used.
    fvec = np.asarray(info["fvec"], dtype=np.float64)
    n, m = popt.size, fvec.size
    label = _args.parse_names(names, n) if names is not None else _args.model_parameter_names(f, n)
    y = np.asarray(ydata, dtype=np.float64).reshape(-1)
    residuals = y - np.asarray(f(xdata, *popt), dtype=np.float64).reshape(-1)
    if m < residuals.size:  # nan_policy='omit': the points with NaN were left out
        fitted = ~np.isnan(residuals)
        y, residuals = y[fitted], residuals[fitted]
    weighted = sigma is not None
    chisqr = float(fvec @ fvec)
    dof = m - n
    with np.errstate(divide="ignore", invalid="ignore"):
        total = float(np.sum((y - y.mean()) ** 2))
        rsquared = 1.0 - float(np.sum(residuals**2)) / total if total > 0 else math.nan
        log_term = m * math.log(chisqr / m) if chisqr > 0 else -math.inf
    return CurveFitResult(
        model=f,
        names=label,
        x=popt,
        cov=pcov,
        se=np.sqrt(np.diag(pcov)),
        chisqr=chisqr,
        dof=dof,
        redchi=chisqr / dof if dof > 0 else math.nan,
        rsquared=rsquared,
        aic=log_term + 2 * n,
        bic=log_term + math.log(m) * n,
        residuals=residuals,
        ndata=m,
        nfev=int(info["nfev"]),
        message=mesg,
        absolute_sigma=bool(absolute_sigma),
        weighted=weighted,
    )
