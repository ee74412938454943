"""The sampler's benchmark: bulk ESS of the slowest parameter per second of
wall time, after compilation, with the same draws, warm-up and chains (one
per core), for Velmora.sample (numba cfunc and Python log densities) and the
peers that are installed (NumPyro and BlackJAX on CPU, emcee as the
gradient-free baseline). Every ESS is computed by the same estimator
(Velmora.sampling.diagnostics) from the draws each sampler returns.

    python benchmarks/sampling.py [--draws 1000] [--models gauss10,logistic,schools]
"""

from __future__ import annotations

import argparse
import importlib
import os
import time
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np

CHAINS = 2  # one per core of the reference machine
SCHOOLS_Y = np.array([28.0, 8.0, -3.0, 7.0, -1.0, 1.0, 18.0, 12.0])
SCHOOLS_SIGMA = np.array([15.0, 10.0, 16.0, 11.0, 9.0, 11.0, 10.0, 18.0])


@dataclass
class Model:
    """A posterior in three spellings: NumPy (value and gradient of the
    negative log density), the same compiled with numba as cfuncs, and JAX's
    log density for the JAX peers; all on the unconstrained scale."""

    name: str
    n: int
    nll: Callable[[np.ndarray], tuple[float, np.ndarray]]
    numba_fg: Callable[[Any], Any]  # numba -> fg(x, g) -> value, writing the gradient
    jax_logp: Callable[[Any], Callable[[Any], Any]]  # jax.numpy -> logp(theta)


def correlated_gaussian(n: int = 10, rho: float = 0.9) -> tuple[np.ndarray, np.ndarray]:
    scales = np.linspace(0.5, 3.0, n)
    corr = rho ** np.abs(np.subtract.outer(np.arange(n), np.arange(n)))
    return np.zeros(n), np.linalg.inv(corr * np.outer(scales, scales))


def gauss_model() -> Model:
    mu, P = correlated_gaussian()
    n = mu.size

    def nll(x):
        g = P @ (x - mu)
        return 0.5 * float((x - mu) @ g), g

    def compiled(numba):
        @numba.njit(cache=False)
        def fg(x, g):
            f = 0.0
            for i in range(n):
                s = 0.0
                for j in range(n):
                    s += P[i, j] * (x[j] - mu[j])
                g[i] = s
                f += 0.5 * (x[i] - mu[i]) * s
            return f

        return fg

    return Model("10-d correlated Gaussian", n, nll, compiled, lambda jnp: _jax_gauss(jnp, mu, P))


def _jax_gauss(jnp, mu, P):
    Pj, muj = jnp.asarray(P), jnp.asarray(mu)
    return lambda x: -0.5 * (x - muj) @ Pj @ (x - muj)


def logistic_model(rows: int = 1000, p: int = 10, seed: int = 0) -> Model:
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(rows, p))
    y = (rng.random(rows) < 1 / (1 + np.exp(-X @ rng.normal(size=p)))).astype(float)
    prior_var = 25.0  # N(0, 5^2) on each coefficient

    def nll(b):
        eta = X @ b
        e = np.exp(-np.abs(eta))  # one exponential per row, never overflowing
        f = float(np.sum(np.maximum(eta, 0.0) + np.log1p(e) - y * eta))
        sigmoid = np.where(eta >= 0, 1.0, e) / (1.0 + e)
        return f + 0.5 * float(b @ b) / prior_var, X.T @ (sigmoid - y) + b / prior_var

    def compiled(numba):
        @numba.njit(cache=False)
        def fg(b, g):
            f = 0.0
            for k in range(p):
                g[k] = b[k] / prior_var
                f += 0.5 * b[k] * b[k] / prior_var
            for i in range(rows):
                eta = 0.0
                for k in range(p):
                    eta += X[i, k] * b[k]
                e = np.exp(-abs(eta))
                f += max(eta, 0.0) + np.log1p(e) - y[i] * eta
                r = (1.0 if eta >= 0 else e) / (1.0 + e) - y[i]
                for k in range(p):
                    g[k] += r * X[i, k]
            return f

        return fg

    def jax_logp(jnp):
        Xj, yj = jnp.asarray(X), jnp.asarray(y)

        def logp(b):
            eta = Xj @ b
            return -jnp.sum(jnp.logaddexp(0.0, eta) - yj * eta) - 0.5 * b @ b / prior_var

        return logp

    return Model(f"logistic regression {rows}x{p}", p, nll, compiled, jax_logp)


def schools_model() -> Model:
    """Non-centred eight schools, tau on its log (the Jacobian included):
    mu ~ N(0, 5), tau ~ half-Cauchy(0, 5), z_j ~ N(0, 1), y_j ~ N(mu + tau z_j, sigma_j)."""
    y, s = SCHOOLS_Y, SCHOOLS_SIGMA

    def nll(x):
        mu, log_tau, z = x[0], x[1], x[2:]
        tau = np.exp(log_tau)
        r = (y - mu - tau * z) / s
        w = r / s
        f = 0.5 * (r @ r + z @ z + mu * mu / 25) + np.log1p(tau * tau / 25) - log_tau
        g = np.empty(10)
        g[0] = -w.sum() + mu / 25
        g[1] = -(w @ z) * tau + 2 * tau * tau / 25 / (1 + tau * tau / 25) - 1
        g[2:] = -tau * w + z
        return float(f), g

    def compiled(numba):
        @numba.njit(cache=False)
        def fg(x, g):
            mu, log_tau = x[0], x[1]
            tau = np.exp(log_tau)
            f = 0.5 * mu * mu / 25 + np.log1p(tau * tau / 25) - log_tau
            g[0] = mu / 25
            g[1] = 2 * tau * tau / 25 / (1 + tau * tau / 25) - 1
            for j in range(8):
                z = x[2 + j]
                r = (y[j] - mu - tau * z) / s[j]
                w = r / s[j]
                f += 0.5 * (r * r + z * z)
                g[0] -= w
                g[1] -= w * z * tau
                g[2 + j] = -tau * w + z
            return f

        return fg

    def jax_logp(jnp):
        yj, sj = jnp.asarray(y), jnp.asarray(s)

        def logp(x):
            mu, log_tau, z = x[0], x[1], x[2:]
            tau = jnp.exp(log_tau)
            r = (yj - mu - tau * z) / sj
            return -(0.5 * (r @ r + z @ z + mu * mu / 25) + jnp.log1p(tau * tau / 25) - log_tau)

        return logp

    return Model("eight schools, non-centred", 10, nll, compiled, jax_logp)


def _cfuncs(numba, fg, n, ctx_type=None):
    """The value and value-gradient cfuncs of a numba function fg(x, g) -> f;
    with ctx_type CPointer(int64), the gradient counts its calls in ctx[0]."""
    from numba import carray, types

    counting = ctx_type is not None

    @numba.cfunc(types.float64(types.CPointer(types.float64), types.voidptr))
    def value(xp, ctx):
        g = np.empty(n)
        return fg(carray(xp, n), g)

    @numba.cfunc(
        types.float64(
            types.CPointer(types.float64), types.CPointer(types.float64), ctx_type or types.voidptr
        )
    )
    def value_grad(xp, gp, ctx):
        if counting:
            ctx[0] += 1
        return fg(carray(xp, n), carray(gp, n))

    return value, value_grad


MODELS = {"gauss10": gauss_model, "logistic": logistic_model, "schools": schools_model}


# --- the samplers: each returns draws of shape (chains, draws, n) ---------------------


def velmora_native(model: Model, draws: int) -> Callable[[], np.ndarray]:
    import numba

    import Velmora

    value, value_grad = _cfuncs(numba, model.numba_fg(numba), model.n)
    objective = Velmora.NativeObjective(value, grad=value_grad)

    def run():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", Velmora.SamplingWarning)
            return Velmora.sample(
                objective, np.zeros(model.n), chains=CHAINS, draws=draws, tune=draws, seed=1
            ).draws

    return run


def velmora_python(model: Model, draws: int) -> Callable[[], np.ndarray]:
    import Velmora

    def run():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", Velmora.SamplingWarning)
            return Velmora.sample(
                model.nll,
                np.zeros(model.n),
                jac=True,
                chains=CHAINS,
                draws=draws,
                tune=draws,
                seed=1,
            ).draws

    return run


def numpyro_nuts(model: Model, draws: int) -> Callable[[], np.ndarray]:
    jax = importlib.import_module("jax")
    jnp = importlib.import_module("jax.numpy")
    infer = importlib.import_module("numpyro.infer")
    jax.config.update("jax_enable_x64", True)
    logp = model.jax_logp(jnp)
    kernel = infer.NUTS(potential_fn=lambda x: -logp(x))
    mcmc = infer.MCMC(
        kernel,
        num_warmup=draws,
        num_samples=draws,
        num_chains=CHAINS,
        chain_method="parallel",
        progress_bar=False,
    )
    init = np.zeros((CHAINS, model.n))

    def run():
        mcmc.run(jax.random.PRNGKey(1), init_params=init)
        return np.asarray(mcmc.get_samples(group_by_chain=True))

    return run


def blackjax_nuts(model: Model, draws: int) -> Callable[[], np.ndarray]:
    jax = importlib.import_module("jax")
    jnp = importlib.import_module("jax.numpy")
    blackjax = importlib.import_module("blackjax")
    jax.config.update("jax_enable_x64", True)
    logp = model.jax_logp(jnp)

    def one_chain(key):
        warm_key, sample_key = jax.random.split(key)
        adapt = blackjax.window_adaptation(blackjax.nuts, logp)
        (state, params), _ = adapt.run(warm_key, jnp.zeros(model.n), num_steps=draws)
        step = blackjax.nuts(logp, **params).step

        def body(state, k):
            state, _ = step(k, state)
            return state, state.position

        _, positions = jax.lax.scan(body, state, jax.random.split(sample_key, draws))
        return positions

    chains = jax.pmap(one_chain) if jax.local_device_count() >= CHAINS else jax.vmap(one_chain)
    keys = jax.random.split(jax.random.PRNGKey(1), CHAINS)

    def run():
        return np.asarray(chains(keys))

    return run


def emcee_ensemble(model: Model, draws: int) -> Callable[[], np.ndarray]:
    """emcee's affine-invariant ensemble (2n walkers, gradient-free); its
    "chains" for the ESS are the walkers, thinned to as many draws in all."""
    emcee = importlib.import_module("emcee")
    walkers = 2 * model.n
    steps = 2 * draws * CHAINS * model.n // walkers  # the same gradient budget, roughly

    def run():
        rng = np.random.default_rng(1)
        sampler = emcee.EnsembleSampler(walkers, model.n, lambda x: -model.nll(x)[0])
        sampler.run_mcmc(rng.normal(scale=0.1, size=(walkers, model.n)), 2 * steps)
        chain = sampler.get_chain()[steps:]  # (steps, walkers, n): the first half is warm-up
        return np.ascontiguousarray(np.swapaxes(chain, 0, 1))

    return run


SAMPLERS = {
    "Velmora, numba cfunc": velmora_native,
    "Velmora, Python": velmora_python,
    "NumPyro NUTS": numpyro_nuts,
    "BlackJAX NUTS": blackjax_nuts,
    "emcee": emcee_ensemble,
}


def ess_per_second(
    make: Callable[[], Callable[[], np.ndarray]], repeats: int = 2
) -> tuple[float, float, float]:
    """(slowest bulk ESS, best wall seconds, ESS/s) of a prepared sampler;
    its first run compiles and is not timed."""
    from Velmora.sampling import diagnostics

    run = make()
    run()
    best, draws = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        draws = run()
        best = min(best, time.perf_counter() - start)
    ess = float(np.nanmin(diagnostics(np.ascontiguousarray(draws, dtype=np.float64))["ess_bulk"]))
    return ess, best, ess / best


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--draws", type=int, default=1000)
    parser.add_argument("--models", default=",".join(MODELS))
    parser.add_argument("--samplers", default="")
    parser.add_argument("--profile", action="store_true", help="where a native chain's time goes")
    args = parser.parse_args(argv)
    if args.profile:
        for key in args.models.split(","):
            model = MODELS[key]()
            shares = ", ".join(f"{k} {v:.3g}" for k, v in profile(model, args.draws).items())
            print(f"{model.name}: {shares}")
        return 0
    # One JAX device per chain, set before JAX is imported.
    os.environ.setdefault("XLA_FLAGS", f"--xla_force_host_platform_device_count={CHAINS}")
    print(f"{'model':<30} {'sampler':<22} {'min ESS':>8} {'seconds':>8} {'ESS/s':>9}")
    for key in args.models.split(","):
        model = MODELS[key]()
        for name, factory in SAMPLERS.items():
            if args.samplers and args.samplers not in name:
                continue
            try:
                ess, seconds, rate = ess_per_second(
                    lambda f=factory, m=model: f(m, args.draws)  # type: ignore[misc]
                )
            except ImportError as exc:
                print(f"{model.name:<30} {name:<22} not installed ({exc.name})")
                continue
            print(f"{model.name:<30} {name:<22} {ess:8.0f} {seconds:8.3f} {rate:9.0f}", flush=True)
    return 0


def profile(model: Model, draws: int = 1000) -> dict[str, float]:
    """Where one native chain's time goes: the log density (its evaluations,
    counted through the context, times its cost in a compiled loop), the
    rest (the trajectories, the adaptation, the records), and the share of
    the warm-up in the whole run."""
    import numba
    from numba import types

    import Velmora

    fg = model.numba_fg(numba)
    value, value_grad = _cfuncs(numba, fg, model.n, types.CPointer(types.int64))
    count = np.zeros(1, dtype=np.int64)
    # By address: the counting gradient's context is an int64 pointer.
    objective = Velmora.NativeObjective(
        value.address, ctx=count.ctypes.data, grad=value_grad.address
    )

    def seconds(kept: int) -> float:
        count[0] = 0
        start = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", Velmora.SamplingWarning)
            Velmora.sample(objective, np.zeros(model.n), chains=1, tune=draws, draws=kept, seed=1)
        return time.perf_counter() - start

    @numba.njit
    def repeat(x, g, reps):
        total = 0.0
        for _ in range(reps):
            x[0] += 1e-12
            total += fg(x, g)
        return total

    x, g = np.zeros(model.n), np.zeros(model.n)
    repeat(x, g, 10)
    start = time.perf_counter()
    repeat(x, g, 20000)
    per_call = (time.perf_counter() - start) / 20000
    seconds(draws)  # warm the caches
    warm = seconds(1)
    whole = seconds(draws)
    return {
        "seconds": whole,
        "evaluations": float(count[0]),
        "density share": per_call * float(count[0]) / whole,
        "warm-up share": warm / whole,
        "overhead per evaluation (us)": 1e6
        * (whole - per_call * float(count[0]))
        / float(count[0]),
    }


if __name__ == "__main__":
    raise SystemExit(main())
