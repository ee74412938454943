"""Notebook displays: _repr_html_ of every result and the progress display."""

import io
import warnings

import numpy as np
import pytest

import Velmora as V
from Velmora import _progress

T = np.linspace(0, 1, 12)


def line(t, a, b):
    return a * t + b


def results():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fit = V.fit(
            lambda p: (p[0] - 1) ** 2 + (p[1] - 2) ** 2 + p[2] + 0.0 * p[3],
            [0.0, 2.0, 0.5, 1.0],
            bounds=[(None, None), (2, 2), (0, None), (None, None)],
            names=["a", "b<i>", "c", "d"],
        )
    return {
        "fit": fit,
        "minimize": V.minimize(lambda p: (p[0] - 1) ** 2, [0.0]),
        "least_squares": V.least_squares(lambda p: p - 3.0, [0.0]),
        "minimize_many": V.minimize_many(lambda x: float(np.sum((x - 1) ** 2)), np.zeros((15, 2))),
        "curve_fit_many": V.curve_fit_many(line, T, np.stack([T, 2 * T]), p0=[1, 1]),
        "fit_curve": V.fit_curve(line, T, 2 * T + 0.01 * np.sin(9 * T), p0=[1, 1]),
    }


@pytest.mark.parametrize("kind", list(results()))
def test_every_result_has_an_html_table(kind):
    r = results()[kind]
    text = r._repr_html_()
    assert text.count("<table>") >= 1 and text.count("<table>") == text.count("</table>")


def test_fit_table_flags_and_escapes():
    text = results()["fit"]._repr_html_()
    assert "b&lt;i&gt;" in text and "<i>" not in text  # names are escaped
    assert "fixed" in text and "at bound" in text and "unidentified" in text
    assert "converged" in text


def test_many_table_shows_counts_and_first_rows():
    text = results()["minimize_many"]._repr_html_()
    assert "15 problems: 15 converged" in text and "... 5 more" in text


def test_forced_progress_prints_the_final_line_of_a_quick_run(monkeypatch):
    stream = io.StringIO()
    monkeypatch.setattr(_progress.sys, "stderr", stream)
    V.minimize_many(lambda x: float(np.sum(x**2)), np.ones((3, 2)), progress=True)
    assert "minimize_many: 3 problems in" in stream.getvalue()
    stream.truncate(0)
    V.minimize_many(lambda x: float(np.sum(x**2)), np.ones((3, 2)), progress=None)
    assert stream.getvalue() == ""  # not asked for, not a terminal, quick


def test_notebook_progress_uses_tqdm(monkeypatch):
    tqdm = pytest.importorskip("tqdm")
    from Velmora import _progress

    monkeypatch.setattr(_progress, "in_notebook", lambda: True)
    stream = io.StringIO()
    monkeypatch.setattr(_progress.sys, "stderr", stream)
    bar = _progress.display(None, "curve_fit_many", 10)
    assert isinstance(bar, _progress._TqdmProgress)
    bar(4)
    assert bar.bar.n == 4
    bar.finish(True)
    assert bar.bar.n == 10
    assert _progress.display(False, "x", 10) is None
    assert tqdm.__version__


def test_no_tqdm_keeps_the_line(monkeypatch):
    import builtins

    from Velmora import _progress

    real_import = builtins.__import__

    def without_tqdm(name, *args, **kwargs):
        if name.startswith("tqdm"):
            raise ImportError(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", without_tqdm)
    monkeypatch.setattr(_progress, "in_notebook", lambda: True)
    monkeypatch.setattr(_progress.sys, "stderr", io.StringIO())
    assert isinstance(_progress.display(True, "x", 10), _progress.Progress)
