"""The modules on a free-threaded (no-GIL) interpreter, and the races such an
interpreter opens wide.

Pointing the tests at an interpreter: set VELMORA_FREE_THREADED_PYTHON to the
path of a free-threaded CPython (3.13t or later), for example

    VELMORA_FREE_THREADED_PYTHON=/opt/py313t/bin/python3.13t \\
        python3 -m pytest tests/packaging/test_free_threaded.py -q

Without the variable, python3.14t and then python3.13t are looked up on PATH.
A candidate counts only when sysconfig's Py_GIL_DISABLED is 1; when none is
found the interpreter tests are skipped with the reason. Otherwise the package
is built and installed for it into a throwaway virtual environment (pip
install <repo> with pytest, hypothesis and mpmath, which needs PyPI for
NumPy's free-threaded wheels and the build tools), the three modules must import without the interpreter
turning the GIL back on, and the thread tests of the suite (marker `threads`)
run there with that warning turned into an error.

The race tests below run on any interpreter, each in a subprocess with
Python's debug allocator (freed memory is overwritten, so a use after free
crashes instead of passing by luck): another thread rebinds a module global
or rewrites a bounds entry while calls are reading them.
"""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
THREAD_TEST_TOOLS = ("pytest>=7", "hypothesis>=6", "mpmath>=1.3")
GIL_WARNING = "The global interpreter lock"  # start of the RuntimeWarning text
MODULES = (
    "Velmora._ckernels.transforms._transforms",
    "Velmora._ckernels.optim._optim",
    "Velmora._ckernels.distributions._distributions",
    "Velmora._ckernels.optim._fitting",
    "Velmora._ckernels.likelihoods._likelihoods",
    "Velmora._ckernels.sample._sample",
)


def run_script(python, script, timeout=120, env=None, cwd=None):
    return subprocess.run(
        [python, "-c", textwrap.dedent(script)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
        cwd=cwd,
    )


# --- races on module globals and arguments -------------------------------------------

# The worker thread rebinds `target` between a fresh object (freed at the next
# rebinding) and the original, with a Python call in between so that the
# interpreter may switch threads while the fresh object is bound. The main
# thread calls for about a second and checks every result.
RACE = r"""
import sys, threading, time
import numpy as np
from Velmora._ckernels.transforms import _transforms as T
from Velmora._ckernels.distributions import _distributions as D
from Velmora._ckernels.optim import _optim as O

class Scalar:  # stands in for numpy.float64
    def __call__(self, v):
        return ("custom", float(v))

class NumPy:  # stands in for the numpy module, delegating every call to it
    float64 = np.float64
    ndarray = np.ndarray
    def ascontiguousarray(self, *a, **k): return np.ascontiguousarray(*a, **k)
    def empty_like(self, *a, **k): return np.empty_like(*a, **k)
    def array(self, *a, **k): return np.array(*a, **k)

def checkpoint():
    pass

CASE = sys.argv[1]
module, name, make, call, ok = {
    "float64 of the scalar transforms": (
        T, "float64", Scalar, lambda: T.log_fwd(1.0),
        lambda r: r == ("custom", 0.0) if type(r) is tuple else type(r) is np.float64 and r == 0.0),
    "np of the array transforms": (
        T, "np", NumPy, lambda: T.log_fwd([1.0, np.e]),
        lambda r: r.tolist() == [0.0, 1.0]),
    "np of the quantile array": (
        D, "np", NumPy, lambda: D.ndtri_as241_into(np.array([0.5, 0.5], dtype=np.float32)),
        lambda r: r.tolist() == [0.0, 0.0]),
    "np of the minimizers": (
        O, "np", NumPy, lambda: O.run_neldermead("double_well", np.array([0.9]), maxiter=5),
        lambda r: r["nit"] == 5 and r["x"].shape == (1,)),
}[CASE]
original = getattr(module, name)
stop = threading.Event()

def rebind():
    while not stop.is_set():
        setattr(module, name, make())
        checkpoint()
        setattr(module, name, original)

sys.setswitchinterval(1e-6)
worker = threading.Thread(target=rebind)
worker.start()
calls = bad = 0
try:
    deadline = time.perf_counter() + 1.0
    while time.perf_counter() < deadline:
        for _ in range(200):
            bad += not ok(call())
        calls += 200
finally:
    stop.set()
    worker.join()
print(calls, bad)
"""

RACE_CASES = [
    "float64 of the scalar transforms",
    "np of the array transforms",
    "np of the quantile array",
    "np of the minimizers",
]


@pytest.mark.threads
@pytest.mark.parametrize("case", RACE_CASES)
def test_rebinding_a_module_global_during_calls(case):
    env = dict(os.environ, PYTHONMALLOC="debug")
    proc = subprocess.run(
        [sys.executable, "-c", RACE, case], capture_output=True, text=True, timeout=120, env=env
    )
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stderr[-2000:]}"
    calls, bad = map(int, proc.stdout.split())
    assert calls > 0 and bad == 0


# A bounds entry that another thread keeps rewriting: each value written is a
# fresh float, freed when the next one replaces it. Every run must see a valid
# pair, so every Nelder-Mead point stays inside [lo, 2] with lo in [-1, 0].
BOUNDS_RACE = r"""
import threading, time
import numpy as np
from Velmora._ckernels.optim import _optim as O

entry = [-1.0, 2.0]
stop = threading.Event()

def rewrite():
    k = 0
    while not stop.is_set():
        k += 1
        entry[0] = -(k % 1000) / 1000.0
        entry.append(3.0)  # the list grows and shrinks: its item storage moves
        del entry[2:]

worker = threading.Thread(target=rewrite)
worker.start()
runs = bad = 0
try:
    deadline = time.perf_counter() + 1.0
    while time.perf_counter() < deadline:
        for fn in (O.run_neldermead, O.run_lbfgsb):
            try:
                r = fn("double_well", np.array([0.5, 0.5]), bounds=[entry, entry], maxiter=20)
            except ValueError as exc:  # caught mid-append: three values
                bad += "too many values to unpack" not in str(exc)
                continue
            x = r["x"]
            bad += not (np.all(x >= -1.0) and np.all(x <= 2.0))
            runs += 1
finally:
    stop.set()
    worker.join()
print(runs, bad)
"""


@pytest.mark.threads
def test_rewriting_a_bounds_entry_during_calls():
    env = dict(os.environ, PYTHONMALLOC="debug")
    proc = subprocess.run(
        [sys.executable, "-c", BOUNDS_RACE], capture_output=True, text=True, timeout=120, env=env
    )
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stderr[-2000:]}"
    runs, bad = map(int, proc.stdout.split())
    assert runs > 0 and bad == 0


# --- the package on a free-threaded interpreter --------------------------------------


def is_free_threaded(python):
    try:
        proc = run_script(
            python,
            "import sysconfig; print(sysconfig.get_config_var('Py_GIL_DISABLED'))",
            timeout=60,
        )
    except (OSError, subprocess.TimeoutExpired):
        return False
    return proc.returncode == 0 and proc.stdout.strip() == "1"


def free_threaded_python():
    """The interpreter to test, or None. A path given in the environment that
    is not a free-threaded interpreter is an error, not a reason to skip."""
    chosen = os.environ.get("VELMORA_FREE_THREADED_PYTHON")
    if chosen:
        if not is_free_threaded(chosen):
            pytest.fail(
                f"VELMORA_FREE_THREADED_PYTHON={chosen} is not a free-threaded interpreter "
                "(sysconfig's Py_GIL_DISABLED is not 1)"
            )
        return chosen
    for name in ("python3.14t", "python3.13t"):
        found = shutil.which(name)
        if found and is_free_threaded(found):
            return found
    return None


def clean_env():
    """The environment without anything that would force the GIL's state or
    reach the working tree's build instead of the installed package."""
    env = {
        k: v for k, v in os.environ.items() if k not in ("PYTHON_GIL", "PYTHONPATH", "PYTHONHOME")
    }
    return env


@pytest.fixture(scope="module")
def ft_venv(tmp_path_factory):
    python = free_threaded_python()
    if python is None:
        pytest.skip(
            "no free-threaded interpreter: set VELMORA_FREE_THREADED_PYTHON or put "
            "python3.14t / python3.13t on PATH"
        )
    root = tmp_path_factory.mktemp("free-threaded")
    # The package from a copy of the tree without in-place builds or caches, so
    # that the wheel holds only what this interpreter's build produced.
    source = root / "src-copy"
    shutil.copytree(
        REPO,
        source,
        ignore=shutil.ignore_patterns(
            ".git", "build", "*.so", "__pycache__", ".pytest_cache", ".hypothesis"
        ),
    )
    venv = root / "venv"
    env = clean_env()
    subprocess.run([python, "-m", "venv", str(venv)], check=True, env=env, timeout=300)
    vpython = str(venv / "bin" / "python")
    # Only what the thread tests import (the type checker of the test extra
    # has no free-threaded build everywhere), binaries first: the newest
    # release of a test tool may be a source distribution that needs a
    # compiler toolchain of its own.
    proc = subprocess.run(
        [vpython, "-m", "pip", "install", "-q", "--prefer-binary", str(source), *THREAD_TEST_TOOLS],
        capture_output=True,
        text=True,
        env=env,
        timeout=3600,
    )
    assert proc.returncode == 0, "pip install failed:\n" + proc.stdout[-3000:] + proc.stderr[-5000:]
    return vpython, source, env


def test_modules_import_without_enabling_the_gil(ft_venv):
    python, source, env = ft_venv
    proc = run_script(
        python,
        f"""
        import importlib, sys
        before = sys._is_gil_enabled()
        for name in {MODULES!r}:
            importlib.import_module(name)
        print(before, sys._is_gil_enabled())
    """,
        env=env,
        cwd=source.parent,
    )
    # -W is not needed here: the warning would only be printed, the state is read directly.
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["False", "False"], proc.stdout + proc.stderr


def test_thread_tests_pass_without_the_gil(ft_venv):
    python, source, env = ft_venv
    warning_as_error = f"error:{GIL_WARNING}:RuntimeWarning"
    proc = subprocess.run(
        [
            python,
            "-W",
            warning_as_error,
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            "-m",
            "threads",
            "-W",
            warning_as_error,
            str(source / "tests"),
        ],
        capture_output=True,
        text=True,
        env=env,
        cwd=source,
        timeout=1800,
    )
    summary = proc.stdout[-4000:] + proc.stderr[-2000:]
    assert proc.returncode == 0, summary
    assert " passed" in proc.stdout and GIL_WARNING not in proc.stdout, summary
