"""Least-squares fits of exponential decays y = a*exp(-b*t) + c on 20 time
points, one problem per row of y: the objective as numba cfuncs (value, and
value with gradient) whose context is the row, and as Python functions
fun(p, y_row). An importable module, so that worker processes of a Dask
cluster can rebuild the native objective ("decay_objectives:objective")."""

import numpy as np
from numba import carray, cfunc, types

from Velmora import NativeObjective

T = np.linspace(0.0, 4.0, 20)
M = T.size

VALUE = types.float64(types.CPointer(types.float64), types.voidptr)
VALUE_GRAD = types.float64(
    types.CPointer(types.float64), types.CPointer(types.float64), types.voidptr
)


@cfunc(VALUE)
def sse(p, ctx):
    y = carray(ctx, M, dtype=np.float64)
    s = 0.0
    for i in range(M):
        r = p[0] * np.exp(-p[1] * T[i]) + p[2] - y[i]
        s += r * r
    return s


@cfunc(VALUE_GRAD)
def sse_grad(p, g, ctx):
    y = carray(ctx, M, dtype=np.float64)
    s = ga = gb = gc = 0.0
    for i in range(M):
        e = np.exp(-p[1] * T[i])
        r = p[0] * e + p[2] - y[i]
        s += r * r
        ga += 2.0 * r * e
        gb -= 2.0 * r * p[0] * T[i] * e
        gc += 2.0 * r
    g[0] = ga
    g[1] = gb
    g[2] = gc
    return s


objective = NativeObjective(sse, grad=sse_grad)

# The decay as a curve model: model(t, m, p, out, ctx) and its Jacobian.
MODEL = types.void(
    types.CPointer(types.float64),
    types.int64,
    types.CPointer(types.float64),
    types.CPointer(types.float64),
    types.voidptr,
)


@cfunc(MODEL)
def model(t, m, p, out, ctx):
    for i in range(m):
        out[i] = p[0] * np.exp(-p[1] * t[i]) + p[2]


@cfunc(MODEL)
def model_jac(t, m, p, J, ctx):
    for i in range(m):
        e = np.exp(-p[1] * t[i])
        J[3 * i] = e
        J[3 * i + 1] = -p[0] * t[i] * e
        J[3 * i + 2] = 1.0


@np.errstate(over="ignore", invalid="ignore")
def model_py(t, a, b, c):
    return a * np.exp(-b * t) + c


@np.errstate(over="ignore", invalid="ignore")
def model_jac_py(t, a, b, c):
    e = np.exp(-b * t)
    return np.column_stack([e, -a * t * e, np.ones_like(t)])


@np.errstate(over="ignore", invalid="ignore")
def sse_py(p, y):
    r = p[0] * np.exp(-p[1] * T) + p[2] - y
    return float(r @ r)


@np.errstate(over="ignore", invalid="ignore")
def sse_grad_py(p, y):
    e = np.exp(-p[1] * T)
    r = p[0] * e + p[2] - y
    return 2.0 * np.array([r @ e, -p[0] * (r @ (T * e)), r.sum()])


def problems(K, seed=0, noise=0.01):
    """(true parameters (K, 3), data (K, 20))."""
    rng = np.random.default_rng(seed)
    p = np.column_stack(
        [rng.uniform(1.0, 3.0, K), rng.uniform(0.3, 2.0, K), rng.uniform(-1.0, 1.0, K)]
    )
    y = p[:, :1] * np.exp(-p[:, 1:2] * T) + p[:, 2:] + rng.normal(0.0, noise, (K, M))
    return p, y


START = np.array([1.0, 1.0, 0.0])
