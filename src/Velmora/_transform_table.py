"""The transforms module's families and operations, in the module's order,
and which of its 63 functions take bounds."""

FAMILIES = (
    "log",
    "logit",
    "probit",
    "aff_logit",
    "aff_probit",
    "softplus",
    "lower",
    "upper",
    "tanh",
)
OPS = (
    "fwd",
    "inv",
    "grad_fwd",
    "grad_inv",
    "ldet_abs_jac_fwd",
    "ldet_abs_jac_inv",
    "grad_ldet_abs_jac_inv",
)
# The bounds each family's functions take, in parameter order.
FAMILY_BOUNDS = {
    "aff_logit": ("low", "high"),
    "aff_probit": ("low", "high"),
    "lower": ("low",),
    "upper": ("high",),
}
# Operations of `lower` and `upper` whose value depends on the bound.
ONE_SIDED_BOUNDED_OPS = ("fwd", "inv", "grad_fwd", "ldet_abs_jac_fwd")


def takes_bounds(family, op):
    """Whether `<family>_<op>` takes the family's bounds after its value."""
    if family in ("lower", "upper"):
        return op in ONE_SIDED_BOUNDED_OPS
    return family in FAMILY_BOUNDS and op != "grad_ldet_abs_jac_inv"
