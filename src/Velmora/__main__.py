"""`python -m Velmora`: a short demonstration of the native core."""

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
    pass


def demo_minimizers():
    pass


def main():
    demo_quantile()
    demo_transforms()
    demo_minimizers()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
