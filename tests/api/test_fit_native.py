"""Velmora.fit over native objectives: C functions compiled at test time
(ctypes, NativeObjective with a native gradient) and numba cfuncs give the
fit of the same arithmetic in Python; native fits run without the
interpreter lock, in parallel, stop on Ctrl-C, and leak nothing."""

import ctypes
import math
import shutil
import subprocess
import textwrap
import threading
import warnings

import numpy as np
import pytest

from Velmora import IdentifiabilityWarning, NativeObjective, fit

from native import run_python

# ctx points to {n, d[0], ..., d[n-1]}; no contraction, so that Python
# loops with the same operations give the same values.
FIT_C = r"""
#include <math.h>
#include <stdint.h>
#include <time.h>

double normal_nll(const double *x, void *ctx) {
    const double *p = (const double *)ctx;
    int64_t n = (int64_t)p[0];
    double mu = x[0], s = x[1], q = 0.0;
    for (int64_t i = 0; i < n; ++i) q += (p[1 + i] - mu) * (p[1 + i] - mu);
    return n * log(s) + q / (2.0 * s * s);
}

double normal_nll_fg(const double *x, double *g, void *ctx) {
    const double *p = (const double *)ctx;
    int64_t n = (int64_t)p[0];
    double mu = x[0], s = x[1], q = 0.0, r = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        r += p[1 + i] - mu;
        q += (p[1 + i] - mu) * (p[1 + i] - mu);
    }
    g[0] = -r / (s * s);
    g[1] = n / s - q / (s * s * s);
    return n * log(s) + q / (2.0 * s * s);
}

/* mu = x[0] + x[1], sigma = x[2]: x[0] and x[1] are not identified. */
double sum_model(const double *x, void *ctx) {
    double y[2] = {x[0] + x[1], x[2]};
    return normal_nll(y, ctx);
}

/* (x - 1)^2 + 1 once the int at ctx is non-zero: only another thread can set it. */
double wait_then_square(const double *x, void *ctx) {
    while (!*(volatile int *)ctx) {}
    return (x[0] - 1.0) * (x[0] - 1.0) + 1.0;
}

/* Spins for about 2 ms per call. */
double slow_square(const double *x, void *ctx) {
    struct timespec t0, t;
    (void)ctx;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    do clock_gettime(CLOCK_MONOTONIC, &t);
    while ((t.tv_sec - t0.tv_sec) * 1e6 + (t.tv_nsec - t0.tv_nsec) * 1e-3 < 2000.0);
    return (x[0] - 1.0) * (x[0] - 1.0) + x[1] * x[1];
}
"""

VALUE = (ctypes.c_double, [ctypes.POINTER(ctypes.c_double), ctypes.c_void_p])
VALUE_GRAD = (
    ctypes.c_double,
    [ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_double), ctypes.c_void_p],
)


@pytest.fixture(scope="module")
def flib(tmp_path_factory):
    gcc = shutil.which("gcc") or shutil.which("cc")
    if gcc is None:
        pytest.skip("no C compiler")
    folder = tmp_path_factory.mktemp("fit_objectives")
    src, lib = folder / "fit.c", folder / "fit.so"
    src.write_text(FIT_C)
    subprocess.run(
        [gcc, "-O2", "-ffp-contract=off", "-shared", "-fPIC", "-o", str(lib), str(src), "-lm"],
        check=True,
    )
    dll = ctypes.CDLL(str(lib))
    for name in ("normal_nll", "sum_model", "wait_then_square", "slow_square"):
        getattr(dll, name).restype, getattr(dll, name).argtypes = VALUE
    dll.normal_nll_fg.restype, dll.normal_nll_fg.argtypes = VALUE_GRAD
    dll.path = str(lib)
    return dll


DATA = np.random.default_rng(8).normal(1.5, 0.7, 150)
CTX = np.concatenate([[DATA.size], DATA])
BOUNDS = [(None, None), (0.0, None)]


def normal_nll(x):
    """The C function's arithmetic, in Python floats."""
    mu, s = float(x[0]), float(x[1])
    q = 0.0
    for d in DATA.tolist():
        q += (d - mu) * (d - mu)
    return DATA.size * math.log(s) + q / (2.0 * s * s)


def normal_grad(x):
    mu, s = float(x[0]), float(x[1])
    q = r = 0.0
    for d in DATA.tolist():
        r += d - mu
        q += (d - mu) * (d - mu)
    return [-r / (s * s), DATA.size / s - q / (s * s * s)]


def same_fit(a, b):
    assert (a.status, a.nit, a.nfev, a.njev) == (b.status, b.nit, b.nfev, b.njev)
    np.testing.assert_array_equal(a.x, b.x)
    np.testing.assert_array_equal(a.hessian, b.hessian)
    np.testing.assert_array_equal(a.cov, b.cov)
    assert a.fun == b.fun


@pytest.mark.parametrize("method", ["L-BFGS-B", "Nelder-Mead"])
def test_native_value_fits_as_the_python_objective(flib, method):
    native = fit(
        NativeObjective(flib.normal_nll, ctx=CTX.ctypes.data),
        [0.0, 1.0],
        bounds=BOUNDS,
        method=method,
    )
    same_fit(native, fit(normal_nll, [0.0, 1.0], bounds=BOUNDS, method=method))
    # The closed form holds at the optimum, which Nelder-Mead reaches to 1e-4.
    np.testing.assert_allclose(
        native.se,
        native.x[1] / np.sqrt([DATA.size, 2 * DATA.size]),
        rtol=1e-6 if method == "L-BFGS-B" else 1e-3,
    )


def test_native_gradient_fits_as_the_python_pair(flib):
    native = fit(
        NativeObjective(flib.normal_nll, ctx=CTX.ctypes.data, grad=flib.normal_nll_fg),
        [0.0, 1.0],
        bounds=BOUNDS,
    )
    python = fit(normal_nll, [0.0, 1.0], jac=normal_grad, bounds=BOUNDS)
    same_fit(native, python)
    assert native.njev == native.nfev  # value and gradient together, the Hessian from gradients


def test_numba_cfunc():
    numba = pytest.importorskip("numba")
    from numba import carray, types

    data = DATA.copy()

    @numba.cfunc(types.float64(types.CPointer(types.float64), types.voidptr))
    def nll(xp, ctx):
        x = carray(xp, 2)
        q = 0.0
        for d in data:
            q += (d - x[0]) * (d - x[0])
        return data.size * math.log(x[1]) + q / (2.0 * x[1] * x[1])

    native = fit(nll, [0.0, 1.0], bounds=BOUNDS, names=["mu", "sigma"])
    python = fit(normal_nll, [0.0, 1.0], bounds=BOUNDS)
    assert native.nfev == python.nfev
    np.testing.assert_allclose(native.x, python.x, rtol=1e-12)
    np.testing.assert_allclose(native.cov, python.cov, rtol=1e-7)


def test_native_rank_deficient_model_warns(flib):
    with pytest.warns(IdentifiabilityWarning, match="for a, b$"):
        r = fit(
            NativeObjective(flib.sum_model, ctx=CTX.ctypes.data),
            [0.0, 0.5, 1.0],
            bounds=[(None, None), (None, None), (0.0, None)],
            names=["a", "b", "sigma"],
        )
    assert np.isnan(r.se[:2]).all() and np.isfinite(r.se[2])


@pytest.mark.threads
def test_native_fits_release_the_lock(flib):
    code = textwrap.dedent(f"""
        import ctypes, threading, time
        import Velmora
        lib = ctypes.CDLL({flib.path!r})
        f = lib.wait_then_square
        f.restype, f.argtypes = ctypes.c_double, [ctypes.POINTER(ctypes.c_double), ctypes.c_void_p]
        flag = ctypes.c_int(0)
        out = {{}}
        def work():
            out["r"] = Velmora.fit(Velmora.NativeObjective(f, ctx=ctypes.addressof(flag)), [3.0])
        t = threading.Thread(target=work)
        t.start()
        time.sleep(0.05)
        flag.value = 1
        t.join()
        print(out["r"].success, round(out["r"].x[0], 4), round(out["r"].se[0], 6))
    """)
    run = run_python(code, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["True", "1.0", str(round(math.sqrt(0.5), 6))]


@pytest.mark.threads
def test_threads_fit_independently(flib):
    datasets = [np.random.default_rng(k).normal(k, 1.0 + k, 80) for k in range(6)]
    expected = [
        fit(
            NativeObjective(flib.normal_nll, ctx=np.concatenate([[d.size], d]).ctypes.data),
            [0.0, 1.0],
            bounds=BOUNDS,
        )
        for d in datasets
    ]
    got = [None] * len(datasets)

    def work(k):
        ctx = np.concatenate([[datasets[k].size], datasets[k]])
        got[k] = fit(
            NativeObjective(flib.normal_nll, ctx=ctx.ctypes.data), [0.0, 1.0], bounds=BOUNDS
        )

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(datasets))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for a, b in zip(got, expected):
        same_fit(a, b)


CTRL_C = textwrap.dedent("""
    import ctypes, os, signal, sys, threading, time
    signal.signal(signal.SIGINT, signal.default_int_handler)  # a shell's background job ignores it
    import Velmora
    lib = ctypes.CDLL(sys.argv[1])
    f = lib.slow_square
    f.restype, f.argtypes = ctypes.c_double, [ctypes.POINTER(ctypes.c_double), ctypes.c_void_p]
    sent = []
    def interrupt():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Timer(0.3, interrupt).start()
    # A fit takes about 1.5 s; however late the signal comes on a loaded
    # machine, it must stop the fit under way.
    try:
        for _ in range(20):
            Velmora.fit(f, [50.0, 40.0], method="Nelder-Mead",
                        options={"maxfev": 10**9, "xatol": 0.0, "fatol": 0.0})
        print("finished", 20)
    except KeyboardInterrupt:
        print("interrupted", time.perf_counter() - sent[0])
""")


def test_ctrl_c_stops_a_native_fit(flib):
    run = run_python(CTRL_C, flib.path, timeout=60)
    assert run.returncode == 0, run.stderr
    word, value = run.stdout.split()
    assert word == "interrupted" and float(value) < 2.0, run.stdout


def failing(x):
    raise KeyError("x")


LEAK_PATHS = {
    "native": lambda lib: fit(
        NativeObjective(lib.normal_nll, ctx=CTX.ctypes.data), [0.0, 1.0], bounds=BOUNDS
    ),
    "not converged": lambda lib: fit(
        normal_nll, [0.0, 1.0], jac=normal_grad, bounds=BOUNDS, options={"maxiter": 2}
    ),
    "flat": lambda lib: fit(
        NativeObjective(lib.sum_model, ctx=CTX.ctypes.data),
        [0.0, 0.5, 1.0],
        bounds=[(None, None), (None, None), (0.0, None)],
    ),
    "outside bounds": lambda lib: fit(normal_nll, [0.0, -1.0], bounds=BOUNDS),
    "not finite": lambda lib: fit(lambda x: math.nan, [0.0, 1.0], bounds=BOUNDS),
    "raises": lambda lib: fit(failing, [0.0, 1.0], bounds=BOUNDS),
    "gradient raises": lambda lib: fit(normal_nll, [0.0, 1.0], jac=failing, bounds=BOUNDS),
}


@pytest.mark.parametrize("path", list(LEAK_PATHS))
def test_repeated_fits_leak_nothing(flib, path):
    import gc
    import tracemalloc

    def repeat(k):
        for _ in range(k):
            try:
                LEAK_PATHS[path](flib)
            except (KeyError, ValueError):
                pass

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        repeat(20)
        gc.collect()
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            repeat(200)
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
    assert grown < 20_000, grown  # a leaked array per fit would be > 20 kB
