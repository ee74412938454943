// Arrays through NumPy's C API, for the modules that use it: new arrays, the
// test for an array the native code can read in place, and the conversion of
// what Python code returned into doubles. Include numpy/arrayobject.h first.
// NumPy's API table is static to each translation unit that includes it,
// unless the module's files share one (PY_ARRAY_UNIQUE_SYMBOL, as _fitting's
// do: its binding files define NO_IMPORT_ARRAY and leave the import to it).
#ifndef VLM_PY_NUMPY_API_H
#define VLM_PY_NUMPY_API_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <initializer_list>

#include "numpy_calls.h"
#include "vlm_common.h"

#ifndef NPY_NO_DEPRECATED_API
#error "include numpy/arrayobject.h before numpy_api.h"
#endif

namespace vlm::py {

// The first item of an array's memory, as T.
template <class T>
T *array_data(PyObject *arr) {
    return static_cast<T *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(arr)));
}

// A new one-dimensional float64 array holding x[0 .. n).
inline PyObject *new_vector(const f64 *x, i64 n) {
    npy_intp dim = static_cast<npy_intp>(n);
    PyObject *arr = PyArray_SimpleNew(1, &dim, NPY_DOUBLE);
    if (arr != nullptr && n > 0)
        std::memcpy(array_data<f64>(arr), x, static_cast<size_t>(n) * sizeof(f64));
    return arr;
}

// A new zero-filled array of `type` and the given shape (one to three
// extents), its memory in *out; null with the Python error on failure.
template <class T>
PyObject *new_zeros(std::initializer_list<i64> shape, int type, T **out) {
    npy_intp dims[3] = {0, 0, 0};
    int ndim = 0;
    for (i64 extent : shape) {
        if (ndim == 3) break;
        dims[ndim++] = static_cast<npy_intp>(extent);
    }
    PyObject *arr = PyArray_ZEROS(ndim, dims, type, 0);
    if (arr != nullptr) *out = array_data<T>(arr);
    return arr;
}

// An ndarray (a subclass too) of `type` whose memory native code can read as
// it is: C-contiguous, aligned, native byte order.
inline bool is_array_of(PyObject *obj, int type) {
    if (!PyArray_Check(obj)) return false;
    auto *a = reinterpret_cast<PyArrayObject *>(obj);
    return PyArray_TYPE(a) == type && PyArray_ISCARRAY_RO(a) && PyArray_ISNOTSWAPPED(a);
}

// Booleans, integers and floats: the kinds that convert to float64.
inline bool is_real_kind(char kind) {
    return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f';
}

// A new reference to obj as an array of real numbers, or null with
// ValueError "<what> must hold real numbers, got dtype ...".
inline PyArrayObject *real_array(PyObject *obj, const char *what) {
    PyObject *arr = PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr);
    if (arr == nullptr) return nullptr;
    auto *a = reinterpret_cast<PyArrayObject *>(arr);
    if (!is_real_kind(PyArray_DESCR(a)->kind)) {
        PyErr_Format(PyExc_ValueError, "%s must hold real numbers, got dtype %R", what,
                     reinterpret_cast<PyObject *>(PyArray_DESCR(a)));
        Py_DECREF(arr);
        return nullptr;
    }
    return a;
}

// Copies the values of a (any real array of `count` elements) into out.
inline bool copy_values(PyArrayObject *a, f64 *out, i64 count) {
    Ref f8(PyArray_FROM_OTF(reinterpret_cast<PyObject *>(a), NPY_DOUBLE, NPY_ARRAY_IN_ARRAY));
    if (!f8) return false;
    if (count > 0)
        std::memcpy(out, array_data<f64>(f8.get()), static_cast<size_t>(count) * sizeof(f64));
    return true;
}

// The common case of what Python code returns, copied without a conversion:
// an exact ndarray of float64 readable in place, with exactly `count` values
// in at most max_ndim dimensions. False, with no exception, for anything
// else.
inline bool copy_exact(PyObject *v, f64 *out, i64 count, int max_ndim) {
    if (!PyArray_CheckExact(v) || !is_array_of(v, NPY_DOUBLE)) return false;
    auto *a = reinterpret_cast<PyArrayObject *>(v);
    if (PyArray_NDIM(a) > max_ndim || PyArray_SIZE(a) != count) return false;
    std::memcpy(out, PyArray_DATA(a), static_cast<size_t>(count) * sizeof(f64));
    return true;
}

#ifndef NO_IMPORT_ARRAY
// The execution slot of a module that needs nothing but NumPy's C API.
inline int import_numpy(PyObject *) { return PyArray_ImportNumPyAPI() < 0 ? -1 : 0; }
#endif

}  // namespace vlm::py

#endif  // VLM_PY_NUMPY_API_H
