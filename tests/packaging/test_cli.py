"""The command line `python -m Velmora`: every command against the modules it
fronts, bad input as one line with exit status 2, and output that cannot be
written as one line with status 1."""

import importlib.util
import json
import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from Velmora import cli
from Velmora._ckernels.distributions import _distributions as dist
from Velmora._ckernels.optim import _optim
from Velmora._ckernels.transforms import _transforms as tr

from native import (
    TRANSFORM_FAMILIES as FAMILIES,
)
from native import (
    TRANSFORM_OPS as OPS,
)
from native import (
    python_env,
    transform_bounds,
)

# Bounds used for the families that take them.
BOUNDS = {
    "aff_logit": {"low": 2.0, "high": 6.0},
    "aff_probit": {"low": -1.0, "high": 3.0},
    "lower": {"low": 1.5},
    "upper": {"high": 2.0},
}
POINTS = {
    "log": 0.7,
    "logit": 0.3,
    "probit": 0.8,
    "aff_logit": 2.5,
    "aff_probit": 0.4,
    "softplus": 1.7,
    "lower": 4.0,
    "upper": -1.0,
    "tanh": -0.4,
}


def run_cli(capsys, *argv):
    """(exit status, stdout lines, stderr) of main(argv) in this process."""
    try:
        status = cli.main([str(a) for a in argv])
    except SystemExit as stop:
        status = stop.code
    out, err = capsys.readouterr()
    return status, out.splitlines(), err


def table(lines):
    """The rows of a printed table (after its title line) as lists of floats."""
    return [[float(v) for v in line.split()] for line in lines[1:]]


@pytest.mark.parametrize(
    "values", [["0.025", "0.5", "0.975"], ["0", "1", "-0.5", "1.5", "nan", "5e-324"]]
)
@pytest.mark.parametrize("erfinv", [False, True])
def test_quantile_prints_the_module_values(capsys, values, erfinv):
    status, out, _ = run_cli(capsys, "quantile", *values, *(["--erfinv"] if erfinv else []))
    function = dist.erfinv_from_as241 if erfinv else dist.ndtri_as241
    assert status == 0
    rows = table(out)
    assert [r[0] for r in rows] == [float(v) for v in values] or any(
        math.isnan(float(v)) for v in values
    )
    for p, q in rows:
        expected = function(p)
        assert q == expected or (math.isnan(q) and math.isnan(expected))


@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("op", OPS)
def test_transform_prints_the_function_the_inverse_and_the_log_jacobian(capsys, family, op):
    bounds = BOUNDS.get(family, {})
    reads_x = op in ("fwd", "grad_fwd", "ldet_abs_jac_fwd")
    v = POINTS[family] if reads_x else 0.6
    options = [a for side, value in bounds.items() for a in (f"--{side}", value)]
    status, out, _ = run_cli(capsys, "transform", family, op, v, *options)
    assert status == 0
    [row] = table(out[1:])
    args = tuple(bounds.values())

    def call(name, value):
        takes = bool(transform_bounds(family, name))
        return getattr(tr, f"{family}_{name}")(value, *(args if takes else ()))

    y = call("fwd", v) if reads_x else v
    x = v if reads_x else call("inv", v)
    other = y if reads_x else x
    back = call("inv", y) if reads_x else call("fwd", x)
    expected = [v, call(op, v), other, back, call("ldet_abs_jac_inv", y)]
    if op in ("fwd", "inv", "ldet_abs_jac_inv"):  # shown once, in its own column
        del expected[1]
    assert row == pytest.approx(expected, rel=0, abs=0, nan_ok=True)


def test_transform_bounds_reach_the_kernel(capsys):
    # A bound passed in the wrong slot would change every value.
    _, out, _ = run_cli(capsys, "transform", "aff_logit", "fwd", 3.0, "--low", 2.0, "--high", 6.0)
    assert table(out[1:])[0][1] == pytest.approx(math.log(0.25 / 0.75))
    _, out, _ = run_cli(capsys, "transform", "upper", "inv", "-inf", "--high", -3.0)
    assert table(out[1:])[0][1] == -3.0


def test_minimize_json_is_the_module_result(capsys):
    status, out, _ = run_cli(
        capsys,
        "minimize",
        "quad",
        "--method",
        "neldermead",
        "--x0",
        "0,0",
        "--params",
        "1",
        "100",
        "3",
        "-2",
        "--json",
    )
    expected = _optim.run_neldermead("quad", np.zeros(2), params=[1.0, 100.0, 3.0, -2.0])
    record = json.loads(out[0])
    assert list(record) == list(expected)
    assert record == dict(expected, x=expected["x"].tolist())
    assert status == 0


@pytest.mark.parametrize(
    "argv, method, kwargs",
    [
        (["--x0", "-1.2", "1"], "run_lbfgsb", {}),
        (
            [
                "--x0",
                "-1.2",
                "1",
                "--m",
                "3",
                "--maxls",
                "5",
                "--factr",
                "10",
                "--pgtol",
                "1e-8",
                "--fd-step",
                "1e-7",
            ],
            "run_lbfgsb",
            {"m": 3, "maxls": 5, "factr": 10.0, "pgtol": 1e-8, "fd_step": 1e-7},
        ),
        (
            [
                "--method",
                "neldermead",
                "--x0",
                "-1.2,1",
                "--xatol",
                "1e-6",
                "--fatol",
                "1e-6",
                "--maxfun",
                "90",
            ],
            "run_neldermead",
            {"xatol": 1e-6, "fatol": 1e-6, "maxfun": 90},
        ),
        (
            ["--x0", "-1.2", "1", "--bounds", "-1:1,none:inf"],
            "run_lbfgsb",
            {"bounds": [(-1.0, 1.0), (None, None)]},
        ),
        (
            ["--x0", "-1.2", "1", "--bounds", ":-1", "-inf:0.5", "--maxiter", "4"],
            "run_lbfgsb",
            {"bounds": [(None, -1.0), (None, 0.5)], "maxiter": 4},
        ),
    ],
)
def test_minimize_passes_every_option(capsys, argv, method, kwargs):
    status, out, _ = run_cli(capsys, "minimize", "rosenbrock", *argv, "--json")
    expected = getattr(_optim, method)("rosenbrock", np.array([-1.2, 1.0]), **kwargs)
    assert json.loads(out[0]) == dict(expected, x=expected["x"].tolist())
    assert status == (0 if expected["success"] else 1)


def test_minimize_reports_failure_by_exit_status_and_keeps_json_strict(capsys):
    status, out, _ = run_cli(capsys, "minimize", "rosenbrock", "--x0", "nan", "1", "--json")
    record = json.loads(
        out[0], parse_constant=lambda name: pytest.fail(f"non-standard JSON {name}")
    )
    assert status == 1 and record["success"] is False
    assert record["fun"] in ("NaN", "Infinity", "-Infinity") or math.isfinite(record["fun"])


def test_minimize_text_output(capsys):
    status, out, _ = run_cli(
        capsys,
        "minimize",
        "rosen_halfplane",
        "--method",
        "neldermead",
        "--x0",
        "0.5",
        "0.5",
        "--bounds",
        "0:",
        ":",
    )
    assert status == 0
    text = "\n".join(out)
    assert "Optimization terminated successfully." in text and "nfev" in text


@pytest.mark.parametrize(
    "argv, message",
    [
        (["quantile"], "required: P"),
        (["quantile", "abc"], "invalid number value: 'abc'"),
        (["transform", "logit", "fwd"], "required: VALUE"),
        (["transform", "exp", "fwd", "1"], "invalid choice: 'exp'"),
        (["transform", "logit", "forward", "1"], "invalid choice: 'forward'"),
        (["transform", "log", "fwd", "1", "--low", "0"], "the log family takes no --low"),
        (["transform", "aff_logit", "fwd", "1"], "needs --low and --high"),
        (["transform", "upper", "fwd", "1", "--low", "0"], "takes no --low"),
        (["minimize", "rosenbrock"], "required: --x0"),
        (["minimize", "banana", "--x0", "1"], "invalid choice: 'banana'"),
        (["minimize", "rosenbrock", "--x0", "1", "--method", "newton"], "invalid choice: 'newton'"),
        (
            ["minimize", "rosenbrock", "--x0", "1", "2", "--bounds", "0:1"],
            "1 pair(s) for 2 variable(s)",
        ),
        (["minimize", "rosenbrock", "--x0", "1", "--bounds", "0-1"], "invalid LO:HI value: '0-1'"),
        (
            ["minimize", "rosenbrock", "--x0", "1", "--xatol", "1"],
            "--xatol applies to --method neldermead only",
        ),
        (
            ["minimize", "rosenbrock", "--x0", "1", "--method", "neldermead", "--m", "3"],
            "--m applies to",
        ),
        (["minimize", "rosenbrock", "--x0", "1", "--maxiter", "2.5"], "invalid int value: '2.5'"),
        (
            ["minimize", "rosenbrock", "--x0", "1", "--m", "99999999999"],
            "value too large to convert to int",
        ),
        (["minimize", "rosenbrock", "--x0", "1", "--bounds", "2:1"], "lower side above the upper"),
        (["minimize", "rosenbrock", "--x0", "1", "2", "--bounds", "0:1,nan:1"], "pair 2 has a NaN"),
        (["minimize", "rosenbrock", "--x0", "1", "--maxiter", "0"], "--maxiter must be at least 1"),
        (["minimize", "rosenbrock", "--x0", "1", "--maxfun", "-3"], "--maxfun must be at least 1"),
        (["minimize", "quad", "--x0", "1", "2"], "needs params"),
        (["minimize", "quad", "--x0", "1", "2", "--params", "1"], "needs 2*n = 4 params"),
        (["frobnicate"], "invalid choice: 'frobnicate'"),
        (["--no-such-option"], "unrecognized arguments"),
        (["quantile", "0.5", "--no-such-option"], "unrecognized arguments"),
    ],
)
def test_bad_input_is_one_line_with_status_2(capsys, argv, message):
    status, out, err = run_cli(capsys, *argv)
    assert status == 2
    assert out == []
    assert len(err.splitlines()) == 1 and message in err and "error:" in err


HARNESS = Path(__file__).resolve().parents[2] / "benchmarks" / "harness.py"
needs_harness = pytest.mark.skipif(
    not HARNESS.is_file(), reason="the benchmark harness is not beside the tests"
)


@needs_harness
def test_bench_refuses_clearly_without_scipy(capsys, monkeypatch):
    found = importlib.util.spec_from_file_location("bench_harness", HARNESS)
    harness = importlib.util.module_from_spec(found)
    found.loader.exec_module(harness)
    monkeypatch.setitem(sys.modules, "scipy", None)  # import scipy.special fails
    monkeypatch.setitem(sys.modules, "scipy.special", None)
    assert harness.main(["--quick"]) == 1
    out, err = capsys.readouterr()
    assert out == ""
    assert "SciPy" in err and "pip install scipy" in err and len(err.splitlines()) == 1


@needs_harness
@pytest.mark.slow
def test_bench_runs_a_selected_row_of_the_checkout_harness(capfd):
    pytest.importorskip("scipy")
    status, out, _ = run_cli(capfd, "bench", "--quick", "-k", "erfinv_from_as241(float) vs SciPy")
    assert status == 0
    [row] = [line for line in out if line.startswith("quantile")]
    assert "scipy.special.erfinv" in row and row.split()[-1] in ("yes", "NO")
    assert out[-1].endswith(
        "of 1 row(s) meet their target; " + ("0" if row.endswith("yes") else "1") + " miss it"
    )


def test_bench_without_a_checkout_says_how_to_get_the_harness(capsys, monkeypatch):
    monkeypatch.setattr(cli, "find_harness", lambda: None)
    status, out, err = run_cli(capsys, "bench", "--quick")
    assert status == 1 and out == []
    assert len(err.splitlines()) == 1
    assert "pip install '.[bench]'" in err and "python benchmarks/bench.py" in err


def test_only_bench_passes_unknown_options_on(capsys, monkeypatch):
    monkeypatch.setattr(cli, "run_bench", lambda args: print(args.harness_args) or 0)
    status, out, _ = run_cli(capsys, "bench", "--quick", "-k", "a b")
    assert status == 0 and out == ["['--quick', '-k', 'a b']"]


def run_module(*argv, **kwargs):
    return subprocess.run(
        [sys.executable, "-m", "Velmora", *argv],
        env=python_env(),
        text=True,
        capture_output=True,
        timeout=120,
        **kwargs,
    )


@pytest.mark.parametrize(
    "argv",
    [
        [],
        ["--help"],
        ["quantile", "--help"],
        ["transform", "--help"],
        ["minimize", "--help"],
        ["bench", "--help"],
        ["--version"],
    ],
)
def test_every_entry_point_runs_as_a_module(argv):
    done = run_module(*argv)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert ("Standard normal quantile" in done.stdout) if not argv else done.stdout


def test_bad_input_and_closed_pipe_give_no_traceback():
    done = run_module("minimize", "quad", "--x0", "1")
    assert done.returncode == 2 and "Traceback" not in done.stderr
    reader = subprocess.Popen(
        [sys.executable, "-m", "Velmora", "transform", "log", "fwd", *["2"] * 20000],
        env=python_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    reader.stdout.readline()
    reader.stdout.close()  # the reader goes away, like `| head -1`
    assert reader.wait(timeout=120) != 0
    assert b"Traceback" not in reader.stderr.read()


WRITE_ERROR = "python -m Velmora: error: cannot write the output: "


@pytest.mark.parametrize(
    "argv",
    [
        ["quantile", "0.5"],
        [],
        ["minimize", "rosenbrock", "--x0", "-1.2", "1"],
        ["transform", "logit", "fwd", "0.5"],
        ["--version"],
        ["quantile", "--help"],
    ],
)
@pytest.mark.parametrize("unbuffered", [True, False])
def test_output_that_cannot_be_written_is_one_line_and_a_failure(argv, unbuffered):
    # A full device: buffered, the failure comes only from the final flush;
    # unbuffered, from the first print (and argparse must not swallow it).
    env = python_env()
    env.pop("PYTHONUNBUFFERED", None)
    if unbuffered:
        env["PYTHONUNBUFFERED"] = "1"
    with open("/dev/full", "w") as full:
        done = subprocess.run(
            [sys.executable, "-m", "Velmora", *argv],
            env=env,
            stdout=full,
            stderr=subprocess.PIPE,
            text=True,
            timeout=120,
            check=False,
        )
    assert done.returncode == 1
    assert done.stderr.splitlines() == [WRITE_ERROR + "No space left on device"]


def test_closed_standard_output_is_a_failure():
    done = subprocess.run(
        [sys.executable, "-m", "Velmora", "quantile", "0.5"],
        env=python_env(),
        stderr=subprocess.PIPE,
        text=True,
        timeout=120,
        preexec_fn=lambda: os.close(1),
        check=False,
    )
    assert done.returncode == 1
    assert done.stderr.splitlines() == [WRITE_ERROR + "standard output is closed"]


def test_main_restores_standard_output(capsys):
    before = sys.stdout
    assert run_cli(capsys, "quantile", "0.5")[0] == 0
    assert sys.stdout is before


def test_demonstration_opens_with_a_fit_next_to_the_true_values(capsys):
    status, out, err = run_cli(capsys)
    assert status == 0 and err == ""
    assert out[0].startswith("Velmora.fit: 2000 values simulated from a gamma distribution")
    section = [line.split() for line in out[: out.index("")]]
    assert any("CONVERGENCE" in words for words in section)
    named = [words for words in section if words[:1] in (["shape"], ["rate"])]
    # The summary's rows (estimate, std err, interval, bounds), then the rows beside the true values.
    assert [w[-1] for w in named[:2]] == ["inf)", "inf)"]
    assert [(w[0], w[1], w[-1]) for w in named[2:]] == [
        ("shape", "2.5", "yes"),
        ("rate", "1.7", "yes"),
    ]
