"""The type stubs of the three extension modules against the modules themselves.

stubtest compares names, parameter lists and defaults wherever the runtime
exposes a signature (the minimizers do; the transforms and quantile functions
carry none). The runtime checks below read the stubs with `ast` and call every
function as its stub describes it, by keyword and by position, checking the
type of what comes back. A small user program then goes through mypy: the
lines that must type-check carry `assert_type`, the lines that must fail carry
`# type: ignore[code]`, which `--warn-unused-ignores` turns into an error when
the line is accepted after all.
"""

import ast
import inspect
import os
import site
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("mypy.stubtest")

import Velmora  # noqa: E402
from Velmora._ckernels.distributions import _distributions  # noqa: E402
from Velmora._ckernels.optim import _optim  # noqa: E402
from Velmora._ckernels.transforms import _transforms  # noqa: E402

MODULES = [_transforms, _optim, _distributions]

# The directory that holds the Velmora package being tested: the working
# tree's src/ or an installed site-packages.
ROOT = Path(Velmora.__file__).resolve().parent.parent


def short_name(module):
    return module.__name__.rsplit(".", 1)[1]


def mypy_env():
    """The environment for a mypy process that sees the same Velmora as we do.

    mypy does not read PYTHONPATH: a working tree goes on MYPYPATH, while an
    installed package is found through its py.typed marker (mypy refuses
    site-packages on MYPYPATH)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT), env.get("PYTHONPATH")]))
    installed = {
        sysconfig.get_paths()["purelib"],
        sysconfig.get_paths()["platlib"],
        site.getusersitepackages(),
        *site.getsitepackages(),
    }
    if ROOT in {Path(p).resolve() for p in installed}:
        env.pop("MYPYPATH", None)
    else:
        env["MYPYPATH"] = str(ROOT)
    return env


def run_mypy(args, cwd):
    # cwd is a fresh directory: no project configuration, a private cache.
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd,
        env=mypy_env(),
        capture_output=True,
        text=True,
        timeout=300,
    )


# What stubtest cannot know, one line each with the reason.
ALLOWLIST = """
# A TypedDict for annotations only: the runtime returns a plain dict.
Velmora._ckernels.optim._optim.MinimizerResult
# numpy.ufunc instances, typed by protocols that describe their calls.
Velmora._ckernels.transforms._ufuncs\\.[a-z_]+_(fwd|inv)
"""

# Modules with stubs or inline annotations beyond the three native surfaces.
PUBLIC_MODULES = ["Velmora._ckernels.transforms._ufuncs", "Velmora.transforms"]


@pytest.mark.slow
def test_stubtest_reports_nothing(tmp_path):
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text(ALLOWLIST)
    proc = run_mypy(
        [
            "mypy.stubtest",
            "--allowlist",
            str(allowlist),
            *(m.__name__ for m in MODULES),
            *PUBLIC_MODULES,
        ],
        tmp_path,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


# ---------------------------------------------------------------------------
# The stubs read with ast, and every function called as they describe it.


def stub_tree(module):
    return ast.parse(Path(module.__file__).with_name(short_name(module) + ".pyi").read_text())


def stub_functions(module):
    """(name, [FunctionDef, ...]) of the public functions, overloads together."""
    found = {}
    for node in stub_tree(module).body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            found.setdefault(node.name, []).append(node)
    return sorted(found.items())


def stub_typeddict(module, name):
    cls = next(n for n in stub_tree(module).body if isinstance(n, ast.ClassDef) and n.name == name)
    return [
        (f.target.id, ast.unparse(f.annotation)) for f in cls.body if isinstance(f, ast.AnnAssign)
    ]


# A value of each parameter type the stubs use, chosen so that every call
# succeeds and no result is NaN; the bounds differ so that swapped positions
# change the result.
SAMPLES = {
    ("_ArrayIn", None): lambda: [0.3, 0.6],
    ("_Number", "low"): lambda: -1.0,
    ("_Number", "high"): lambda: 2.0,
    ("_Number", None): lambda: 0.3,
    ("SupportsFloat | SupportsIndex", None): lambda: 0.3,
    ("ArrayLike", None): lambda: [[0.3, 0.6]],
    ("_Objective", None): lambda: "rosenbrock",
    ("NDArray[np.float64]", None): lambda: np.array([-1.2, 1.0]),
}


def sample_arguments(fn):
    """{name: value} for every parameter: the stub's default where it has one."""
    params = fn.args.args
    required = len(params) - len(fn.args.defaults)
    values = {}
    for a in params[:required]:
        ann = ast.unparse(a.annotation)
        make = SAMPLES.get((ann, a.arg)) or SAMPLES.get((ann, None))
        assert make is not None, f"no sample value for {a.arg}: {ann}"
        values[a.arg] = make()
    for a, default in zip(params[required:], fn.args.defaults):
        values[a.arg] = ast.literal_eval(default)
    return values


def check_type(value, annotation, module):
    """Whether value is exactly of the stub's return type."""
    if annotation == "np.float64":
        return type(value) is np.float64
    if annotation == "float":
        return type(value) is float
    if annotation in ("int", "bool", "str"):
        return type(value).__name__ == annotation
    if annotation == "NDArray[np.float64]":
        return type(value) is np.ndarray and value.dtype == np.float64 and value.flags.c_contiguous
    fields = stub_typeddict(module, annotation)
    return (
        type(value) is dict
        and list(value) == [k for k, _ in fields]
        and all(check_type(value[k], t, module) for k, t in fields)
    )


def same_result(a, b):
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same_result(a[k], b[k]) for k in a)
    return np.array_equal(a, b)


FUNCTIONS = [(m, name, defs) for m in MODULES for name, defs in stub_functions(m)]


def test_stubs_cover_the_modules():
    counts = {short_name(m): len(stub_functions(m)) for m in MODULES}
    assert counts == {"_transforms": 63, "_optim": 2, "_distributions": 3}


@pytest.mark.parametrize(
    "module, name, defs", FUNCTIONS, ids=[f"{short_name(m)}.{n}" for m, n, _ in FUNCTIONS]
)
def test_each_overload_matches_the_runtime(module, name, defs):
    runtime = getattr(module, name)
    signatures = []
    for fn in defs:
        # Every parameter positional-or-keyword, as the modules bind them.
        args = fn.args
        assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
        signatures.append([a.arg for a in args.args])
        values = sample_arguments(fn)
        by_keyword = runtime(**values)
        by_position = runtime(*values.values())
        assert check_type(by_keyword, ast.unparse(fn.returns), module), (fn.lineno, by_keyword)
        assert same_result(by_keyword, by_position), fn.lineno
        # A docstring repeated in the stub (for editors) is the module's own.
        doc = ast.get_docstring(fn)
        assert doc is None or doc == inspect.cleandoc(runtime.__doc__)
    assert all(s == signatures[0] for s in signatures), "overloads disagree on the parameters"


def test_float64_global_is_numpys():
    # The transforms stub re-exports numpy.float64 under this name.
    assert _transforms.float64 is np.float64


# ---------------------------------------------------------------------------
# A user program through mypy.

USER_PROGRAM = """
from typing import TYPE_CHECKING, assert_type

import numpy as np
from numpy.typing import NDArray

from Velmora._ckernels.distributions import _distributions as d
from Velmora._ckernels.optim import _optim as o
from Velmora._ckernels.transforms import _transforms as t

if TYPE_CHECKING:
    from Velmora._ckernels.optim._optim import MinimizerResult

F = NDArray[np.float64]


def best_value(result: "MinimizerResult") -> float:
    return result["fun"]


def accepted(name: str, either: float | list[float]) -> None:
    assert_type(t.log_fwd(1.0), np.float64)
    assert_type(t.log_fwd(1), np.float64)
    assert_type(t.log_fwd(np.float32(2.0)), np.float64)
    assert_type(t.log_fwd([1.0, 2.0]), F)
    assert_type(t.log_fwd([[1.0], [2.0]]), F)
    assert_type(t.log_fwd((1.0,)), F)
    assert_type(t.log_fwd(np.array(2.0, dtype=np.float64)), F)
    assert_type(t.log_fwd(np.arange(3)), F)
    assert_type(t.log_fwd(either), np.float64 | F)
    assert_type(t.aff_logit_fwd(x=[0.5], low=0, high=1), F)
    assert_type(t.aff_probit_inv(0.1, np.int64(-1), 2.0), np.float64)
    assert_type(t.lower_inv(y=0.0, low=np.float32(1)), np.float64)
    assert_type(t.upper_grad_inv(y=[0.0]), F)
    assert_type(t.float64(1.0), np.float64)
    assert_type(d.ndtri_as241(0.5), float)
    assert_type(d.ndtri_as241(1), float)
    assert_type(d.erfinv_from_as241(y=np.float32(0.1)), float)
    assert_type(d.ndtri_as241_into(p=[[0.5, 0.25]]), F)
    assert_type(d.ndtri_as241_into(0.5), F)
    x0 = np.array([-1.2, 1.0])
    r = o.run_neldermead("rosenbrock", x0)
    assert_type(r, "MinimizerResult")
    assert_type(r["x"], F)
    assert_type(r["fun"], float)
    assert_type(r["nfev"], int)
    assert_type(r["nit"], int)
    assert_type(r["success"], bool)
    assert_type(r["status"], int)
    assert_type(r["message"], str)
    best_value(r)
    o.run_lbfgsb(objective="quad", x0=np.zeros(2), bounds=[(0.0, None), (None, 2)],
                 params=[1.0, 100.0, 3.0, -2.0], m=5, maxiter=20, maxfun=np.int64(50),
                 maxls=20, factr=1e7, pgtol=1e-5, fd_step=np.float64(0.0))
    o.run_neldermead(name, x0, [[0.0, None], [None, 2.0]], None, 2.9, 0, xatol=1e-3)


def rejected(x0: NDArray[np.float64], ints: NDArray[np.int64]) -> None:
    t.log_fwd("1.0")  # type: ignore[call-overload]
    t.log_fwd(None)  # type: ignore[call-overload]
    t.log_fwd(range(3))  # type: ignore[call-overload]
    t.log_fwd(1j)  # type: ignore[call-overload]
    t.log_fwd(z=1.0)  # type: ignore[call-overload]
    t.log_inv(x=1.0)  # type: ignore[call-overload]
    t.aff_logit_fwd(0.5, 0.0)  # type: ignore[call-overload]
    t.lower_fwd([1.0], low=[0.0])  # type: ignore[call-overload]
    t.lower_grad_inv(1.0, 0.0)  # type: ignore[call-overload]
    d.ndtri_as241([0.5])  # type: ignore[arg-type]
    d.ndtri_as241(q=0.5)  # type: ignore[call-arg]
    o.run_lbfgsb("quad", [0.0, 1.0])  # type: ignore[arg-type]
    o.run_lbfgsb("rosenbrock", ints)  # type: ignore[arg-type]
    o.run_neldermead(None, x0)  # type: ignore[arg-type]
    o.run_neldermead("rosenbrock", x0, bounds=[(0.0, None, 1.0)])  # type: ignore[list-item]
    o.run_neldermead("rosenbrock", x0, bounds=[("0", None)])  # type: ignore[list-item]
    o.run_neldermead("rosenbrock", x0, maxiter="10")  # type: ignore[arg-type]
    o.run_lbfgsb("rosenbrock", x0, xatol=1e-3)  # type: ignore[call-arg]
    r = o.run_neldermead("rosenbrock", x0)
    r["fn"]  # type: ignore[typeddict-item]
    text: str = r["fun"]  # type: ignore[assignment]
    scalar: float = t.log_fwd([1.0])  # type: ignore[assignment]


accepted("rosenbrock", 1.0)
accepted("rosenbrock", [1.0])
"""


@pytest.mark.slow
def test_user_program_type_checks(tmp_path):
    program = tmp_path / "user_program.py"
    program.write_text(textwrap.dedent(USER_PROGRAM))
    proc = run_mypy(
        [
            "mypy",
            "--strict",
            "--warn-unused-ignores",
            "--no-incremental",
            "--python-version",
            f"{sys.version_info[0]}.{sys.version_info[1]}",
            str(program),
        ],
        tmp_path,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_user_program_runs(tmp_path):
    # The lines the stubs accept are accepted at run time too.
    program = tmp_path / "user_program.py"
    program.write_text(textwrap.dedent(USER_PROGRAM))
    proc = subprocess.run(
        [sys.executable, str(program)], env=mypy_env(), capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr


# ---------------------------------------------------------------------------
# The public minimize: stubtest of the fitting module behind it and the
# other estimation functions, and a user program.


@pytest.mark.slow
def test_stubtest_reports_nothing_for_fitting(tmp_path):
    # The public layer is annotated Python, checked by mypy in the user
    # programs here; its native module, behind minimize, fit, minimize_many,
    # fit_many, least_squares and curve_fit, has a stub.
    proc = run_mypy(["mypy.stubtest", "Velmora._ckernels.optim._fitting"], tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


MINIMIZE_PROGRAM = """
from typing import assert_type

import numpy as np
from numpy.typing import NDArray

import Velmora
from Velmora import NativeObjective, OptimizeResult, minimize


def fun(x: NDArray[np.float64]) -> float:
    return float(np.sum(x ** 2))


def grad(x: NDArray[np.float64]) -> NDArray[np.float64]:
    return 2.0 * x


def accepted() -> None:
    r = Velmora.minimize(fun, [1.0, 2.0], jac=grad, bounds=[(0.0, None), (None, 2.0)],
                         options={"maxiter": 100}, tol=1e-8)
    assert_type(r, OptimizeResult)
    assert_type(r.x, np.ndarray)
    assert_type(r.fun, float)
    assert_type(r.success, bool)
    assert_type(r.message, str)
    assert_type(r.nit, int)
    assert_type(r.jac, np.ndarray | None)
    minimize("rosenbrock", np.zeros(2), method="Nelder-Mead", callback=lambda xk: None)
    NativeObjective(12345, ctx=0)


def rejected() -> None:
    minimize(fun, [1.0], method=3)  # type: ignore[arg-type]
    minimize(fun, [1.0], tol="1e-3")  # type: ignore[arg-type]
    r = minimize(fun, [1.0])
    text: str = r.fun  # type: ignore[assignment]
"""


@pytest.mark.slow
def test_minimize_user_program_type_checks(tmp_path):
    program = tmp_path / "minimize_program.py"
    program.write_text(textwrap.dedent(MINIMIZE_PROGRAM))
    proc = run_mypy(
        [
            "mypy",
            "--strict",
            "--warn-unused-ignores",
            "--no-incremental",
            "--python-version",
            f"{sys.version_info[0]}.{sys.version_info[1]}",
            str(program),
        ],
        tmp_path,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


# ---------------------------------------------------------------------------
# The public transforms: ufunc calls and ParameterMap through mypy.

TRANSFORMS_PROGRAM = """
from typing import Any, assert_type

import numpy as np
from numpy.typing import NDArray

from Velmora import transforms as vt
from Velmora.transforms import ParameterMap

F = NDArray[np.float64]


def accepted(lazy: Any, a: F) -> None:
    assert_type(vt.logit_fwd(0.3), np.float64)
    assert_type(vt.logit_fwd(np.float32(0.3)), np.float64)
    assert_type(vt.logit_fwd([0.1, 0.2]), F)
    assert_type(vt.logit_fwd(a), F)
    assert_type(vt.aff_logit_fwd(3.0, 2, 6), np.float64)
    assert_type(vt.aff_logit_fwd(a, 0.0, a), F)
    assert_type(vt.lower_fwd([2.0], 1.0, where=True, casting="same_kind"), F)
    out32: NDArray[np.float32] = np.empty(2, np.float32)
    assert_type(vt.logit_inv([0.0, 1.0], out=out32), NDArray[np.float32])
    assert_type(vt.logit_inv(lazy), Any)
    assert_type(vt.logit_fwd.nin, int)
    assert_type(vt.logit_fwd.__name__, str)
    pm = ParameterMap([(0.0, None), (None, None)], kind="probit")
    assert_type(pm.to_unconstrained([1.0, 2.0]), F)
    assert_type(pm.to_constrained(np.zeros(2)), F)
    assert_type(pm.constrained_grad(np.zeros(2)), F)
    assert_type(pm.log_abs_det_jacobian(np.zeros(2)), float | F)
    assert_type(pm.log_abs_det_jacobian_grad(np.zeros(2)), F)
    assert_type(pm.pullback(np.zeros(2), np.ones((3, 2))), F)
    assert_type(pm.n, int)
    assert_type(pm.lower, F)
    assert_type(pm.families, tuple[str, ...])
    assert_type(pm.bounds, list[tuple[float | None, float | None]])


def rejected() -> None:
    vt.logit_fwd(0.3, out=3)  # type: ignore[call-overload]
    vt.logit_fwd(0.3, casting="sometimes")  # type: ignore[call-overload]
    vt.logit_fwd(0.3, bogus=1)  # type: ignore[call-overload]
    ParameterMap([(0.0, 1.0)], kind=3)  # type: ignore[arg-type]
    ParameterMap([(0.0, 1.0)]).n = 3  # type: ignore[misc]


accepted(np.ones(2), np.ones(2))
"""


@pytest.mark.slow
def test_public_transforms_type_check(tmp_path):
    program = tmp_path / "transforms_program.py"
    program.write_text(TRANSFORMS_PROGRAM)
    proc = run_mypy(
        [
            "mypy",
            "--strict",
            "--warn-unused-ignores",
            "--no-incremental",
            "--python-version",
            f"{sys.version_info[0]}.{sys.version_info[1]}",
            str(program),
        ],
        tmp_path,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    run = subprocess.run(
        [sys.executable, str(program)], env=mypy_env(), capture_output=True, text=True, timeout=120
    )
    assert run.returncode == 0, run.stderr


# ---------------------------------------------------------------------------
# The public fit: a user program through mypy, then run.

FIT_PROGRAM = """
from typing import assert_type

import numpy as np
from numpy.typing import NDArray

import Velmora
from Velmora import FitResult, IdentifiabilityWarning, OptimizeResult, fit

DATA = np.array([1.0, 2.0, 4.0, 3.5])


def nll(x: NDArray[np.float64], data: NDArray[np.float64]) -> float:
    return float(data.size * np.log(x[1]) + np.sum((data - x[0]) ** 2) / (2.0 * x[1] ** 2))


def accepted() -> None:
    r = Velmora.fit(nll, [0.0, 1.0], args=(DATA,), bounds=[(None, None), (0.0, None)],
                    names=["mu", "sigma"], kind="probit", options={"maxiter": 100}, errordef=0.5)
    assert_type(r, FitResult)
    assert_type(r.x, NDArray[np.float64])
    assert_type(r.se, NDArray[np.float64])
    assert_type(r.cov, NDArray[np.float64])
    assert_type(r.corr, NDArray[np.float64])
    assert_type(r.hessian, NDArray[np.float64])
    assert_type(r.ci(0.9), NDArray[np.float64])
    assert_type(r.summary(), str)
    assert_type(r.names, tuple[str, ...])
    assert_type(r.unidentified, tuple[str, ...])
    assert_type(r.fun, float)
    assert_type(r.success, bool)
    assert_type(r.nfev, int)
    assert_type(r.minimize_result, OptimizeResult)
    assert issubclass(IdentifiabilityWarning, UserWarning)
    fit("rosenbrock", np.zeros(2), method="Nelder-Mead")


def rejected() -> None:
    fit(nll, [0.0, 1.0], (DATA,), None)  # type: ignore[call-arg]
    fit(nll, [0.0, 1.0], errordef="1")  # type: ignore[arg-type]
    fit(nll, [0.0, 1.0], names=[1, 2])  # type: ignore[list-item]
    r = fit(nll, [0.0, 1.0], args=(DATA,), bounds=[(None, None), (0.0, None)])
    r.ci("0.9")  # type: ignore[arg-type]
    text: str = r.se  # type: ignore[assignment]


accepted()
"""


@pytest.mark.slow
def test_fit_user_program_type_checks_and_runs(tmp_path):
    program = tmp_path / "fit_program.py"
    program.write_text(FIT_PROGRAM)
    proc = run_mypy(
        [
            "mypy",
            "--strict",
            "--warn-unused-ignores",
            "--no-incremental",
            "--python-version",
            f"{sys.version_info[0]}.{sys.version_info[1]}",
            str(program),
        ],
        tmp_path,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    run = subprocess.run(
        [sys.executable, str(program)], env=mypy_env(), capture_output=True, text=True, timeout=120
    )
    assert run.returncode == 0, run.stderr


# ---------------------------------------------------------------------------
# least_squares and curve_fit: a user program; stubtest of the likelihoods.


def test_stubtest_reports_nothing_for_likelihoods(tmp_path):
    proc = run_mypy(["mypy.stubtest", "Velmora._ckernels.likelihoods._likelihoods"], tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


LSQ_PROGRAM = """
from typing import Any, assert_type

import numpy as np
from numpy.typing import NDArray

import Velmora
from Velmora import NativeModel, NativeResiduals, OptimizeResult, OptimizeWarning, curve_fit, least_squares

t = np.linspace(0.0, 4.0, 20)
y = 2.5 * np.exp(-1.3 * t) + 0.5


def model(t: NDArray[np.float64], a: float, b: float, c: float) -> NDArray[np.float64]:
    return a * np.exp(-b * t) + c


def residuals(p: NDArray[np.float64]) -> NDArray[np.float64]:
    return model(t, *p) - y


def accepted() -> None:
    r = least_squares(residuals, [1.0, 1.0, 1.0], bounds=([0, 0, 0], [10, 10, 10]), x_scale="jac",
                      max_nfev=100, ftol=1e-10)
    assert_type(r, OptimizeResult)
    assert_type(r.x, np.ndarray)
    assert_type(r.success, bool)
    assert_type(r.cost, float)
    assert_type(r.grad, np.ndarray)
    popt, pcov = Velmora.curve_fit(model, t, y, p0=[1.0, 1.0, 1.0], sigma=np.full(20, 0.1))
    out: tuple[Any, ...] = curve_fit(model, t, y, p0=[1.0, 1.0, 1.0], full_output=True, maxfev=500)
    assert issubclass(OptimizeWarning, UserWarning)
    NativeModel(12345, ctx=0)
    NativeResiduals(12345, 20)


def rejected() -> None:
    least_squares(residuals, [1.0], max_nfev="10")  # type: ignore[arg-type]
    curve_fit(model, t, y, absolute_sigma="yes")  # type: ignore[arg-type]
    NativeResiduals(12345)  # type: ignore[call-arg]
    text: str = least_squares(residuals, [1.0, 1.0, 1.0]).cost  # type: ignore[assignment]
"""


@pytest.mark.slow
def test_least_squares_user_program_type_checks(tmp_path):
    program = tmp_path / "lsq_program.py"
    program.write_text(textwrap.dedent(LSQ_PROGRAM))
    proc = run_mypy(
        [
            "mypy",
            "--strict",
            "--warn-unused-ignores",
            "--no-incremental",
            "--python-version",
            f"{sys.version_info[0]}.{sys.version_info[1]}",
            str(program),
        ],
        tmp_path,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


# ---------------------------------------------------------------------------
# minimize_many: a user program.


MANY_PROGRAM = """
from typing import assert_type

import numpy as np
from numpy.typing import NDArray

import Velmora
from Velmora import (
    CurveFitManyResult,
    FitManyResult,
    ManyResult,
    curve_fit_many,
    fit_many,
    minimize_many,
)


def fun(x: NDArray[np.float64], row: NDArray[np.float64]) -> float:
    return float(np.sum((x - row) ** 2))


def line(t: NDArray[np.float64], a: float, b: float) -> NDArray[np.float64]:
    return a + b * t


def accepted() -> None:
    r = Velmora.minimize_many(fun, np.zeros(2), np.ones((5, 2)), bounds=[(0.0, None), (None, 2.0)],
                              options={"maxiter": 100}, workers=2, progress=False)
    assert_type(r, ManyResult)
    assert_type(r.x, np.ndarray)
    assert_type(r.fun, np.ndarray)
    assert_type(r.success, np.ndarray)
    assert_type(r.message, np.ndarray)
    minimize_many(fun, np.zeros((5, 2)), method="Nelder-Mead", tol=1e-8, progress=None)
    e = fit_many(fun, np.zeros(2), np.ones((5, 2)), errordef=1.0, names=["a", "b"], workers=2)
    assert_type(e, FitManyResult)
    assert_type(e.ci(0.9), NDArray[np.float64])
    assert_type(e.se, np.ndarray)
    c = Velmora.curve_fit_many(line, np.arange(3.0), np.ones((5, 3)), [1.0, 1.0], sigma=np.ones(3))
    assert_type(c, CurveFitManyResult)
    assert_type(c.names, tuple[str, ...])


def rejected() -> None:
    minimize_many(fun, [1.0], method=3)  # type: ignore[arg-type]
    minimize_many(fun, [1.0], None, (), "L-BFGS-B")  # type: ignore[call-arg]
    minimize_many(fun, [1.0], workers="2")  # type: ignore[arg-type]
    fit_many(fun, [1.0], [[1.0]], errordef="1")  # type: ignore[arg-type]
    curve_fit_many(line, [1.0], [[1.0]], [1.0], workers="2")  # type: ignore[arg-type]
    r = minimize_many(fun, [[1.0]])
    text: str = r.fun  # type: ignore[assignment]
"""


@pytest.mark.slow
def test_minimize_many_user_program_type_checks(tmp_path):
    program = tmp_path / "many_program.py"
    program.write_text(textwrap.dedent(MANY_PROGRAM))
    proc = run_mypy(
        [
            "mypy",
            "--strict",
            "--warn-unused-ignores",
            "--no-incremental",
            "--python-version",
            f"{sys.version_info[0]}.{sys.version_info[1]}",
            str(program),
        ],
        tmp_path,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


# ---------------------------------------------------------------------------
# sample: stubtest of its native module.


def test_stubtest_reports_nothing_for_sample(tmp_path):
    proc = run_mypy(["mypy.stubtest", "Velmora._ckernels.sample._sample"], tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
