// The one shortcut the array path takes through NumPy's C API. An argument
// that already is a plain ndarray of float64, C-contiguous, aligned and
// writable is exactly what np.ascontiguousarray(x, dtype=float64) hands back
// unchanged, and np.empty_like of it is PyArray_NewLikeArray with the same
// order and type; for such an argument the Python calls (and their buffer
// requests) are skipped and the kernel runs on the arrays' own memory. Every
// other argument keeps the Python calls of numpy_calls.h, with NumPy's own
// conversions and errors.
//
// Include this header in one translation unit per module only: NumPy's API
// table it declares is static to that unit.
#ifndef VLM_PY_NUMPY_FAST_H
#define VLM_PY_NUMPY_FAST_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include "convert.h"
#include "numpy_calls.h"

namespace vlm::py {

// Set once per process when the API loads; all null when it does not, and
// then every call takes the Python path.
struct FastArrays {
    PyObject *numpy = nullptr;       // the numpy module the API belongs to
    PyObject *numpy_dict = nullptr;  // its namespace
    PyObject *float64 = nullptr;     // numpy.float64 when the API loaded
    PyArray_Descr *f8 = nullptr;     // NumPy's own float64 dtype instance
};
inline FastArrays fast_arrays;

// Loads NumPy's C API for `numpy` (the module bound as `np`). A failure is
// not an error: the module works without the shortcut.
inline void init_fast_arrays(PyObject *numpy) {
    if (fast_arrays.numpy != nullptr) return;
    if (PyArray_ImportNumPyAPI() < 0) {
        PyErr_Clear();
        return;
    }
    // Only the real NumPy qualifies: its ndarray must be the API's.
    Ref ndarray(PyObject_GetAttrString(numpy, "ndarray"));
    Ref float64(ndarray ? PyObject_GetAttr(numpy, names.float64) : nullptr);
    PyObject *dict = PyModule_Check(numpy) ? PyModule_GetDict(numpy) : nullptr;
    if (!float64 || dict == nullptr ||
        ndarray.get() != reinterpret_cast<PyObject *>(&PyArray_Type)) {
        PyErr_Clear();
        return;
    }
    fast_arrays.f8 = PyArray_DescrFromType(NPY_DOUBLE);
    fast_arrays.float64 = float64.release();
    fast_arrays.numpy_dict = Py_NewRef(dict);
    fast_arrays.numpy = Py_NewRef(numpy);
}

// True when `np` is the numpy module of the API and its float64 is still the
// one seen then (both are looked up by the Python path on every call).
inline bool fast_numpy(PyObject *np) {
    if (np == nullptr || np != fast_arrays.numpy) return false;
    PyObject *float64 = PyDict_GetItemWithError(fast_arrays.numpy_dict, names.float64);
    if (float64 == nullptr) PyErr_Clear();
    return float64 == fast_arrays.float64;
}

// An exact ndarray of at least one dimension (ascontiguousarray makes a
// 0-d array one-dimensional) whose dtype is NumPy's float64 itself and whose
// memory is C-contiguous, aligned and writable without a pending
// warn-on-write (the high flag bit, internal to NumPy).
inline bool is_plain_float64_array(PyObject *obj) {
    if (fast_arrays.f8 == nullptr || !PyArray_CheckExact(obj)) return false;
    auto *arr = reinterpret_cast<PyArrayObject *>(obj);
    constexpr unsigned required = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_WRITEABLE;
    constexpr unsigned warn_on_write = 1u << 31;
    const unsigned flags = static_cast<unsigned>(PyArray_FLAGS(arr));
    return (flags & (required | warn_on_write)) == required && PyArray_NDIM(arr) >= 1 &&
           PyArray_DESCR(arr) == fast_arrays.f8;
}

// map_array for an argument that passed is_plain_float64_array: out is
// np.empty_like(arr); empty arrays skip the kernel.
template <class Kernel>
PyObject *map_plain_array(PyObject *obj, Kernel &&kernel) {
    auto *arr = reinterpret_cast<PyArrayObject *>(obj);
    PyObject *out = PyArray_NewLikeArray(arr, NPY_KEEPORDER, nullptr, 1);
    if (out == nullptr) return nullptr;
    const npy_intp n = PyArray_SIZE(arr);
    if (n > 0) {
        const auto *x = static_cast<const double *>(PyArray_DATA(arr));
        auto *y = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out)));
        vlm::py::Lock nogil(vlm::py::Lock::released);
        kernel(x, y, static_cast<int64_t>(n));
    }
    return out;
}

}  // namespace vlm::py

#endif  // VLM_PY_NUMPY_FAST_H
