"""Arrays that already are writable, aligned, C-contiguous float64 ndarrays
skip the Python-level NumPy calls of the array path. Nothing about a call may
show it: the results, types, shapes, errors and the use of the module globals
are those of the Python path, which every other argument takes."""

import importlib

import numpy as np
import pytest

t = importlib.import_module("Velmora._ckernels.transforms._transforms")


class Sub(np.ndarray):
    pass


def unaligned(values):
    raw = np.zeros(values.size * 8 + 1, dtype=np.uint8)
    a = raw[1:].view(np.float64)
    a[:] = values
    assert not a.flags.aligned
    return a


VALUES = np.linspace(0.05, 0.95, 12)
SHAPES = [(12,), (3, 4), (2, 3, 2), (1, 12, 1)]


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("name,bounds", [("log_fwd", ()), ("probit_fwd", ()), ("aff_logit_inv", (-1.0, 2.0)),
                                         ("lower_ldet_abs_jac_inv", ()), ("upper_grad_ldet_abs_jac_inv", ())])
def test_shortcut_matches_the_python_path(name, bounds, shape):
    fn = getattr(t, name)
    plain = VALUES.reshape(shape).copy()
    before = plain.copy()
    r = fn(plain, *bounds)
    assert type(r) is np.ndarray and r.dtype == np.float64 and r.shape == shape
    assert r.flags.c_contiguous and r.flags.writeable and r.flags.owndata
    assert r.strides == np.empty_like(plain).strides
    assert not np.shares_memory(r, plain)
    np.testing.assert_array_equal(plain, before)
    # The same numbers by every route that needs the conversion.
    for other in (plain.tolist(), plain.view(Sub), plain.astype(">f8"), unaligned(VALUES).reshape(shape),
                  np.asfortranarray(plain)):
        np.testing.assert_array_equal(fn(other, *bounds), r)
    assert fn(plain, *bounds) is not r


def test_zero_dimensional_arrays_become_one_dimensional():
    r = t.log_fwd(np.array(1.0))
    assert r.shape == (1,) and r.tolist() == [0.0]


def test_read_only_arrays_keep_their_errors_and_empties():
    ro = np.linspace(1.0, 2.0, 3)
    ro.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        t.tanh_inv(ro)
    empty = np.empty((0, 2))
    empty.flags.writeable = False
    assert t.tanh_inv(empty).shape == (0, 2)
    assert t.tanh_inv(np.empty((3, 0))).shape == (3, 0)


class RecordingNumpy:
    """A stand-in for the global np that records the calls made through it."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        self.calls.append(name)
        return getattr(np, name)


def test_a_replaced_np_global_is_used(monkeypatch):
    fake = RecordingNumpy()
    monkeypatch.setattr(t, "np", fake)
    np.testing.assert_array_equal(t.log_fwd(np.ones(4)), np.zeros(4))
    assert "ascontiguousarray" in fake.calls and "empty_like" in fake.calls


def test_a_replaced_float64_global_is_used(monkeypatch):
    monkeypatch.setattr(t, "float64", np.float32)
    # float32 arrays cannot be handed to the double kernels.
    with pytest.raises(ValueError):
        t.log_fwd(np.ones(4))


def test_missing_globals_raise_name_errors(monkeypatch):
    monkeypatch.delattr(t, "float64")
    with pytest.raises(NameError, match="float64"):
        t.log_fwd(np.ones(4))
    monkeypatch.undo()
    monkeypatch.delattr(t, "np")
    with pytest.raises(NameError, match="'np'"):
        t.log_fwd(np.ones(4))
