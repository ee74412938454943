"""Ready-made likelihoods: fit a distribution without writing its likelihood.

`Likelihood(data, "weibull")` is the negative log-likelihood of a
distribution over a data array as a native objective: the sum over the data
runs in C++ (with its analytic gradient) and without the interpreter lock, so
`fit`, `minimize` and `fit_many` take it like any `NativeObjective`. It knows
its parameter names, natural bounds, a moment-based start and the number of
observations. Weights per observation and right-censored observations (for
the lifetime distributions) enter the sum; `Likelihood.binned` is the Poisson
deviance of a histogram (a chi-square, errordef 1); `Likelihood.rows` gives
one data set per row for `fit_many`.

`fit_distribution(data, "weibull")` does the whole fit and returns a
`FitResult` with the log-likelihood, AIC and BIC; given several names it
fits each and ranks them by AIC.

The module is named for what it holds, likelihoods of the usual
distributions, in the vocabulary `fit` already uses (its `nll`).
Parametrisations (see docs/likelihoods.md) follow `scipy.stats` with the
location fixed at 0 for the lifetime distributions.
"""

from __future__ import annotations

import ctypes
import math
import warnings
from collections.abc import Callable, Mapping, Sequence
from typing import Any, NamedTuple

import numpy as np

from Velmora import _args
from Velmora import estimate as _est
from Velmora.optimize import NativeObjective

__all__ = [
    "DISTRIBUTIONS",
    "DistributionFit",
    "Likelihood",
    "ModelComparison",
    "RowLikelihood",
    "fit_distribution",
]

_INF = math.inf


class _Data(ctypes.Structure):
    """The native kernels' data record (likelihoods/likelihoods.h)."""

    _fields_ = [
        ("n", ctypes.c_int64),
        ("x", ctypes.c_void_p),
        ("w", ctypes.c_void_p),
        ("cens", ctypes.c_void_p),
        ("aux", ctypes.c_double),
        ("offset", ctypes.c_double),
        ("shift", ctypes.c_void_p),
        ("unit", ctypes.c_void_p),
    ]


class _Family(NamedTuple):
    names: tuple[str, ...]
    bounds: tuple[tuple[float, float], ...]
    support: str  # "real", "positive", "nonnegative", "unit", "counts", "counts1", "trials"
    start: Callable[[np.ndarray, np.ndarray, float], list[float]]
    location_scale: tuple[int, int] | None = None  # indices of a location and its scale


def _moments(x: np.ndarray, w: np.ndarray) -> tuple[float, float]:
    mean = float(np.average(x, weights=w))
    var = float(np.average((x - mean) ** 2, weights=w))
    return mean, var


def _spread(x: np.ndarray) -> tuple[float, float]:
    """Median and half the interquartile range (a start robust to heavy tails)."""
    q1, med, q3 = np.percentile(x, [25, 50, 75])
    return float(med), float(q3 - q1) / 2.0


def _positive(v: float, fallback: float = 1.0) -> float:
    return v if math.isfinite(v) and v > 0 else fallback


def _inside(p: float) -> float:
    return min(max(p, 1e-6), 1 - 1e-6) if math.isfinite(p) else 0.5


def _normal_start(x: np.ndarray, w: np.ndarray, _aux: float) -> list[float]:
    m, v = _moments(x, w)
    return [m, _positive(math.sqrt(v), abs(m) or 1.0)]


def _gamma_start(x: np.ndarray, w: np.ndarray, _aux: float) -> list[float]:
    m, v = _moments(x, w)
    v = _positive(v, m * m)
    return [_positive(m * m / v), _positive(v / m)]


def _weibull_start(x: np.ndarray, w: np.ndarray, _aux: float) -> list[float]:
    # log X is Gumbel of minima: sd(log X) = pi / (k sqrt 6), E log X = log lambda - gamma / k.
    m, v = _moments(np.log(x), w)
    k = _positive(math.pi / math.sqrt(6.0 * v) if v > 0 else 1.0)
    return [k, _positive(math.exp(m + 0.5772156649015329 / k))]


def _beta_start(x: np.ndarray, w: np.ndarray, _aux: float) -> list[float]:
    m, v = _moments(x, w)
    common = m * (1 - m) / v - 1 if v > 0 else 1.0
    common = _positive(common, 2.0)
    return [_positive(m * common), _positive((1 - m) * common)]


def _t_start(x: np.ndarray, w: np.ndarray, _aux: float) -> list[float]:
    med, half_iqr = _spread(x)
    return [5.0, med, _positive(half_iqr / 0.727, 1.0)]  # t5: quartile at 0.727 scales


def _logistic_start(x: np.ndarray, w: np.ndarray, _aux: float) -> list[float]:
    m, v = _moments(x, w)
    return [m, _positive(math.sqrt(3 * v) / math.pi)]


def _gumbel_start(x: np.ndarray, w: np.ndarray, _aux: float) -> list[float]:
    m, v = _moments(x, w)
    s = _positive(math.sqrt(6 * v) / math.pi)
    return [m - 0.5772156649015329 * s, s]


def _cauchy_start(x: np.ndarray, w: np.ndarray, _aux: float) -> list[float]:
    med, half_iqr = _spread(x)
    return [med, _positive(half_iqr)]


def _pareto_start(x: np.ndarray, w: np.ndarray, _aux: float) -> list[float]:
    xm = float(x.min())
    mean_log = float(np.average(np.log(x / xm), weights=w))
    return [_positive(1.0 / mean_log if mean_log > 0 else 1.0), xm]


def _nbinom_start(x: np.ndarray, w: np.ndarray, _aux: float) -> list[float]:
    m, v = _moments(x, w)
    p = _inside(m / v) if v > m > 0 else 0.5
    return [_positive(m * p / (1 - p)), p]


_POS = (0.0, _INF)
_UNIT = (0.0, 1.0)
_REAL = (-_INF, _INF)

_SPECS: dict[str, _Family] = {
    "normal": _Family(("mu", "sigma"), (_REAL, _POS), "real", _normal_start, (0, 1)),
    "lognormal": _Family(
        ("mu", "sigma"),
        (_REAL, _POS),
        "positive",
        lambda x, w, a: _normal_start(np.log(x), w, a),
        (0, 1),
    ),
    "exponential": _Family(
        ("scale",), (_POS,), "nonnegative", lambda x, w, a: [_positive(_moments(x, w)[0])]
    ),
    "gamma": _Family(("shape", "scale"), (_POS, _POS), "positive", _gamma_start),
    "weibull": _Family(("shape", "scale"), (_POS, _POS), "positive", _weibull_start),
    "beta": _Family(("a", "b"), (_POS, _POS), "unit", _beta_start),
    "t": _Family(("df", "loc", "scale"), (_POS, _REAL, _POS), "real", _t_start, (1, 2)),
    "logistic": _Family(("loc", "scale"), (_REAL, _POS), "real", _logistic_start, (0, 1)),
    "gumbel": _Family(("loc", "scale"), (_REAL, _POS), "real", _gumbel_start, (0, 1)),
    "cauchy": _Family(("loc", "scale"), (_REAL, _POS), "real", _cauchy_start, (0, 1)),
    "pareto": _Family(("shape", "scale"), (_POS, _POS), "positive", _pareto_start),
    "poisson": _Family(
        ("mu",), (_POS,), "counts", lambda x, w, a: [_positive(_moments(x, w)[0], 0.5)]
    ),
    "binomial": _Family(
        ("p",), (_UNIT,), "trials", lambda x, w, a: [_inside(_moments(x, w)[0] / a)]
    ),
    "nbinom": _Family(("n", "p"), (_POS, _UNIT), "counts", _nbinom_start),
    "geometric": _Family(
        ("p",), (_UNIT,), "counts1", lambda x, w, a: [_inside(1.0 / _moments(x, w)[0])]
    ),
}

_ALIASES = {
    "norm": "normal",
    "gaussian": "normal",
    "lognorm": "lognormal",
    "expon": "exponential",
    "weibull_min": "weibull",
    "student_t": "t",
    "gumbel_r": "gumbel",
    "binom": "binomial",
    "negative_binomial": "nbinom",
    "geom": "geometric",
}

DISTRIBUTIONS = tuple(_SPECS)
"""The names `Likelihood` and `fit_distribution` take (aliases: the
`scipy.stats` names such as "norm", "expon", "weibull_min", "binom")."""

# The candidates `fit_distribution(data, "auto")` compares.
_AUTO_CONTINUOUS = ("normal", "lognormal", "exponential", "gamma", "weibull")
_AUTO_POSITIVE_ONLY = {"lognormal", "exponential", "gamma", "weibull"}

_SUPPORT_TEXT = {
    "real": "finite values",
    "positive": "values > 0",
    "nonnegative": "values >= 0",
    "unit": "values strictly between 0 and 1",
    "counts": "whole numbers >= 0",
    "counts1": "whole numbers >= 1",
    "trials": "whole numbers from 0 to the number of trials",
}


def _start(family: _Family, x: np.ndarray, w: np.ndarray, aux: float) -> np.ndarray:
    """The moment-based start, each value replaced by a plain one inside its
    bounds where the moments give none (one value, all weights 0, underflow)."""
    try:
        with np.errstate(all="ignore"):
            start = [float(v) for v in family.start(x, w, aux)] if w.sum() > 0 else []
    except (ZeroDivisionError, OverflowError, ValueError):
        start = []
    if len(start) != len(family.names):
        start = [math.nan] * len(family.names)
    for i, (low, high) in enumerate(family.bounds):
        if not low < start[i] < high:
            start[i] = 0.5 if high == 1.0 else (1.0 if low == 0.0 else 0.0)
    return np.array(start, dtype=np.float64)


class _Kernels(NamedTuple):
    nparams: int
    censoring: bool
    value: int
    value_grad: int
    constant: int
    row_value: int
    row_value_grad: int
    binned_value: int
    binned_value_grad: int


_KERNELS: dict[str, _Kernels] = {}


def _kernels(name: str) -> _Kernels:
    if not _KERNELS:
        from Velmora._ckernels.likelihoods import _likelihoods

        for row in _likelihoods.kernels():
            _KERNELS[row[0]] = _Kernels(*row[1:])
    return _KERNELS[name]


def _distribution(name: object) -> str:
    if not isinstance(name, str):
        raise TypeError(f"the distribution must be a name (a string), got {type(name).__name__}")
    key = _ALIASES.get(name.lower(), name.lower())
    if key not in _SPECS:
        raise ValueError(
            f"unknown distribution {name!r}; the choices are " + ", ".join(DISTRIBUTIONS)
        )
    return key


def _values(data: object, what: str = "data") -> np.ndarray:
    a = np.asarray(data)
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{what} must hold real numbers, got dtype {a.dtype}")
    if a.ndim > 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {a.shape}")
    return np.array(a, dtype=np.float64).reshape(-1)


def _bin_centres(edges: np.ndarray) -> np.ndarray:
    """The middle of each bin; an infinite outer bin is given half the mean
    width of the finite ones beyond its finite edge."""
    finite = edges[np.isfinite(edges)]
    width = float(np.diff(finite).mean()) if finite.size > 1 else 1.0
    with np.errstate(invalid="ignore"):
        mid = 0.5 * (edges[:-1] + edges[1:])
    if not np.isfinite(edges[0]):
        mid[0] = edges[1] - 0.5 * width if np.isfinite(edges[1]) else 0.0
    if not np.isfinite(edges[-1]):
        mid[-1] = edges[-2] + 0.5 * width if np.isfinite(edges[-2]) else 0.0
    return mid


def _check_support(x: np.ndarray, name: str, support: str, trials: float) -> None:
    if support in ("counts", "counts1", "trials"):
        bad = ~np.isfinite(x) | (x != np.floor(x)) | (x < (1 if support == "counts1" else 0))
        if support == "trials":
            bad |= x > trials
    else:
        bad = ~np.isfinite(x)
        if support == "positive":
            bad |= ~(x > 0)
        elif support == "nonnegative":
            bad |= ~(x >= 0)
        elif support == "unit":
            bad |= ~((x > 0) & (x < 1))
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(
            f"data: the {name} distribution needs {_SUPPORT_TEXT[support]}; value {x[i]!r} "
            f"at index {i} is outside its support"
        )


def _trials(name: str, trials: object) -> float:
    if name != "binomial":
        if trials is not None:
            raise ValueError(f"trials applies to the binomial distribution, not {name}")
        return 0.0
    if trials is None:
        raise ValueError("the binomial distribution needs trials= (the number of trials)")
    if isinstance(trials, bool) or not isinstance(trials, (int, np.integer)) or trials < 1:
        raise ValueError(f"trials must be a whole number >= 1, got {trials!r}")
    return float(trials)


def _address(a: np.ndarray | None) -> int | None:
    return None if a is None else a.ctypes.data


class Likelihood(NativeObjective):
    """The negative log-likelihood of `distribution` over `data`, a native
    objective for `fit`, `minimize` and `fit_many` (with data=None).

    data: a one-dimensional array of observations (copied).
    distribution: one of `DISTRIBUTIONS` (or its `scipy.stats` name).
    weights: optional non-negative weight per observation (frequency or
        importance weights: each term of the log-likelihood is multiplied by
        its weight; `nobs` is then the sum of the weights).
    censored: optional booleans, True where the observation is right-censored
        (the unit survived beyond it): its survival function enters instead
        of its density. Lifetime and location-scale distributions with an
        elementary survival function take it: normal, lognormal, exponential,
        Weibull, logistic, Gumbel, Cauchy, Pareto (not gamma, beta, t or the
        discrete ones).
    trials: the binomial distribution's number of trials.

    Attributes: names, bounds (pairs), start (moment-based, inside the
    bounds), nobs, errordef (0.5), distribution. Calling it at a parameter
    vector gives the negative log-likelihood (through the native kernel).
    The object owns the data and the record the kernel reads; keep it alive
    while a minimizer runs (fit and minimize hold a reference).
    """

    __slots__ = (
        "_owned",
        "_record",
        "bounds",
        "distribution",
        "errordef",
        "names",
        "nobs",
        "start",
    )

    def __init__(
        self,
        data: Any,
        distribution: str,
        *,
        weights: Any = None,
        censored: Any = None,
        trials: int | None = None,
    ) -> None:
        name = _distribution(distribution)
        family, kernels = _SPECS[name], _kernels(name)
        aux = _trials(name, trials)
        x = _values(data)
        if x.size == 0:
            raise ValueError("data is empty")
        _check_support(x, name, family.support, aux)
        w = None if weights is None else _values(weights, "weights")
        if w is not None and (w.size != x.size or not (np.isfinite(w) & (w >= 0)).all()):
            raise ValueError(f"weights must hold {x.size} finite values >= 0 (one per observation)")
        c = None
        if censored is not None:
            flags = np.asarray(censored)
            if flags.dtype.kind not in "biu" or flags.shape != x.shape:
                raise ValueError(f"censored must hold {x.size} booleans (one per observation)")
            if flags.any():
                if not kernels.censoring:
                    raise ValueError(f"the {name} likelihood does not take censored data")
                c = flags.astype(np.float64)
                if c.all():
                    raise ValueError("every observation is censored: there is nothing to fit")
        observed = slice(None) if c is None else c == 0
        start = _start(family, x[observed], (np.ones_like(x) if w is None else w)[observed], aux)
        record = _Data(x.size, _address(x), _address(w), _address(c), aux, 0.0, None, None)
        constant = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_void_p, ctypes.c_void_p)(
            kernels.constant
        )
        record.offset = constant(None, ctypes.addressof(record))
        super().__init__(kernels.value, ctypes.addressof(record), kernels.value_grad)
        self._owned: tuple[Any, ...] = (x, w, c)  # what the record points to
        self._record = record
        self.distribution, self.names, self.bounds = name, family.names, family.bounds
        self.start = start
        self.nobs = float(x.size if w is None else w.sum())
        self.errordef = 0.5

    @classmethod
    def binned(cls, counts: Any, edges: Any, distribution: str) -> Likelihood:
        """The Poisson deviance of a histogram against the distribution:
        2 sum (mu_i - n_i + n_i log(n_i / mu_i)) with mu_i = N (F(e_i+1) -
        F(e_i)), N the total count (Baker and Cousins 1984). A chi-square:
        its errordef is 1. counts: n bin counts >= 0; edges: n + 1
        increasing edges (infinite ends allowed). Distributions with an
        elementary distribution function only (those that take censoring)."""
        name = _distribution(distribution)
        family, kernels = _SPECS[name], _kernels(name)
        if not kernels.binned_value:
            raise ValueError(f"the {name} distribution has no binned cost")
        k, e = _values(counts, "counts"), _values(edges, "edges")
        if k.size == 0 or e.size != k.size + 1:
            raise ValueError("edges must hold one more value than counts (at least 2)")
        if not (np.isfinite(k) & (k >= 0)).all() or k.sum() <= 0:
            raise ValueError("counts must be finite values >= 0, not all 0")
        if np.isnan(e).any() or not (np.diff(e) > 0).all():
            raise ValueError("edges must increase strictly")
        self = cls.__new__(cls)
        record = _Data(k.size, _address(e), _address(k), None, 0.0, 0.0, None, None)
        NativeObjective.__init__(
            self, kernels.binned_value, ctypes.addressof(record), kernels.binned_value_grad
        )
        self._owned, self._record = (k, e), record
        centres = _bin_centres(e)
        usable = centres > 0 if family.support != "real" else np.isfinite(centres)
        self.distribution, self.names, self.bounds = name, family.names, family.bounds
        self.start = _start(family, centres[usable], k[usable], 0.0)
        self.nobs = float(k.sum())
        self.errordef = 1.0
        return self

    @classmethod
    def rows(cls, data: Any, distribution: str, *, trials: int | None = None) -> RowLikelihood:
        """One data set per row, for `fit_many`: data is a (K, m) array whose
        row k is problem k's observations, NaN-padded at the end when the
        data sets differ in length. Returns a `RowLikelihood`: pass it as the
        objective with ``data=its .data`` (see there)."""
        return RowLikelihood(data, distribution, trials)

    def _in_units(self, shift: np.ndarray, unit: np.ndarray) -> None:
        """From now on the objective takes q with parameters shift + unit * q."""
        shift, unit = np.array(shift, dtype=np.float64), np.array(unit, dtype=np.float64)
        self._record.shift, self._record.unit = shift.ctypes.data, unit.ctypes.data
        self._owned = (*self._owned, shift, unit)

    def __call__(self, params: Any) -> float:
        p = np.ascontiguousarray(params, dtype=np.float64)
        if p.shape != (len(self.names),):
            raise ValueError(f"params must hold {len(self.names)} values {self.names}")
        fn = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_void_p, ctypes.c_void_p)(self.address)
        return float(fn(p.ctypes.data, self.ctx))

    def __repr__(self) -> str:
        return f"<Likelihood {self.distribution}{self.names}, nobs={self.nobs:g}>"


class RowLikelihood(NativeObjective):
    """A distribution's negative log-likelihood over one row of a table per
    problem, for ``fit_many(lik, lik.start, data=lik.data, bounds=lik.bounds,
    names=lik.names)``. data: the table the native objective reads (row k:
    [m_k, trials, constant, x_1, ..., x_m]); start: moment starts (K, n);
    nobs: the observations per row (K,)."""

    __slots__ = ("bounds", "data", "distribution", "errordef", "names", "nobs", "start")

    def check_rows(self, table: np.ndarray) -> None:
        """fit_many calls this with the table it will pass row by row: each
        row must say how many values it holds, and hold them, so that the
        kernel never reads beyond it."""
        if table.ndim != 2 or table.shape[1] < 4:
            raise ValueError("data must be the table of Likelihood.rows (see its .data)")
        m = table[:, 0]
        fits = np.isfinite(m) & (m == np.floor(m)) & (m >= 1) & (m <= table.shape[1] - 3)
        if not fits.all():
            k = int(np.argmin(fits))
            raise ValueError(
                f"data: row {k} does not describe its values; pass the table of "
                f"Likelihood.rows (its .data)"
            )

    def __init__(self, data: Any, distribution: str, trials: int | None) -> None:
        name = _distribution(distribution)
        family, kernels = _SPECS[name], _kernels(name)
        aux = _trials(name, trials)
        table = np.asarray(data, dtype=np.float64)
        if table.ndim != 2 or table.shape[0] == 0 or table.shape[1] == 0:
            raise ValueError("data must be a (K, m) table: one data set per row")
        K, m = table.shape
        out = np.full((K, m + 3), np.nan)
        starts = []
        constant = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_void_p, ctypes.c_void_p)(
            kernels.constant
        )
        counts = np.empty(K)
        for k in range(K):
            row = table[k]
            present = ~np.isnan(row)
            size = int(present.sum())
            if size == 0 or not present[:size].all():
                raise ValueError(f"row {k}: the values must come first, NaN only as padding")
            x = np.ascontiguousarray(row[:size])
            try:
                _check_support(x, name, family.support, aux)
            except ValueError as error:
                raise ValueError(f"row {k}: {error}") from None
            record = _Data(size, _address(x), None, None, aux, 0.0, None, None)
            out[k, :3] = size, aux, constant(None, ctypes.addressof(record))
            out[k, 3 : 3 + size] = x
            starts.append(_start(family, x, np.ones_like(x), aux))
            counts[k] = size
        super().__init__(kernels.row_value, 0, kernels.row_value_grad)
        self.data, self.distribution, self.names, self.bounds = (
            out,
            name,
            family.names,
            family.bounds,
        )
        self.start = np.array(starts, dtype=np.float64)
        self.nobs = counts
        self.errordef = 0.5


# --- fit_distribution ----------------------------------------------------------


class DistributionFit(_est.FitResult):
    """A `FitResult` of `fit_distribution`; `distribution` names what was
    fitted, and `summary()` uses the level given to `fit_distribution`."""

    __slots__ = ()

    @property
    def distribution(self) -> str:
        return str(self._cache.get("distribution", ""))

    @property
    def nparams(self) -> int:
        """The estimated parameters: the free ones, and a Pareto scale held at
        its estimate (the sample minimum)."""
        return super().nparams + int(self._cache.get("counted", 0))

    def summary(self, level: float | None = None) -> str:
        chosen = self._cache.get("level", 0.95) if level is None else level
        text = super().summary(chosen)
        return text.replace("Velmora.fit", f"Velmora.fit_distribution: {self.distribution}", 1)


class ModelComparison(tuple):  # type: ignore[type-arg]
    """The fits of several distributions, best (lowest AIC) first; `table()`
    (also str()) compares them: parameters, log-likelihood, AIC, AIC
    difference to the best, BIC, and convergence."""

    @property
    def best(self) -> DistributionFit:
        return self[0]  # type: ignore[no-any-return]

    def table(self) -> str:
        best = self[0].aic
        lines = [
            f"{'distribution':<13}{'k':>3}{'loglike':>14}{'AIC':>13}{'dAIC':>10}{'BIC':>13}  converged"
        ]
        for r in self:
            k = int((~r.fixed).sum())
            lines.append(
                f"{r.distribution:<13}{k:>3}{r.loglike:>14.6g}{r.aic:>13.6g}"
                f"{r.aic - best:>10.4g}{r.bic:>13.6g}  {'yes' if r.success else 'no'}"
            )
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.table()


# Tighter stopping than minimize's defaults: the estimate should sit at the
# optimum to well within its standard error at any sample size.
_FIT_OPTIONS = {"ftol": 1e-12, "gtol": 1e-8}


def _fixed_values(fixed: object, names: tuple[str, ...]) -> dict[str, float]:
    if fixed is None:
        return {}
    if not isinstance(fixed, Mapping):
        raise TypeError(f"fixed must be a mapping of names to values, got {type(fixed).__name__}")
    out = {}
    for key, value in fixed.items():
        if key not in names:
            raise ValueError(f"fixed: no parameter {key!r}; the parameters are {names}")
        v = float(value)
        if not math.isfinite(v):
            raise ValueError(f"fixed: {key} must be finite, got {value!r}")
        out[key] = v
    return out


# The line-search failure of L-BFGS-B (status 8) and the largest expected
# decrease to the minimum, 0.5 g' H^-1 g in units of errordef (iminuit's EDM),
# at which such a stop is the optimum reached to rounding: with tolerances as
# tight as _FIT_OPTIONS, the line search of a large sample stalls where the
# decrease it seeks is below the rounding of the summed objective.
_LINE_SEARCH_FAILED = 8
_EDM_AT_OPTIMUM = 1e-8


def _accept_stalled_line_search(result: _est.FitResult) -> None:
    if result.success or result.status != _LINE_SEARCH_FAILED or result._run["jac"] is None:
        return
    g = result._run["jac"]
    with np.errstate(all="ignore"):
        edm = float(g @ result._cov_y @ g) / (4.0 * result.errordef**2)
    if math.isfinite(edm) and edm <= _EDM_AT_OPTIMUM:
        result.success = True
        result._run["success"] = True
        result.message = f"CONVERGENCE: the line search stalled at EDM = {edm:.2g}"


def _data_units(family: _Family, start: np.ndarray, n: int) -> tuple[np.ndarray, np.ndarray]:
    """A location-scale family is fitted in units of the data's own location
    and spread (the start's), so that where the minimization stops and how
    the Hessian is differenced do not depend on the units of the data."""
    shift, unit = np.zeros(n), np.ones(n)
    if family.location_scale is not None:
        loc, scale = family.location_scale
        shift[loc], unit[loc], unit[scale] = start[loc], start[scale], start[scale]
    return shift, unit


def _to_data_units(
    result: _est.FitResult, shift: np.ndarray, unit: np.ndarray, held: dict[int, float]
) -> None:
    """Carries a fit made in the units of `_data_units` back to the data's.
    A parameter without bounds is affine in its unconstrained coordinate y
    (y' = shift + unit y); one bounded below by 0 has y = log p (y' = log unit
    + y); the Hessian, covariances and gradient in y follow."""
    if (unit == 1).all() and (shift == 0).all():
        return
    lower, upper = result.lower, result.upper
    free = lower != upper
    affine = (lower == -np.inf) & (upper == np.inf)
    dy = np.where(affine, unit, 1.0)[free]
    y_shift = np.where(affine, shift, np.log(unit))[free]
    result.x = shift + unit * result.x
    result.cov = result.cov * np.multiply.outer(unit, unit)
    result.se = result.se * unit
    result.hessian = result.hessian / np.multiply.outer(dy, dy)
    result._cov_y = result._cov_y * np.multiply.outer(dy, dy)
    result._y = y_shift + dy * result._y
    result._run["x"] = result._y
    if result._run["jac"] is not None:
        result._run["jac"] = result._run["jac"] / dy
    lo, hi = result._box  # type: ignore[misc]
    lo, hi = shift + unit * lo, shift + unit * hi
    for i, v in held.items():
        result.x[i], lo[i], hi[i] = v, v, v
    result._box = (lo, hi)
    result._cache.clear()


def _fit_one(
    x: np.ndarray,
    name: str,
    censored: Any,
    weights: Any,
    fixed: Any,
    start: Any,
    level: float,
    trials: int | None,
) -> DistributionFit:
    lik = Likelihood(x, name, weights=weights, censored=censored, trials=trials)
    held = _fixed_values(fixed, lik.names)
    counted = 0
    if name == "pareto" and "scale" not in held:
        # The likelihood grows with the scale up to the smallest value and is
        # zero beyond: its maximum is that corner, not a smooth optimum. It is
        # held there (the estimate) and counted as estimated in AIC and BIC.
        held["scale"] = float(np.min(x))
        counted = 1
    x0 = dict(zip(lik.names, lik.start.tolist()))
    if start is not None:
        if not isinstance(start, Mapping):
            start = dict(zip(lik.names, np.atleast_1d(np.asarray(start, dtype=float)).tolist()))
        for key, value in start.items():
            if key not in x0:
                raise ValueError(f"start: no parameter {key!r}; the parameters are {lik.names}")
            x0[key] = float(value)
    shift, unit = _data_units(_SPECS[name], lik.start, len(lik.names))
    lik._in_units(shift, unit)
    index = {key: i for i, key in enumerate(lik.names)}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", _est.ConvergenceWarning)  # judged below
        result = _est.fit(
            lik,
            {key: (v - shift[index[key]]) / unit[index[key]] for key, v in x0.items()},
            bounds=dict(zip(lik.names, lik.bounds)),
            fixed={key: (v - shift[index[key]]) / unit[index[key]] for key, v in held.items()},
            options=_FIT_OPTIONS,
            errordef=lik.errordef,
        )
    _accept_stalled_line_search(result)
    if not result.success:
        warnings.warn(
            f"the {name} fit did not converge ({result.message}): the estimate is the last "
            f"point reached",
            _est.ConvergenceWarning,
            stacklevel=3,
        )
    _to_data_units(result, shift, unit, {index[key]: v for key, v in held.items()})
    result.__class__ = DistributionFit
    result._cache.update(distribution=name, level=level, counted=counted)
    return result  # type: ignore[return-value]


def fit_distribution(
    data: Any,
    distribution: str | Sequence[str],
    *,
    censored: Any = None,
    weights: Any = None,
    fixed: Mapping[str, float] | None = None,
    start: Any = None,
    level: float = 0.95,
    trials: int | None = None,
) -> DistributionFit | ModelComparison:
    """Fit a distribution to data by maximum likelihood.

    data: one-dimensional observations. distribution: a name from
    `DISTRIBUTIONS` (or its `scipy.stats` name); a sequence of names (or
    "auto": normal, and for positive data lognormal, exponential, gamma and
    Weibull) fits each and returns a `ModelComparison` ranked by AIC.
    censored, weights, trials: as for `Likelihood`. fixed: values to hold
    parameters at, by name ({"scale": 2.0}). start: a start by name or in
    order, instead of the moment-based one. level: the default level of the
    summary's intervals.

    Returns a `DistributionFit` (a `FitResult`): values and errors by name,
    the log-likelihood, AIC, BIC, nobs. A Pareto fit holds its scale at the
    sample minimum (the maximum-likelihood estimate, a corner of the
    likelihood without a standard error) unless `fixed` gives it.
    A fit of several distributions skips those whose support the data leave
    (only when the names came from "auto").
    """
    _args.quantile_of_level(level)
    x = _values(data)
    if isinstance(distribution, str) and distribution.lower() != "auto":
        return _fit_one(
            x, _distribution(distribution), censored, weights, fixed, start, level, trials
        )
    if isinstance(distribution, str):
        positive = x.size > 0 and bool((x > 0).all())
        names = [d for d in _AUTO_CONTINUOUS if positive or d not in _AUTO_POSITIVE_ONLY]
        if censored is not None and np.asarray(censored).any():
            names = [d for d in names if _kernels(d).censoring]
    else:
        names = [_distribution(d) for d in distribution]
        if not names:
            raise ValueError("distribution: give at least one name")
    fits = [_fit_one(x, d, censored, weights, fixed, start, level, trials) for d in names]
    return ModelComparison(sorted(fits, key=lambda r: (math.isnan(r.aic), r.aic)))
