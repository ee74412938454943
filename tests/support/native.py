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
COMMON.update(
    {
        "vlm_ndtri_as241": (f64, [f64]),
        "vlm_ndtri_as241_into": (None, [f64_p, i64, f64_p]),
        "vlm_erfinv_from_as241": (f64, [f64]),
    }
)

# --- real linear algebra (_common/vlm_linalg) -----------------------------


class f64_lu(ctypes.Structure):
    _fields_ = [("lu", f64_p), ("piv", i64_p), ("n", i64), ("err", i64)]


COMMON.update(
    {
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
        "vlm_qr_pivoted": (i64, [f64_p, i64, i64, f64_p, i64_p, f64_p]),
        "vlm_qr_apply_qt": (None, [f64_p, f64_p, f64_p, i64, i64]),
        "vlm_lu_factor_inplace": (i64, [f64_p, i64_p, i64]),
        "vlm_lu_factor": (f64_lu, [f64_p, i64]),
        "vlm_lu_free": (None, [POINTER(f64_lu)]),
        "vlm_lu_solve": (None, [f64_p, i64_p, f64_p, f64_p, i64, i64]),
        "vlm_solve": (i64, [f64_p, f64_p, i64, i64, f64_p]),
        "vlm_inv": (i64, [f64_p, i64, f64_p]),
        "vlm_sort_f64": (None, [f64_p, i64]),
        "vlm_median_f64": (f64, [f64_p, i64]),
    }
)

# --- complex linear algebra (_common/vlm_complex) -------------------------


class c128_lu(ctypes.Structure):
    _fields_ = [("lu", c128_p), ("piv", i64_p), ("n", c_int64), ("err", c_int64)]


COMMON.update(
    {
        "c128_matmul": (None, [c128_p, c128_p, i64, i64, i64, c128_p]),
        "c128_lu_factor_inplace": (i64, [c128_p, i64_p, i64]),
        "c128_lu_factor": (c128_lu, [c128_p, i64]),
        "c128_lu_free": (None, [POINTER(c128_lu)]),
        "c128_lu_solve": (None, [c128_p, i64_p, c128_p, c128_p, i64, i64]),
        "c128_solve": (i64, [c128_p, c128_p, i64, i64, c128_p]),
        "c128_inv": (i64, [c128_p, i64, c128_p]),
    }
)

# --- transforms (transforms/transforms) -----------------------------------
# Nine families x seven operations, each a scalar kernel (in, out, bounds...)
# and an array kernel (in, out, n, bounds...); bounds are pointers to one value.
TRANSFORM_FAMILIES = {  # family -> bound names of the operations that take them
    "log": (),
    "logit": (),
    "probit": (),
    "aff_logit": ("a", "b"),
    "aff_probit": ("a", "b"),
    "softplus": (),
    "lower": ("low",),
    "upper": ("high",),
    "tanh": (),
}
TRANSFORM_OPS = (
    "fwd",
    "inv",
    "grad_fwd",
    "grad_inv",
    "ldet_abs_jac_fwd",
    "ldet_abs_jac_inv",
    "grad_ldet_abs_jac_inv",
)


def transform_bounds(family, op):
    """The bound parameters of one operation: lower/upper take theirs in four
    operations, the affine families in all but grad_ldet_abs_jac_inv."""
    bounds = TRANSFORM_FAMILIES[family]
    if family in ("lower", "upper"):
        return bounds if op in ("fwd", "inv", "grad_fwd", "ldet_abs_jac_fwd") else ()
    return bounds if op != "grad_ldet_abs_jac_inv" else ()


for _family in TRANSFORM_FAMILIES:
    for _op in TRANSFORM_OPS:
        _extra = [f64_p] * len(transform_bounds(_family, _op))
        TRANSFORMS[f"vlm_{_family}_{_op}"] = (None, [f64_p, f64_p] + _extra)
        TRANSFORMS[f"vlm_{_family}_{_op}_arr"] = (None, [f64_p, f64_p, i64] + _extra)

# --- optimizer (optim/shim, optim/lbfgsb, optim/optim, optim/nelder_mead) --
OPTIM.update(
    {
        "vlm_shim_dcopy": (None, [i64_p, f64_p, i64_p, f64_p, i64_p]),
        "vlm_shim_daxpy": (None, [i64_p, f64_p, f64_p, i64_p, f64_p, i64_p]),
        "vlm_shim_dscal": (None, [i64_p, f64_p, f64_p, i64_p]),
        "vlm_shim_ddot": (f64, [i64_p, f64_p, i64_p, f64_p, i64_p]),
        "vlm_shim_dnrm2": (f64, [i64_p, f64_p, i64_p]),
        "vlm_shim_dpotrf": (None, [ctypes.c_char_p, i64_p, f64_p, i64_p, i64_p]),
        "vlm_shim_dtrtrs": (
            None,
            [
                ctypes.c_char_p,
                ctypes.c_char_p,
                ctypes.c_char_p,
                i64_p,
                i64_p,
                f64_p,
                i64_p,
                f64_p,
                i64_p,
                i64_p,
            ],
        ),
        # setulb(n, m, x, l, u, nbd, f, g, factr, pgtol, wa, iwa, task, lsave,
        #        isave, dsave, maxls, ln_task)
        "setulb": (
            None,
            [
                i64,
                i64,
                f64_p,
                f64_p,
                f64_p,
                i64_p,
                f64_p,
                f64_p,
                f64,
                f64,
                f64_p,
                i64_p,
                i64_p,
                i64_p,
                i64_p,
                f64_p,
                i64,
                i64_p,
            ],
        ),
    }
)


class vlm_lbfgsb_options(ctypes.Structure):
    _fields_ = [
        ("m", i64),
        ("maxiter", i64),
        ("maxfun", i64),
        ("maxls", i64),
        ("factr", f64),
        ("pgtol", f64),
        ("fd_step", f64),
    ]


class vlm_lbfgsb_result(ctypes.Structure):
    _fields_ = [
        ("status", i64),
        ("nfev", i64),
        ("nit", i64),
        ("fun", f64),
        ("success", c_int),
        ("message", ctypes.c_char_p),
    ]


# f64 (const f64 *x, void *ctx)
vlm_objective_fn = ctypes.CFUNCTYPE(f64, f64_p, c_void_p)

OPTIM.update(
    {
        "vlm_lbfgsb": (
            i64,
            [
                vlm_objective_fn,
                c_void_p,
                i64,
                f64_p,
                f64_p,
                f64_p,
                i64_p,
                POINTER(vlm_lbfgsb_options),
                POINTER(vlm_lbfgsb_result),
            ],
        ),
    }
)

# Nelder-Mead (optim/nelder_mead), with the same objective callback type.


class vlm_neldermead_options(ctypes.Structure):
    _fields_ = [("maxiter", i64), ("maxfun", i64), ("xatol", f64), ("fatol", f64)]


class vlm_neldermead_result(ctypes.Structure):
    _fields_ = [
        ("status", i64),
        ("nfev", i64),
        ("nit", i64),
        ("fun", f64),
        ("success", c_int),
        ("message", ctypes.c_char_p),
    ]


OPTIM.update(
    {
        "vlm_neldermead": (
            i64,
            [
                vlm_objective_fn,
                c_void_p,
                i64,
                f64_p,
                f64_p,
                f64_p,
                i64_p,
                POINTER(vlm_neldermead_options),
                POINTER(vlm_neldermead_result),
            ],
        ),
    }
)

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

    out = subprocess.run(
        ["nm", "-D", "--defined-only", module.__file__], check=True, capture_output=True, text=True
    ).stdout
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


def python_env():
    """The environment of a fresh interpreter that imports this same Velmora
    and this module."""
    import os

    import Velmora

    path = [
        os.path.dirname(os.path.abspath(__file__)),
        os.path.dirname(os.path.dirname(os.path.abspath(Velmora.__file__))),
    ]
    return {**os.environ, "PYTHONPATH": os.pathsep.join(path)}


def run_python(code, *args, timeout=120):
    """Runs `code` in a fresh interpreter (see python_env), so that a crash is
    an ordinary test failure. Returns the CompletedProcess."""
    import subprocess
    import sys

    return subprocess.run(
        [sys.executable, "-c", code, *map(str, args)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=python_env(),
    )


def ptr(array, ctype=c_double):
    """A ctypes pointer to a NumPy array's first element."""
    return array.ctypes.data_as(POINTER(ctype))


__all__ = [
    "SIGNATURES",
    "COMMON",
    "TRANSFORMS",
    "OPTIM",
    "load",
    "exported_names",
    "python_env",
    "run_python",
    "ptr",
    "f64",
    "i64",
    "f64_p",
    "i64_p",
    "c128",
    "c128_p",
    "c_int",
    "c_void_p",
]
