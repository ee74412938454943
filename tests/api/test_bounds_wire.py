"""Bounds cross to every native run as (lo, hi), float64 arrays with
infinities for a missing side. Each run is caught on its way down from a
public call, then called again with its bounds replaced: every malformed
form is refused before anything runs, and the derived codes give the
bounded optimum."""

import numpy as np
import pytest

import Velmora
from Velmora._ckernels.optim import _fitting
from Velmora._ckernels.sample import _sample


def quadratic(x):
    return float(((x - 3.0) ** 2).sum())


def line(t, a, b):
    return a + b * t


T = np.linspace(0.0, 1.0, 8)

# (module, function, position of bounds, problems or 0, the public call)
RUNS = {
    "minimize L-BFGS-B": (
        _fitting,
        "lbfgsb",
        2,
        0,
        lambda: Velmora.minimize(quadratic, [0.5, 0.5], bounds=[(0, 1), (None, None)]),
    ),
    "minimize Nelder-Mead": (
        _fitting,
        "neldermead",
        2,
        0,
        lambda: Velmora.minimize(
            quadratic, [0.5, 0.5], method="Nelder-Mead", bounds=[(0, 1), (None, None)]
        ),
    ),
    "fit": (
        _fitting,
        "fit",
        2,
        0,
        lambda: Velmora.fit(quadratic, [0.5, 0.5], bounds=[(0, 1), (None, None)]),
    ),
    "minimize_many": (
        _fitting,
        "lbfgsb_many",
        3,
        3,
        lambda: Velmora.minimize_many(
            quadratic, np.full((3, 2), 0.5), bounds=[(0, 1), (None, None)], progress=False
        ),
    ),
    "fit_many": (
        _fitting,
        "fit_many",
        3,
        3,
        lambda: Velmora.fit_many(
            lambda x, row: quadratic(x - row),  # rows of zeros: the same optimum
            np.full(2, 0.5),
            np.zeros((3, 2)),
            bounds=[(0, 1), (None, None)],
            progress=False,
        ),
    ),
    "least_squares": (
        _fitting,
        "solve",
        2,
        0,
        lambda: Velmora.least_squares(lambda x: x - 3.0, [0.5, 0.5], bounds=([0, -np.inf], [1, 5])),
    ),
    "curve_fit_many": (
        _fitting,
        "solve_many",
        5,
        3,
        lambda: Velmora.curve_fit_many(
            line, T, np.ones((3, 8)), [0.5, 0.5], bounds=([0, -np.inf], [1, 5]), progress=False
        ),
    ),
    "sample": (
        _sample,
        "run",
        3,
        0,
        lambda: Velmora.sample(
            quadratic,
            [0.5, 0.5],
            jac=lambda x: 2.0 * (x - 3.0),
            bounds=[(0, 1), (None, None)],
            draws=5,
            tune=5,
            chains=1,
            progress=False,
        ),
    ),
}


def caught_call(monkeypatch, name):
    """The arguments of the native run behind one public call."""
    module, function, _, _, public = RUNS[name]
    original, calls = getattr(module, function), []

    def spy(*args):
        calls.append(args)
        return original(*args)

    monkeypatch.setattr(module, function, spy)
    public()
    monkeypatch.undo()
    assert calls, f"{name} did not reach {function}"
    return original, list(calls[0])


def with_bounds(args, position, bounds):
    args = [a.copy() if isinstance(a, np.ndarray) else a for a in args]
    args[position] = bounds
    return args


@pytest.mark.parametrize("name", list(RUNS))
def test_the_public_call_sends_lo_and_hi_with_infinities(monkeypatch, name):
    _, args = caught_call(monkeypatch, name)
    lo, hi = args[RUNS[name][2]]
    assert lo.dtype == hi.dtype == np.float64
    assert lo[..., 0] == 0.0 and hi[..., 0] == 1.0
    assert lo[..., 1] == -np.inf and hi[..., 1] in (np.inf, 5.0)


def malformed(n, problems):
    lo, hi = np.zeros(n), np.ones(n)
    cases = [
        ((lo, hi, np.full(n, 2)), TypeError),  # codes beside the arrays
        ([lo, hi], TypeError),
        ((np.array([np.nan, 0.0]), hi), ValueError),
        ((lo, np.array([1.0, np.nan])), ValueError),
        ((hi, lo - 1.0), ValueError),  # crossed
        ((np.array([np.inf, 0.0]), np.full(n, np.inf)), ValueError),  # no finite number
        ((np.full(n, -np.inf), np.array([-np.inf, 1.0])), ValueError),
        ((np.zeros(n + 1), np.ones(n + 1)), ValueError),
        ((lo.astype(np.int64), hi), ValueError),
        ((np.zeros(2 * n)[::2], hi), ValueError),  # not contiguous
        ((np.zeros((problems + 1, n)), np.ones((problems + 1, n))), ValueError),
    ]
    return cases


@pytest.mark.parametrize("name", list(RUNS))
def test_every_malformed_form_is_refused_before_a_run(monkeypatch, name):
    _, _, position, problems, _ = RUNS[name]
    original, args = caught_call(monkeypatch, name)
    for bounds, error in malformed(2, problems):
        with pytest.raises(error):
            original(*with_bounds(args, position, bounds))


@pytest.mark.parametrize("name", ["minimize_many", "fit_many", "curve_fit_many"])
def test_many_runs_take_a_row_of_bounds_per_problem(monkeypatch, name):
    _, _, position, problems, _ = RUNS[name]
    original, args = caught_call(monkeypatch, name)
    lo = np.array([[0.0, -np.inf], [0.0, 0.0], [-1.0, -np.inf]])
    hi = np.array([[1.0, 2.0], [5.0, 0.5], [np.inf, np.inf]])
    args = with_bounds(args, position, (lo, hi))
    args[1][...] = 0.25  # the runs wrote their solutions over the starts
    original(*args)
    x = args[1]
    assert x.shape == (problems, 2)
    # The optimum of each problem, clipped into its own row of bounds.
    optimum = [3.0, 3.0] if name != "curve_fit_many" else [1.0, 0.0]
    np.testing.assert_allclose(x, np.clip(optimum, lo, hi), atol=1e-5)
