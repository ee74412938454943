"""Velmora.plot renders with the Agg backend to files; each test checks what
was drawn."""

import builtins
import math
import warnings

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from scipy import stats  # noqa: E402

import Velmora as V  # noqa: E402
from Velmora import plot  # noqa: E402

T = np.linspace(0, 3, 25)
Y = 2.0 * np.exp(-0.9 * T) + np.random.default_rng(4).normal(0, 0.05, T.size)


def decay(t, a, k):
    return a * np.exp(-k * t)


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def saved(fig, tmp_path, name):
    path = tmp_path / f"{name}.png"
    fig.savefig(path)
    assert path.stat().st_size > 1000


def test_curve_with_band_and_residuals(tmp_path):
    r = V.fit_curve(decay, T, Y, p0=[1, 1])
    fig, out = plot.curve(r, T, Y, level=0.9)
    saved(fig, tmp_path, "curve")
    np.testing.assert_array_equal(out["data"].get_xdata(), T)
    grid, fitted = out["fit"].get_data()
    np.testing.assert_allclose(fitted, decay(grid, *r.x))
    np.testing.assert_allclose(out["residuals"].get_ydata(), Y - decay(T, *r.x))
    # the band encloses the fitted curve
    mean, low, high = r.band(grid, 0.9)
    assert np.all(low < fitted) and np.all(fitted < high)
    assert len(fig.axes) == 2


def test_distribution_panels(tmp_path):
    data = np.random.default_rng(0).gamma(2.0, 1.5, 300)
    law = stats.gamma(2.0, scale=1.5)
    fig, out = plot.distribution(data, law.cdf, law.pdf, law.ppf)
    saved(fig, tmp_path, "distribution")
    assert len(out["hist"]) > 3 and len(fig.axes) == 3
    x, y = out["ecdf"].get_data()
    assert y[-1] == 1.0 and np.all(np.diff(x) >= 0)
    theory, sample = out["probability"].get_data()
    np.testing.assert_allclose(theory, law.ppf((np.arange(1, 301) - 0.5) / 300))
    fig, out = plot.distribution(data, law.cdf)  # P-P without pdf or ppf
    assert len(fig.axes) == 2


def normal_fit():
    data = np.random.default_rng(1).normal(2.0, 3.0, 40)

    def nll(p):
        return 0.5 * data.size * math.log(p[1]) + 0.5 * np.sum((data - p[0]) ** 2) / p[1]

    return V.fit(nll, [0.0, 1.0], bounds=[(None, None), (0, None)], names=["mu", "var"])


def test_profile_plot_marks_the_interval(tmp_path):
    r = normal_fit()
    fig, out = plot.profile(r, "var", level=0.9, size=15)
    saved(fig, tmp_path, "profile")
    x, rise = out["profile"].get_data()
    assert rise.min() >= -1e-9 and x.size == 15
    ends = sorted(line.get_xdata()[0] for line in out["interval"])
    np.testing.assert_allclose(ends, r.ci(0.9, method="profile")[1])
    assert out["threshold"].get_ydata()[0] == pytest.approx(0.5 * stats.norm.ppf(0.95) ** 2)


def test_contour_plot(tmp_path):
    r = normal_fit()
    fig, out = plot.contour(r, "mu", "var", levels=(0.5, 0.9), size=16)
    saved(fig, tmp_path, "contour")
    inner, outer = (line.get_data() for line in out["contours"])
    assert inner[0].size == 17  # closed
    assert np.ptp(outer[0]) > np.ptp(inner[0])


def test_parameter_map(tmp_path):
    ny, nx = 3, 4
    slopes = np.arange(ny * nx, dtype=float) + 1
    ys = slopes[:, None] * T[None, :]
    many = V.curve_fit_many(lambda t, a, b: a * t + b, T, ys, p0=[1, 0])
    fig, out = plot.parameter_map(many, 0, (ny, nx))
    saved(fig, tmp_path, "map")
    np.testing.assert_allclose(out["image"].get_array(), slopes.reshape(ny, nx), rtol=1e-8)
    with pytest.raises(ValueError, match="do not fill"):
        plot.parameter_map(many, 0, (5, 5))


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda r: plot.profile(r, "sigma"), ValueError, "no parameter named"),
        (lambda r: plot.contour(r, "mu", "mu"), ValueError, "two different"),
        (lambda r: plot.profile(r, "mu", level=2.0), ValueError, "strictly between"),
    ],
)
def test_bad_plot_input(call, error, match):
    with pytest.raises(error, match=match):
        call(normal_fit())
    assert plt.get_fignums() == []  # refused before a figure was made


def test_without_matplotlib_the_error_names_the_extra(monkeypatch):
    real_import = builtins.__import__

    def without(name, *args, **kwargs):
        if name.startswith("matplotlib"):
            raise ImportError(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", without)
    r = normal_fit()
    calls = []
    real = r._refit["nll"]

    def counted(p):
        calls.append(1)
        return real(p)

    r._refit["nll"] = counted  # every re-fit would call it
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for draw in (
            lambda: plot.distribution([1.0, 2.0, 3.0], lambda x: x),
            lambda: plot.profile(r, "mu"),
            lambda: plot.contour(r, "mu", "var"),
        ):
            with pytest.raises(ImportError, match=r"pip install 'Velmora\[plot\]'"):
                draw()
    assert calls == []  # no re-fit ran
