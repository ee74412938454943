"""The short demonstration `python -m Velmora` prints when given no arguments:
the package's main job first (a fit with standard errors), then minimize and
the native modules."""


def demo_fit():
    import math
    import textwrap

    import numpy as np

    import Velmora

    true = {"shape": 2.5, "rate": 1.7}
    data = np.random.default_rng(2024).gamma(true["shape"], 1.0 / true["rate"], 2000)

    def nll(p, x):
        """The gamma negative log-likelihood, shape k and rate b."""
        k, b = p
        return (
            x.size * (math.lgamma(k) - k * math.log(b))
            - (k - 1.0) * float(np.sum(np.log(x)))
            + b * float(np.sum(x))
        )

    print(
        "Velmora.fit: 2000 values simulated from a gamma distribution with shape 2.5 and rate 1.7"
    )
    print("  r = Velmora.fit(nll, [1.0, 1.0], args=(data,), bounds=[(0, None), (0, None)],")
    print("                  names=['shape', 'rate'])")
    r = Velmora.fit(nll, [1.0, 1.0], args=(data,), bounds=[(0, None), (0, None)], names=list(true))
    print(textwrap.indent(r.summary(), "  "))
    print(f"  {'':<8}{'true':>8}{'estimate':>11}{'std err':>10}  95% interval holds the true value")
    for (name, value), x, se, (lo, hi) in zip(true.items(), r.x, r.se, r.ci()):
        print(
            f"  {name:<8}{value:>8g}{x:>11.4f}{se:>10.4f}  {'yes' if lo <= value <= hi else 'no'}"
        )
    print()


def demo_quantile():
    from Velmora._ckernels.distributions import _distributions as dist

    print("Standard normal quantile (AS 241)")
    for p in (1e-300, 1e-10, 0.025, 0.5, 0.975, 1.0 - 2.0**-53):
        print(f"  ndtri_as241({p!r:>22}) = {dist.ndtri_as241(p): .15g}")
    print("Inverse-error-function entry point")
    for y in (-1.0, 0.0, 0.5, 1.0, 1.8284271247461903):
        print(f"  erfinv_from_as241({y!r:>20}) = {dist.erfinv_from_as241(y): .15g}")
    p = [0.001, 0.1, 0.5, 0.9, 0.999]
    print(f"  ndtri_as241_into({p}) =")
    print("   ", dist.ndtri_as241_into(p))
    print()


def demo_transforms():
    import numpy as np

    from Velmora._ckernels.transforms import _transforms as tr

    print("Parameter transforms: constrained x -> unconstrained y -> x, with log|dT^-1/dy|")
    cases = [
        ("log", "x > 0", [1e-3, 1.0, 250.0], ()),
        ("logit", "0 < x < 1", [1e-6, 0.5, 0.9], ()),
        ("probit", "0 < x < 1", [0.025, 0.5, 0.975], ()),
        ("aff_logit", "2 < x < 6", [2.5, 4.0, 5.99], (2.0, 6.0)),
        ("softplus", "x > 0", [1e-4, 1.0, 30.0], ()),
        ("tanh", "-1 < x < 1", [-0.999, 0.0, 0.5], ()),
    ]
    for family, domain, xs, bounds in cases:
        x = np.array(xs)
        y = getattr(tr, f"{family}_fwd")(x, *bounds)
        back = getattr(tr, f"{family}_inv")(y, *bounds)
        ldet = getattr(tr, f"{family}_ldet_abs_jac_inv")(y, *bounds)
        print(f"  {family} ({domain}){', bounds ' + str(bounds) if bounds else ''}")
        print(f"    x          = {np.array2string(x, precision=6)}")
        print(f"    y = T(x)   = {np.array2string(y, precision=6)}")
        print(f"    T^-1(y)    = {np.array2string(back, precision=6)}")
        print(f"    log|dx/dy| = {np.array2string(ldet, precision=6)}")
    print(f"  lower_fwd(3.0, low=1.0) = {tr.lower_fwd(3.0, 1.0)!r}")
    print(f"  upper_grad_fwd(0.5, high=1.0) = {tr.upper_grad_fwd(0.5, 1.0)!r}")
    print()


def demo_minimizers():
    import numpy as np

    from Velmora._ckernels.optim import _optim

    # (objective, start, keyword arguments): the textbook Rosenbrock start, a
    # quadratic with weights (1, 100) centred at (3, -2), a start between the
    # wells, and the half-plane x[0] >= 0 kept by a lower bound.
    problems = [
        ("rosenbrock", [-1.2, 1.0], {}),
        ("quad", [0.0, 0.0], {"params": [1.0, 100.0, 3.0, -2.0]}),
        ("double_well", [0.3, -0.2], {}),
        ("rosen_halfplane", [0.5, 0.5], {"bounds": [(0.0, None), (None, None)]}),
    ]
    print("Native minimizers on the built-in objectives")
    print(
        f"  {'method':<10} {'objective':<15} {'start':<12} {'x':<24} {'fun':>10} {'nit':>4} "
        f"{'nfev':>5}  message"
    )
    for method, run in (("lbfgsb", _optim.run_lbfgsb), ("neldermead", _optim.run_neldermead)):
        for name, start, kwargs in problems:
            r = run(name, np.array(start), **kwargs)
            x = "(" + ", ".join(f"{v:.6f}" for v in r["x"]) + ")"
            start_text = "(" + ", ".join(f"{v:g}" for v in start) + ")"
            print(
                f"  {method:<10} {name:<15} {start_text:<12} {x:<24} {r['fun']:10.3g} "
                f"{r['nit']:4d} {r['nfev']:5d}  {r['message']}"
            )
    print()


def demo_minimize():
    import numpy as np

    import Velmora

    def rosen(x):
        return 100.0 * (x[1] - x[0] ** 2) ** 2 + (1.0 - x[0]) ** 2

    def rosen_grad(x):
        return np.array(
            [-400.0 * x[0] * (x[1] - x[0] ** 2) - 2.0 * (1.0 - x[0]), 200.0 * (x[1] - x[0] ** 2)]
        )

    print("Velmora.minimize on your own objective (SciPy's minimize interface)")
    print("  def rosen(x): return 100 (x1 - x0^2)^2 + (1 - x0)^2,  from x0 = (-1.2, 1)")
    runs = [
        ("L-BFGS-B, analytic gradient", dict(jac=rosen_grad)),
        ("L-BFGS-B, forward differences", {}),
        ("L-BFGS-B, x0 <= 0.5", dict(jac=rosen_grad, bounds=[(None, 0.5), (None, None)])),
        ("Nelder-Mead", dict(method="Nelder-Mead")),
    ]
    for label, kwargs in runs:
        r = Velmora.minimize(rosen, [-1.2, 1.0], **kwargs)
        x = "(" + ", ".join(f"{v:.6f}" for v in r.x) + ")"
        print(
            f"  {label:<30} x = {x:<22} fun = {r.fun:9.3g}  nit {r.nit:3d}  nfev {r.nfev:4d}  {r.message}"
        )
    print()


def demo_curve_fit():
    import numpy as np

    import Velmora

    def decay(t, a, b, c):
        return a * np.exp(-b * t) + c

    t = np.linspace(0.0, 4.0, 20)
    y = 2.5 * np.exp(-1.3 * t) + 0.5 + 0.05 * np.sin(7.0 * t)
    print("Velmora.curve_fit: y = a exp(-b t) + c through 20 points (SciPy's curve_fit interface)")
    fits = [
        ("no bounds", {}),
        ("b <= 1", {"bounds": ([0.0, 0.0, 0.0], [10.0, 1.0, 10.0]), "p0": [1.0, 0.5, 1.0]}),
    ]
    for label, kwargs in fits:
        kwargs.setdefault("p0", [1.0, 1.0, 1.0])
        popt, pcov, info, _, _ = Velmora.curve_fit(decay, t, y, full_output=True, **kwargs)
        fit = ", ".join(
            f"{name} = {v:.4f} +- {e:.4f}"
            for name, v, e in zip("abc", popt, np.sqrt(np.diag(pcov)))
        )
        print(f"  {label:<10} {fit}   ({info['nfev']} evaluations)")
    print()


def run():
    demo_fit()
    demo_minimize()
    demo_curve_fit()
    demo_quantile()
    demo_transforms()
    demo_minimizers()
    return 0
