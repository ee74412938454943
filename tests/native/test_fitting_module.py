"""The fitting module exports the shared numerics library and nothing of its
own (the minimizers, the iteration, the parameter plans and the transform
loops stay inside), and its QR kernels are the library's."""

import importlib

import numpy as np

import native
from native import ptr


def test_exports_only_the_shared_library():
    ours = native.exported_names(importlib.import_module("Velmora._ckernels.optim._fitting"))
    reference = native.exported_names(
        importlib.import_module("Velmora._ckernels.distributions._distributions")
    )
    assert ours - {"PyInit__fitting"} == reference - {"PyInit__distributions"}
    assert {"vlm_qr_pivoted", "vlm_qr_apply_qt"} <= ours


def test_qr_entry_point_matches_the_exported_kernel():
    # The private qr() used for curve_fit's full_output runs vlm_qr_pivoted.
    module = importlib.import_module("Velmora._ckernels.optim._fitting")
    lib = native.load(module)
    a = np.random.default_rng(4).normal(size=(7, 3))
    via_module, tau1, perm1, b1 = (
        a.copy().reshape(-1),
        np.empty(3),
        np.empty(3, np.int64),
        np.arange(7.0),
    )
    module.qr(via_module, 7, 3, tau1, perm1, b1)
    direct, tau2, perm2, b2 = a.copy(), np.empty(3), np.empty(3, np.int64), np.arange(7.0)
    assert (
        lib.vlm_qr_pivoted(
            ptr(direct), 7, 3, ptr(tau2), ptr(perm2, native.i64), ptr(np.empty(7 * 3 + 6))
        )
        == 0
    )
    lib.vlm_qr_apply_qt(ptr(direct), ptr(tau2), ptr(b2), 7, 3)
    np.testing.assert_array_equal(via_module, direct.reshape(-1))
    np.testing.assert_array_equal(perm1, perm2)
    np.testing.assert_array_equal(b1, b2)
