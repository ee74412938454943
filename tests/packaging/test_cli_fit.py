"""`python -m Velmora fit`: data files in the usual text layouts give the fit
fit_distribution makes; bad files, columns, cells and support are one line
with exit status 2 and nothing on standard output."""

import json

import numpy as np
import pytest

from Velmora import cli
from Velmora.likelihoods import fit_distribution

VALUES = [17.88, 28.92, 33.0, 41.52, 42.12, 45.6, 48.48, 51.84, 51.96, 54.12]
FLAGS = [0, 0, 0, 1, 0, 0, 0, 1, 0, 1]


def write(tmp_path, text, name="data.txt"):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def run(argv, capsys):
    try:
        status = cli.main(argv)
    except SystemExit as stop:
        status = stop.code
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize(
    "text, column",
    [
        ("\n".join(map(str, VALUES)) + "\n", None),
        ("# bearings\nhours\n" + "\n".join(map(str, VALUES)) + "\n", "hours"),
        ("id,hours\n" + "".join(f"{i},{v}\n" for i, v in enumerate(VALUES)), "hours"),
        ("".join(f"{i}\t{v}\n" for i, v in enumerate(VALUES)), "1"),
        ("".join(f"{i}   {v}\r\n" for i, v in enumerate(VALUES)), "1"),
    ],
    ids=["one-column", "header", "csv", "tsv", "whitespace-crlf"],
)
def test_layouts_give_the_library_fit_as_json(tmp_path, capsys, text, column):
    argv = ["fit", "weibull", write(tmp_path, text), "--json"]
    if column is not None:
        argv += ["--column", column]
    status, out, err = run(argv, capsys)
    assert status == 0 and err == ""
    record = json.loads(out)
    expected = fit_distribution(np.array(VALUES), "weibull")
    got = [record["parameters"][n]["estimate"] for n in ("shape", "scale")]
    np.testing.assert_allclose(got, expected.x, rtol=1e-12)
    assert record["loglike"] == pytest.approx(expected.loglike, rel=1e-12)
    assert record["nobs"] == len(VALUES)


def test_censoring_fixed_and_level_reach_the_fit(tmp_path, capsys):
    text = "t,c\n" + "".join(f"{v},{c}\n" for v, c in zip(VALUES, FLAGS))
    argv = ["fit", "weibull", write(tmp_path, text, "d.csv"), "--column", "t"]
    status, out, _ = run(
        argv + ["--censor-column", "c", "--fixed", "shape=2", "--level", "0.9"], capsys
    )
    assert status == 0
    expected = fit_distribution(
        np.array(VALUES), "weibull", censored=np.array(FLAGS, bool), fixed={"shape": 2.0}
    )
    assert f"{expected.x[1]:.6g}" in out and "[0.05" in out and "fixed at 2" in out


def test_auto_prints_the_comparison_table_best_first(tmp_path, capsys):
    status, out, _ = run(["fit", "auto", write(tmp_path, "\n".join(map(str, VALUES)))], capsys)
    assert status == 0
    lines = out.splitlines()
    assert lines[0].split()[:2] == ["distribution", "k"]
    best = lines[1].split()[0]
    assert f"fit_distribution: {best}" in out


@pytest.mark.parametrize(
    "text, extra, message",
    [
        ("1\n2\nabc\n", [], "line 3: 'abc' is not a number"),
        ("a,b\n1,2\n3,4\n", [], "has 2 columns: choose one with --column"),
        ("a,b\n1,2\n3,4\n", ["--column", "z"], "no such column"),
        ("a,b\n1,2\n3,4\n", ["--column", "5"], "numbered from 0"),
        ("a,b\n1,2\n3,\n", ["--column", "b"], "line 3: no value"),
        ("5\n", [], "at least 2 values"),
        ("", [], "holds no data"),
        ("1\n-2\n3\n", [], "outside its support"),
        ("1\n2\n3\n", ["--fixed", "shape"], "NAME=VALUE"),
        ("1\n2\n3\n", ["--fixed", "loc=1"], "no parameter 'loc'"),
        ("1\n2\n3\n", ["--level", "2"], "--level"),
        ("a,c\n1,0\n2,3\n", ["--column", "a", "--censor-column", "c"], "0 (observed) or 1"),
    ],
)
def test_bad_input_is_one_line_with_status_2(tmp_path, capsys, text, extra, message):
    status, out, err = run(["fit", "weibull", write(tmp_path, text), *extra], capsys)
    assert status == 2 and out == ""
    assert len(err.strip().splitlines()) == 1 and message in err


def test_missing_file_and_unknown_distribution(tmp_path, capsys):
    status, _, err = run(["fit", "weibull", str(tmp_path / "none.csv")], capsys)
    assert status == 2 and "cannot read" in err
    status, _, err = run(["fit", "frechet", write(tmp_path, "1\n2\n")], capsys)
    assert status == 2 and "unknown distribution" in err
