"""HTML tables of the results for notebooks (`_repr_html_`): the estimates
with their errors and intervals, the outcome, and flags for parameters at a
bound, fixed or not identified. Plain HTML, escaped, no styles that need a
stylesheet."""

from __future__ import annotations

import html
import math
from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np


def _cell(v: Any) -> str:
    if isinstance(v, (float, np.floating)):
        f = float(v)
        return "nan" if math.isnan(f) else f"{f:.6g}"
    return html.escape(str(v))


def table(headers: Sequence[str], rows: Iterable[Sequence[Any]]) -> str:
    head = "".join(f"<th>{html.escape(h)}</th>" for h in headers)
    body = "".join("<tr>" + "".join(f"<td>{_cell(v)}</td>" for v in row) + "</tr>" for row in rows)
    return f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def _outcome(success: bool, message: str) -> str:
    word = "converged" if success else "NOT converged"
    colour = "green" if success else "red"
    return f'<p><b style="color:{colour}">{word}</b>: {html.escape(message)}</p>'


def _flags(r: Any) -> list[str]:
    lower, upper, fixed = r.lower, r.upper, r.fixed
    # the result's own verdict when it has one (the names in at_bound); else within 1e-4 (relative
    # to the value, at least 1) of a bound, where a fit on the log or logit
    # scale stops when the optimum lies on the bound
    at_bound = getattr(r, "at_bound", None)
    out = []
    for i, name in enumerate(r.names):
        x = float(r.x[i])
        near = 1e-4 * max(1.0, abs(x))
        flags = []
        if fixed[i]:
            flags.append("fixed")
        elif (
            name in at_bound
            if at_bound is not None
            else (x - lower[i] <= near or upper[i] - x <= near)
        ):
            flags.append("at bound")
        if name in r.unidentified:
            flags.append("unidentified")
        out.append(", ".join(flags))
    return out


def fit_html(r: Any, level: float = 0.95) -> str:
    """A FitResult: outcome, then one row per parameter."""
    ci = r.ci(level)
    low, high = f"{(1 - level) / 2:.4g}", f"{(1 + level) / 2:.4g}"
    rows = [
        (name, r.x[i], r.se[i], ci[i, 0], ci[i, 1], flag)
        for i, (name, flag) in enumerate(zip(r.names, _flags(r)))
    ]
    info = f"<p>objective {r.fun:.10g}; errordef {r.errordef:g}; {r.nfev} evaluations</p>"
    return (
        _outcome(r.success, r.message)
        + info
        + table(["", "estimate", "std err", f"Wald {low}", f"Wald {high}", "flag"], rows)
    )


def optimize_html(r: Any) -> str:
    """An OptimizeResult: outcome, then its keys."""
    rows = [
        (k, np.array2string(v, precision=6) if isinstance(v, np.ndarray) else v)
        for k, v in r.items()
        if k not in ("success", "message")
    ]
    return _outcome(bool(r.get("success")), str(r.get("message", ""))) + table(["", "value"], rows)


def many_html(r: Any, shown: int = 10) -> str:
    """A ManyResult or FitManyResult: counts, then the first problems."""
    success = np.asarray(r.success)
    K = success.size
    x = np.asarray(r.x).reshape(K, -1)
    names = getattr(r, "names", None) or [f"x{j}" for j in range(x.shape[1])]
    head = f"<p>{K} problems: {int(success.sum())} converged, {K - int(success.sum())} not</p>"
    rows = [(k, *x[k], bool(success[k])) for k in range(min(K, shown))]
    more = f"<p>... {K - shown} more</p>" if K > shown else ""
    return head + table(["problem", *names, "success"], rows) + more


def curve_fit_html(r: Any, level: float = 0.95) -> str:
    """A CurveFitResult: fit statistics, then one row per parameter."""
    stats = table(
        ["points", "dof", "chi-square", "reduced", "R-squared", "AIC", "BIC"],
        [(r.ndata, r.dof, r.chisqr, r.redchi, r.rsquared, r.aic, r.bic)],
    )
    rows = [(name, r.x[i], r.se[i]) for i, name in enumerate(r.names)]
    return stats + table(["", "estimate", "std err"], rows)


def profile_intervals_html(r: Any) -> str:
    """ProfileIntervals: one row per parameter, its ends and what they are."""
    rows = []
    for i, name in enumerate(r.names):
        note = [side for side, hit in (("lower", r.at_lower[i]), ("upper", r.at_upper[i])) if hit]
        flag = ("at bound: " + ", ".join(note)) if note else ("" if r.valid[i] else "not found")
        rows.append((name, r.low[i], r.high[i], flag))
    head = f"<p>profile-likelihood intervals at level {r.level:.4g} ({r.nfit} re-fits)</p>"
    return head + table(["", "low", "high", "flag"], rows)
