"""Leaks of the transform ufuncs and ParameterMap, on their success and error
paths: the same check as tests/core/test_leaks.py (reference counts of the
arguments unchanged, no growth of the interpreter's blocks over many calls)."""

import importlib.util
import os

import numpy as np
import pytest

import Velmora.transforms as vt

from hostile import Boom, FloatRaises

_spec = importlib.util.spec_from_file_location(
    "core_leaks", os.path.join(os.path.dirname(__file__), "..", "core", "test_leaks.py")
)
_leaks = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_leaks)

X = np.linspace(0.05, 0.95, 301)
PM = vt.ParameterMap([(None, None), (0.0, None), (None, 1.0), (0.0, 1.0)] * 3)
Y = np.linspace(-2.0, 2.0, 12)
OUT = np.empty(301)
CODES = np.array([0, 1, 2, 3, 4], np.uint8)
FIVE = np.arange(5.0)

PATHS = [
    ("logit_fwd array", vt.logit_fwd, [X], {}, None),
    ("logit_fwd scalar", vt.logit_fwd, [0.25], {}, None),
    ("logit_fwd out", vt.logit_fwd, [X], {"out": OUT}, None),
    ("logit_fwd where", vt.logit_fwd, [X], {"out": OUT, "where": X > 0.5}, None),
    ("logit_fwd strided", vt.logit_fwd, [X[::3]], {}, None),
    ("aff_logit_fwd per-element bounds", vt.aff_logit_fwd, [X, X - 1.0, X + 1.0], {}, None),
    ("aff_logit_fwd float32", vt.aff_logit_fwd, [X.astype(np.float32), 0, 1], {}, None),
    ("logit_fwd complex", vt.logit_fwd, [X + 0j], {}, TypeError),
    ("logit_fwd object", vt.logit_fwd, [[FloatRaises()]], {}, TypeError),
    ("lower_fwd shapes", vt.lower_fwd, [X, np.zeros(2)], {}, ValueError),
    ("map construct", vt.ParameterMap, [[(0.0, 1.0), (None, 2.0)]], {}, None),
    ("map bad pair", vt.ParameterMap, [[(0.0, 1.0), (2.0, 1.0)]], {}, ValueError),
    ("map raising bound", vt.ParameterMap, [[(FloatRaises(), 1.0)]], {}, Boom),
    ("to_constrained", PM.to_constrained, [Y], {}, None),
    ("to_constrained rows", PM.to_constrained, [np.stack([Y, Y])], {}, None),
    ("to_unconstrained list", PM.to_unconstrained, [PM.to_constrained(Y).tolist()], {}, None),
    ("log_abs_det_jacobian", PM.log_abs_det_jacobian, [Y], {}, None),
    ("log_abs_det_jacobian rows", PM.log_abs_det_jacobian, [np.stack([Y, Y])], {}, None),
    ("log_abs_det_jacobian_grad", PM.log_abs_det_jacobian_grad, [Y], {}, None),
    ("pullback", PM.pullback, [Y, np.ones((3, 12))], {}, None),
    ("wrong length", PM.to_constrained, [Y[:5]], {}, ValueError),
    ("complex", PM.to_constrained, [Y + 0j], {}, TypeError),
    ("pullback shapes", PM.pullback, [np.stack([Y, Y]), np.ones((3, 12))], {}, ValueError),
    ("pullback grad", PM.pullback, [Y, [FloatRaises()] * 12], {}, TypeError),
    ("plan", vt._ufuncs.ParameterPlan, [CODES, FIVE, FIVE + 1.0], {}, None),
    ("plan code", vt._ufuncs.ParameterPlan, [CODES + 1, FIVE, FIVE], {}, ValueError),
    ("plan lengths", vt._ufuncs.ParameterPlan, [CODES, FIVE[:4], FIVE], {}, ValueError),
    ("plan strings", vt._ufuncs.ParameterPlan, [CODES, FIVE, ["a"] * 5], {}, TypeError),
]


@pytest.mark.parametrize("label, fn, args, kwargs, exc", PATHS, ids=[p[0] for p in PATHS])
def test_no_leak(label, fn, args, kwargs, exc):
    if exc is None:
        fn(*args, **kwargs)
    else:
        with pytest.raises(exc):
            fn(*args, **kwargs)
    changed, blocks, _ = _leaks.leak_figures(fn, args, kwargs, exc, _leaks.CALLS)
    assert not changed, changed
    assert blocks < max(64, _leaks.CALLS // 20), blocks


def test_boom_from_a_bound_object_reaches_the_caller():
    class Lb:
        @property
        def lb(self):
            raise Boom("lb")

        ub = [1.0]

    with pytest.raises(Boom):
        vt.ParameterMap(Lb())
