"""curve_fit_many with missing samples (nan_policy='omit', mask) and data
cubes: each row equals curve_fit on the samples it keeps."""

import numpy as np
import pytest

import Velmora as V

T = np.linspace(0, 2, 12)


def decay(t, a, k):
    return a * np.exp(-k * t)


def cube(ny=2, nx=3, seed=0):
    rng = np.random.default_rng(seed)
    a = rng.uniform(1, 3, (ny, nx, 1))
    k = rng.uniform(0.5, 1.5, (ny, nx, 1))
    return a * np.exp(-k * T) + rng.normal(0, 0.02, (ny, nx, T.size))


def one_fit(y, keep, sigma=None, absolute_sigma=False):
    s = None if sigma is None else sigma[keep]
    return V.curve_fit(decay, T[keep], y[keep], p0=[1, 1], sigma=s, absolute_sigma=absolute_sigma)


@pytest.mark.parametrize("absolute_sigma", [False, True])
@pytest.mark.parametrize("how", ["nan", "mask", "masked_array"])
def test_each_row_fits_its_kept_samples(how, absolute_sigma):
    y = cube()
    missing = np.zeros(y.shape, bool)
    missing[0, 1, [2, 7]] = True
    missing[1, 0, :5] = True
    sigma = np.full(T.size, 0.02)
    kw = dict(p0=[1, 1], sigma=sigma, absolute_sigma=absolute_sigma)
    if how == "nan":
        data = np.where(missing, np.nan, y)
        r = V.curve_fit_many(decay, T, data, nan_policy="omit", **kw)
        assert np.isnan(data).sum() == missing.sum()  # the caller's array is unchanged
    elif how == "mask":
        r = V.curve_fit_many(decay, T, y, mask=missing, **kw)
    else:
        r = V.curve_fit_many(decay, T, np.ma.array(y, mask=missing), **kw)
    assert r.x.shape == (2, 3, 2) and r.cov.shape == (2, 3, 2, 2) and r.success.shape == (2, 3)
    for j in range(2):
        for i in range(3):
            popt, pcov = one_fit(y[j, i], ~missing[j, i], sigma, absolute_sigma)
            np.testing.assert_allclose(r.x[j, i], popt, rtol=1e-7)
            np.testing.assert_allclose(r.cov[j, i], pcov, rtol=1e-5)
    assert r.ci(0.9).shape == (2, 3, 2, 2)


def test_row_with_too_few_samples_is_reported_not_fatal():
    y = cube()
    y[1, 2, 1:] = np.nan  # one sample left for two parameters
    r = V.curve_fit_many(decay, T, y, p0=[1, 1], nan_policy="omit")
    assert not r.success[1, 2] and np.isnan(r.x[1, 2]).all()
    assert "too few samples: 1 kept for 2 parameters" in r.message[1, 2]
    assert r.success.sum() == 5


def test_exactly_n_samples_gives_an_undetermined_covariance():
    y = cube(1, 1)
    y[0, 0, 2:] = np.nan
    r = V.curve_fit_many(decay, T, y, p0=[1, 1], nan_policy="omit")
    assert np.isinf(r.cov[0, 0]).all()


def test_cube_with_per_pixel_start_and_sigma_and_shared_xdata():
    y = cube(3, 2, seed=4)
    p0 = np.ones((3, 2, 2))
    sigma = np.full(y.shape, 0.02)
    r = V.curve_fit_many(decay, T, y, p0=p0, sigma=sigma)
    flat = V.curve_fit_many(decay, T, y.reshape(6, -1), p0=[1, 1], sigma=sigma.reshape(6, -1))
    np.testing.assert_array_equal(r.x.reshape(6, 2), flat.x)
    np.testing.assert_array_equal(r.fun.reshape(6), flat.fun)


def test_without_omit_a_nan_fails_its_row_alone():
    y = cube()
    y[0, 0, 3] = np.nan
    r = V.curve_fit_many(decay, T, y.reshape(6, -1), p0=[1, 1])
    assert not r.success[0] and r.success[1:].all()


@pytest.mark.parametrize(
    "kwargs, match",
    [
        ({"nan_policy": "drop"}, "nan_policy must be"),
        ({"nan_policy": "raise"}, "nan_policy='raise'"),
        ({"mask": np.zeros((5, 12), bool)}, "does not match ydata"),
    ],
)
def test_bad_missing_data_arguments(kwargs, match):
    y = cube()
    y[0, 0, 0] = np.nan
    calls = []

    def counted(t, a, k):
        calls.append(1)
        return decay(t, a, k)

    with pytest.raises(ValueError, match=match):
        V.curve_fit_many(counted, T, y, p0=[1, 1], **kwargs)
    assert calls == []


def test_native_model_with_omitted_samples_and_a_loss():
    numba = pytest.importorskip("numba")
    from numba import types

    sig = types.void(
        types.CPointer(types.float64),
        types.int64,
        types.CPointer(types.float64),
        types.CPointer(types.float64),
        types.voidptr,
    )

    @numba.cfunc(sig)
    def native(xp, m, p, out, ctx):
        for i in range(m):
            out[i] = p[0] * np.exp(-p[1] * xp[i])

    y = cube()
    y[0, 2, [1, 4, 9]] = np.nan
    kw = dict(p0=[1.0, 1.0], nan_policy="omit", loss="soft_l1", f_scale=0.05)
    ours = V.curve_fit_many(V.NativeModel(native), T, y, workers=2, **kw)
    python = V.curve_fit_many(decay, T, y, **kw)
    np.testing.assert_allclose(ours.x, python.x, rtol=1e-7)
    np.testing.assert_allclose(ours.cov, python.cov, rtol=1e-5)
    keep = np.isfinite(y[0, 2])
    popt, _ = V.curve_fit(decay, T[keep], y[0, 2][keep], p0=[1, 1], loss="soft_l1", f_scale=0.05)
    np.testing.assert_allclose(ours.x[0, 2], popt, rtol=1e-7)
