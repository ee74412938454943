"""Velmora.minimize over native objectives: C functions compiled at test time
reached through ctypes, cffi and NativeObjective (with and without a native
gradient), numba cfuncs; runs without the interpreter lock, Ctrl-C, threads."""

import ctypes
import textwrap
import threading

import numpy as np
import pytest

from Velmora import NativeObjective, minimize

from native import run_python

X0 = [-1.2, 1.0]


def rosen2(x):
    """The same arithmetic as the C rosen2 (no contraction), in Python floats."""
    a, b = x[1] - x[0] * x[0], 1.0 - x[0]
    return 100.0 * a * a + b * b


def rosen2_grad(x):
    a, b = x[1] - x[0] * x[0], 1.0 - x[0]
    return [-400.0 * x[0] * a - 2.0 * b, 200.0 * a]


def same_run(native, python):
    assert (native.status, native.nit, native.nfev, native.njev) == (
        python.status,
        python.nit,
        python.nfev,
        python.njev,
    )
    assert native.fun == python.fun
    np.testing.assert_array_equal(native.x, python.x)


@pytest.mark.parametrize("method", ["L-BFGS-B", "Nelder-Mead"])
@pytest.mark.parametrize(
    "form", ["ctypes", "NativeObjective(ctypes)", "NativeObjective(int)", "address attribute"]
)
def test_native_value_runs_as_the_python_objective(clib, method, form):
    f = clib.rosen2
    address = ctypes.cast(f, ctypes.c_void_p).value

    class Compiled:  # what numba's cfunc looks like from here
        pass

    compiled = Compiled()
    compiled.address = address
    fun = {
        "ctypes": f,
        "NativeObjective(ctypes)": NativeObjective(f),
        "NativeObjective(int)": NativeObjective(address),
        "address attribute": compiled,
    }[form]
    same_run(minimize(fun, X0, method=method), minimize(rosen2, X0, method=method))


def test_native_value_and_gradient_runs_as_the_python_pair(clib):
    native = minimize(NativeObjective(clib.rosen2, grad=clib.rosen2_fg), X0)
    python = minimize(rosen2, X0, jac=rosen2_grad)
    same_run(native, python)
    assert native.njev == native.nfev == 44
    np.testing.assert_array_equal(native.jac, rosen2_grad(native.x))
    # Nelder-Mead uses the value function only.
    same_run(
        minimize(NativeObjective(clib.rosen2, grad=clib.rosen2_fg), X0, method="Nelder-Mead"),
        minimize(rosen2, X0, method="Nelder-Mead"),
    )


@pytest.mark.parametrize("ctx_form", ["int", "ctypes pointer"])
def test_context_reaches_the_function(clib, ctx_form):
    data = np.array([3.0, 1.5, -2.0, 0.25])  # n, then the centre
    ctx = data.ctypes.data if ctx_form == "int" else data.ctypes.data_as(ctypes.c_void_p)
    r = minimize(
        NativeObjective(clib.shifted_sphere, ctx=ctx), np.zeros(3), options={"gtol": 1e-10}
    )
    np.testing.assert_allclose(r.x, data[1:], atol=1e-6)


def test_cffi_function_pointer(clib):
    cffi = pytest.importorskip("cffi")
    ffi = cffi.FFI()
    ffi.cdef(
        "double rosen2(const double *x, void *ctx); double rosen2_fg(const double *x, double *g, void *ctx);"
    )
    lib = ffi.dlopen(clib.path)
    same_run(minimize(lib.rosen2, X0), minimize(rosen2, X0))
    same_run(
        minimize(NativeObjective(lib.rosen2, grad=lib.rosen2_fg), X0),
        minimize(rosen2, X0, jac=rosen2_grad),
    )
    with pytest.raises(TypeError, match="cffi pointer has type"):
        NativeObjective(lib.rosen2_fg)


def test_numba_cfunc():
    numba = pytest.importorskip("numba")
    from numba import carray, types

    signature = types.float64(types.CPointer(types.float64), types.voidptr)

    @numba.cfunc(signature)
    def rosen_nb(xp, ctx):
        x = carray(xp, 2)
        a, b = x[1] - x[0] * x[0], 1.0 - x[0]
        return 100.0 * a * a + b * b

    @numba.cfunc(
        types.float64(types.CPointer(types.float64), types.CPointer(types.float64), types.voidptr)
    )
    def rosen_nb_fg(xp, gp, ctx):
        x, g = carray(xp, 2), carray(gp, 2)
        a, b = x[1] - x[0] * x[0], 1.0 - x[0]
        g[0] = -400.0 * x[0] * a - 2.0 * b
        g[1] = 200.0 * a
        return 100.0 * a * a + b * b

    for method in ("L-BFGS-B", "Nelder-Mead"):
        native, python = minimize(rosen_nb, X0, method=method), minimize(rosen2, X0, method=method)
        assert (native.nit, native.nfev, native.success) == (python.nit, python.nfev, True)
        np.testing.assert_allclose(native.x, python.x, rtol=1e-10)
    native = minimize(NativeObjective(rosen_nb, grad=rosen_nb_fg), X0)
    python = minimize(rosen2, X0, jac=rosen2_grad)
    assert (native.nit, native.nfev) == (python.nit, python.nfev) == (36, 44)
    with pytest.raises(TypeError, match="signature"):
        NativeObjective(rosen_nb_fg)  # a value-and-gradient function where a value is expected


@pytest.mark.parametrize(
    "make,exc,match",
    [
        (lambda lib: NativeObjective(0), ValueError, "non-null address"),
        (lambda lib: NativeObjective(-5), ValueError, "non-null address"),
        (lambda lib: NativeObjective(2**64), ValueError, "non-null address"),
        (lambda lib: NativeObjective(1.5), TypeError, "address must be an int address"),
        (lambda lib: NativeObjective(True), TypeError, "address must be an int address"),
        (lambda lib: NativeObjective(lib.rosen2_fg), TypeError, "restype c_double and argtypes"),
        (
            lambda lib: NativeObjective(lib.rosen2, grad=lib.rosen2),
            TypeError,
            "grad: the ctypes function",
        ),
        (lambda lib: NativeObjective(lib.rosen2, ctx=-1), ValueError, "ctx must be an address"),
        (lambda lib: NativeObjective(lib.rosen2, ctx="p"), TypeError, "ctx must be an int address"),
        (
            lambda lib: NativeObjective(ctypes.CFUNCTYPE(ctypes.c_int)(lambda: 0)),
            TypeError,
            "restype c_double",
        ),
    ],
)
def test_bad_native_objectives(clib, make, exc, match):
    with pytest.raises(exc, match=match):
        make(clib)


@pytest.mark.parametrize(
    "kwargs,match",
    [
        ({"args": (1.0,)}, "takes no args"),
        ({"jac": True}, "jac must be None"),
        ({"jac": rosen2_grad}, "jac must be None"),
    ],
)
def test_native_objectives_take_no_args_or_jac(clib, kwargs, match):
    with pytest.raises(ValueError, match=match):
        minimize(clib.rosen2, X0, **kwargs)


def test_non_finite_native_values_are_never_success(clib):
    r = minimize(clib.always_nan, X0)
    assert (r.status, r.success, r.nfev) == (7, False, 1)
    r = minimize(clib.always_nan, X0, method="Nelder-Mead", options={"maxfev": 30})
    assert (r.status, r.success, r.nfev) == (1, False, 30)


@pytest.mark.parametrize("method", ["L-BFGS-B", "Nelder-Mead"])
def test_callback_of_a_native_run_takes_the_lock_back(clib, method):
    seen, python_seen = [], []
    r = minimize(clib.rosen2, X0, method=method, callback=lambda xk: seen.append(xk.copy()))
    minimize(rosen2, X0, method=method, callback=lambda xk: python_seen.append(xk.copy()))
    assert len(seen) == len(python_seen) > 10
    np.testing.assert_array_equal(seen[-1], r.x)

    def stop(intermediate_result):
        if intermediate_result.fun < 1.0:
            raise StopIteration

    r = minimize(clib.rosen2, X0, method=method, callback=stop)
    assert (r.status, r.success) == (99, False) and r.fun < 1.0


def test_callback_exception_from_a_native_run_propagates(clib):
    class Boom(Exception):
        pass

    exc = Boom()

    def cb(xk):
        raise exc

    with pytest.raises(Boom) as info:
        minimize(clib.rosen2, X0, callback=cb)
    assert info.value is exc


@pytest.mark.threads
def test_native_runs_release_the_lock(clib):
    # The objective spins until another Python thread sets a flag: a run that
    # held the interpreter lock could never finish.
    code = textwrap.dedent(f"""
        import ctypes, threading, time
        import Velmora
        lib = ctypes.CDLL({clib.path!r})
        f = lib.wait_for_flag
        f.restype, f.argtypes = ctypes.c_double, [ctypes.POINTER(ctypes.c_double), ctypes.c_void_p]
        flag = ctypes.c_int(0)
        out = {{}}
        def work():
            out["r"] = Velmora.minimize(Velmora.NativeObjective(f, ctx=ctypes.addressof(flag)), [1.0, 2.0])
        t = threading.Thread(target=work)
        t.start()
        time.sleep(0.05)
        flag.value = 1
        t.join()
        print(out["r"].success, list(out["r"].x.round(4)))
    """)
    run = run_python(code, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split()[0] == "True"


@pytest.mark.threads
def test_threads_run_independently(clib):
    centres = [np.array([3.0, float(k), -1.0, 0.5 * k]) for k in range(6)]
    results = [None] * len(centres)

    def work(k):
        kind = k % 3
        if kind == 0:  # native, context per run
            data = np.concatenate([[3.0], centres[k][1:]])
            results[k] = (
                minimize(
                    NativeObjective(clib.shifted_sphere, ctx=data.ctypes.data),
                    np.zeros(3),
                    options={"gtol": 1e-10},
                ).x,
                data,
            )
        elif kind == 1:  # Python
            results[k] = (
                minimize(
                    lambda x: float(np.sum((x - centres[k][1:]) ** 2)),
                    np.zeros(3),
                    options={"gtol": 1e-10},
                ).x,
                None,
            )
        else:  # Nelder-Mead, native
            data = np.concatenate([[3.0], centres[k][1:]])
            results[k] = (
                minimize(
                    NativeObjective(clib.shifted_sphere, ctx=data.ctypes.data),
                    np.zeros(3),
                    method="Nelder-Mead",
                    options={"xatol": 1e-8, "fatol": 1e-12},
                ).x,
                data,
            )

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(centres))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k, (x, _) in enumerate(results):
        np.testing.assert_allclose(x, centres[k][1:], atol=1e-5)


def test_ctypes_wrapper_of_a_python_function_does_not_deadlock():
    # ctypes takes the interpreter lock itself for each call of the wrapper,
    # while the run has released it.
    code = textwrap.dedent("""
        import ctypes, threading
        import Velmora
        FN = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.POINTER(ctypes.c_double), ctypes.c_void_p)
        calls = []
        @FN
        def f(xp, ctx):
            calls.append(threading.get_ident())
            return (xp[0] - 2.0) ** 2 + (xp[1] + 1.0) ** 2
        for method in ("L-BFGS-B", "Nelder-Mead"):
            r = Velmora.minimize(f, [0.0, 0.0], method=method)
            print(method, r.success, r.nfev == len(calls), list(r.x.round(3)))
            calls.clear()
    """)
    run = run_python(code, timeout=60)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert [line.split()[:3] for line in lines] == [
        ["L-BFGS-B", "True", "True"],
        ["Nelder-Mead", "True", "True"],
    ]


CTRL_C = textwrap.dedent("""
    import ctypes, os, signal, sys, threading, time
    signal.signal(signal.SIGINT, signal.default_int_handler)  # a shell's background job ignores it
    import Velmora
    method, kind = sys.argv[1], sys.argv[2]
    seconds = 0.02 if method == "Nelder-Mead" else 0.1  # L-BFGS-B converges in nine evaluations
    if kind == "native":
        lib = ctypes.CDLL(sys.argv[3])
        f = lib.slow_sphere
        f.restype, f.argtypes = ctypes.c_double, [ctypes.POINTER(ctypes.c_double), ctypes.c_void_p]
        fun = Velmora.NativeObjective(f, ctx=int(seconds * 1e6))
    else:
        def fun(x):
            end = time.perf_counter() + seconds
            while time.perf_counter() < end:
                pass
            return float(x @ x) + 1.0
    options = {"maxfev": 10**9, "xatol": 0.0, "fatol": 0.0} if method == "Nelder-Mead" else {"maxfun": 10**9}
    sent = []
    def interrupt():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Timer(0.3, interrupt).start()
    # Runs again and again, so that a signal delayed on a loaded machine
    # still lands in a run; the time is counted from the signal.
    try:
        for _ in range(50):
            r = Velmora.minimize(fun, [1.0, 1.0], method=method, options=options)
        print("finished", 50)
    except KeyboardInterrupt:
        print("interrupted", time.perf_counter() - sent[0])
""")


@pytest.mark.parametrize("method", ["L-BFGS-B", "Nelder-Mead"])
@pytest.mark.parametrize("kind", ["native", "python"])
def test_ctrl_c_stops_a_run_promptly(clib, method, kind):
    run = run_python(CTRL_C, method, kind, clib.path, timeout=60)
    assert run.returncode == 0, run.stderr
    word, value = run.stdout.split()
    assert word == "interrupted", run.stdout
    assert float(value) < 2.0  # one evaluation takes at most 0.1 s
