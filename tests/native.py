"""ctypes access to the C functions each extension module exports.

`load(module)` opens the module's own shared object and declares every
exported signature that the object carries, so tests call the kernels exactly
as a native consumer would.
"""

import ctypes
from ctypes import POINTER, c_double, c_int, c_int64, c_void_p

f64 = c_double
i64 = c_int64
f64_p = POINTER(c_double)
i64_p = POINTER(c_int64)


class c128(ctypes.Structure):
    _fields_ = [("re", c_double), ("im", c_double)]


c128_p = POINTER(c128)

# name -> (restype, argtypes), grouped by the unit that exports them.
# COMMON: the shared numerics library, exported by every module.
COMMON = {}
TRANSFORMS = {}
OPTIM = {}

# --- normal quantile (_common/as241) -------------------------------------
COMMON.update({
    "vlm_ndtri_as241": (f64, [f64]),
    "vlm_ndtri_as241_into": (None, [f64_p, i64, f64_p]),
    "vlm_erfinv_from_as241": (f64, [f64]),
})

# --- real linear algebra (_common/vlm_linalg) -----------------------------


class f64_lu(ctypes.Structure):
    _fields_ = [("lu", f64_p), ("piv", i64_p), ("n", i64), ("err", i64)]


COMMON.update({
    "vlm_zero_mat": (None, [f64_p, i64, i64]),
    "vlm_sym_inplace": (None, [f64_p, i64]),
    "vlm_matmul": (None, [f64_p, f64_p, f64_p, i64, i64, i64]),
    "vlm_matmul_atb": (None, [f64_p, f64_p, f64_p, i64, i64, i64]),
    "vlm_matmul_abt": (None, [f64_p, f64_p, f64_p, i64, i64, i64]),
    "vlm_matmul_abt_plus_c": (None, [f64_p, f64_p, f64_p, f64_p, i64, i64, i64]),
    "vlm_matvec": (None, [f64_p, f64_p, f64_p, i64, i64]),
    "vlm_matvec_plus_vec": (None, [f64_p, f64_p, f64_p, f64_p, i64, i64]),
    "vlm_vsub": (None, [f64_p, f64_p, f64_p, i64]),
    "vlm_dot": (f64, [f64_p, f64_p, i64]),
    "vlm_chol": (c_int, [f64_p, f64, f64_p, i64]),
    "vlm_logdet_from_chol": (f64, [f64_p, i64]),
    "vlm_forward_subst": (None, [f64_p, f64_p, f64_p, i64]),
    "vlm_backward_subst_chol_t": (None, [f64_p, f64_p, f64_p, i64]),
    "vlm_gram": (None, [f64_p, f64_p, i64, i64]),
    "vlm_gram_rhs": (None, [f64_p, f64_p, f64_p, i64, i64]),
    "vlm_chol_solve": (c_int, [f64_p, f64_p, f64_p, f64_p, i64]),
    "vlm_chol_inv": (c_int, [f64_p, f64_p, f64_p, i64]),
    "vlm_lu_factor_inplace": (i64, [f64_p, i64_p, i64]),
    "vlm_lu_factor": (f64_lu, [f64_p, i64]),
    "vlm_lu_free": (None, [POINTER(f64_lu)]),
    "vlm_lu_solve": (None, [f64_p, i64_p, f64_p, f64_p, i64, i64]),
    "vlm_solve": (i64, [f64_p, f64_p, i64, i64, f64_p]),
    "vlm_inv": (i64, [f64_p, i64, f64_p]),
    "vlm_sort_f64": (None, [f64_p, i64]),
    "vlm_median_f64": (f64, [f64_p, i64]),
})

# --- complex linear algebra (_common/vlm_complex) -------------------------

# --- transforms (transforms/transforms) -----------------------------------

# --- optimizer (optim/shim, optim/lbfgsb, optim/optim, optim/nelder_mead) --

SIGNATURES = {**COMMON, **TRANSFORMS, **OPTIM}


def load(module):
    """The module's shared object with the signatures of what it exports."""
    lib = ctypes.CDLL(module.__file__)
    for name, (restype, argtypes) in SIGNATURES.items():
        if hasattr(lib, name):
            fn = getattr(lib, name)
            fn.restype = restype
            fn.argtypes = argtypes
    return lib


def exported_names(module):
    """The dynamic symbols a module's shared object defines (via nm -D)."""
    import subprocess

    out = subprocess.run(["nm", "-D", "--defined-only", module.__file__],
                         check=True, capture_output=True, text=True).stdout
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


def ptr(array, ctype=c_double):
    """A ctypes pointer to a NumPy array's first element."""
    return array.ctypes.data_as(POINTER(ctype))


__all__ = ["SIGNATURES", "COMMON", "TRANSFORMS", "OPTIM", "load", "exported_names", "ptr", "f64", "i64", "f64_p", "i64_p",
           "c128", "c128_p", "c_int", "c_void_p"]
