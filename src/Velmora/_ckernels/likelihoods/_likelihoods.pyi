# Types of the ready-made likelihoods' kernel table (Velmora.likelihoods).

def kernels() -> tuple[tuple[str, int, bool, int, int, int, int, int, int, int], ...]:
    """kernels() -> tuple of (name, nparams, censoring, value, value_grad, constant, row_value, row_value_grad, binned_value, binned_value_grad): the addresses of each distribution's native kernels (0 where there is none)."""
