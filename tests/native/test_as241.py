"""The AS 241 normal quantile through its exported C entry points."""

import math
import struct

import mpmath
import numpy as np
import pytest

from native import COMMON, exported_names, load, ptr

INF = math.inf


@pytest.fixture(scope="module")
def lib(distributions):
    return load(distributions)


@pytest.mark.parametrize("name", ["_transforms", "_optim", "_distributions"])
def test_quantile_exported_from_every_module(name):
    import importlib

    pkg = {"_transforms": "transforms", "_optim": "optim", "_distributions": "distributions"}[name]
    module = importlib.import_module(f"Velmora._ckernels.{pkg}.{name}")
    names = exported_names(module)
    assert {"vlm_ndtri_as241", "vlm_ndtri_as241_into", "vlm_erfinv_from_as241"} <= names
    # Internals of the unit stay private.
    assert not any("as241_poly7" in n or "AS241_" in n for n in names)
    # Every function of the shared library is exported by every module.
    assert set(COMMON) <= names


@pytest.mark.parametrize("p, expected", [
    (0.5, 0.0),
    (0.975, 1.95996398454005),
    (0.025, -1.95996398454005),
    (0.075, -1.4395314709384563),   # q = -0.425 exactly: central formula
    (0.925, 1.4395314709384563),    # q rounds above 0.425: near tail
    (1e-10, -6.3613409024040557),   # near tail
    (1e-300, -37.047096299361199),  # far tail
])
def test_documented_values(lib, p, expected):
    assert lib.vlm_ndtri_as241(p) == pytest.approx(expected, rel=2e-15, abs=0.0)


def test_half_is_exactly_zero(lib):
    assert lib.vlm_ndtri_as241(0.5) == 0.0


@pytest.mark.parametrize("p, expected", [
    (0.0, -INF), (-0.0, -INF), (-1.0, -INF), (-INF, -INF), (5e-324 * -1, -INF),
    (1.0, INF), (2.0, INF), (INF, INF),
])
def test_out_of_range(lib, p, expected):
    assert lib.vlm_ndtri_as241(p) == expected


def test_nan(lib):
    assert math.isnan(lib.vlm_ndtri_as241(math.nan))
    assert math.isnan(lib.vlm_erfinv_from_as241(math.nan))


def test_extremes_of_the_finite_range(lib):
    assert lib.vlm_ndtri_as241(1.0 - 2.0**-53) == pytest.approx(8.2095361516013856, rel=1e-14)
    assert lib.vlm_ndtri_as241(5e-324) == pytest.approx(-38.467405617144344, rel=1e-14)


def test_symmetry(lib):
    # 1 - p is exact for p in [0.5, 1), so the two tails must mirror each other.
    for p in np.linspace(0.5, 1.0, 1001)[1:-1]:
        assert lib.vlm_ndtri_as241(1.0 - p) == -lib.vlm_ndtri_as241(p)


@pytest.mark.parametrize("y, expected", [
    (-1.0, -INF),
    (-2.0, -INF),
    (0.0, -0.3757445949),
    (0.5, 0.0760996379),
    (1.0, 0.5449521356),
    (1.8284271247461903, INF),
    (5.0, INF),
])
def test_erfinv_from_as241(lib, y, expected):
    assert lib.vlm_erfinv_from_as241(y) == pytest.approx(expected, rel=1e-9)


def test_erfinv_is_the_stated_composition(lib):
    for y in np.linspace(-0.999, 1.8, 257):
        t = ((float(y) + 1.0) * 0.5) / 1.4142135623730951
        assert lib.vlm_erfinv_from_as241(float(y)) == lib.vlm_ndtri_as241(t)


def test_into_matches_scalar_and_leaves_input(lib):
    # The array form is a vectorised evaluation of the same formula with the
    # vector logarithm; in the tails it may round differently from the scalar
    # one by a few units in the last place (measured: at most 5).
    p = np.concatenate([np.linspace(-0.5, 1.5, 2001), [math.nan, 5e-324, 1e-300, 0.075, 0.925],
                        np.geomspace(1e-320, 0.2, 3000), 1 - np.geomspace(1e-16, 0.2, 3000)])
    before = p.copy()
    out = np.full_like(p, 7.0)
    lib.vlm_ndtri_as241_into(ptr(p), p.size, ptr(out))
    expected = np.array([lib.vlm_ndtri_as241(float(v)) for v in p])
    np.testing.assert_array_equal(np.isnan(out), np.isnan(expected))
    finite = np.isfinite(expected)
    np.testing.assert_array_equal(out[~finite & ~np.isnan(out)], expected[~finite & ~np.isnan(out)])
    np.testing.assert_array_max_ulp(out[finite], expected[finite], maxulp=6)
    np.testing.assert_array_equal(p, before)


@pytest.mark.parametrize("n", [0, -1, -(2**62)])
def test_into_writes_nothing_for_non_positive_n(lib, n):
    p = np.full(4, 0.3)
    out = np.full(4, 7.0)
    lib.vlm_ndtri_as241_into(ptr(p), n, ptr(out))
    assert (out == 7.0).all()


@pytest.mark.parametrize("module", ["transforms._transforms", "optim._optim",
                                    "distributions._distributions"])
def test_into_writes_nothing_for_impossible_n(module):
    # n * 8 overflows: no buffer holds that many doubles. In a child process,
    # since walking off the buffers would end this one.
    from native import run_python

    code = (
        "import importlib, sys\n"
        "import numpy as np\n"
        "import native\n"
        "lib = native.load(importlib.import_module('Velmora._ckernels.' + sys.argv[1]))\n"
        "p, out = np.full(4, 0.3), np.full(4, 7.0)\n"
        "for n in (2**61, 2**62, 2**63 - 1):\n"
        "    lib.vlm_ndtri_as241_into(native.ptr(p), n, native.ptr(out))\n"
        "print(bool((out == 7.0).all()))\n"
    )
    run = run_python(code, module, timeout=60)
    assert run.returncode == 0 and run.stdout.strip() == "True", run.stderr


# --- accuracy against a high-precision reference ---------------------------------

def reference_quantile(p, start):
    """The quantile of the double p to ~30 digits: Newton's method on the normal
    CDF from `start`, with the tail written through erfc so that both tails keep
    full relative precision. From a good start two steps suffice; the loop goes
    on until the step is negligible, whatever the start."""
    with mpmath.workdps(34):
        p = mpmath.mpf(p)
        x = mpmath.mpf(start)
        scale = mpmath.sqrt(2)
        for _ in range(60):
            if p < 0.5:
                step = (mpmath.erfc(-x / scale) / 2 - p) / mpmath.npdf(x)
            else:
                step = ((1 - p) - mpmath.erfc(x / scale) / 2) / mpmath.npdf(x)
            x -= step
            if abs(step) < mpmath.mpf(10) ** -30 * (1 + abs(x)):
                return x
        raise AssertionError(f"reference did not converge at p={p}")


def ulp_error(value, exact):
    exact_f = float(exact)
    if exact_f == 0.0:
        return abs(value) / 5e-324
    return float(abs(mpmath.mpf(value) - exact) / math.ulp(exact_f))


def sweep_points(count):
    """Probabilities covering the centre, both tails and every region boundary,
    down to the smallest subnormal, as exact doubles."""
    rng = np.random.default_rng(241)
    k = count // 3
    lower = 10.0 ** rng.uniform(-323.5, math.log10(0.5), k)       # log-uniform lower tail
    upper = 1.0 - 10.0 ** rng.uniform(-16, math.log10(0.5), k)     # upper tail to 1 - 2^-53
    centre = rng.uniform(0.07, 0.93, k)
    near_splits = np.concatenate([
        np.nextafter(0.075, 1) + np.arange(-k // 8, k // 8) * 2**-56,
        0.925 + np.arange(-k // 8, k // 8) * 2**-53,
        np.exp(-25.0) * (1 + np.linspace(-1e-6, 1e-6, k // 4)),
    ])
    subnormal = np.array([5e-324, 1e-320, 2.2250738585072014e-308, 1 - 2**-53])
    points = np.concatenate([lower, upper, centre, near_splits, subnormal])
    return points[(points > 0) & (points < 1)]


def test_accuracy_sweep(lib):
    points = sweep_points(100_000)
    assert points.size >= 100_000
    out = np.empty_like(points)
    lib.vlm_ndtri_as241_into(ptr(points), points.size, ptr(out))
    errors = [ulp_error(float(v), reference_quantile(float(p), float(v))) for p, v in zip(points, out)]
    worst = max(errors)
    # The rational approximations are good to ~1e-16 relative; the rounding of
    # log, sqrt and the Horner steps adds a few units in the last place, most
    # in the far tail (measured worst: 6.3 ulp).
    assert worst < 7.0, worst
