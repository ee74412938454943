"""Fixtures of the public layer's tests: native objectives compiled from C at
test time (gcc), so that native runs are checked without any other tool."""

import ctypes
import shutil
import subprocess

import pytest

# Plain C, compiled without contraction so that the results match the same
# arithmetic written in Python. ctx, when used, points to the dimension n.
OBJECTIVES_C = r"""
#include <math.h>
#include <stdint.h>
#include <time.h>

double rosen2(const double *x, void *ctx) {
    (void)ctx;
    double a = x[1] - x[0] * x[0], b = 1.0 - x[0];
    return 100.0 * a * a + b * b;
}

double rosen2_fg(const double *x, double *g, void *ctx) {
    (void)ctx;
    double a = x[1] - x[0] * x[0], b = 1.0 - x[0];
    g[0] = -400.0 * x[0] * a - 2.0 * b;
    g[1] = 200.0 * a;
    return 100.0 * a * a + b * b;
}

/* sum of (x[i] - c[i])^2 with c read from ctx = {n, c[0], ..., c[n-1]}. */
double shifted_sphere(const double *x, void *ctx) {
    const double *p = (const double *)ctx;
    int64_t n = (int64_t)p[0];
    double s = 0.0;
    for (int64_t i = 0; i < n; ++i) s += (x[i] - p[1 + i]) * (x[i] - p[1 + i]);
    return s;
}

/* A slow objective: spins for about ctx microseconds, then returns sum x^2. */
double slow_sphere(const double *x, void *ctx) {
    struct timespec t0, t;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    double us = (double)(uintptr_t)ctx;
    do clock_gettime(CLOCK_MONOTONIC, &t);
    while ((t.tv_sec - t0.tv_sec) * 1e6 + (t.tv_nsec - t0.tv_nsec) * 1e-3 < us);
    return x[0] * x[0] + x[1] * x[1] + 1.0;
}

double always_nan(const double *x, void *ctx) { (void)x; (void)ctx; return NAN; }

/* Spins until the int at ctx is non-zero: only another thread can end it. */
double wait_for_flag(const double *x, void *ctx) {
    while (!*(volatile int *)ctx) {}
    return x[0] * x[0];
}
"""


@pytest.fixture(scope="session")
def clib(tmp_path_factory):
    """The compiled objectives as a ctypes library (skipped without gcc)."""
    gcc = shutil.which("gcc") or shutil.which("cc")
    if gcc is None:
        pytest.skip("no C compiler")
    folder = tmp_path_factory.mktemp("objectives")
    src, lib = folder / "objectives.c", folder / "objectives.so"
    src.write_text(OBJECTIVES_C)
    subprocess.run(
        [gcc, "-O2", "-ffp-contract=off", "-shared", "-fPIC", "-o", str(lib), str(src), "-lm"],
        check=True,
    )
    dll = ctypes.CDLL(str(lib))
    value = (ctypes.c_double, [ctypes.POINTER(ctypes.c_double), ctypes.c_void_p])
    for name in ("rosen2", "shifted_sphere", "slow_sphere", "always_nan", "wait_for_flag"):
        getattr(dll, name).restype, getattr(dll, name).argtypes = value
    dll.rosen2_fg.restype = ctypes.c_double
    dll.rosen2_fg.argtypes = [
        ctypes.POINTER(ctypes.c_double),
        ctypes.POINTER(ctypes.c_double),
        ctypes.c_void_p,
    ]
    dll.path = str(lib)
    return dll
