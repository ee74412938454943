"""The 126 transform kernels as a native consumer sees them (ctypes)."""

import ctypes
import importlib
import math

import numpy as np
import pytest

from native import TRANSFORM_FAMILIES, TRANSFORM_OPS, exported_names, load, ptr, transform_bounds

KERNELS = [(family, op) for family in TRANSFORM_FAMILIES for op in TRANSFORM_OPS]
SENTINEL = -12345.678


@pytest.fixture(scope="module")
def module():
    return importlib.import_module("Velmora._ckernels.transforms._transforms")


@pytest.fixture(scope="module")
def lib(module):
    return load(module)


def bound_args(family, op, values=(2.0, 6.0)):
    """ctypes pointers to the operation's bounds (and the doubles behind them)."""
    cells = [ctypes.c_double(v) for v, _ in zip(values, transform_bounds(family, op))]
    return [ctypes.pointer(c) for c in cells]


def test_exports_exactly_the_126_kernels(module):
    names = exported_names(module)
    expected = {f"vlm_{f}_{op}{s}" for f, op in KERNELS for s in ("", "_arr")}
    assert len(expected) == 126
    assert expected <= names
    prefixes = tuple(f"vlm_{f}_" for f in TRANSFORM_FAMILIES)
    assert {n for n in names if n.startswith(prefixes)} == expected
    for helper in (
        "vlm_softplus_val",
        "vlm_std_norm_pdf",
        "vlm_std_norm_cdf",
        "vlm_log_sech2",
        "vlm_affine_to_unit",
        "vlm_unit_to_affine",
    ):
        assert helper not in names


@pytest.mark.parametrize("family,op", KERNELS)
@pytest.mark.parametrize("n", [0, -1, -(2**62)])
def test_array_kernel_leaves_output_untouched_for_n_le_0(lib, family, op, n):
    x = np.array([0.25, 0.5, 0.75])
    out = np.full(3, SENTINEL)
    getattr(lib, f"vlm_{family}_{op}_arr")(ptr(x), ptr(out), n, *bound_args(family, op))
    assert np.all(out == SENTINEL)


IMPOSSIBLE_N = """
import ctypes, importlib, sys
import numpy as np
import native
lib = native.load(importlib.import_module("Velmora._ckernels.transforms._transforms"))
x, out = np.array([0.25, 0.5, 0.75]), np.full(3, 7.25)
bound = ctypes.pointer(ctypes.c_double(2.0)), ctypes.pointer(ctypes.c_double(6.0))
for family in native.TRANSFORM_FAMILIES:
    for op in native.TRANSFORM_OPS:
        extra = bound[:len(native.transform_bounds(family, op))]
        for n in (2**61, 2**62, 2**63 - 1):
            getattr(lib, f"vlm_{family}_{op}_arr")(native.ptr(x), native.ptr(out), n, *extra)
assert (out == 7.25).all()
print("ok")
"""


def test_array_kernels_write_nothing_for_impossible_n():
    # n * 8 overflows: no buffer holds that many doubles (the copy kernels once
    # passed the wrapped byte count on, the others walked off the buffers).
    from native import run_python

    run = run_python(IMPOSSIBLE_N, timeout=60)
    assert run.returncode == 0 and run.stdout.strip() == "ok", run.stderr


@pytest.mark.parametrize("family,op", KERNELS)
def test_scalar_kernel_in_place_matches_distinct_variables(lib, family, op):
    fn = getattr(lib, f"vlm_{family}_{op}")
    bounds = bound_args(family, op, (0.1, 0.9))
    for v in (0.3, 0.6):
        a, b = ctypes.c_double(v), ctypes.c_double(SENTINEL)
        fn(ctypes.byref(a), ctypes.byref(b), *bounds)
        c = ctypes.c_double(v)
        fn(ctypes.byref(c), ctypes.byref(c), *bounds)
        assert c.value == b.value or (math.isnan(c.value) and math.isnan(b.value))
        assert a.value == v


@pytest.mark.parametrize("family,op", KERNELS)
def test_array_kernel_writes_exactly_n_elements(lib, family, op):
    x = np.array([0.2, 0.4, 0.6, 0.8, 0.5])
    out = np.full(5, SENTINEL)
    getattr(lib, f"vlm_{family}_{op}_arr")(ptr(x), ptr(out), 3, *bound_args(family, op, (0.1, 0.9)))
    assert np.all(out[3:] == SENTINEL)
    assert not np.any(out[:3] == SENTINEL)


SPECIAL_BITS = np.array([0.0, -0.0, np.inf, -np.inf, 5e-324, -1.5, 1e308]).view(np.uint64)
NAN_PAYLOADS = np.array(
    [0x7FF8000000000001, 0xFFF0000000000123, 0x7FF4000000000000], dtype=np.uint64
)


@pytest.mark.parametrize("family", ["log", "lower", "upper"])
def test_copy_reproduces_input_bit_for_bit(lib, family):
    bits = np.concatenate([SPECIAL_BITS, NAN_PAYLOADS])
    x = bits.view(np.float64).copy()
    out = np.zeros_like(x)
    getattr(lib, f"vlm_{family}_ldet_abs_jac_inv_arr")(ptr(x), ptr(out), x.size)
    assert np.array_equal(out.view(np.uint64), bits)
    one = ctypes.c_double()
    for v in x:
        getattr(lib, f"vlm_{family}_ldet_abs_jac_inv")(
            ctypes.byref(ctypes.c_double(v)), ctypes.byref(one)
        )
        assert np.float64(one.value).view(np.uint64) == np.float64(v).view(np.uint64)


@pytest.mark.parametrize("family", ["log", "lower", "upper"])
@pytest.mark.parametrize("n", [1, 2, 3, 7])
def test_fill_writes_one_without_reading(lib, family, n):
    x = np.array([np.nan, np.inf, -np.inf, -0.0, 1e308, np.nan, 3.0])[:n]
    out = np.full(n + 1, SENTINEL)
    getattr(lib, f"vlm_{family}_grad_ldet_abs_jac_inv_arr")(ptr(x), ptr(out), n)
    assert np.all(out[:n] == 1.0) and out[n] == SENTINEL
    # A null input pointer is never dereferenced by the scalar fill.
    one = ctypes.c_double(SENTINEL)
    getattr(lib, f"vlm_{family}_grad_ldet_abs_jac_inv")(None, ctypes.byref(one))
    assert one.value == 1.0


def test_affine_array_applies_the_bounds_to_every_element(lib):
    # Bounds are values behind pointers: the same a, b apply to every element.
    y = np.linspace(-3, 3, 9)
    out = np.empty_like(y)
    a, b = ctypes.c_double(2.0), ctypes.c_double(6.0)
    lib.vlm_aff_logit_inv_arr(ptr(y), ptr(out), y.size, ctypes.byref(a), ctypes.byref(b))
    np.testing.assert_allclose(out, 2.0 + 4.0 / (1.0 + np.exp(-y)), rtol=1e-15)


@pytest.mark.parametrize("family, bounds", [("probit", ()), ("aff_probit", (2.0, 6.0))])
def test_scalar_probit_kernels_take_the_scalar_quantile(lib, family, bounds):
    # One value goes through vlm_ndtri_as241 itself, not the vectorised
    # quantile of the array kernels (which differs from it in the last bits
    # for some tail values, most of the points here).
    rng = np.random.default_rng(16)
    z = np.concatenate(
        [
            10.0 ** rng.uniform(-320, -1.2, 1500),
            1 - 10.0 ** rng.uniform(-16, -1.2, 1500),
            rng.uniform(0, 1, 1500),
            [0.0, 1.0, 0.075, 0.925, 0.5, math.nan, -1.0, 2.0],
        ]
    )
    x = z if not bounds else bounds[0] + (bounds[1] - bounds[0]) * z
    quantile = lib.vlm_ndtri_as241
    args = [ctypes.pointer(ctypes.c_double(v)) for v in bounds]
    fwd, grad = getattr(lib, f"vlm_{family}_fwd"), getattr(lib, f"vlm_{family}_grad_fwd")
    out = ctypes.c_double()
    for value in x:
        unit = (value - bounds[0]) / (bounds[1] - bounds[0]) if bounds else value
        fwd(ctypes.byref(ctypes.c_double(value)), ctypes.byref(out), *args)
        assert bits(out.value) == bits(quantile(unit)), value
        grad(ctypes.byref(ctypes.c_double(value)), ctypes.byref(out), *args)
        q = quantile(unit)
        width = bounds[1] - bounds[0] if bounds else 1.0
        expected = (
            1.0 / (0.3989422804014327 * math.exp(-0.5 * q * q)) / width
            if math.isfinite(q)
            else math.inf
        )
        assert out.value == pytest.approx(expected, rel=4e-16) or (
            math.isnan(out.value) and math.isnan(unit)
        )


def bits(value):
    return np.float64(value).view(np.int64)
