// Binding of vectorcall arguments (args, nargs, kwnames) to a fixed parameter
// list, with the interpreter's own TypeError wording.
#ifndef VLM_PY_BINDER_H
#define VLM_PY_BINDER_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vlm::py {

// A function's parameters: the first `required` have no default, the rest are
// optional. Every parameter may be passed by position or by keyword.
struct Signature {
    const char *name;
    const char *const *params;
    Py_ssize_t nparams;
    Py_ssize_t required;
};

inline void raise_arg_count(const Signature &sig, const char *kind, Py_ssize_t count,
                            Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, kind, count, count == 1 ? "" : "s", given);
}

inline Py_ssize_t param_index(const Signature &sig, PyObject *keyword) {
    for (Py_ssize_t i = 0; i < sig.nparams; ++i)
        if (PyUnicode_CompareWithASCIIString(keyword, sig.params[i]) == 0) return i;
    return -1;
}

// Fills bound[0 .. nparams-1] with borrowed references, leaving nullptr for an
// optional parameter that was not passed. On failure sets TypeError and
// returns false. Counts are reported as "exactly N" when every parameter is
// required, otherwise "at least <required>" / "at most <nparams>"; a missing
// parameter reports the number of parameters before it as given.
inline bool bind(const Signature &sig, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames,
                 PyObject **bound) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const bool all_required = sig.required == sig.nparams;
    if (nargs > sig.nparams) {
        raise_arg_count(sig, all_required ? "exactly" : "at most", sig.nparams, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    for (Py_ssize_t i = nargs; i < sig.nparams; ++i) bound[i] = nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
            const Py_ssize_t i = param_index(sig, keyword);
            if (i < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             sig.name, keyword);
                return false;
            }
            if (bound[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             sig.name, keyword);
                return false;
            }
            bound[i] = args[nargs + k];
        }
    }
    for (Py_ssize_t i = nargs; i < sig.required; ++i) {
        if (bound[i] == nullptr) {
            raise_arg_count(sig, all_required ? "exactly" : "at least", sig.required, i);
            return false;
        }
    }
    return true;
}

}  // namespace vlm::py

#endif  // VLM_PY_BINDER_H
