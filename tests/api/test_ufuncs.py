"""The 63 transform ufuncs of Velmora.transforms against the _transforms
functions: bit for bit on contiguous float64 input with scalar bounds, within
a few ulps on every other layout, and NumPy's ufunc behaviour around them
(casting, out=, where=, overlap, pickling, errors)."""

import math
import pickle
import warnings

import numpy as np
import pytest

import Velmora.transforms as vt
from Velmora._ckernels.transforms import _transforms as T
from Velmora._transform_table import FAMILIES, FAMILY_BOUNDS, OPS, takes_bounds

from hostile import agree
from native import run_python

NAMES = [f"{family}_{op}" for family in FAMILIES for op in OPS]
BOUNDS = {"aff_logit": (2.0, 6.0), "aff_probit": (-1.0, 3.0), "lower": (1.5,), "upper": (-2.0,)}
# Points inside each family's domain, on the forward side.
X_DOMAIN = {
    "log": (1e-3, 50.0),
    "logit": (1e-6, 1 - 1e-6),
    "probit": (1e-9, 1 - 1e-9),
    "aff_logit": (2.0 + 1e-6, 6.0 - 1e-6),
    "aff_probit": (-1.0 + 1e-9, 3.0 - 1e-9),
    "softplus": (1e-4, 30.0),
    "lower": (1.5 + 1e-6, 40.0),
    "upper": (-40.0, -2.0 - 1e-6),
    "tanh": (-1 + 1e-9, 1 - 1e-9),
}
IEEE = [
    0.0,
    -0.0,
    1.0,
    -1.0,
    0.5,
    2.0,
    6.0,
    1.5,
    -2.0,
    1e-300,
    5e-324,
    1e300,
    -1e300,
    800.0,
    -800.0,
    40.0,
    1 - 2**-53,
    math.inf,
    -math.inf,
    math.nan,
]


def parts(name):
    family = next(f for f in sorted(FAMILIES, key=len, reverse=True) if name.startswith(f + "_"))
    return family, name[len(family) + 1 :]


def bounds_of(name):
    family, op = parts(name)
    return BOUNDS[family] if takes_bounds(family, op) else ()


def values(name, n=301, seed=0):
    """Domain values of the function's side, then the IEEE edge values."""
    family, op = parts(name)
    rng = np.random.default_rng(seed)
    inside = rng.uniform(*X_DOMAIN[family], n) if op.endswith("fwd") else rng.normal(0.0, 8.0, n)
    return np.concatenate([inside, IEEE])


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.int64), b.view(np.int64))


def close(got, want, scale=8.0):
    got, want = np.broadcast_arrays(
        np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
    )
    bad = [
        (g, w)
        for g, w in zip(got.ravel().tolist(), want.ravel().tolist())
        if not agree(g, w, scale)
    ]
    return not bad, bad[:5]


# --- the ufuncs themselves --------------------------------------------------------------


def test_one_ufunc_per_transforms_function():
    assert sorted(vt._ufuncs.__all__) == sorted(NAMES)
    for name in NAMES:
        fn = getattr(vt, name)
        assert isinstance(fn, np.ufunc) and fn.__name__ == name and name in vt.__all__
        assert fn.nin == 1 + len(bounds_of(name)) and fn.nout == 1
        assert fn.types == ["d" * fn.nin + "->d"]


@pytest.mark.parametrize("name", NAMES)
def test_docstring_states_formula_domain_and_meaning(name):
    family, op = parts(name)
    doc = getattr(vt, name).__doc__
    meaning = {
        "fwd": "y = ",
        "inv": "x = ",
        "grad_fwd": "dy/dx = ",
        "grad_inv": "dx/dy = ",
        "ldet_abs_jac_fwd": "log|dy/dx| = ",
        "ldet_abs_jac_inv": "log|dx/dy| = ",
        "grad_ldet_abs_jac_inv": "d/dy log|dx/dy| = ",
    }[op]
    assert meaning in doc and "Parameters" in doc and "Returns" in doc
    domain = {
        "lower": "x > low",
        "upper": "x < high",
        "aff_logit": "low < x < high",
        "aff_probit": "low < x < high",
        "logit": "0 < x < 1",
        "probit": "0 < x < 1",
        "tanh": "-1 < x < 1",
    }.get(family, "x > 0")
    assert domain in doc
    for bound in ("low", "high"):
        assert (f"\n{bound} : array_like" in doc) == (
            bound in FAMILY_BOUNDS.get(family, ()) and takes_bounds(family, op)
        )


@pytest.mark.parametrize("name", NAMES)
def test_pickles_by_reference(name):
    fn = getattr(vt, name)
    assert fn.__module__ == "Velmora.transforms"
    assert pickle.loads(pickle.dumps(fn)) is fn
    assert b"Velmora.transforms" in pickle.dumps(fn, protocol=2)


# --- values -----------------------------------------------------------------------------


@pytest.mark.parametrize("name", NAMES)
def test_contiguous_input_with_scalar_bounds_gives_the_same_bits(name):
    x = values(name)
    b = bounds_of(name)
    fn = getattr(vt, name)
    want = getattr(T, name)(x, *b)
    assert same_bits(fn(x, *b), want)
    out = np.full_like(x, 7.0)
    assert fn(x, *b, out=out) is out and same_bits(out, want)
    # Every element alone: the scalar path of NumPy's machinery (a 0-d array).
    for v in x[-len(IEEE) :]:
        got = fn(v, *b)
        assert type(got) is np.float64 and same_bits(got, getattr(T, name)(np.array([v]), *b)[0])


def layouts(x):
    """(label, array) views of x in the layouts NumPy hands to a loop."""
    n = x.size
    grid = np.concatenate([x, x[: (-n) % 6]])  # a multiple of 6 for the 2-D layouts
    yield "strided", np.repeat(x, 3)[::3]
    yield "reversed", x[::-1]
    yield "fortran", np.asfortranarray(grid.reshape(6, -1))
    yield "transposed", grid.reshape(6, -1).T
    yield "2-d strided", np.repeat(grid.reshape(6, -1), 2, axis=1)[:, ::2]
    raw = bytearray(x.nbytes + 1)
    unaligned = np.frombuffer(raw, dtype=np.float64, offset=1, count=n)
    unaligned[...] = x
    yield "unaligned", unaligned


@pytest.mark.parametrize("name", NAMES)
def test_other_layouts_agree_within_a_few_ulps(name):
    x = values(name)
    b = bounds_of(name)
    fn, ref = getattr(vt, name), getattr(T, name)
    for label, view in layouts(x):
        got = fn(view, *b)
        assert got.shape == view.shape, label
        ok, bad = close(got, ref(np.ascontiguousarray(view), *b))
        assert ok, (label, bad)


@pytest.mark.parametrize("name", [n for n in NAMES if bounds_of(n)])
def test_bounds_broadcast_per_element(name):
    family, op = parts(name)
    fn, ref = getattr(vt, name), getattr(T, name)
    rng = np.random.default_rng(1)
    n = 523  # several blocks of the native loops, and a tail
    scale = rng.uniform(0.5, 4.0, n)
    b = [np.asarray(v) * scale for v in BOUNDS[family]]  # one interval per element
    lo, hi = X_DOMAIN[family]
    if op.endswith("fwd"):
        x = rng.uniform(lo, hi, n) * scale
    else:
        x = rng.normal(0.0, 8.0, n)
    want = np.array([ref(np.array([v]), *(float(c[i]) for c in b))[0] for i, v in enumerate(x)])
    ok, bad = close(fn(x, *b), want, scale=40.0)
    assert ok, bad
    # Bounds per row of a 2-D array, broadcast along the columns.
    rows = np.stack([x, x[::-1]])
    col = [np.array([[c[0]], [c[1]]]) for c in b]
    got = fn(rows, *col)
    for r in range(2):
        ok, bad = close(got[r], ref(rows[r].copy(), *(float(c[r, 0]) for c in col)), scale=40.0)
        assert ok, bad


@pytest.mark.parametrize(
    "name",
    [
        "logit_fwd",
        "aff_probit_ldet_abs_jac_inv",
        "lower_ldet_abs_jac_inv",
        "upper_grad_ldet_abs_jac_inv",
        "tanh_inv",
        "probit_ldet_abs_jac_fwd",
    ],
)
@pytest.mark.parametrize("n", [1, 7, 8, 9, 255, 256, 257, 1000])
def test_block_boundaries_of_the_native_loops(name, n):
    x = values(name, n=n)[:n]
    b = bounds_of(name)
    fn, want = getattr(vt, name), getattr(T, name)(x, *b)
    ok, bad = close(fn(np.repeat(x, 2)[::2], *b), want)  # the strided loop
    assert ok, bad
    out = np.zeros(2 * n)
    fn(x, *b, out=out[::2])  # contiguous input, strided output: the kernel through a block
    assert same_bits(out[::2], want) and not out[1::2].any()
    y = x.copy()
    assert fn(y, *b, out=y) is y and same_bits(y, want)  # in place


@pytest.mark.parametrize(
    "name", ["logit_fwd", "aff_logit_inv", "lower_fwd", "probit_ldet_abs_jac_inv"]
)
def test_where_writes_only_the_selected_elements(name):
    x = values(name)
    b = bounds_of(name)
    mask = np.arange(x.size) % 3 != 1
    out = np.full_like(x, -123.0)
    got = getattr(vt, name)(x, *b, out=out, where=mask)
    assert got is out
    assert np.all(out[~mask] == -123.0)
    ok, bad = close(out[mask], getattr(T, name)(x, *b)[mask])
    assert ok, bad


@pytest.mark.parametrize("name", ["logit_inv", "aff_logit_fwd", "upper_inv", "tanh_fwd"])
@pytest.mark.parametrize("shift", [1, -1, 3])
def test_overlapping_out_gives_the_values_of_a_separate_output(name, shift):
    x = values(name)
    b = bounds_of(name)
    buf = np.concatenate([x, x[:3]])
    src = buf[: x.size] if shift > 0 else buf[3 : 3 + x.size]
    want = getattr(T, name)(src.copy(), *b)
    lo = max(0, shift) if shift > 0 else 3 + shift
    dst = buf[lo : lo + x.size]
    getattr(vt, name)(src, *b, out=dst)
    ok, bad = close(dst, want)
    assert ok, bad


def test_zero_and_negative_strides_and_zero_size():
    x = np.broadcast_to(np.float64(0.25), (5, 1000))
    assert x.strides == (0, 0)
    got = vt.logit_fwd(x)
    assert got.shape == (5, 1000) and np.all(got == T.logit_fwd(0.25))
    y = np.linspace(-3.0, 3.0, 50)
    assert (
        same_bits(vt.logit_inv(y[::-1])[::-1], T.logit_inv(y))
        or close(vt.logit_inv(y[::-1])[::-1], T.logit_inv(y))[0]
    )
    for shape in [(0,), (3, 0), (0, 5)]:
        got = vt.aff_logit_fwd(np.empty(shape), 0.0, 1.0)
        assert got.shape == shape and got.dtype == np.float64


def test_zero_dimensional_inputs_give_numpy_scalars():
    assert type(vt.log_fwd(2.0)) is np.float64
    assert type(vt.aff_logit_fwd(np.array(4.0), 2, 6)) is np.float64
    assert vt.aff_logit_fwd(4.0, 2.0, 6.0) == 0.0
    assert vt.lower_fwd(np.array(3.0), [1.0, 2.0]).shape == (2,)


def test_no_warnings_and_no_floating_point_errors_outside_the_domain():
    x = np.array(IEEE * 40)  # long enough for the vector code
    with warnings.catch_warnings(), np.errstate(all="raise"):
        warnings.simplefilter("error")
        for name in NAMES:
            b = bounds_of(name)
            getattr(vt, name)(x, *b)
            getattr(vt, name)(x[::2], *(np.full(x[::2].size, v) for v in b))


def test_floating_point_flags_of_other_operations_still_count():
    # The loops restore the flags they found; NumPy's own errors still reach the caller.
    with np.errstate(divide="raise"):
        with pytest.raises(FloatingPointError):
            np.log(np.zeros(3))
        vt.log_fwd(np.zeros(3))


# --- casting and refused input ----------------------------------------------------------


@pytest.mark.parametrize("dtype", [np.float32, np.float16, np.int8, np.int64, np.uint64, np.bool_])
def test_other_real_dtypes_are_cast_to_float64(dtype):
    x = np.array([0, 1, 2, 3, 5, 7], dtype=dtype)
    got = vt.aff_logit_fwd(x, np.int32(-1), np.float32(9.0))
    assert got.dtype == np.float64
    assert same_bits(got, T.aff_logit_fwd(x.astype(np.float64), -1.0, 9.0))


def test_float32_output_by_same_kind_casting_and_dtype_requests():
    x = np.linspace(0.1, 0.9, 9)
    out = np.empty(9, np.float32)
    assert vt.logit_fwd(x, out=out) is out
    assert np.array_equal(out, T.logit_fwd(x).astype(np.float32))
    with pytest.raises(TypeError):
        vt.logit_fwd(x, out=np.empty(9, np.int64))
    # Long double converts only on request: it loses precision.
    with pytest.raises(TypeError):
        vt.logit_fwd(x.astype(np.longdouble))
    assert same_bits(vt.logit_fwd(x.astype(np.longdouble), dtype=np.float64), T.logit_fwd(x))


@pytest.mark.parametrize(
    "bad",
    [
        np.array([0.5 + 0.5j]),
        np.array([0.5], dtype=object),
        np.array(["0.5"]),
        np.array([b"0.5"]),
        np.array(["2020-01-01"], dtype="M8[D]"),
        1j,
        "0.5",
        None,
        [0.5, "x"],
    ],
)
@pytest.mark.parametrize("position", [0, 1, 2])
def test_complex_object_and_string_input_is_refused(bad, position):
    args = [np.array([0.5]), 0.0, 1.0]
    args[position] = bad
    with pytest.raises(TypeError):
        vt.aff_logit_fwd(*args)


def test_shapes_that_do_not_broadcast_are_refused():
    with pytest.raises(ValueError):
        vt.aff_logit_fwd(np.zeros(3), np.zeros(2), 1.0)
    with pytest.raises(ValueError):
        vt.logit_fwd(np.zeros(3), out=np.zeros(4))
    with pytest.raises(ValueError):
        vt.logit_fwd(np.zeros(3), out=np.broadcast_to(np.zeros(1), (3,)))  # read-only output
    with pytest.raises(TypeError):
        vt.aff_logit_fwd(np.zeros(3), 1.0)  # a bound missing


def test_huge_broadcast_shapes_raise_instead_of_crashing():
    proc = run_python("""
import numpy as np
import Velmora.transforms as vt
big = np.broadcast_to(np.float64(0.5), (2**31, 2**20))
for call in (lambda: vt.logit_fwd(big), lambda: vt.aff_logit_fwd(0.5, big, 1.0),
             lambda: vt.lower_fwd(np.broadcast_to(0.5, (2**40,)), 0.0)):
    try:
        call()
    except (MemoryError, ValueError) as exc:
        print(type(exc).__name__)
    else:
        raise SystemExit("no error")
""")
    assert proc.returncode == 0, proc.stderr
    assert (
        set(proc.stdout.split()) <= {"MemoryError", "ValueError"} and len(proc.stdout.split()) == 3
    )
