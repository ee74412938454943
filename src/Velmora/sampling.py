"""Posterior draws for the objective `fit` takes: `sample` runs the No-U-Turn
sampler on exp(-nll(x)) (times an optional prior) over the unconstrained
coordinates of ``ParameterMap(bounds, kind)``, and returns a `SampleResult`
with the draws, the sampler's statistics and convergence diagnostics.

    result = Velmora.sample(nll, x0, args=(data,), jac=grad, bounds=[(None, None), (0, None)])
    print(result.summary())
"""

from __future__ import annotations

import math
import numbers
import sys
import textwrap
import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from Velmora import _args, _progress
from Velmora._ckernels.sample import _sample
from Velmora._warnings import SamplingWarning
from Velmora.estimate import FitResult

__all__ = ["SampleResult", "SamplingWarning", "diagnostics", "sample"]

# Metric codes of _sample.run.
_METRIC = {"diag": 0, "dense": 1}
# Jittered starts tried per chain before its start is x0 itself.
_JITTER_TRIES = 100
# A step whose energy rises by more than this is a divergence (as in Stan).
_MAX_ENERGY_ERROR = 1000.0
# Warning thresholds (Vehtari et al. 2021): R-hat above 1.01, fewer than 100
# effective draws per chain.
_RHAT_LIMIT = 1.01
_ESS_PER_CHAIN = 100


class SampleResult:
    """What `sample` drew.

    draws: (chains, draws, n) the draws of x, in the constrained space;
    unconstrained: (chains, draws, m) the draws of the m free parameters on
        the unconstrained coordinates y the sampler moved on;
    logp: (chains, draws) the log density at each draw on y: -nll - prior
        plus log|dx/dy| (the quantity Stan reports as lp__);
    diverging, tree_depth, n_steps, acceptance, step_size, energy:
        (chains, draws) the statistics of each transition: a divergence, the
        depth of the trajectory's tree, its leapfrog steps, the mean
        acceptance probability over it, the step size and the Hamiltonian
        at its start;
    inv_metric: (chains, m) or (chains, m, m) the inverse mass matrix each
        chain adapted;
    rhat, ess_bulk, ess_tail, mcse, mcse_sd: (n,) per parameter: the
        rank-normalised split R-hat, bulk and tail effective sample sizes
        and the Monte Carlo standard errors of the mean and of the standard
        deviation (NaN for fixed parameters);
    names, seed, tune, max_treedepth: the run's settings (seed: the one
        drawn when none was given, to repeat the run).

    `summary()` gives a table, `to_xarray()` an xarray Dataset and
    `to_arviz()` an ArviZ InferenceData.
    """

    draws: NDArray[np.float64]
    unconstrained: NDArray[np.float64]
    logp: NDArray[np.float64]
    diverging: NDArray[np.bool_]
    tree_depth: NDArray[np.int64]
    n_steps: NDArray[np.int64]
    acceptance: NDArray[np.float64]
    step_size: NDArray[np.float64]
    energy: NDArray[np.float64]
    inv_metric: NDArray[np.float64]
    rhat: NDArray[np.float64]
    ess_bulk: NDArray[np.float64]
    ess_tail: NDArray[np.float64]
    mcse: NDArray[np.float64]
    mcse_sd: NDArray[np.float64]
    names: tuple[str, ...]
    seed: int
    tune: int
    max_treedepth: int

    @property
    def chains(self) -> int:
        return int(self.draws.shape[0])

    @property
    def mean(self) -> NDArray[np.float64]:
        return np.asarray(self.draws.mean(axis=(0, 1)))

    @property
    def sd(self) -> NDArray[np.float64]:
        return np.asarray(self.draws.std(axis=(0, 1), ddof=1))

    def summary(self, level: float = 0.94) -> str:
        """A plain-text table: each parameter's posterior mean, standard
        deviation, central interval holding `level` of the draws, Monte Carlo
        standard error, bulk and tail ESS and R-hat, under the run's
        settings."""
        if not 0.0 < level < 1.0:
            raise ValueError(f"level must lie strictly between 0 and 1, got {level!r}")
        flat = self.draws.reshape(-1, self.draws.shape[2])
        low, high = np.quantile(flat, [(1 - level) / 2, (1 + level) / 2], axis=0)
        width = max(8, *(len(name) for name in self.names))
        titles = ("mean", "sd", f"{50 * (1 - level):.3g}%", f"{50 * (1 + level):.3g}%", "mcse")
        header = f"{'':<{width}}" + "".join(f" {t:>11}" for t in titles)
        header += f" {'ess_bulk':>9} {'ess_tail':>9} {'r_hat':>7}"
        rows = []
        mean, sd = self.mean, self.sd
        for i, name in enumerate(self.names):
            values = (mean[i], sd[i], low[i], high[i], self.mcse[i])
            row = f"{name:<{width}}" + "".join(f" {_args.format_number(v)}" for v in values)
            row += f" {_whole(self.ess_bulk[i]):>9} {_whole(self.ess_tail[i]):>9}"
            row += f" {_args.format_number(self.rhat[i], 7)}"
            rows.append(row)
        rule = max(len(header), *(len(r) for r in rows), 72)
        divergent = int(self.diverging.sum())
        saturated = int((self.tree_depth >= self.max_treedepth).sum())
        lines = ["Velmora.sample".center(rule).rstrip(), "=" * rule]
        lines.append(
            f"{'Chains:':<14}{self.chains:<24}{'draws:':<14}{self.draws.shape[1]}"
            f" (after {self.tune} warm-up)"
        )
        lines.append(
            f"{'Divergences:':<14}{divergent:<24}{'depth limit:':<14}{saturated} of {self.diverging.size}"
        )
        lines.append(
            f"{'Step size:':<14}{float(self.step_size[:, -1].mean()):<24.4g}"
            f"{'mean steps:':<14}{float(self.n_steps.mean()):.4g}"
        )
        lines.append(f"{'Seed:':<14}{self.seed}")
        lines += ["=" * rule, header, "-" * rule, *rows, "=" * rule]
        notes = (
            "NUTS with multinomial sampling on the unconstrained scale; R-hat and ESS "
            "rank-normalised on split chains (Vehtari et al. 2021); mcse of the mean."
        )
        lines.extend(textwrap.wrap(notes, rule))
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.summary()

    def __repr__(self) -> str:
        pairs = ", ".join(
            f"{name}={m:.4g}+-{s:.2g}" for name, m, s in zip(self.names, self.mean, self.sd)
        )
        return f"<SampleResult {self.draws.shape[0]}x{self.draws.shape[1]} draws; {pairs}>"

    def _sample_stats(self) -> dict[str, NDArray[Any]]:
        return {
            "lp": self.logp,
            "diverging": self.diverging,
            "tree_depth": self.tree_depth,
            "n_steps": self.n_steps,
            "acceptance_rate": self.acceptance,
            "step_size": self.step_size,
            "energy": self.energy,
        }

    def to_xarray(self) -> Any:
        """The draws as an xarray Dataset: one variable per parameter, with
        dimensions (chain, draw). Needs xarray (``pip install 'Velmora[arviz]'``)."""
        xr = _optional("xarray", "to_xarray")
        coords = {"chain": np.arange(self.chains), "draw": np.arange(self.draws.shape[1])}
        data = {name: (("chain", "draw"), self.draws[:, :, i]) for i, name in enumerate(self.names)}
        return xr.Dataset(data, coords=coords)

    def to_arviz(self) -> Any:
        """The draws and sampler statistics as an ArviZ InferenceData (its
        posterior and sample_stats groups). Needs ArviZ
        (``pip install 'Velmora[arviz]'``)."""
        az = _optional("arviz", "to_arviz")
        posterior = {name: self.draws[:, :, i] for i, name in enumerate(self.names)}
        return az.from_dict(posterior=posterior, sample_stats=self._sample_stats())


def _optional(module: str, what: str) -> Any:
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(
            f"SampleResult.{what}() needs {module}: pip install 'Velmora[arviz]'"
        ) from exc


def _whole(v: float) -> str:
    return "nan" if not math.isfinite(v) else f"{v:.0f}"


# --- arguments -----------------------------------------------------------------


def _count(name: str, value: object, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    v = int(value)
    if v < least:
        raise ValueError(f"{name} must be at least {least}, got {v}")
    if v > 2**40:
        raise ValueError(f"{name} is too large: {v}")
    return v


def _seed(seed: object) -> int:
    """A seed in [0, 2**63): the caller's, or fresh entropy."""
    if seed is None:
        return int(np.random.SeedSequence().entropy) % 2**63  # type: ignore[arg-type]
    if isinstance(seed, bool) or not isinstance(seed, numbers.Integral):
        raise TypeError(f"seed must be an int or None, got {type(seed).__name__}")
    v = int(seed)
    if not 0 <= v < 2**63:
        raise ValueError(f"seed must lie in [0, 2**63), got {v}")
    return v


def _target_accept(value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"target_accept must be a real number, got {type(value).__name__}")
    v = float(value)
    if not 0.0 < v < 1.0:
        raise ValueError(f"target_accept must lie strictly between 0 and 1, got {value!r}")
    return v


def _density(fun: object, args: tuple[Any, ...], jac: object, n: int, what: str) -> tuple[Any, ...]:
    """The objective tuple of _sample.run; refuses one without a gradient."""
    if isinstance(fun, str):
        raise ValueError(f"{what}: the built-in objectives have no gradient and cannot be sampled")
    described = _args.parse_objective(fun, args, jac, "L-BFGS-B", n)
    if described[0] == 0 and described[2] is None:
        raise ValueError(
            f"{what} needs its gradient for Hamiltonian dynamics: give jac=grad (or jac=True "
            "when it returns (value, gradient)), or a native objective with its gradient "
            "(NativeObjective(f, grad=fg), a numba cfunc pair); finite differences are too "
            "noisy for the sampler"
        )
    if described[0] == 1 and not described[2]:
        raise ValueError(
            f"{what} is native without a gradient: give NativeObjective(f, grad=fg) so the "
            "sampler can follow the gradient"
        )
    return described


def _prior(prior: object, n: int) -> tuple[Any, ...] | None:
    """None, a callable returning (value, gradient), or a native objective
    with its gradient."""
    if prior is None:
        return None
    if _args.is_native(prior):
        return _density(prior, (), None, n, "prior")
    if not callable(prior):
        raise TypeError(
            "prior must be None, a callable prior(x) -> (value, gradient) or a native "
            f"objective with its gradient, got {type(prior).__name__}"
        )
    return _density(prior, (), True, n, "prior")


def _start_problem(x: np.ndarray, lower: np.ndarray, upper: np.ndarray) -> tuple[int, int]:
    """The first element of the start that cannot be used and why, in the
    codes of fit's start checks; (0, -1) when it can be used."""
    fixed = lower == upper
    with np.errstate(over="ignore", invalid="ignore"):
        wide = np.isfinite(lower) & np.isfinite(upper) & ~np.isfinite(upper - lower)
    checks = (
        (1, ~np.isfinite(x)),
        (4, wide & ~fixed),
        (2, (x < lower) | (x > upper)),
        (3, ~fixed & ((x == lower) | (x == upper))),
    )
    for code, bad in checks:
        if bad.any():
            return code, int(np.argmax(bad))
    if fixed.all():
        return 6, -1
    return 0, -1


def _unconstrained_start(x: np.ndarray, lower: np.ndarray, upper: np.ndarray, kind: str) -> None:
    """Every free element of x must map to a finite y."""
    from Velmora.transforms import ParameterMap

    free = lower != upper
    pm = ParameterMap(list(zip(lower[free].tolist(), upper[free].tolist())), kind=kind)
    with np.errstate(all="ignore"):
        y = pm.to_unconstrained(x[free])
    bad = ~np.isfinite(y)
    if bad.any():
        raise ValueError(
            f"x0 of parameter {int(np.flatnonzero(free)[np.argmax(bad)])} is too close to its "
            f"bounds for the transform to be finite"
        )


def _jitter(x0: object, n: int, free: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The start and the half-width of the uniform jitter of each element's
    unconstrained coordinate: 1, or twice its standard error when x0 is a
    FitResult."""
    if isinstance(x0, FitResult):
        x = np.array(x0.x, dtype=np.float64)
        se_y = np.sqrt(np.clip(np.diag(x0._cov_y), 0.0, None)) if x0._cov_y.size else np.ones(0)
        radius = np.ones(x.size)
        scale = np.where(np.isfinite(se_y) & (se_y > 0), 2.0 * se_y, 1.0)
        if scale.size == int(free.sum()):
            radius[free] = scale
        return x, radius
    x = _args.start_vector(x0)
    return x, np.ones(n)


class _DrawProgress(_progress.Progress):
    """The progress line of a run: transitions (warm-up included) out of the
    total, their rate, the divergences so far and the time left."""

    def describe(self, done: int, rate: float, left: float, *extra: object) -> str:
        divergent = extra[0] if extra else 0
        return (
            f"{self.label}: {done}/{self.total} draws, {rate:,.0f}/s, {divergent} divergent, "
            f"{_progress.clock(left)} left"
        )

    def finish(self, completed: bool) -> None:
        if self.shown:
            self._write_raw("\n" if self.terminal else "")


def _draw_progress(progress: object, total: int) -> _DrawProgress | None:
    if progress is not None and not isinstance(progress, (bool, np.bool_)):
        raise TypeError(f"progress must be None, True or False, got {type(progress).__name__}")
    stream = sys.stderr
    if progress is False or stream is None or (progress is None and not _progress.isatty(stream)):
        return None
    return _DrawProgress("sample", total, stream, force=bool(progress))


def _workers(workers: object, chains: int) -> int:
    if workers is None:
        return max(1, min(chains, _progress.usable_cpus()))
    return min(_count("workers", workers, 1), chains)


def sample(
    nll: Any,
    x0: Any,
    args: Any = (),
    *,
    jac: Any = None,
    bounds: Any = None,
    kind: str = "logit",
    names: Sequence[str] | None = None,
    prior: Any = None,
    draws: int = 1000,
    tune: int = 1000,
    chains: int = 4,
    seed: int | None = None,
    target_accept: float = 0.8,
    max_treedepth: int = 10,
    mass_matrix: str = "diag",
    workers: int | None = None,
    progress: bool | None = None,
    return_partial: bool = False,
) -> SampleResult:
    """Draw from the posterior exp(-nll(x)) * exp(-prior(x)) with the No-U-Turn
    sampler.

    nll, args, jac: the objective as `Velmora.fit` takes it -- a Python
        callable nll(x, *args) with its gradient (jac(x, *args), or jac=True
        when nll returns (value, gradient)), or a native function with its
        gradient (``NativeObjective(f, grad=fg)``, numba cfuncs, ctypes or
        cffi pointers). Unlike fit, a gradient is required: Hamiltonian
        dynamics follow it, and finite differences are too noisy for them.
    x0: the start, n values strictly inside the bounds: each chain starts
        at a point drawn uniformly within +-1 of it on the unconstrained
        scale. Or a `FitResult` (``x0=Velmora.fit(nll, start, ...)``): the
        chains start around its estimate, within twice its standard errors.
    bounds, kind, names: as for `fit`. The sampler moves on the
        unconstrained coordinates y of ``ParameterMap(bounds, kind)``, with
        the log-Jacobian of the map added to the log density; a parameter
        with equal bounds is held fixed.
    prior: None, a callable prior(x) returning (value, gradient) of a
        negative log prior density, or a native objective with its gradient.
    draws, tune, chains: kept draws per chain, warm-up iterations per chain
        (step size by dual averaging, then the mass matrix from windows of
        the warm-up draws, as in Stan), and chains.
    seed: an int in [0, 2**63); the same seed gives the same draws bit for
        bit whatever `workers` is. None draws one (kept in result.seed).
    target_accept: the mean acceptance probability the step size aims at.
    max_treedepth: at most 2**max_treedepth leapfrog steps per draw.
    mass_matrix: "diag" or "dense" (a full inverse metric, regularised
        towards a small multiple of the identity).
    workers: threads for the chains (default: one per chain, at most the
        usable CPUs). A native objective runs each chain without the
        interpreter lock, chains on several threads at once (its functions
        must allow that); a Python objective holds the lock, so its chains
        run one after another.
    progress: None shows a progress line on standard error when it is a
        terminal and the run lasts more than a few seconds (transitions per
        second, divergences); True always, False never.
    return_partial: on Ctrl-C, return the draws every chain completed (with
        a `SamplingWarning`) instead of raising KeyboardInterrupt.

    Raises ValueError before any evaluation for a start outside its bounds,
    bounds the map cannot take, draws or chains < 1 and an objective without
    a gradient; and, after one evaluation, when the log density is not
    finite at x0 (or the gradient has the wrong shape). An exception from
    nll, jac or prior propagates unchanged; Ctrl-C stops all chains.
    A point where the log density is not finite ends the trajectory as a
    divergence. Warns with `SamplingWarning` for divergences, R-hat above
    1.01, fewer than 100 effective draws per chain and trajectories that hit
    max_treedepth.

    Returns a `SampleResult`.
    """
    if isinstance(x0, str):
        raise TypeError(
            "x0 must be the start values or a FitResult: to start from the fit, pass "
            "x0=Velmora.fit(nll, start, ...)"
        )
    n_draws = _count("draws", draws, 1)
    n_tune = _count("tune", tune, 0)
    n_chains = _count("chains", chains, 1)
    depth = _count("max_treedepth", max_treedepth, 1)
    if depth > 30:
        raise ValueError(f"max_treedepth must be at most 30, got {depth}")
    accept = _target_accept(target_accept)
    if not isinstance(mass_matrix, str) or mass_matrix not in _METRIC:
        raise ValueError(f"mass_matrix must be 'diag' or 'dense', got {mass_matrix!r}")
    if not isinstance(kind, str) or kind not in _args.INTERVAL_FAMILY:
        raise ValueError(f"kind must be 'logit' or 'probit', got {kind!r}")
    chosen_seed = _seed(seed)
    if not isinstance(args, tuple):
        args = (args,)

    n = x0.x.size if isinstance(x0, FitResult) else _args.start_vector(x0).size
    box = _args.parse_bounds(bounds, n)
    lower, upper = _args.bound_arrays(box, n)
    x, radius = _jitter(x0, n, lower != upper)
    labels = _args.parse_names(names, n)
    problem, index = _start_problem(x, lower, upper)
    if problem:
        raise _args.bad_start(problem, index, x, box, labels)
    _unconstrained_start(x, lower, upper, kind)
    objective = _density(nll, args, jac, n, "nll")
    prior_term = _prior(prior, n)
    threads = _workers(workers, n_chains)

    settings = (
        n_draws,
        n_tune,
        n_chains,
        depth,
        _METRIC[mass_matrix],
        _args.INTERVAL_FAMILY[kind],
        _JITTER_TRIES,
        chosen_seed,
        accept,
        _MAX_ENERGY_ERROR,
    )
    report = _draw_progress(progress, n_chains * (n_tune + n_draws))
    try:
        out = _sample.run(
            objective, prior_term, x, box, radius, settings, threads, report, bool(return_partial)
        )
    finally:
        if report is not None:
            report.finish(False)
    if out[0] == "start":
        raise ValueError(
            f"the log density is not finite at x0 (nll + prior - log-Jacobian is {out[1]!r}): "
            "sampling needs a finite value at the start"
        )
    outcome, state, *arrays, done = out
    if outcome == "partial":
        arrays = _completed_draws(arrays, done)
    y, xs, logp, diverging, tree_depth, n_steps, step_size, acceptance, energy, metric = arrays
    unstarted = np.flatnonzero(state == _sample.CHAIN_NO_START)
    if unstarted.size:
        raise ValueError(
            "the gradient of the log density is not finite at x0 (nor at the jittered starts "
            f"of chain {int(unstarted[0])}): sampling needs a finite value and gradient there"
        )
    stuck = np.flatnonzero(state == _sample.CHAIN_NO_STEP)
    if stuck.size:
        raise ValueError(
            f"chain {int(stuck[0])} found no step size that moves it: the log density is flat "
            "or not finite around the start"
        )
    result = SampleResult.__new__(SampleResult)
    result.draws, result.unconstrained, result.logp = xs, y, logp
    result.diverging, result.tree_depth, result.n_steps = diverging, tree_depth, n_steps
    result.acceptance, result.step_size, result.energy = acceptance, step_size, energy
    result.inv_metric, result.names, result.seed = metric, labels, chosen_seed
    result.tune, result.max_treedepth = n_tune, depth
    (
        result.rhat,
        result.ess_bulk,
        result.ess_tail,
        _ess_mean,
        result.mcse,
        result.mcse_sd,
    ) = _sample.diagnostics(xs)
    _warn(result, lower == upper)
    return result


def _completed_draws(arrays: list[np.ndarray], done: np.ndarray) -> list[np.ndarray]:
    """The arrays (the inverse metrics last) cut to the draws every chain
    completed before an interrupt."""
    keep = int(done.min())
    if keep == 0:
        raise KeyboardInterrupt("sampling was interrupted before every chain had a draw")
    _say(f"sampling was interrupted: {keep} draws per chain are returned")
    cut = [np.ascontiguousarray(a[:, :keep]) for a in arrays[:-1]]
    return [*cut, arrays[-1]]


def diagnostics(draws: Any) -> dict[str, NDArray[np.float64]]:
    """Rank-normalised split R-hat, bulk and tail ESS and the Monte Carlo
    standard errors of the mean and sd of draws of shape (chains, draws, n)
    (or (chains, draws) for one quantity), computed natively."""
    a = np.ascontiguousarray(draws, dtype=np.float64)
    one = a.ndim == 2
    if one:
        a = a[:, :, None]
    if a.ndim != 3:
        raise ValueError(f"draws must have shape (chains, draws[, n]), got {a.shape}")
    keys = ("rhat", "ess_bulk", "ess_tail", "ess_mean", "mcse", "mcse_sd")
    values = _sample.diagnostics(np.ascontiguousarray(a))
    return {k: (v[0] if one else v) for k, v in zip(keys, values)}


def _warn(result: SampleResult, fixed: np.ndarray) -> None:
    chains, kept = result.diverging.shape
    divergent = int(result.diverging.sum())
    if divergent:
        _say(
            f"{divergent} of {chains * kept} draws ended in a divergence: the sampler cannot "
            "follow the posterior's curvature there, and the draws may be biased; raise "
            "target_accept or reparametrise (for example non-centred)"
        )
    saturated = int((result.tree_depth >= result.max_treedepth).sum())
    if saturated:
        _say(
            f"{saturated} of {chains * kept} trajectories reached max_treedepth = "
            f"{result.max_treedepth}: raise it, or the posterior is poorly scaled"
        )
    free = ~fixed

    def named(mask: np.ndarray) -> str:
        return ", ".join(name for name, bad in zip(result.names, mask & free) if bad)

    high = named(~(result.rhat <= _RHAT_LIMIT))
    if high:
        _say(f"R-hat above {_RHAT_LIMIT} for {high}: the chains have not mixed; draw longer")
    few = named(~(np.minimum(result.ess_bulk, result.ess_tail) >= _ESS_PER_CHAIN * chains))
    if few:
        _say(
            f"fewer than {_ESS_PER_CHAIN} effective draws per chain for {few}: the estimates "
            "and their R-hat are unreliable; draw longer"
        )


def _say(message: str) -> None:
    warnings.warn(message, SamplingWarning, stacklevel=4)
