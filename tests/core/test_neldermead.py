"""Nelder-Mead minimizer: the exported vlm_neldermead through ctypes (with a
Python objective that records every evaluated point) and its run through
run_neldermead."""

import ctypes

import numpy as np
import pytest

from Velmora._ckernels.optim import _optim

import native
from native import vlm_neldermead_options, vlm_neldermead_result

OBJECTIVE_FN = native.vlm_objective_fn
LIB = native.load(_optim)


def rosen(x):
    x = np.asarray(x, dtype=float)
    return float(np.sum(100.0 * (x[1:] - x[:-1] ** 2) ** 2 + (1.0 - x[:-1]) ** 2))


def double_well(x):
    return float(np.sum((np.asarray(x) ** 2 - 1.0) ** 2))


class Recorder:
    """An objective callback that keeps a copy of every point it is given."""

    def __init__(self, f, n):
        self.f, self.n, self.points, self.values = f, n, [], []

    def __call__(self, xp, _ctx):
        x = np.ctypeslib.as_array(xp, (self.n,)).copy()
        value = self.f(x)
        self.points.append(x)
        self.values.append(value)
        return value


def native_nm(f, x0, lo=None, hi=None, nbd=None, maxiter=0, maxfun=0, xatol=1e-4, fatol=1e-4):
    x = np.array(x0, dtype=float)
    rec = Recorder(f, x.size)
    callback = OBJECTIVE_FN(rec)

    def arr(a, ctype=ctypes.c_double):
        return None if a is None else native.ptr(a, ctype)

    nbd = None if nbd is None else np.asarray(nbd, dtype=np.int64)
    lo = None if lo is None else np.asarray(lo, dtype=float)
    hi = None if hi is None else np.asarray(hi, dtype=float)
    opt = vlm_neldermead_options(maxiter, maxfun, xatol, fatol)
    res = vlm_neldermead_result()
    status = LIB.vlm_neldermead(
        callback,
        None,
        x.size,
        arr(x),
        arr(lo),
        arr(hi),
        arr(nbd, ctypes.c_int64),
        ctypes.byref(opt),
        ctypes.byref(res),
    )
    assert status == res.status
    return res, x, rec


def test_only_vlm_neldermead_is_exported_from_this_unit():
    names = native.exported_names(_optim)
    assert "vlm_neldermead" in names
    assert not {n for n in names if n.startswith("nm_")}


def test_rosenbrock_reference_run():
    x0 = np.array([-1.2, 1.0])
    r = _optim.run_neldermead("rosenbrock", x0)
    assert (r["status"], r["nit"], r["nfev"], r["success"]) == (0, 85, 159, True)
    assert r["message"] == "Optimization terminated successfully."
    np.testing.assert_allclose(r["x"], [1.0, 1.0], atol=1e-4)
    assert r["fun"] < 1e-9
    # The value at x, not at another vertex (those differ by ~1e-10 here), up
    # to roundings where the compiler fuses the objective's multiply-adds
    # (aarch64 has them at its baseline).
    assert abs(r["fun"] - rosen(r["x"])) <= 1e-15
    np.testing.assert_array_equal(x0, [-1.2, 1.0])


def test_native_run_matches_surface_and_counts_every_evaluation():
    res, x, rec = native_nm(rosen, [-1.2, 1.0])
    assert (res.status, res.nit, res.nfev) == (0, 85, 159)
    assert len(rec.values) == 159
    assert res.fun == min(rec.values)
    np.testing.assert_array_equal(
        x, _optim.run_neldermead("rosenbrock", np.array([-1.2, 1.0]))["x"]
    )


@pytest.mark.parametrize(
    "x0, vertices",
    [
        ([0.0, 0.0], [[0, 0], [0.00025, 0], [0, 0.00025]]),
        ([-0.0, 3.0], [[0, 3], [0.00025, 3], [0, 3.15]]),
        ([2.0, -4.0], [[2, -4], [2.1, -4], [2, -4.2]]),
    ],
)
def test_initial_simplex(x0, vertices):
    res, _, rec = native_nm(rosen, x0, maxiter=1)
    np.testing.assert_allclose(rec.points, vertices, rtol=1e-15, atol=0)
    assert (res.status, res.nit, res.nfev) == (2, 1, 3)


def test_maxiter_one_returns_the_best_initial_vertex():
    res, x, rec = native_nm(rosen, [0.0, 0.0], maxiter=1)
    assert res.message == b"Maximum number of iterations has been exceeded."
    assert not res.success
    best = int(np.argmin(rec.values))
    assert best != 0  # the start is not the best vertex here
    np.testing.assert_array_equal(x, rec.points[best])
    assert res.fun == rec.values[best]


def test_maxfun_one_evaluates_only_the_clipped_start():
    res, x, rec = native_nm(rosen, [3.0, 0.5], lo=[0.0, 0.0], hi=[2.0, 0.0], nbd=[2, 0], maxfun=1)
    assert (res.status, res.nfev, res.nit) == (1, 1, 1)
    assert res.message == b"Maximum number of function evaluations has been exceeded."
    np.testing.assert_array_equal(x, [2.0, 0.5])
    assert res.fun == rosen([2.0, 0.5])


@pytest.mark.parametrize("n", [0, -1, -(2**62)])
def test_n_below_one_is_an_error_without_evaluation(n):
    x = np.array([7.0])
    rec = Recorder(rosen, 1)
    res = vlm_neldermead_result()
    status = LIB.vlm_neldermead(
        OBJECTIVE_FN(rec), None, n, native.ptr(x), None, None, None, None, ctypes.byref(res)
    )
    assert status == -2
    assert (res.status, res.nfev, res.nit, res.success) == (-2, 0, 0, 0)
    assert np.isnan(res.fun) and res.message == b"ERROR: n must be >= 1"
    assert rec.values == [] and x[0] == 7.0


@pytest.mark.parametrize(
    "lo,hi,nbd",
    [
        ([5.0, 0.0], [1.0, 0.0], [2, 0]),  # crossed
        ([0.0, 0.0], [0.0, -1.0], [0, 2]),  # crossed on the second variable
        ([np.nan, 0.0], [0.0, 0.0], [1, 0]),  # NaN lower bound
        ([0.0, 0.0], [0.0, np.nan], [0, 3]),  # NaN upper bound
        ([np.nan, 0.0], [np.nan, 0.0], [2, 0]),
    ],
)
def test_invalid_bounds_are_refused_without_evaluation(lo, hi, nbd):
    res, x, rec = native_nm(double_well, [0.0, 0.0], lo=lo, hi=hi, nbd=nbd)
    assert (res.status, res.nfev, res.nit, res.success) == (-3, 0, 0, 0)
    assert res.message == b"ERROR: invalid bounds (NaN, or lower above upper)" and np.isnan(res.fun)
    assert rec.values == [] and list(x) == [0.0, 0.0]


def test_unused_bound_sides_are_not_checked():
    # A NaN on a side the code ignores is never read.
    res, x, _ = native_nm(double_well, [0.3, 0.2], lo=[np.nan, 0.5], hi=[0.5, np.nan], nbd=[3, 1])
    assert res.status == 0
    np.testing.assert_allclose(x, [0.5, 1.0], atol=1e-3)  # x0 stops at its upper bound


def test_default_limits_are_200n_and_never_exceeded():
    # NaN values never converge, so the run ends exactly at the evaluation limit.
    res, _, rec = native_nm(lambda x: float("nan"), [1.0, 2.0, 3.0])
    assert (res.status, res.nfev) == (1, 600) and len(rec.values) == 600
    res, _, _ = native_nm(lambda x: float("nan"), [1.0, 2.0, 3.0], maxfun=10**6)
    assert res.status == 2 and res.nit == 600


def test_null_options_select_the_defaults():
    out = vlm_neldermead_result()
    x = np.array([-1.2, 1.0])
    rec = Recorder(rosen, 2)
    LIB.vlm_neldermead(
        OBJECTIVE_FN(rec), None, 2, native.ptr(x), None, None, None, None, ctypes.byref(out)
    )
    assert (out.status, out.nit, out.nfev) == (0, 85, 159)


def test_constant_objective_converges_at_the_first_test_and_keeps_the_start_first():
    res, x, _ = native_nm(lambda x: 3.0, [1.0, 2.0, 0.0], xatol=0.2)
    assert (res.status, res.nit, res.nfev, res.fun) == (0, 1, 4, 3.0)
    np.testing.assert_array_equal(x, [1.0, 2.0, 0.0])  # equal values keep their order


def test_nan_at_the_start_stays_in_place_and_blocks_convergence():
    f = lambda x: float("nan") if x[0] == 1.0 and x[1] == 1.0 else rosen(x)
    res, x, _ = native_nm(f, [1.0, 1.0], maxiter=1)
    assert np.isnan(res.fun)
    np.testing.assert_array_equal(x, [1.0, 1.0])
    res, _, _ = native_nm(f, [1.0, 1.0], maxfun=50)
    assert res.status == 1


@pytest.mark.parametrize(
    "x0, lo, hi, nbd, vertices",
    [
        # 1.05 above the upper bound 1 is reflected to 0.95.
        ([1.0, 0.5], [0, 0], [1.0, 0], [3, 0], [[1, 0.5], [0.95, 0.5], [1, 0.525]]),
        # A start outside the box is clipped before the simplex is built.
        ([5.0, -1.0], [0, 0], [2.0, 0], [2, 1], [[2, 0], [1.9, 0], [2, 0.00025]]),
        # Unknown codes count as free; codes 1 and 3 read only their own side.
        ([5.0, -1.0], [np.nan, 0], [np.nan, 0], [7, 3], [[5, -1], [5.25, -1], [5, -1.05]]),
        # A reflection that overshoots the lower bound is clipped to it.
        ([3.0, 1.0], [2.95, 0], [3.0, 0], [2, 0], [[3, 1], [2.95, 1], [3, 1.05]]),
    ],
)
def test_initial_simplex_is_folded_into_the_box(x0, lo, hi, nbd, vertices):
    _, _, rec = native_nm(rosen, x0, lo=lo, hi=hi, nbd=nbd, maxiter=1)
    np.testing.assert_allclose(rec.points, vertices, rtol=1e-15, atol=0)


def test_bound_codes_with_null_bound_arrays_mean_zero_bounds():
    _, x, rec = native_nm(rosen, [-1.0, 1.0], nbd=[1, 3], maxiter=1)
    np.testing.assert_array_equal(rec.points[0], [0.0, 0.0])
    assert all(p[0] >= 0.0 and p[1] <= 0.0 for p in rec.points)


def test_null_bound_codes_never_read_or_clip():
    # lo and hi are null too: any read would crash, and points leave any box.
    res, _, rec = native_nm(rosen, [-1.2, 1.0])
    assert res.status == 0 and min(p[0] for p in rec.points) < -1.2


def test_halfplane_with_lower_bound_keeps_every_evaluated_point_feasible():
    def halfplane(x):
        return float("inf") if x[0] < 0 else rosen(x)

    res, x, rec = native_nm(halfplane, [0.5, 0.5], lo=[0.0, 0.0], hi=[0.0, 0.0], nbd=[1, 0])
    assert all(p[0] >= 0.0 for p in rec.points)
    assert res.status == 0
    np.testing.assert_allclose(x, [1.0, 1.0], atol=1e-3)
    r = _optim.run_neldermead(
        "rosen_halfplane", np.array([0.5, 0.5]), bounds=[(0.0, None), (None, None)]
    )
    np.testing.assert_array_equal(r["x"], x)


def test_box_bounded_minimum_lies_on_the_bound():
    # min of double_well over [1.5, 3] x [-3, -2] is the corner (1.5, -2).
    res, x, rec = native_nm(double_well, [2.5, -2.5], lo=[1.5, -3], hi=[3, -2], nbd=[2, 2])
    assert all(1.5 <= p[0] <= 3 and -3 <= p[1] <= -2 for p in rec.points)
    np.testing.assert_allclose(x, [1.5, -2.0], atol=1e-4)


def limited_runs():
    """Evaluations, nfev and best value when the run is cut after iteration j."""
    full = native_nm(rosen, [-1.2, 1.0])
    by_iter = {}
    for j in range(1, 86):
        res, _, _ = native_nm(rosen, [-1.2, 1.0], maxiter=j)
        by_iter[j] = {"nfev": res.nfev, "fun": res.fun}
    return full, by_iter


def test_evaluation_limit_truncates_the_run_and_abandons_the_iteration():
    (full_res, _, full_rec), by_iter = limited_runs()
    lost_reflections = 0
    for k in range(3, full_res.nfev):
        res, x, rec = native_nm(rosen, [-1.2, 1.0], maxfun=k)
        # The limit only cuts the sequence of evaluations, never alters it.
        np.testing.assert_array_equal(rec.points, full_rec.points[:k])
        assert (res.status, res.nfev) == (1, k)
        # nit counts only the iterations completed within k evaluations.
        assert res.nit == max(j for j, r in by_iter.items() if r["nfev"] <= k)
        completed = by_iter[res.nit]
        assert res.fun <= completed["fun"] and res.fun == rosen(x)
        if rec.values[-1] < completed["fun"] and res.fun == completed["fun"]:
            lost_reflections += 1  # evaluated, best seen, but never stored
    assert lost_reflections > 0


def test_huge_n_reports_allocation_failure_in_a_subprocess():
    out = native.run_python(
        "import ctypes, native\n"
        "from native import vlm_neldermead_result\n"
        "from Velmora._ckernels.optim import _optim\n"
        "lib = native.load(_optim)\n"
        "for n in (2**62, 2**40, 2**31 + 5, 2**28):\n"
        "    r = vlm_neldermead_result()\n"
        "    s = lib.vlm_neldermead(native.vlm_objective_fn(), None, n, None, None, None, None,\n"
        "                           None, ctypes.byref(r))\n"
        "    assert s == -1 == r.status, (n, s)\n"
        "    assert r.message == b'ERROR: workspace allocation failed' and r.nfev == 0\n"
        "print('ok')\n"
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"
