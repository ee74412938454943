"""Leaks: every one of the 68 Python functions, on its success paths and on
each of its error paths, called many times over the same argument objects.
The arguments' reference counts must come back unchanged, the interpreter's
allocated blocks must not grow with the number of calls, and (in the long
run) resident memory must grow by less than 1 MiB per path.

The default run makes VLM_LEAK_CALLS = 1000 calls per path; `scripts/fuzz-python
--leaks` sets it to 10^5 and adds the resident-memory bound per path.
"""

import gc
import os
import resource
import sys

import numpy as np
import pytest

from Velmora._ckernels.distributions import _distributions as D
from Velmora._ckernels.optim import _optim as O

from hostile import TRANSFORMS, Boom, FloatRaises, IndexOnly, transform_params

CALLS = int(os.environ.get("VLM_LEAK_CALLS", "1000"))
PAGE = resource.getpagesize()


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def read_only(a):
    a = np.array(a, dtype=np.float64)
    a.flags.writeable = False
    return a


def transform_paths(params):
    """(label, args, kwargs, expected exception) for one transform function."""
    nb = len(params) - 1
    b = [float(v) for v in (-1.5, 4.25)[:nb]]
    good = [
        ("scalar", [0.375] + b, {}, None),
        ("int", [3] + b, {}, None),
        ("array", [np.linspace(-2, 2, 257)] + b, {}, None),
        ("f32 3-d", [np.ones((2, 3, 4), np.float32)] + b, {}, None),
        ("list", [[0.1, 0.2, 0.3]] + b, {}, None),
        ("empty", [np.zeros((0, 3))] + b, {}, None),
        ("keywords", [], dict(zip(params, [0.5] + b)), None),
    ]
    bad = [
        ("string", ["0.5"] + b, {}, TypeError),
        ("huge int", [10**400] + b, {}, OverflowError),
        ("raising __float__", [FloatRaises()] + b, {}, Boom),
        ("ragged", [[[1.0], [1.0, 2.0]]] + b, {}, ValueError),
        ("strings in list", [["x"]] + b, {}, ValueError),
        ("read-only", [read_only([1.0, 2.0])] + b, {}, ValueError),
        ("arity", [0.5] * (nb + 2), {}, TypeError),
        ("keyword", [0.5] + b, {"zz": 1.0}, TypeError),
    ]
    if nb:
        bad.append(("bad bound", [np.ones(3)] + [None] * nb, {}, TypeError))
        bad.append(("huge bound", [0.5] + [IndexOnly(2**1100)] * nb, {}, OverflowError))
    return good + bad


PATHS = [
    (name, fn, label, args, kwargs, exc)
    for name, fn in TRANSFORMS
    for label, args, kwargs, exc in transform_paths(transform_params(name))
]
for name, fn in (("ndtri_as241", D.ndtri_as241), ("erfinv_from_as241", D.erfinv_from_as241)):
    PATHS += [
        (name, fn, label, args, {}, exc)
        for label, args, exc in [
            ("float", [0.3], None),
            ("numpy scalar", [np.float32(0.7)], None),
            ("None", [None], TypeError),
            ("raising __float__", [FloatRaises()], Boom),
            ("huge int", [10**400], OverflowError),
            ("array", [np.ones(3)], TypeError),
        ]
    ]
    PATHS.append((name, fn, "arity", [0.1, 0.2], {}, TypeError))
PATHS += [
    ("ndtri_as241_into", D.ndtri_as241_into, label, args, {}, exc)
    for label, args, exc in [
        ("array", [np.linspace(0, 1, 101)], None),
        ("list", [[0.2, 0.4]], None),
        ("scalar", [0.25], None),
        ("empty", [np.zeros((0, 2))], None),
        ("f-order", [np.asfortranarray(np.full((3, 2), 0.5))], None),
        ("read-only", [read_only([0.5])], ValueError),
        ("ragged", [[[0.5], []]], ValueError),
        ("raising element", [[FloatRaises()]], Boom),
    ]
]

X0 = np.array([-1.2, 1.0])
QUAD = np.array([1.0, 100.0, 3.0, -2.0])
for name, fn, opts in (
    ("run_neldermead", O.run_neldermead, {"maxiter": 30}),
    ("run_lbfgsb", O.run_lbfgsb, {"maxiter": 5}),
):
    PATHS += [
        (name, fn, label, args, {**opts, **kwargs}, exc)
        for label, args, kwargs, exc in [
            ("rosenbrock", ["rosenbrock", X0], {}, None),
            ("bounds", ["rosen_halfplane", X0], {"bounds": [(0.0, None), (None, 2.0)]}, None),
            ("quad", ["quad", X0], {"params": QUAD}, None),
            ("quad list params", ["quad", X0], {"params": QUAD.tolist()}, None),
            ("empty x0", ["double_well", np.zeros(0)], {}, None),
            ("x0 list", ["rosenbrock", [1.0, 2.0]], {}, TypeError),
            ("x0 int64", ["rosenbrock", np.zeros(2, np.int64)], {}, ValueError),
            ("x0 read-only", ["rosenbrock", read_only([1.0])], {}, ValueError),
            ("option overflow", ["rosenbrock", X0], {"maxfun": 2**40}, OverflowError),
            ("option type", ["rosenbrock", X0], {"maxfun": "9"}, TypeError),
            ("objective bytes", [b"quad", X0], {}, TypeError),
            ("objective unknown", ["nope", X0], {}, ValueError),
            ("quad without params", ["quad", X0], {}, ValueError),
            ("params 2-d", ["rosenbrock", X0], {"params": np.zeros((2, 2))}, ValueError),
            ("bounds short", ["rosenbrock", X0], {"bounds": [(0.0, 1.0)]}, IndexError),
            ("bounds triple", ["rosenbrock", X0], {"bounds": [(0.0, 1.0, 2.0)] * 2}, ValueError),
            ("bounds not iterable", ["rosenbrock", X0], {"bounds": [1.0, 2.0]}, TypeError),
            ("bound raises", ["rosenbrock", X0], {"bounds": [(FloatRaises(), None)] * 2}, Boom),
            ("arity", [], {}, TypeError),
        ]
    ]

assert len({p[0] for p in PATHS}) == 68


def leak_figures(fn, args, kwargs, exc, calls):
    """(reference-count changes of the arguments, block growth, RSS growth)."""
    objects = [*args, *kwargs.values()]
    objects += [v for a in objects if isinstance(a, list) for v in a]
    # Shared singletons (None, small ints) are referenced from everywhere.
    objects = [o for o in objects if sys.getrefcount(o) < 10**4]
    refs = [sys.getrefcount(o) for o in objects]
    if exc is None:

        def once():
            fn(*args, **kwargs)
    else:

        def once():
            try:
                fn(*args, **kwargs)
            except exc:
                pass

    for _ in range(min(calls, 200)):
        once()
    # The surfaces make no reference cycles: with the collector paused, every
    # object a call leaves behind stays counted.
    gc.disable()
    try:
        blocks, memory = sys.getallocatedblocks(), rss()
        for _ in range(calls):
            once()
        grown = sys.getallocatedblocks() - blocks, rss() - memory
    finally:
        gc.enable()
    after = [sys.getrefcount(o) for o in objects]
    changed = [(type(o).__name__, r, a) for o, r, a in zip(objects, refs, after) if a != r]
    return changed, *grown


@pytest.mark.parametrize(
    "name,fn,label,args,kwargs,exc", PATHS, ids=[f"{p[0]}-{p[2]}" for p in PATHS]
)
def test_no_leak(name, fn, label, args, kwargs, exc):
    if exc is None:
        fn(*args, **kwargs)
    else:
        with pytest.raises(exc):
            fn(*args, **kwargs)
    changed, blocks, memory = leak_figures(fn, args, kwargs, exc, CALLS)
    assert not changed, changed
    # One object kept per call would show as CALLS blocks.
    assert blocks < max(64, CALLS // 20), blocks
    if CALLS >= 10**5:
        assert memory < 2**20, memory
