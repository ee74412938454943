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
@pytest.mark.parametrize(
    "name,bounds",
    [
        ("log_fwd", ()),
        ("probit_fwd", ()),
        ("aff_logit_inv", (-1.0, 2.0)),
        ("lower_ldet_abs_jac_inv", ()),
        ("upper_grad_ldet_abs_jac_inv", ()),
    ],
)
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
    for other in (
        plain.tolist(),
        plain.view(Sub),
        plain.astype(">f8"),
        unaligned(VALUES).reshape(shape),
        np.asfortranarray(plain),
    ):
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


# --- array formulas of their own --------------------------------------------------
# Some array forms evaluate their function by another formula than the scalar
# form (tanh through expm1, atanh through log1p, the log of the normal density
# without exp and log); they must agree with the scalar form within 4 ulps,
# keep the signs of zeros, NaN and infinities, and hand the values where the
# density is subnormal or zero to the scalar formula.


def exact_ulps(a, b):
    ia, ib = (np.asarray(v, dtype=np.float64).view(np.int64).astype(object) for v in (a, b))
    key = np.vectorize(lambda i: -(2**63) - i if i < 0 else i, otypes=[object])
    return np.abs(key(ia) - key(ib)).astype(float)


def scalar_form(fn, xs, *bounds):
    return np.array([fn(float(v), *bounds) for v in xs])


_rng = np.random.default_rng(11)
NEAR_ONE = 1.0 - 10.0 ** _rng.uniform(-16, -0.3, 400)
TINY = 10.0 ** _rng.uniform(-320, -1, 400)
SYMMETRIC = np.concatenate([_rng.uniform(-1, 1, 800), NEAR_ONE, -NEAR_ONE, TINY, -TINY])
REAL = np.concatenate(
    [
        _rng.normal(0, 3, 800),
        _rng.uniform(-40, 40, 400),
        TINY,
        -TINY,
        [18.9, 19.06, 19.5, 20.0, 20.5, 300.0, -300.0],
    ]
)


@pytest.mark.parametrize(
    "name,xs",
    [
        ("tanh_fwd", SYMMETRIC),
        ("tanh_inv", REAL),
        ("tanh_grad_ldet_abs_jac_inv", REAL),
        ("probit_ldet_abs_jac_inv", REAL),
    ],
)
def test_own_array_formulas_agree_with_the_scalar_form(name, xs):
    fn = getattr(t, name)
    assert exact_ulps(fn(xs), scalar_form(fn, xs)).max() <= 4


@pytest.mark.parametrize("name", ["tanh_fwd", "tanh_inv", "tanh_grad_ldet_abs_jac_inv"])
def test_own_array_formulas_keep_special_values(name):
    fn = getattr(t, name)
    specials = [0.0, -0.0, 1.0, -1.0, 1.5, -1.5, np.inf, -np.inf, np.nan]
    got, want = fn(np.array(specials)), scalar_form(fn, specials)
    np.testing.assert_array_equal(got, want)
    assert (np.signbit(got) == np.signbit(want))[~np.isnan(want)].all()


@pytest.mark.parametrize(
    "name,bounds,xs",
    [
        # |z| from 37 (density normal) past 38.6 (zero), and the ends of the domain.
        (
            "probit_ldet_abs_jac_inv",
            (),
            np.concatenate(
                [
                    np.linspace(37.0, 39.0, 41),
                    -np.linspace(37.0, 39.0, 41),
                    [np.inf, -np.inf, np.nan],
                ]
            ),
        ),
        ("aff_probit_ldet_abs_jac_inv", (-1.0, 3.0), np.linspace(37.0, 39.0, 41)),
        ("aff_probit_ldet_abs_jac_inv", (0.0, 1e300), np.linspace(-39.0, 39.0, 79)),
        (
            "probit_ldet_abs_jac_fwd",
            (),
            np.concatenate(
                [
                    [0.0, 1.0, np.nan, 5e-324, 1e-310, 2e-308, 1e-300],
                    10.0 ** -np.linspace(290, 323, 34),
                ]
            ),
        ),
        ("aff_probit_ldet_abs_jac_fwd", (2.0, 3.0), 2.0 + 10.0 ** -np.linspace(290, 323, 34)),
    ],
)
def test_subnormal_densities_are_left_to_the_scalar_formula(name, bounds, xs):
    fn = getattr(t, name)
    got, want = fn(xs, *bounds), scalar_form(fn, xs, *bounds)
    same = (got == want) | (np.isnan(got) & np.isnan(want))
    finite = np.isfinite(want) & (np.abs(want) < 700)
    # Away from the subnormal region the two formulas may differ in the last
    # digits of the argument's own rounding; inside it the values are equal.
    assert same[~finite].all()
    assert (exact_ulps(got[finite], want[finite]) <= 64).all()


@pytest.mark.parametrize(
    "name,bounds",
    [
        ("log_fwd", ()),
        ("tanh_inv", ()),
        ("probit_grad_fwd", ()),
        ("aff_probit_ldet_abs_jac_fwd", (-1.0, 3.0)),
        ("softplus_fwd", ()),
    ],
)
@pytest.mark.parametrize("n", [8, 9, 11, 15, 17, 23])
def test_values_of_arrays_of_eight_or_more_do_not_depend_on_their_position(name, bounds, n):
    # Every value goes through the same vector code, so a value's result is
    # the same whether it sits in the body or in the last few of the array.
    fn = getattr(t, name)
    xs = np.random.default_rng(n).uniform(0.05, 0.95, 64)
    whole = fn(xs, *bounds)
    for start in range(0, 64 - n, 7):
        np.testing.assert_array_equal(
            fn(xs[start : start + n].copy(), *bounds), whole[start : start + n]
        )
