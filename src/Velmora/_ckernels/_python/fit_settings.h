// The settings of a fit binding, as Velmora.fit and fit_many pass them: a
// tuple (method, interval_family, errordef, edm_tol).
#ifndef VLM_PY_FIT_SETTINGS_H
#define VLM_PY_FIT_SETTINGS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cfloat>

#include "fit_driver.h"

namespace vlm::py {

// (method, interval_family, errordef, edm_tol): 0 L-BFGS-B or 1
// Nelder-Mead, the family of elements bounded on both sides, errordef > 0,
// edm_tol > 0 (infinity allowed).
inline bool fit_settings(PyObject *obj, vlm::FitProblem &p) {
    if (!PyTuple_CheckExact(obj) || PyTuple_GET_SIZE(obj) != 4) {
        PyErr_SetString(PyExc_TypeError,
                        "settings must be a tuple (method, interval_family, errordef, edm_tol)");
        return false;
    }
    const long method = PyLong_AsLong(PyTuple_GET_ITEM(obj, 0));
    const long family = PyLong_AsLong(PyTuple_GET_ITEM(obj, 1));
    p.errordef = PyFloat_AsDouble(PyTuple_GET_ITEM(obj, 2));
    p.edm_tol = PyFloat_AsDouble(PyTuple_GET_ITEM(obj, 3));
    if (PyErr_Occurred()) return false;
    if ((method != 0 && method != 1) ||
        (family != vlm::PARAM_AFF_LOGIT && family != vlm::PARAM_AFF_PROBIT) ||
        !(p.errordef > 0.0 && p.errordef <= DBL_MAX) || !(p.edm_tol > 0.0)) {
        PyErr_SetString(PyExc_ValueError,
                        "settings: method 0 or 1, interval family 3 or 4, errordef > 0, "
                        "edm_tol > 0");
        return false;
    }
    p.method = method == 0 ? vlm::FitMethod::lbfgsb : vlm::FitMethod::neldermead;
    p.interval_family = static_cast<int>(family);
    return true;
}

}  // namespace vlm::py

#endif  // VLM_PY_FIT_SETTINGS_H
