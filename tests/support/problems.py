"""Classical unconstrained test problems (most from Moré, Garbow and Hillstrom,
"Testing unconstrained optimization software", ACM TOMS 7, 1981) with their
standard starting points, as sums of squares f = r . r whose gradient is
2 J' r. Each problem gives its residuals r(x) and Jacobian J(x); the tests
check J against differences before trusting the gradients.
"""

from collections.abc import Callable
from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class Problem:
    name: str
    x0: tuple
    residuals: Callable
    jacobian: Callable

    def fun(self, x):
        r = self.residuals(x)
        return float(r @ r)

    def grad(self, x):
        return 2.0 * self.jacobian(x).T @ self.residuals(x)

    def fun_and_grad(self, x):
        r = self.residuals(x)
        return float(r @ r), 2.0 * self.jacobian(x).T @ r


def rosenbrock_r(x):
    return np.array([10.0 * (x[1] - x[0] ** 2), 1.0 - x[0]])


def rosenbrock_j(x):
    return np.array([[-20.0 * x[0], 10.0], [-1.0, 0.0]])


def ext_rosenbrock_r(x):
    return np.concatenate([10.0 * (x[1:] - x[:-1] ** 2), 1.0 - x[:-1]])


def ext_rosenbrock_j(x):
    n = x.size
    J = np.zeros((2 * (n - 1), n))
    for i in range(n - 1):
        J[i, i], J[i, i + 1] = -20.0 * x[i], 10.0
        J[n - 1 + i, i] = -1.0
    return J


def freudenstein_roth_r(x):
    return np.array(
        [
            -13.0 + x[0] + ((5.0 - x[1]) * x[1] - 2.0) * x[1],
            -29.0 + x[0] + ((x[1] + 1.0) * x[1] - 14.0) * x[1],
        ]
    )


def freudenstein_roth_j(x):
    return np.array(
        [[1.0, 10.0 * x[1] - 3.0 * x[1] ** 2 - 2.0], [1.0, 3.0 * x[1] ** 2 + 2.0 * x[1] - 14.0]]
    )


def brown_badly_scaled_r(x):
    return np.array([x[0] - 1e6, x[1] - 2e-6, x[0] * x[1] - 2.0])


def brown_badly_scaled_j(x):
    return np.array([[1.0, 0.0], [0.0, 1.0], [x[1], x[0]]])


BEALE_Y = np.array([1.5, 2.25, 2.625])


def beale_r(x):
    i = np.arange(1, 4)
    return BEALE_Y - x[0] * (1.0 - x[1] ** i)


def beale_j(x):
    i = np.arange(1, 4)
    return np.stack([-(1.0 - x[1] ** i), x[0] * i * x[1] ** (i - 1)], axis=1)


def jennrich_sampson_r(x):
    i = np.arange(1, 11)
    return 2.0 + 2.0 * i - (np.exp(i * x[0]) + np.exp(i * x[1]))


def jennrich_sampson_j(x):
    i = np.arange(1, 11)
    return np.stack([-i * np.exp(i * x[0]), -i * np.exp(i * x[1])], axis=1)


def helical_theta(x):
    return np.arctan2(x[1], x[0]) / (2.0 * np.pi)


def helical_r(x):
    return np.array(
        [10.0 * (x[2] - 10.0 * helical_theta(x)), 10.0 * (np.hypot(x[0], x[1]) - 1.0), x[2]]
    )


def helical_j(x):
    r2 = x[0] ** 2 + x[1] ** 2
    r = np.sqrt(r2)
    dtheta = np.array([-x[1], x[0]]) / (2.0 * np.pi * r2)
    return np.array(
        [
            [-100.0 * dtheta[0], -100.0 * dtheta[1], 10.0],
            [10.0 * x[0] / r, 10.0 * x[1] / r, 0.0],
            [0.0, 0.0, 1.0],
        ]
    )


BARD_Y = np.array(
    [0.14, 0.18, 0.22, 0.25, 0.29, 0.32, 0.35, 0.39, 0.37, 0.58, 0.73, 0.96, 1.34, 2.10, 4.39]
)
BARD_U = np.arange(1.0, 16.0)
BARD_V = 16.0 - BARD_U
BARD_W = np.minimum(BARD_U, BARD_V)


def bard_r(x):
    return BARD_Y - (x[0] + BARD_U / (x[1] * BARD_V + x[2] * BARD_W))


def bard_j(x):
    d = (x[1] * BARD_V + x[2] * BARD_W) ** 2
    return np.stack([-np.ones(15), BARD_U * BARD_V / d, BARD_U * BARD_W / d], axis=1)


GAUSS_Y = np.array(
    [
        0.0009,
        0.0044,
        0.0175,
        0.0540,
        0.1295,
        0.2420,
        0.3521,
        0.3989,
        0.3521,
        0.2420,
        0.1295,
        0.0540,
        0.0175,
        0.0044,
        0.0009,
    ]
)
GAUSS_T = (7.0 - np.arange(1.0, 16.0)) / 2.0


def gaussian_r(x):
    return x[0] * np.exp(-x[1] * (GAUSS_T - x[2]) ** 2 / 2.0) - GAUSS_Y


def gaussian_j(x):
    e = np.exp(-x[1] * (GAUSS_T - x[2]) ** 2 / 2.0)
    return np.stack(
        [e, -x[0] * e * (GAUSS_T - x[2]) ** 2 / 2.0, x[0] * e * x[1] * (GAUSS_T - x[2])], axis=1
    )


BOX_T = 0.1 * np.arange(1.0, 11.0)


def box3_r(x):
    return (
        np.exp(-BOX_T * x[0])
        - np.exp(-BOX_T * x[1])
        - x[2] * (np.exp(-BOX_T) - np.exp(-10.0 * BOX_T))
    )


def box3_j(x):
    return np.stack(
        [
            -BOX_T * np.exp(-BOX_T * x[0]),
            BOX_T * np.exp(-BOX_T * x[1]),
            -(np.exp(-BOX_T) - np.exp(-10.0 * BOX_T)),
        ],
        axis=1,
    )


def powell_singular_r(x):
    return np.array(
        [
            x[0] + 10.0 * x[1],
            np.sqrt(5.0) * (x[2] - x[3]),
            (x[1] - 2.0 * x[2]) ** 2,
            np.sqrt(10.0) * (x[0] - x[3]) ** 2,
        ]
    )


def powell_singular_j(x):
    s5, s10 = np.sqrt(5.0), np.sqrt(10.0)
    a, b = 2.0 * (x[1] - 2.0 * x[2]), 2.0 * s10 * (x[0] - x[3])
    return np.array(
        [[1.0, 10.0, 0.0, 0.0], [0.0, 0.0, s5, -s5], [0.0, a, -2.0 * a, 0.0], [b, 0.0, 0.0, -b]]
    )


def wood_r(x):
    return np.array(
        [
            10.0 * (x[1] - x[0] ** 2),
            1.0 - x[0],
            np.sqrt(90.0) * (x[3] - x[2] ** 2),
            1.0 - x[2],
            np.sqrt(10.0) * (x[1] + x[3] - 2.0),
            (x[1] - x[3]) / np.sqrt(10.0),
        ]
    )


def wood_j(x):
    s90, s10 = np.sqrt(90.0), np.sqrt(10.0)
    return np.array(
        [
            [-20.0 * x[0], 10.0, 0.0, 0.0],
            [-1.0, 0.0, 0.0, 0.0],
            [0.0, 0.0, -2.0 * s90 * x[2], s90],
            [0.0, 0.0, -1.0, 0.0],
            [0.0, s10, 0.0, s10],
            [0.0, 1.0 / s10, 0.0, -1.0 / s10],
        ]
    )


KOWALIK_Y = np.array(
    [0.1957, 0.1947, 0.1735, 0.1600, 0.0844, 0.0627, 0.0456, 0.0342, 0.0323, 0.0235, 0.0246]
)
KOWALIK_U = np.array([4.0, 2.0, 1.0, 0.5, 0.25, 0.167, 0.125, 0.1, 0.0833, 0.0714, 0.0625])


def kowalik_r(x):
    u = KOWALIK_U
    return KOWALIK_Y - x[0] * (u * u + u * x[1]) / (u * u + u * x[2] + x[3])


def kowalik_j(x):
    u = KOWALIK_U
    num, den = u * u + u * x[1], u * u + u * x[2] + x[3]
    return np.stack(
        [-num / den, -x[0] * u / den, x[0] * num * u / den**2, x[0] * num / den**2], axis=1
    )


BD_T = np.arange(1.0, 21.0) / 5.0


def brown_dennis_r(x):
    return (x[0] + BD_T * x[1] - np.exp(BD_T)) ** 2 + (
        x[2] + x[3] * np.sin(BD_T) - np.cos(BD_T)
    ) ** 2


def brown_dennis_j(x):
    a = 2.0 * (x[0] + BD_T * x[1] - np.exp(BD_T))
    b = 2.0 * (x[2] + x[3] * np.sin(BD_T) - np.cos(BD_T))
    return np.stack([a, a * BD_T, b, b * np.sin(BD_T)], axis=1)


def trigonometric_r(x):
    n = x.size
    c = np.cos(x)
    return n - c.sum() + np.arange(1.0, n + 1.0) * (1.0 - c) - np.sin(x)


def trigonometric_j(x):
    n = x.size
    J = np.tile(np.sin(x), (n, 1))
    J += np.diag(np.arange(1.0, n + 1.0) * np.sin(x) - np.cos(x))
    return J


def penalty1_r(x):
    a = np.sqrt(1e-5)
    return np.concatenate([a * (x - 1.0), [x @ x - 0.25]])


def penalty1_j(x):
    n = x.size
    return np.vstack([np.sqrt(1e-5) * np.eye(n), 2.0 * x[None, :]])


def variably_dimensioned_r(x):
    n = x.size
    s = np.arange(1.0, n + 1.0) @ (x - 1.0)
    return np.concatenate([x - 1.0, [s, s * s]])


def variably_dimensioned_j(x):
    n = x.size
    j = np.arange(1.0, n + 1.0)
    s = j @ (x - 1.0)
    return np.vstack([np.eye(n), j[None, :], 2.0 * s * j[None, :]])


def broyden_tridiagonal_r(x):
    xp = np.concatenate([[0.0], x, [0.0]])
    return (3.0 - 2.0 * x) * x - xp[:-2] - 2.0 * xp[2:] + 1.0


def broyden_tridiagonal_j(x):
    n = x.size
    return np.diag(3.0 - 4.0 * x) - np.eye(n, k=-1) - 2.0 * np.eye(n, k=1)


def himmelblau_r(x):
    return np.array([x[0] ** 2 + x[1] - 11.0, x[0] + x[1] ** 2 - 7.0])


def himmelblau_j(x):
    return np.array([[2.0 * x[0], 1.0], [1.0, 2.0 * x[1]]])


PROBLEMS = [
    Problem("rosenbrock", (-1.2, 1.0), rosenbrock_r, rosenbrock_j),
    Problem("extended rosenbrock n=10", tuple([-1.2, 1.0] * 5), ext_rosenbrock_r, ext_rosenbrock_j),
    Problem("freudenstein-roth", (0.5, -2.0), freudenstein_roth_r, freudenstein_roth_j),
    Problem("brown badly scaled", (1.0, 1.0), brown_badly_scaled_r, brown_badly_scaled_j),
    Problem("beale", (1.0, 1.0), beale_r, beale_j),
    Problem("jennrich-sampson", (0.3, 0.4), jennrich_sampson_r, jennrich_sampson_j),
    Problem("helical valley", (-1.0, 0.0, 0.0), helical_r, helical_j),
    Problem("bard", (1.0, 1.0, 1.0), bard_r, bard_j),
    Problem("gaussian", (0.4, 1.0, 0.0), gaussian_r, gaussian_j),
    Problem("box 3-d", (0.0, 10.0, 20.0), box3_r, box3_j),
    Problem("powell singular", (3.0, -1.0, 0.0, 1.0), powell_singular_r, powell_singular_j),
    Problem("wood", (-3.0, -1.0, -3.0, -1.0), wood_r, wood_j),
    Problem("kowalik-osborne", (0.25, 0.39, 0.415, 0.39), kowalik_r, kowalik_j),
    Problem("brown-dennis", (25.0, 5.0, -5.0, -1.0), brown_dennis_r, brown_dennis_j),
    Problem("trigonometric n=10", tuple([0.1] * 10), trigonometric_r, trigonometric_j),
    Problem("penalty I n=10", tuple(range(1, 11)), penalty1_r, penalty1_j),
    Problem(
        "variably dimensioned n=10",
        tuple(1.0 - k / 10.0 for k in range(1, 11)),
        variably_dimensioned_r,
        variably_dimensioned_j,
    ),
    Problem(
        "broyden tridiagonal n=10", tuple([-1.0] * 10), broyden_tridiagonal_r, broyden_tridiagonal_j
    ),
    Problem("himmelblau", (0.0, 0.0), himmelblau_r, himmelblau_j),
]

# Boxes that are active at the bounded solution (each cuts off the
# unconstrained minimizer found from the start).
BOUNDED = [
    ("rosenbrock", [(None, 0.5), (None, None)]),
    ("beale", [(None, 2.5), (-1.0, 1.0)]),
    ("wood", [(-2.0, 0.8), (None, None), (-2.0, 0.8), (None, None)]),
    ("helical valley", [(-2.0, 0.9), (None, None), (-1.0, 1.0)]),
    ("powell singular", [(0.1, None), (None, None), (None, None), (None, 3.0)]),
    ("himmelblau", [(0.0, 2.5), (0.0, 1.5)]),
    ("extended rosenbrock n=10", [(-2.0, 0.7)] * 10),
    ("brown-dennis", [(-20.0, -12.0), (None, None), (None, None), (None, None)]),
    ("trigonometric n=10", [(0.0, 0.05)] * 10),
    ("variably dimensioned n=10", [(None, 0.9)] * 10),
]

BY_NAME = {p.name: p for p in PROBLEMS}
