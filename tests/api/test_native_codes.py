"""The codes that cross between the native runs and Python are read from the
native modules, and every outcome a run can end with has its public status
and message."""

import numpy as np
import pytest

import Velmora
from Velmora import _args
from Velmora import least_squares_fits as lsq
from Velmora._ckernels.optim import _fitting
from Velmora._ckernels.sample import _sample

OUTCOMES = [name for name in dir(_fitting) if name.startswith("LM_")]
# Outcomes that raise in Python or never leave the native module.
RAISED = {"LM_INVALID", "LM_START_NOT_FINITE", "LM_STOPPED", "LM_NO_MEMORY"}


def test_the_outcomes_are_distinct_and_each_reported_one_has_a_status_and_message():
    codes = [getattr(_fitting, name) for name in OUTCOMES]
    assert len(set(codes)) == len(codes) == 14
    for name in OUTCOMES:
        if name in RAISED:
            continue
        code = getattr(_fitting, name)
        assert lsq.LSQ_STATUS[code] in lsq.LSQ_MESSAGES, name
        assert code in lsq.LM_MESSAGES, name


def test_the_loss_codes_are_the_native_ones():
    assert sorted(_args.LOSSES.values()) == list(range(5))
    assert _args.LOSSES["cauchy"] == _fitting.LOSS_CAUCHY


@pytest.mark.parametrize("bounds", [None, (0.0, 5.0)])
def test_a_run_returns_a_named_record_that_still_unpacks(bounds):
    r = Velmora.least_squares(lambda x: x - 2.0, [4.9], bounds=bounds or (-np.inf, np.inf))
    assert r.x == pytest.approx([2.0])
    record = _fitting.solve(
        (0, lambda x: x - 2.0, None, ()),
        np.array([1.0]),
        None,
        None,
        (1e-8, 1e-8, 1e-8, 100, False, 100.0, 1.49e-8, None, False),
        np.empty(1),
        1,
    )
    status, nfev, *_ = record
    assert (status, nfev) == (record.status, record.nfev)
    assert record.n_fields == 9 and record.jac.shape == (1, 1)


START_PROBLEMS = [name for name in dir(_fitting) if name.startswith("START_")]


def test_every_refused_start_has_its_own_message():
    x, box = np.array([1.0, 2.0]), _args.parse_bounds([(0.0, 1.0), (None, None)], 2)
    messages = {
        str(_args.bad_start(getattr(_fitting, name), 0, x, box, ("a", "b")))
        for name in START_PROBLEMS
    }
    assert len(START_PROBLEMS) == 6 and len(messages) == 6


@pytest.mark.parametrize(
    "module, prefix, count",
    [(_fitting, "FIT_", 7), (_fitting, "HESSIAN_", 3), (_sample, "CHAIN_", 4)],
)
def test_each_family_of_codes_is_distinct(module, prefix, count):
    codes = [getattr(module, name) for name in dir(module) if name.startswith(prefix)]
    assert len(codes) == len(set(codes)) == count


def test_the_command_line_offers_the_built_in_objectives_the_api_takes():
    from Velmora import cli

    assert cli.OBJECTIVES == _args.BUILTIN_OBJECTIVES
