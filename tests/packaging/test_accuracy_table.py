"""benchmarks/accuracy.py, which prints the accuracy table of docs/accuracy.md: its exact
values against the test suite's references, the ranges it names, and the
documented table covering every function."""

import importlib.util
import os
import re

import mpmath as mp
import pytest

from native import TRANSFORM_FAMILIES, TRANSFORM_OPS

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def load(name, path):
    spec = importlib.util.spec_from_file_location(name, os.path.join(ROOT, path))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


accuracy = load("accuracy_script", "benchmarks/accuracy.py")
# The test suite's references: T and T^-1 only, derivatives by numerical
# differentiation; the script's exact values are closed forms.
references = load("transform_references", "tests/core/test_transforms.py")
FUNCTIONS = [(family, op) for family in TRANSFORM_FAMILIES for op in TRANSFORM_OPS]


@pytest.mark.parametrize("family, op", FUNCTIONS)
def test_exact_values_agree_with_the_suite_references(monkeypatch, family, op):
    monkeypatch.setattr(accuracy, "BOUNDS", references.BOUNDS)
    with mp.workdps(50):
        for v in references.grid(family, op):
            ours = float(accuracy.exact(family, op, v))
            theirs = references.reference(family, op, v, references.BOUNDS.get(family, ()))
            # (the differentiated references are good to about 1e-24 absolute)
            assert ours == pytest.approx(theirs, rel=1e-14, abs=1e-20), (v, ours, theirs)


@pytest.fixture(scope="module")
def small_run(tmp_path_factory):
    """The script's table from a small run (few points, small grid)."""
    import contextlib
    import io

    out = io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(io.StringIO()):
        assert accuracy.main(["--points", "120", "--usual-points", "5", "--grid", "2000"]) == 0
    return out.getvalue()


def table_rows(text):
    """{label: ranges} of the table's rows (first and last cells)."""
    rows = [line.strip("| ").split(" | ") for line in text.splitlines() if line.startswith("| `")]
    return {r[0]: r[-1] for r in rows}


def covered(labels):
    """The function names a table's labels stand for."""
    names = set()
    for label in labels:
        for family in TRANSFORM_FAMILIES:
            prefix = f"`{family}_*` "
            if label.startswith(prefix + "(all"):
                names |= {f"{family}_{op}" for op in TRANSFORM_OPS}
            elif label.startswith(prefix + "except"):
                left = re.findall(r"`(\w+)`", label[len(prefix) :])
                names |= {f"{family}_{op}" for op in TRANSFORM_OPS if op not in left}
        names |= set(re.findall(r"`(\w+)`", label)) if "_*" not in label else set()
    return names


@pytest.mark.slow
@pytest.mark.parametrize(
    "name, must_say",
    [
        ("logit_ldet_abs_jac_inv", ["y ≤ −7.1e+02", "−inf instead of a finite value"]),
        ("softplus_fwd", ["x ≥ 7.1e+02", "inf instead of a finite value"]),
        ("softplus_ldet_abs_jac_fwd", ["x ≥ 7.1e+02", "−inf instead of a finite value"]),
        ("probit_ldet_abs_jac_inv", ["39 ≤ y ≤ 1.9e+154", "−inf instead of a finite value"]),
        ("logit_grad_inv", ["no digit right", "0 for 37 ≤ y"]),
        ("softplus_grad_ldet_abs_jac_inv", ["no digit right", "0 for 37 ≤ y"]),
    ],
)
def test_the_known_ranges_are_named(small_run, name, must_say):
    ranges = table_rows(small_run)[f"`{name}`"]
    assert all(text in ranges for text in must_say), ranges


@pytest.mark.slow
def test_the_table_covers_every_function_once(small_run):
    labels = list(table_rows(small_run))
    assert covered(labels) == {f"{f}_{op}" for f, op in FUNCTIONS} | {"ndtri_as241"}
    named = [n for label in labels for n in covered([label])]
    assert len(named) == len(set(named))  # once each
    assert "decreases at" in small_run and "Better calls in those ranges" in small_run


def test_the_documented_table_covers_every_function():
    with open(os.path.join(ROOT, "docs", "accuracy.md"), encoding="utf-8") as f:
        section = f.read()
    assert covered(table_rows(section)) == {f"{f}_{op}" for f, op in FUNCTIONS} | {"ndtri_as241"}
    assert "benchmarks/accuracy.py" in section
