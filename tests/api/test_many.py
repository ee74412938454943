"""Velmora.minimize_many: every row is the run minimize makes of that problem,
whatever the number of workers; per-problem starts, data and bounds; bad
rows reported in their row; bad arguments refused before any evaluation;
user exceptions and Ctrl-C stop the call; native problems run in parallel;
the progress line; no leaks."""

import ctypes
import gc
import io
import math
import shutil
import subprocess
import textwrap
import tracemalloc

import numpy as np
import pytest

import Velmora
from Velmora import ManyResult, NativeObjective, _progress, minimize, minimize_many

from native import run_python

KEYS = ["x", "fun", "nit", "nfev", "status", "success", "message"]

# ctx points to a row of three centre values.
MANY_C = r"""
#include <stdatomic.h>
#include <stdint.h>
#include <time.h>

double row_sphere(const double *x, void *ctx) {
    const double *c = (const double *)ctx;
    double s = 0.0;
    for (int i = 0; i < 3; ++i) s += (x[i] - c[i]) * (x[i] - c[i]);
    return s;
}

double row_sphere_fg(const double *x, double *g, void *ctx) {
    const double *c = (const double *)ctx;
    double s = 0.0;
    for (int i = 0; i < 3; ++i) {
        s += (x[i] - c[i]) * (x[i] - c[i]);
        g[i] = 2.0 * (x[i] - c[i]);
    }
    return s;
}

/* The most threads seen inside at once: each call stays about 1 ms. */
static atomic_int inside, peak;
double crowded(const double *x, void *ctx) {
    int now = atomic_fetch_add(&inside, 1) + 1, seen = atomic_load(&peak);
    while (now > seen && !atomic_compare_exchange_weak(&peak, &seen, now)) {}
    struct timespec t0, t;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    do clock_gettime(CLOCK_MONOTONIC, &t);
    while ((t.tv_sec - t0.tv_sec) * 1000000000L + (t.tv_nsec - t0.tv_nsec) < 1000000L);
    atomic_fetch_sub(&inside, 1);
    return row_sphere(x, ctx);
}
int crowd_peak(void) { int p = atomic_load(&peak); atomic_store(&peak, 0); return p; }

/* Sum of x^2 over ctx = n (as an integer) variables. */
double sphere_n(const double *x, void *ctx) {
    int64_t n = (int64_t)(uintptr_t)ctx;
    double s = 0.0;
    for (int64_t i = 0; i < n; ++i) s += x[i] * x[i];
    return s;
}
"""


@pytest.fixture(scope="module")
def mlib(tmp_path_factory):
    gcc = shutil.which("gcc") or shutil.which("cc")
    if gcc is None:
        pytest.skip("no C compiler")
    folder = tmp_path_factory.mktemp("many")
    (folder / "many.c").write_text(MANY_C)
    lib = folder / "many.so"
    subprocess.run(
        [
            gcc,
            "-O2",
            "-ffp-contract=off",
            "-shared",
            "-fPIC",
            "-o",
            str(lib),
            str(folder / "many.c"),
            "-lm",
        ],
        check=True,
    )
    dll = ctypes.CDLL(str(lib))
    value = (ctypes.c_double, [ctypes.POINTER(ctypes.c_double), ctypes.c_void_p])
    for name in ("row_sphere", "crowded", "sphere_n"):
        getattr(dll, name).restype, getattr(dll, name).argtypes = value
    dll.row_sphere_fg.restype = ctypes.c_double
    dll.row_sphere_fg.argtypes = [ctypes.POINTER(ctypes.c_double)] * 2 + [ctypes.c_void_p]
    dll.crowd_peak.restype = ctypes.c_int
    dll.path = str(lib)
    return dll


@pytest.fixture(scope="module")
def decay():
    pytest.importorskip("numba")
    import decay_objectives

    return decay_objectives


def centres(K, seed=0):
    return np.random.default_rng(seed).uniform(-3.0, 3.0, (K, 3))


def row_sphere_py(x, c):
    return float(np.sum((x - c) ** 2))


def row_sphere_grad_py(x, c):
    return 2.0 * (x - c)


def assert_rows_are_minimize(result, separate):
    """Row k of the ManyResult against the OptimizeResult of problem k."""
    assert type(result) is ManyResult and list(result) == KEYS
    K = len(separate)
    assert result.x.shape == (K, separate[0].x.size) and result.x.dtype == np.float64
    for key, dtype in (
        ("fun", np.float64),
        ("nit", np.int64),
        ("nfev", np.int64),
        ("status", np.int64),
        ("success", np.bool_),
        ("message", object),
    ):
        assert result[key].shape == (K,) and result[key].dtype == dtype, key
    for k, r in enumerate(separate):
        np.testing.assert_array_equal(result.x[k], r.x, err_msg=f"problem {k}")
        np.testing.assert_array_equal(result.fun[k], r.fun, err_msg=f"problem {k}")  # NaN too
        assert (
            result.nit[k],
            result.nfev[k],
            result.status[k],
            result.success[k],
            result.message[k],
        ) == (r.nit, r.nfev, r.status, r.success, r.message), k


# --- each row is the minimize run of its problem -------------------------------------


def decay_case(decay, form, K=40):
    """(minimize_many arguments, the minimize call of problem k)."""
    _, y = decay.problems(K, seed=3)
    y[5, 4] = np.nan  # not finite at the start: reported in its row
    y[9] = 1e300  # overflows: the value is inf at the start
    start = np.tile(decay.START, (K, 1))
    start[2] = [1e-3, 50.0, 0.0]  # a poor start
    if form == "native value":
        fun, jac = decay.sse, None
    elif form == "native gradient":
        fun, jac = decay.objective, None
    elif form == "python":
        fun, jac = decay.sse_py, None
    elif form == "python jac":
        fun, jac = decay.sse_py, decay.sse_grad_py
    else:  # python jac=True
        fun, jac = (lambda q, row: (decay.sse_py(q, row), decay.sse_grad_py(q, row))), True

    def one(k, **kwargs):
        if form.startswith("native"):
            native = NativeObjective(
                decay.sse,
                ctx=y[k].ctypes.data,
                grad=None if form == "native value" else decay.sse_grad,
            )
            return minimize(native, start[k], **kwargs)
        return minimize(fun, start[k], args=(y[k],), jac=jac, **kwargs)

    return (fun, start, y, jac), one


@pytest.mark.parametrize(
    "form", ["native value", "native gradient", "python", "python jac", "python jac=True"]
)
@pytest.mark.parametrize("workers", [1, 2, None])
def test_rows_are_the_runs_of_minimize_lbfgsb(decay, form, workers):
    (fun, start, y, jac), one = decay_case(decay, form)
    result = minimize_many(fun, start, y, jac=jac, workers=workers)
    assert_rows_are_minimize(result, [one(k) for k in range(len(y))])
    assert result.status[5] == 7 and result.status[9] == 7 and not result.success[[5, 9]].any()
    assert result.success.sum() >= len(y) - 3


@pytest.mark.parametrize("form", ["native value", "python"])
@pytest.mark.parametrize("workers", [1, 2, None])
def test_rows_are_the_runs_of_minimize_neldermead(decay, form, workers):
    (fun, start, y, _), one = decay_case(decay, form, K=16)
    options = {"maxfev": 400, "xatol": 1e-6, "fatol": 1e-9}
    result = minimize_many(fun, start, y, method="Nelder-Mead", options=options, workers=workers)
    assert_rows_are_minimize(
        result, [one(k, method="Nelder-Mead", options=options) for k in range(len(y))]
    )


def test_fits_recover_the_decays(decay):
    p, y = decay.problems(200, seed=1, noise=1e-4)
    result = minimize_many(
        decay.objective, decay.START, y, bounds=[(0, None), (0, None), (None, None)]
    )
    assert result.success.all()
    np.testing.assert_allclose(result.x, p, atol=2e-3)


@pytest.mark.parametrize("native", [True, False])
def test_x0_of_one_row_is_every_problem_start(mlib, native):
    c = centres(7)
    fun = mlib.row_sphere if native else row_sphere_py
    one = minimize_many(fun, [0.5, -0.5, 1.0], c)
    every = minimize_many(fun, np.tile([0.5, -0.5, 1.0], (7, 1)), c)
    for key in KEYS:
        np.testing.assert_array_equal(one[key], every[key])
    np.testing.assert_allclose(one.x, c, atol=1e-5)


def test_without_data_problems_differ_in_their_starts(mlib):
    starts = np.arange(12.0).reshape(4, 3)
    native = minimize_many(NativeObjective(mlib.sphere_n, ctx=3), starts)
    python = minimize_many(lambda x, scale: scale * float(x @ x), starts, args=2.0)
    assert_rows_are_minimize(
        native, [minimize(NativeObjective(mlib.sphere_n, ctx=3), s) for s in starts]
    )
    assert python.success.all() and np.abs(python.x).max() < 1e-5


def test_python_objective_gets_row_k_and_args(mlib):
    c = centres(5)
    seen = []

    def fun(x, row, scale, *, extra=None):
        seen.append((row, scale))
        return scale * row_sphere_py(x, row)

    result = minimize_many(
        fun, np.zeros(3), c, args=(3.0,), jac=lambda x, row, scale: scale * 2.0 * (x - row)
    )
    rows = [id(r) for r, _ in seen]
    assert {s for _, s in seen} == {3.0}
    # Every call of one problem sees one view of its row; the rows are in order.
    first = [seen[i][0] for i in range(len(seen)) if i == 0 or rows[i] != rows[i - 1]]
    assert len(first) == 5
    for k, row in enumerate(first):
        np.testing.assert_array_equal(row, c[k])
    np.testing.assert_allclose(result.x, c, atol=1e-6)


def test_a_nan_trial_point_is_no_convergence_in_any_row():
    # NaN below 0, minimum at t: the first trial from 0.9 crosses 0 in every
    # row; a row that returned to 0.9 would pass the ftol test there.
    def fun(x, t):
        return math.sqrt(x[0]) * 0.0 + (x[0] - t) ** 2 if x[0] >= 0.0 else math.nan

    targets = np.array([0.5, 0.3, 0.05])
    result = minimize_many(fun, [0.9], targets)
    assert result.success.all()
    np.testing.assert_allclose(result.x[:, 0], targets, atol=1e-6)


def test_minima_far_from_zero_are_success_in_every_row():
    # Minima at 0 .. 2999: with a relative forward step, most rows used to end
    # "line search failed" at the right x.
    centres = np.arange(0.0, 3000.0, 7.0)
    result = minimize_many(lambda x, c: float((x[0] - c) ** 2), [0.0], centres)
    assert result.success.all(), np.flatnonzero(~result.success)[:5]
    np.testing.assert_allclose(result.x[:, 0], centres, rtol=1e-8, atol=1e-7)


def test_one_dimensional_data_gives_scalar_rows(mlib):
    targets = np.array([1.0, -2.0, 5.0])
    python = minimize_many(lambda x, t: float((x[0] - t) ** 2), [0.0], targets)
    np.testing.assert_allclose(python.x[:, 0], targets, atol=1e-6)


def test_inputs_are_converted_and_never_modified(mlib):
    c = centres(6).astype(np.float32)
    fortran = np.asfortranarray(np.tile([0.0, 0.0, 0.0], (6, 1)))
    before = (c.copy(), fortran.copy())
    result = minimize_many(mlib.row_sphere, fortran, c.tolist())
    np.testing.assert_array_equal(c, before[0])
    np.testing.assert_array_equal(fortran, before[1])
    np.testing.assert_allclose(result.x, c, atol=1e-5)
    ints = minimize_many(mlib.row_sphere, np.zeros(3, dtype=int), np.arange(9).reshape(3, 3))
    np.testing.assert_allclose(ints.x, np.arange(9.0).reshape(3, 3), atol=1e-5)


def test_no_problems_gives_empty_rows(mlib):
    r = minimize_many(mlib.row_sphere, np.zeros((0, 3)), np.zeros((0, 3)))
    assert r.x.shape == (0, 3) and all(r[key].shape == (0,) for key in KEYS[1:])


def test_native_gradient_from_a_native_objective(mlib):
    c = centres(9)
    with_grad = minimize_many(
        NativeObjective(mlib.row_sphere, grad=mlib.row_sphere_fg), np.zeros(3), c
    )
    python = minimize_many(row_sphere_py, np.zeros(3), c, jac=row_sphere_grad_py)
    np.testing.assert_array_equal(with_grad.nfev, python.nfev)
    np.testing.assert_allclose(with_grad.x, python.x, rtol=1e-14)


# --- bounds ---------------------------------------------------------------------------


class DuckBounds:
    def __init__(self, lb, ub):
        self.lb, self.ub = lb, ub


def test_bounds_shared_or_per_problem(mlib):
    K = 6
    c = centres(K, seed=4)
    lo = np.random.default_rng(5).uniform(-2.0, 0.0, (K, 3))
    hi = lo + 1.0
    per_problem = [[(lo[k, i], hi[k, i]) for i in range(3)] for k in range(K)]
    with_none = [[(None, hi[k, 0]), (lo[k, 1], None), (None, None)] for k in range(K)]
    forms = {
        "(K, n, 2) array": (np.stack([lo, hi], axis=-1), lambda k: list(zip(lo[k], hi[k]))),
        "nested lists": (per_problem, lambda k: per_problem[k]),
        "None for no bound": (with_none, lambda k: with_none[k]),
        "lb and ub (K, n)": (DuckBounds(lo, hi), lambda k: DuckBounds(lo[k], hi[k])),
        "lb (K, n), ub a number": (DuckBounds(lo, 0.5), lambda k: DuckBounds(lo[k], 0.5)),
        "shared pairs": ([(-1.0, 0.5)] * 3, lambda k: [(-1.0, 0.5)] * 3),
        "shared lb and ub": (
            DuckBounds(-1.0, [0.5, 1.0, None]),
            lambda k: DuckBounds(-1.0, [0.5, 1.0, None]),
        ),
    }
    for name, (bounds, one) in forms.items():
        for fun in (mlib.row_sphere, row_sphere_py):
            result = minimize_many(fun, np.zeros(3), c, bounds=bounds)
            separate = [
                minimize(row_sphere_py, np.zeros(3), args=(c[k],), bounds=one(k)) for k in range(K)
            ]
            np.testing.assert_allclose(result.x, [r.x for r in separate], atol=1e-7, err_msg=name)
            assert (result.status == [r.status for r in separate]).all(), name


@pytest.mark.parametrize(
    "bounds, match",
    [
        (np.full((4, 3, 2), np.nan), r"bounds for problem 0, variable 0 are NaN"),
        (
            np.tile([[0.0, 1.0], [0.0, 1.0], [2.0, 1.0]], (4, 1, 1)),
            r"problem 0, variable 2 are crossed",
        ),
        (
            np.concatenate(
                [np.tile([[0.0, 1.0]], (3, 3, 1)), [[[0.0, 1.0], [np.inf, np.inf], [0, 1]]]]
            ),
            r"problem 3, variable 1 admit no finite value",
        ),
        (np.zeros((5, 3, 2)), r"shape \(K, n, 2\) = \(4, 3, 2\), got \(5, 3, 2\)"),
        ([[(0, 1)] * 3] * 3 + [[(0, 1)] * 2], r"shape \(K, n, 2\)"),
        (DuckBounds(np.zeros((3, 3)), 1.0), r"bounds.lb must broadcast to \(K, n\) = \(4, 3\)"),
        ([(0.0, 1.0)] * 2, "bounds has 2 entries for n = 3"),
    ],
)
def test_bad_bounds_name_the_problem_and_variable(bounds, match):
    calls = []
    with pytest.raises(ValueError, match=match):
        minimize_many(lambda x, c: calls.append(1) or 0.0, np.zeros(3), centres(4), bounds=bounds)
    assert not calls


class Endless:
    """An iterable that never ends."""

    def __iter__(self):
        return iter(lambda: 0.0, None)


@pytest.mark.parametrize("call", ["minimize", "minimize_many"])
@pytest.mark.parametrize(
    "bounds, match",
    [
        (Endless(), "bounds has more than 3 entries for n = 3"),
        (
            [(0, 1), Endless(), (0, 1)],
            r"bounds\[1\] must be a \(low, high\) pair, got more than 2 values",
        ),
    ],
)
def test_endless_bounds_are_refused_without_reading_them_all(call, bounds, match):
    with pytest.raises(ValueError, match=match):
        if call == "minimize":
            minimize(row_sphere_py, np.zeros(3), args=(np.zeros(3),), bounds=bounds)
        else:
            minimize_many(row_sphere_py, np.zeros(3), centres(2), bounds=bounds)


# --- bad arguments, before any evaluation ----------------------------------------------


@pytest.mark.parametrize(
    "kwargs, exc, match",
    [
        ({"x0": np.zeros((2, 2, 3))}, ValueError, r"x0 must have shape \(n,\) or \(K, n\)"),
        ({"x0": np.zeros((4, 0))}, ValueError, r"x0 must have shape"),
        ({"x0": np.zeros((3, 3))}, ValueError, "x0 has 3 rows and data 4"),
        ({"x0": ["a", "b", "c"]}, TypeError, "x0 must hold real numbers"),
        (
            {"data": np.array([["a"] * 3] * 4)},
            ValueError,
            "data must hold real numbers, got dtype <U1",
        ),
        (
            {"data": np.ones((4, 3)) + 1j},
            ValueError,
            "data must hold real numbers, got dtype complex128",
        ),
        (
            {"data": np.array([None] * 4)},
            ValueError,
            "data must hold real numbers, got dtype object",
        ),
        ({"data": 3.0}, ValueError, "data must have one row per problem"),
        ({"data": None}, ValueError, r"give x0 of shape \(K, n\) or data with K rows"),
        ({"workers": 0}, ValueError, "workers must be at least 1, got 0"),
        ({"workers": -2}, ValueError, "workers must be at least 1"),
        ({"workers": 1.5}, TypeError, "workers must be an int"),
        ({"workers": True}, TypeError, "workers must be an int"),
        ({"progress": "yes"}, TypeError, "progress must be None, True or False"),
        ({"method": "BFGS"}, ValueError, "unknown method 'BFGS'"),
        ({"options": {"maxiterations": 3}}, ValueError, "unknown option 'maxiterations'"),
        ({"method": "Nelder-Mead", "jac": True}, ValueError, "Nelder-Mead uses no gradient"),
        ({"fun": "rosenbrock"}, ValueError, "not the name 'rosenbrock'"),
        ({"fun": 3}, TypeError, "fun must be a callable"),
        (
            {"options": {"eps": 1e-300}, "x0": [0.0, 2e300, 0.0]},
            ValueError,
            r"does not move variable 1 of the start of problem 0",
        ),
    ],
)
def test_bad_arguments_raise_before_any_evaluation(kwargs, exc, match):
    calls = []
    args = {
        "fun": lambda x, c: calls.append(1) or 0.0,
        "x0": np.zeros(3),
        "data": centres(4),
        **kwargs,
    }
    with pytest.raises(exc, match=match):
        minimize_many(args.pop("fun"), args.pop("x0"), args.pop("data"), **args)
    assert not calls


def test_native_objective_with_its_own_context_and_data_is_refused(mlib):
    with pytest.raises(ValueError, match="give a NativeObjective without ctx"):
        minimize_many(NativeObjective(mlib.row_sphere, ctx=8), np.zeros(3), centres(2))
    with pytest.raises(ValueError, match="takes no args"):
        minimize_many(mlib.row_sphere, np.zeros(3), centres(2), args=(1.0,))


def test_huge_workers_are_capped(mlib):
    r = minimize_many(mlib.row_sphere, np.zeros(3), centres(3), workers=10**9)
    assert r.success.all()


# --- user exceptions, Ctrl-C ------------------------------------------------------------


class Boom(Exception):
    pass


@pytest.mark.parametrize("where", ["fun", "jac", "fun pair"])
@pytest.mark.parametrize("problem", [0, 3])
def test_an_exception_from_python_stops_the_call_and_propagates(where, problem):
    c = centres(6)
    raised, calls = [], []

    def check(tag, row):
        calls.append(tag)
        if tag == where and np.array_equal(row, c[problem]):
            raised.append(Boom(tag))
            raise raised[-1]

    def fun(x, row):
        check("fun", row)
        return row_sphere_py(x, row)

    def jac(x, row):
        check("jac", row)
        return row_sphere_grad_py(x, row)

    def pair(x, row):
        check("fun pair", row)
        return row_sphere_py(x, row), row_sphere_grad_py(x, row)

    with pytest.raises(Boom) as info:
        minimize_many(
            pair if where == "fun pair" else fun,
            np.zeros(3),
            c,
            jac=True if where == "fun pair" else jac,
        )
    assert info.value is raised[0] and len(raised) == 1 and calls[-1] == where
    assert {"fun": "fun", "jac": "jac", "fun pair": "pair"}[where] in [
        f.name for f in info.traceback
    ]


@pytest.mark.parametrize(
    "returned, exc, match",
    [
        ("x", TypeError, "fun must return a real number, got str"),
        ([1.0, 2.0], TypeError, "fun must return a real number, got list"),
    ],
)
def test_a_value_that_is_not_real_stops_the_call(returned, exc, match):
    with pytest.raises(exc, match=match):
        minimize_many(lambda x, row: returned, np.zeros(3), centres(3))


CTRL_C = textwrap.dedent("""
    import ctypes, os, signal, sys, threading, time
    signal.signal(signal.SIGINT, signal.default_int_handler)  # a shell's background job ignores it
    import numpy as np
    import Velmora
    kind, workers = sys.argv[1], int(sys.argv[2])
    if kind == "native":
        lib = ctypes.CDLL(sys.argv[3])
        f = lib.slow_sphere
        f.restype, f.argtypes = ctypes.c_double, [ctypes.POINTER(ctypes.c_double), ctypes.c_void_p]
        fun = Velmora.NativeObjective(f, ctx=20000)   # 20 ms per evaluation
    else:
        def fun(x):
            end = time.perf_counter() + 0.02
            while time.perf_counter() < end:
                pass
            return float(x @ x) + 1.0
    start = time.perf_counter()
    threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
    try:
        r = Velmora.minimize_many(fun, np.ones((200, 2)), workers=workers, progress=True)
        print("finished", r.nfev.sum())
    except KeyboardInterrupt:
        print("interrupted", time.perf_counter() - start)
""")


@pytest.mark.parametrize("kind, workers", [("native", 1), ("native", 2), ("python", 1)])
def test_ctrl_c_stops_the_call_promptly(clib, kind, workers):
    run = run_python(CTRL_C, kind, workers, clib.path, timeout=120)
    assert run.returncode == 0, run.stderr
    word, value = run.stdout.split()
    assert word == "interrupted", run.stdout
    assert float(value) < 2.0  # the signal came at 0.5 s; one evaluation takes 20 ms
    # The progress line was drawn, then ended before the traceback.
    assert "minimize_many: " in run.stderr and run.stderr.endswith("\n")


# --- threads ----------------------------------------------------------------------------


@pytest.mark.threads
@pytest.mark.parametrize("workers, peak", [(1, 1), (2, 2)])
def test_native_problems_run_on_that_many_threads_at_once(mlib, workers, peak):
    mlib.crowd_peak()
    r = minimize_many(mlib.crowded, np.zeros(3), centres(8), workers=workers)
    assert r.success.all()
    assert mlib.crowd_peak() == peak


@pytest.mark.threads
def test_native_calls_release_the_lock(mlib):
    # Python threads keep running while the workers solve.
    import threading

    ticks = []
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks.append(1)
            done.wait(0.001)

    t = threading.Thread(target=count)
    t.start()
    try:
        minimize_many(mlib.crowded, np.zeros(3), centres(40), workers=2)
    finally:
        done.set()
        t.join()
    assert len(ticks) > 10


# --- progress ---------------------------------------------------------------------------


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("terminal", [True, False])
def test_progress_line(monkeypatch, terminal):
    now = [100.0]
    monkeypatch.setattr(_progress.time, "monotonic", lambda: now[0])
    stream = Terminal() if terminal else io.StringIO()
    line = _progress.Progress("minimize_many", 1000, stream, force=False)
    now[0] += 0.3
    line(10)  # too early to tell: nothing
    now[0] += 0.3
    line(900)  # expected to end within a second: nothing
    assert stream.getvalue() == ""
    now[0] += 9.4
    line(950)  # 10 s for 950: shown
    now[0] += 0.1
    line(960)  # redrawn at most every 0.25 s (2 s off a terminal)
    now[0] += 5.0
    line(1000)
    line.finish(True)
    text = stream.getvalue()
    first = "minimize_many: 950/1000 problems, 95/s, 0:01 left"
    if terminal:
        assert text == (
            f"\r{first}\x1b[K\rminimize_many: 1000/1000 problems, 66/s, 0:00 left\x1b[K"
            "\rminimize_many: 1000 problems in 15.1 s (66/s)\x1b[K\n"
        )
    else:
        assert text == (
            f"{first}\nminimize_many: 1000/1000 problems, 66/s, 0:00 left\n"
            "minimize_many: 1000 problems in 15.1 s (66/s)\n"
        )


def test_progress_choices(monkeypatch, mlib):
    monkeypatch.setattr(_progress.sys, "stderr", io.StringIO())
    assert _progress.display(None, "x", 10) is None  # not a terminal
    assert _progress.display(False, "x", 10) is None
    assert _progress.display(True, "x", 0) is None  # nothing to do
    forced = _progress.display(True, "x", 10)
    assert forced is not None and forced.force
    monkeypatch.setattr(_progress.sys, "stderr", Terminal())
    assert _progress.display(None, "x", 10) is not None
    monkeypatch.setattr(_progress.sys, "stderr", None)
    assert _progress.display(True, "x", 10) is None


def test_forced_progress_reports_a_python_run(monkeypatch):
    import time

    stream = io.StringIO()
    monkeypatch.setattr(_progress.sys, "stderr", stream)

    def slow(x, row):
        time.sleep(0.002)
        return row_sphere_py(x, row)

    minimize_many(slow, np.zeros(3), centres(20), progress=True)
    lines = stream.getvalue().splitlines()
    assert lines[-1].startswith("minimize_many: 20 problems in ") and lines[-1].endswith("/s)")
    assert any("/20 problems, " in line for line in lines[:-1])


def test_a_broken_stream_does_not_stop_the_call(monkeypatch, mlib):
    class Broken(Terminal):
        def write(self, text):
            raise OSError("gone")

    monkeypatch.setattr(_progress.sys, "stderr", Broken())
    r = minimize_many(lambda x, row: row_sphere_py(x, row), np.zeros(3), centres(5), progress=True)
    assert r.success.all()


# --- memory -----------------------------------------------------------------------------

MEMORY = textwrap.dedent("""
    import ctypes, resource, sys
    import numpy as np
    import Velmora
    lib = ctypes.CDLL(sys.argv[1])
    f = lib.sphere_n
    f.restype, f.argtypes = ctypes.c_double, [ctypes.POINTER(ctypes.c_double), ctypes.c_void_p]
    K, n, m = 3000, 50, 50      # an L-BFGS-B workspace of about 270 kB per problem
    starts = np.ones((K, n))
    fun = Velmora.NativeObjective(f, ctx=n)
    Velmora.minimize_many(fun, starts[:4], options={"maxcor": m})
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    r = Velmora.minimize_many(fun, starts, options={"maxcor": m}, workers=2)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(bool(r.success.all()), (after - before) * 1024)
""")


def test_memory_is_the_results_and_one_workspace_per_worker(mlib):
    run = run_python(MEMORY, mlib.path, timeout=120)
    assert run.returncode == 0, run.stderr
    ok, grown = run.stdout.split()
    assert ok == "True"
    # The results take 1.3 MB; K workspaces would take 800 MB.
    assert int(grown) < 40 * 2**20, grown


# --- leaks ------------------------------------------------------------------------------


def failing(x, row):
    raise Boom("fun")


def leak_paths(mlib):
    c = centres(8)
    return {
        "native": lambda: minimize_many(mlib.row_sphere, np.zeros(3), c),
        "native gradient": lambda: minimize_many(
            NativeObjective(mlib.row_sphere, grad=mlib.row_sphere_fg),
            np.zeros(3),
            c,
            bounds=[(0, 1)] * 3,
        ),
        "native Nelder-Mead": lambda: minimize_many(
            mlib.row_sphere, np.zeros(3), c, method="Nelder-Mead"
        ),
        "python": lambda: minimize_many(row_sphere_py, np.zeros(3), c, jac=row_sphere_grad_py),
        "python raises": lambda: minimize_many(failing, np.zeros(3), c),
        "not real": lambda: minimize_many(lambda x, row: "x", np.zeros(3), c),
        "bad bounds": lambda: minimize_many(
            row_sphere_py, np.zeros(3), c, bounds=np.full((8, 3, 2), np.nan)
        ),
        "forced progress": lambda: minimize_many(row_sphere_py, np.zeros(3), c, progress=True),
    }


@pytest.mark.parametrize(
    "path",
    [
        "native",
        "native gradient",
        "native Nelder-Mead",
        "python",
        "python raises",
        "not real",
        "bad bounds",
        "forced progress",
    ],
)
def test_repeated_calls_leak_nothing(mlib, path, capsys):
    call = leak_paths(mlib)[path]

    def repeat(k):
        for _ in range(k):
            try:
                call()
            except (Boom, TypeError, ValueError):
                pass

    repeat(20)
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        repeat(150)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 20_000, grown  # a leaked result array per call would be > 20 kB


def test_public_names_and_lazy_import():
    assert Velmora.minimize_many is minimize_many and Velmora.ManyResult is ManyResult
    assert {"minimize_many", "ManyResult"} <= set(dir(Velmora))
    code = "import sys, Velmora; print('numpy' in sys.modules, 'dask' in sys.modules)"
    run = run_python(code)
    assert run.stdout.split() == ["False", "False"], run.stderr


def test_result_repr_and_attributes(mlib):
    r = minimize_many(mlib.row_sphere, np.zeros(3), centres(2))
    assert r.x is r["x"] and "success" in dir(r)
    assert repr(r).splitlines()[0].strip().startswith("x: array(")
    with pytest.raises(AttributeError):
        r.jac  # noqa: B018
    assert math.isfinite(r.fun.sum())
