"""Curve-fitting problems for the least-squares tests: classical models with
data drawn from known parameters plus seeded noise, a start the way a user
would guess it, and the model's Jacobian where it is short to write."""

from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np


@dataclass
class Problem:
    name: str
    f: Callable[..., Any]
    xdata: np.ndarray
    true: tuple[float, ...]
    p0: tuple[float, ...]
    noise: float
    jac: Callable[..., Any] | None = None
    ydata: np.ndarray = field(init=False)

    def __post_init__(self):
        rng = np.random.default_rng(sum(map(ord, self.name)))
        clean = np.asarray(self.f(self.xdata, *self.true), dtype=float)
        self.ydata = (
            clean + self.noise * rng.standard_normal(clean.shape) * (1.0 + np.abs(clean)) / 2.0
        )

    def residuals(self, p):
        return self.f(self.xdata, *p) - self.ydata

    def residual_jac(self, p):
        return self.jac(self.xdata, *p)


def exp_decay(t, a, b, c):
    return a * np.exp(-b * t) + c


def exp_decay_jac(t, a, b, c):
    e = np.exp(-b * t)
    return np.column_stack([e, -a * t * e, np.ones_like(t)])


def two_exp(t, a1, k1, a2, k2):
    return a1 * np.exp(-k1 * t) + a2 * np.exp(-k2 * t)


def gaussian(x, amp, mu, sigma, c):
    return amp * np.exp(-0.5 * ((x - mu) / sigma) ** 2) + c


def gaussian_jac(x, amp, mu, sigma, c):
    z = (x - mu) / sigma
    e = np.exp(-0.5 * z * z)
    return np.column_stack([e, amp * e * z / sigma, amp * e * z * z / sigma, np.ones_like(x)])


def lorentzian(x, amp, x0, gamma, c):
    return amp * gamma**2 / ((x - x0) ** 2 + gamma**2) + c


def michaelis_menten(s, vmax, km):
    return vmax * s / (km + s)


def michaelis_menten_jac(s, vmax, km):
    return np.column_stack([s / (km + s), -vmax * s / (km + s) ** 2])


def logistic(t, k, r, t0):
    return k / (1.0 + np.exp(-r * (t - t0)))


def power_law(x, a, b):
    return a * x**b


def rational(x, a, b, c):
    return (a + b * x) / (1.0 + c * x)


def gompertz(t, a, b, c):
    return a * np.exp(-b * np.exp(-c * t))


def damped_cosine(t, amp, lam, omega, phi):
    return amp * np.exp(-lam * t) * np.cos(omega * t + phi)


def hill(x, vmax, k, n):
    return vmax * x**n / (k**n + x**n)


def two_gaussians(x, a1, m1, s1, a2, m2, s2):
    return a1 * np.exp(-0.5 * ((x - m1) / s1) ** 2) + a2 * np.exp(-0.5 * ((x - m2) / s2) ** 2)


def weibull_cdf(x, scale, shape, top):
    return top * (1.0 - np.exp(-((x / scale) ** shape)))


def plane_with_bump(xy, a, b, c, d):
    """Two predictors: xdata of shape (2, m)."""
    x, y = xy
    return a * x + b * y + c * np.exp(-d * (x * x + y * y))


def _grid(m):
    g = np.linspace(-2.0, 2.0, m)
    x, y = np.meshgrid(g, g)
    return np.vstack([x.ravel(), y.ravel()])


PROBLEMS = [
    Problem(
        "exp_decay",
        exp_decay,
        np.linspace(0, 4, 20),
        (2.5, 1.3, 0.5),
        (1.0, 1.0, 1.0),
        0.02,
        exp_decay_jac,
    ),
    Problem(
        "two_exp",
        two_exp,
        np.linspace(0, 10, 60),
        (3.0, 2.0, 1.0, 0.2),
        (1.0, 1.0, 1.0, 0.1),
        0.005,
    ),
    Problem(
        "gaussian",
        gaussian,
        np.linspace(-5, 5, 50),
        (3.0, 0.7, 1.2, 0.4),
        (2.0, 0.0, 1.0, 0.0),
        0.03,
        gaussian_jac,
    ),
    Problem(
        "lorentzian",
        lorentzian,
        np.linspace(-6, 6, 80),
        (5.0, -1.0, 0.8, 0.2),
        (3.0, -0.5, 1.0, 0.0),
        0.02,
    ),
    Problem(
        "michaelis_menten",
        michaelis_menten,
        np.array([0.02, 0.06, 0.11, 0.22, 0.56, 1.1, 2.0, 4.0]),
        (200.0, 0.06),
        (150.0, 0.1),
        0.02,
        michaelis_menten_jac,
    ),
    Problem("logistic", logistic, np.linspace(0, 20, 40), (10.0, 0.8, 9.0), (8.0, 0.5, 10.0), 0.02),
    Problem("power_law", power_law, np.linspace(1, 50, 30), (2.0, 1.5), (1.0, 1.0), 0.02),
    Problem("rational", rational, np.linspace(0, 5, 25), (1.0, 2.0, 0.5), (0.5, 1.0, 0.1), 0.01),
    Problem("gompertz", gompertz, np.linspace(0, 10, 30), (5.0, 3.0, 0.7), (4.0, 2.0, 0.5), 0.01),
    Problem(
        "damped_cosine",
        damped_cosine,
        np.linspace(0, 10, 100),
        (2.0, 0.3, 2.0, 0.5),
        (1.5, 0.2, 1.9, 0.3),
        0.02,
    ),
    Problem("hill", hill, np.linspace(0.1, 10, 30), (5.0, 2.0, 2.5), (4.0, 1.5, 2.0), 0.01),
    Problem(
        "two_gaussians",
        two_gaussians,
        np.linspace(0, 10, 120),
        (3.0, 3.0, 0.7, 2.0, 6.5, 1.0),
        (2.5, 2.8, 0.5, 2.5, 6.0, 0.8),
        0.02,
    ),
    Problem(
        "weibull_cdf", weibull_cdf, np.linspace(0.1, 6, 30), (2.0, 1.8, 1.0), (1.5, 1.5, 1.2), 0.01
    ),
    Problem(
        "plane_with_bump",
        plane_with_bump,
        _grid(9),
        (1.0, -2.0, 3.0, 0.8),
        (0.5, -1.0, 2.0, 1.0),
        0.02,
    ),
]

BY_NAME = {p.name: p for p in PROBLEMS}
