"""The Python surface of the distributions module."""

import math
import sys
import threading

import numpy as np
import pytest

from native import load


@pytest.fixture(scope="module")
def d(distributions):
    return distributions


@pytest.fixture(scope="module")
def lib(distributions):
    return load(distributions)


def test_namespace_order_and_docs(d):
    public = [k for k in vars(d) if not k.startswith("__")]
    assert public == ["np", "ndtri_as241", "erfinv_from_as241", "ndtri_as241_into"]
    assert d.np is np
    assert "AS 241" in d.__doc__ and "C-contiguous float64" in d.__doc__
    assert (
        d.ndtri_as241.__doc__
        == "Inverse standard-normal CDF (probit). ``-inf`` at 0, ``+inf`` at 1."
    )
    assert d.erfinv_from_as241.__doc__ == (
        "Inverse error function, ``erfinv(y) = ndtri(0.5*(y+1)/sqrt(2))``."
    )
    assert (
        d.ndtri_as241_into.__doc__
        == "Elementwise ndtri; returns a new float64 array shaped like ``p``."
    )


# --- scalar functions --------------------------------------------------------------


@pytest.mark.parametrize(
    "p, expected",
    [
        (0.5, 0.0),
        (0, -math.inf),
        (0.0, -math.inf),
        (1, math.inf),
        (1.5, math.inf),
        (-3, -math.inf),
        (True, math.inf),
        (False, -math.inf),
        (np.float32(0.5), 0.0),
        (np.int64(1), math.inf),
    ],
)
def test_ndtri_as241_values(d, p, expected):
    result = d.ndtri_as241(p)
    assert type(result) is float
    assert result == expected


def test_ndtri_as241_nan(d):
    assert math.isnan(d.ndtri_as241(float("nan")))


def test_scalars_agree_with_the_kernels(d, lib):
    for v in np.linspace(-1.5, 2.5, 97):
        assert d.ndtri_as241(float(v)) == lib.vlm_ndtri_as241(float(v))
        assert d.erfinv_from_as241(float(v)) == lib.vlm_erfinv_from_as241(float(v))


@pytest.mark.parametrize("y, expected", [(0, -0.3757445949), (-1, -math.inf), (0.5, 0.0760996379)])
def test_erfinv_from_as241_values(d, y, expected):
    assert d.erfinv_from_as241(y) == pytest.approx(expected, rel=1e-9)


class Floaty:
    def __float__(self):
        return 0.975


class Indexy:
    def __index__(self):
        return 1


def test_float_conversion_protocols(d):
    assert d.ndtri_as241(Floaty()) == pytest.approx(1.95996398454005, rel=1e-14)
    assert d.ndtri_as241(Indexy()) == math.inf
    assert d.ndtri_as241(p=0.5) == 0.0
    assert d.erfinv_from_as241(y=-1) == -math.inf


@pytest.mark.parametrize("bad", ["0.5", None, [0.5], 1j, object(), b"1"])
@pytest.mark.parametrize("name", ["ndtri_as241", "erfinv_from_as241"])
def test_scalar_conversion_errors(d, name, bad):
    with pytest.raises(TypeError):
        getattr(d, name)(bad)


def test_huge_int_overflows(d):
    with pytest.raises(OverflowError):
        d.ndtri_as241(10**400)


class Raising:
    def __float__(self):
        raise ZeroDivisionError("from __float__")


def test_float_errors_propagate(d):
    with pytest.raises(ZeroDivisionError, match="from __float__"):
        d.ndtri_as241(Raising())


# --- argument binding -------------------------------------------------------------


@pytest.mark.parametrize(
    "name, param", [("ndtri_as241", "p"), ("erfinv_from_as241", "y"), ("ndtri_as241_into", "p")]
)
def test_argument_errors(d, name, param):
    fn = getattr(d, name)
    cases = [
        ((), {}, f"{name}() takes exactly 1 positional argument (0 given)"),
        ((0.1, 0.2), {}, f"{name}() takes exactly 1 positional argument (2 given)"),
        ((0.1, 0.2, 0.3), {}, f"{name}() takes exactly 1 positional argument (3 given)"),
        ((), {"z": 0.1}, f"{name}() got an unexpected keyword argument 'z'"),
        ((0.1,), {param: 0.2}, f"{name}() got multiple values for keyword argument '{param}'"),
        ((0.1,), {"z": 0.2}, f"{name}() got an unexpected keyword argument 'z'"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(TypeError) as info:
            fn(*args, **kwargs)
        assert str(info.value) == message


# --- the array function -------------------------------------------------------------


def expected_of(d, values):
    values = np.ascontiguousarray(values, dtype=np.float64)
    return np.array([d.ndtri_as241(float(v)) for v in values.ravel()]).reshape(values.shape)


def assert_same_quantiles(got, want):
    """Each element is the scalar function's value, bit for bit."""
    assert got.shape == want.shape
    np.testing.assert_array_equal(got.view(np.int64), want.view(np.int64))


@pytest.mark.parametrize(
    "arg, shape",
    [
        ([0.1, 0.5, 0.9], (3,)),
        ((0.1, 0.2), (2,)),
        ([[0.1, 0.2, 0.3], [0.4, 0.5, 0.6]], (2, 3)),
        (0.3, (1,)),
        (np.float64(0.3), (1,)),
        (np.array(0.3), (1,)),
        (np.linspace(0.01, 0.99, 24).reshape(2, 3, 4), (2, 3, 4)),
        (np.array([1, 0, 2], dtype=np.int32), (3,)),
        ([True, False], (2,)),
    ],
)
def test_into_shapes_and_values(d, arg, shape):
    out = d.ndtri_as241_into(arg)
    assert type(out) is np.ndarray
    assert out.dtype == np.float64 and out.flags.c_contiguous
    # ascontiguousarray makes at least one dimension: a number becomes shape (1,).
    assert out.shape == np.ascontiguousarray(arg, dtype=np.float64).shape == shape
    assert_same_quantiles(out, expected_of(d, arg))


@pytest.mark.parametrize("shape", [(0,), (0, 3), (3, 0, 2)])
def test_into_empty(d, shape):
    out = d.ndtri_as241_into(np.empty(shape))
    assert out.shape == shape and out.dtype == np.float64
    assert d.ndtri_as241_into([]).shape == (0,)


def test_into_layouts_and_input_untouched(d):
    base = np.linspace(0.01, 0.99, 60).reshape(6, 10)
    for arr in (np.asfortranarray(base), base[:, ::3], base[::2], base.T):
        before = arr.copy()
        out = d.ndtri_as241_into(arr)
        assert out.flags.c_contiguous and out.shape == arr.shape
        assert_same_quantiles(out, expected_of(d, arr))
        np.testing.assert_array_equal(arr, before)
    c = base.copy()
    out = d.ndtri_as241_into(c)
    assert out is not c and not np.shares_memory(out, c)
    np.testing.assert_array_equal(c, base)


def test_into_read_only(d):
    ro = np.linspace(0.1, 0.9, 5)
    ro.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        d.ndtri_as241_into(ro)
    # A read-only array that needs a conversion is copied first and accepted.
    for other in (ro.astype(np.float32), ro[::2], np.asfortranarray(np.stack([ro, ro]))):
        other.flags.writeable = False
        assert_same_quantiles(d.ndtri_as241_into(other), expected_of(d, other))


class _Sub(np.ndarray):
    pass


def test_into_plain_arrays_match_every_converted_route(d):
    # A writable C-contiguous float64 array is used as it is; the routes that
    # need a conversion (list, subclass, byte-swapped, Fortran order) must
    # give the identical array.
    plain = np.linspace(0.001, 0.999, 24).reshape(2, 3, 4)
    out = d.ndtri_as241_into(plain)
    assert type(out) is np.ndarray and out.strides == np.empty_like(plain).strides
    raw = np.zeros(plain.size * 8 + 1, dtype=np.uint8)
    unaligned = raw[1:].view(np.float64).reshape(plain.shape)  # NumPy keeps it as it is
    unaligned[...] = plain
    assert not unaligned.flags.aligned
    for other in (
        plain.tolist(),
        plain.view(_Sub),
        plain.astype(">f8"),
        np.asfortranarray(plain),
        unaligned,
    ):
        np.testing.assert_array_equal(d.ndtri_as241_into(other), out)


def test_into_uses_the_np_global(d, monkeypatch):
    calls = []

    class Recording:
        def __getattr__(self, name):
            calls.append(name)
            return getattr(np, name)

    monkeypatch.setattr(d, "np", Recording())
    d.ndtri_as241_into(np.full(3, 0.5))
    assert {"float64", "ascontiguousarray", "empty_like"} <= set(calls)


@pytest.mark.parametrize(
    "bad, exc",
    [
        ("abc", ValueError),
        ([0.1, "x"], ValueError),
        ([[0.1], [0.2, 0.3]], ValueError),
        (object(), TypeError),
        ([1j], TypeError),
    ],
)
def test_into_numpy_errors_pass_through(d, bad, exc):
    with pytest.raises(exc) as ours:
        d.ndtri_as241_into(bad)
    with pytest.raises(exc) as numpys:
        np.ascontiguousarray(bad, dtype=np.float64)
    assert str(ours.value) == str(numpys.value)


def test_into_no_references_leak(d):
    arr = np.linspace(0.1, 0.9, 100)
    before = sys.getrefcount(arr)
    for _ in range(1000):
        d.ndtri_as241_into(arr)
    ro = arr.copy()
    ro.flags.writeable = False
    for _ in range(1000):
        with pytest.raises(ValueError):
            d.ndtri_as241_into(ro)
    assert sys.getrefcount(arr) == before


@pytest.mark.threads
def test_threads_give_serial_results(d):
    arrays = [np.random.default_rng(i).uniform(0, 1, 20000) for i in range(8)]
    serial = [d.ndtri_as241_into(a) for a in arrays]
    firsts = [d.ndtri_as241(float(a[0])) for a in arrays]
    results = [None] * len(arrays)

    def work(i):
        for _ in range(20):
            results[i] = d.ndtri_as241_into(arrays[i])
            assert d.ndtri_as241(float(arrays[i][0])) == firsts[i]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(arrays))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, want in zip(results, serial):
        np.testing.assert_array_equal(got, want)
