// The parts of Velmora._ckernels.optim._fitting, the private module behind
// the estimation functions of the public layer. _fitting.cpp defines the
// module; each binding file adds its part (functions, records, constants)
// with its bind_* function, and returns -1 with the Python error on failure.
#ifndef VLM_FITTING_H
#define VLM_FITTING_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The module's files share one table of NumPy's C API, which _fitting.cpp
// fills when the module is executed; the binding files define NO_IMPORT_ARRAY.
#ifdef NPY_NO_DEPRECATED_API
#error "include _fitting.h before numpy/arrayobject.h"
#endif
#define PY_ARRAY_UNIQUE_SYMBOL vlm_fitting_numpy_api

// Velmora.minimize, Velmora.fit and the profiles (_minimize.cpp).
int bind_minimize(PyObject *module);
// Velmora.minimize_many and Velmora.fit_many (_many.cpp).
int bind_many(PyObject *module);
// Velmora.least_squares, Velmora.curve_fit and curve_fit_many (_least_squares.cpp).
int bind_least_squares(PyObject *module);

#endif  // VLM_FITTING_H
