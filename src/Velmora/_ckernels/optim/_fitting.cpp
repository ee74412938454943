// Velmora._ckernels.optim._fitting: one private module for the native runs
// behind minimize, fit, the profiles, minimize_many, fit_many, least_squares,
// curve_fit and curve_fit_many. Its three parts live in their binding files
// (_minimize.cpp, _many.cpp, _least_squares.cpp); this file puts them into
// one module.
#include "_fitting.h"
#include "module.h"

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

namespace {

// NumPy's C API, once for the whole module, then each part.
int exec_module(PyObject *module) {
    if (PyArray_ImportNumPyAPI() < 0 || bind_minimize(module) < 0 || bind_many(module) < 0 ||
        bind_least_squares(module) < 0)
        return -1;
    return 0;
}

PyModuleDef_Slot slots[] = VLM_MODULE_SLOTS(exec_module);

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_fitting",
    "The native runs behind Velmora's estimation functions: L-BFGS-B and\n"
    "Nelder-Mead minimizations and fits of a Python objective, a native function\n"
    "or a built-in objective, one problem or many on worker threads, and\n"
    "Levenberg-Marquardt fits of residuals or curve models. Private: use\n"
    "Velmora.minimize, fit, minimize_many, fit_many, least_squares, curve_fit\n"
    "and curve_fit_many.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__fitting(void) { return PyModuleDef_Init(&module_def); }
