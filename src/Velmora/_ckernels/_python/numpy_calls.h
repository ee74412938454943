// The NumPy side of the Python surfaces: module globals, the conversion of an
// array-like to a C-contiguous float64 array, fresh output arrays, and flat
// double views of them through the buffer protocol (typed_args.h).
#ifndef VLM_PY_NUMPY_CALLS_H
#define VLM_PY_NUMPY_CALLS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "convert.h"
#include "run_lock.h"
#include "typed_args.h"

namespace vlm::py {

// An owned reference, released on scope exit.
struct DecRef {
    void operator()(PyObject *obj) const { Py_DECREF(obj); }
};
using Ref = std::unique_ptr<PyObject, DecRef>;

// Attribute names and constants used on every call, created once per process
// when the first module is executed (they are immutable).
struct Names {
    PyObject *np = nullptr;
    PyObject *float64 = nullptr;
    PyObject *ascontiguousarray = nullptr;
    PyObject *empty_like = nullptr;
    PyObject *reshape = nullptr;
    PyObject *size = nullptr;
    PyObject *dtype_kwnames = nullptr;  // ("dtype",)
    PyObject *minus_one = nullptr;
};
inline Names names;

inline bool init_names() {
    if (names.minus_one != nullptr) return true;
    names.np = PyUnicode_InternFromString("np");
    names.float64 = PyUnicode_InternFromString("float64");
    names.ascontiguousarray = PyUnicode_InternFromString("ascontiguousarray");
    names.empty_like = PyUnicode_InternFromString("empty_like");
    names.reshape = PyUnicode_InternFromString("reshape");
    names.size = PyUnicode_InternFromString("size");
    names.dtype_kwnames = Py_BuildValue("(s)", "dtype");
    names.minus_one = PyLong_FromLong(-1);
    return names.np && names.float64 && names.ascontiguousarray && names.empty_like &&
           names.reshape && names.size && names.dtype_kwnames && names.minus_one;
}

// Imports NumPy and binds it as the module global `np`.
inline int add_numpy_global(PyObject *module) {
    if (!init_names()) return -1;
    PyObject *numpy = PyImport_ImportModule("numpy");
    if (numpy == nullptr) return -1;
    const int rc = PyModule_AddObjectRef(module, "np", numpy);
    Py_DECREF(numpy);
    return rc;
}

// A module global looked up at call time, as a strong reference, or NameError
// when absent. Another thread may rebind the global at any moment (without a
// GIL even between two C calls), and the dictionary's reference goes with
// it; a value that is used must hold a reference of its own.
inline Ref module_global_ref(PyObject *module, PyObject *name) {
    PyObject *dict = PyModule_GetDict(module);
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *value = nullptr;
    if (PyDict_GetItemRef(dict, name, &value) == 0)
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref(value);
#else
    // With the GIL held nothing runs between the lookup and the new reference.
    PyObject *value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref(Py_XNewRef(value));
#endif
}

// Whether the module global `name` is `expected`, an object the caller holds a
// reference to. Only the address is compared, so the lookup needs no
// reference of its own: when it matches, the value is the caller's object.
// False, with no exception, when the global is absent or its lookup fails.
inline bool module_global_is(PyObject *module, PyObject *name, PyObject *expected) {
    PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (value == nullptr) PyErr_Clear();
    return value != nullptr && value == expected;
}

// np.ascontiguousarray(obj, dtype=dtype)
inline PyObject *ascontiguousarray(PyObject *np, PyObject *obj, PyObject *dtype) {
    PyObject *stack[] = {nullptr, np, obj, dtype};
    return PyObject_VectorcallMethod(names.ascontiguousarray, stack + 1,
                                     2 | PY_VECTORCALL_ARGUMENTS_OFFSET, names.dtype_kwnames);
}

// np.empty_like(arr)
inline PyObject *empty_like(PyObject *np, PyObject *arr) {
    PyObject *stack[] = {nullptr, np, arr};
    return PyObject_VectorcallMethod(names.empty_like, stack + 1,
                                     2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// arr.size as a signed 64-bit count.
inline bool array_size(PyObject *arr, int64_t *n) {
    Ref size(PyObject_GetAttr(arr, names.size));
    if (!size) return false;
    const long long v = PyLong_AsLongLong(size.get());
    if (v == -1 && PyErr_Occurred()) return false;
    *n = v;
    return true;
}

// view: the n doubles of arr as arr.reshape(-1) gives them (held in `flat`),
// a one-dimensional, C-contiguous, writable float64 buffer of exactly n items.
inline bool flat_doubles(PyObject *arr, int64_t n, Ref &flat, TypedView<double> &view) {
    PyObject *stack[] = {nullptr, arr, names.minus_one};
    flat.reset(PyObject_VectorcallMethod(names.reshape, stack + 1,
                                         2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!flat || !view.hold(flat.get(), PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS))
        return false;
    // The kernels trust n; make sure the memory really holds n doubles.
    if (!view.holds_items() || n < 0 || view.size() != n) {
        PyErr_SetString(PyExc_ValueError, "expected a one-dimensional C-contiguous float64 buffer");
        return false;
    }
    return true;
}

// The array path of an element-wise function: arr = ascontiguousarray(obj,
// dtype), out = empty_like(arr), then kernel(x, y, n) over the flat data with
// the interpreter lock released. Empty arrays skip the kernel. Returns out, or
// nullptr with an exception set (nothing created is left behind).
template <class Kernel>
PyObject *map_array(PyObject *np, PyObject *dtype, PyObject *obj, Kernel &&kernel) {
    Ref arr(ascontiguousarray(np, obj, dtype));
    if (!arr) return nullptr;
    Ref out(empty_like(np, arr.get()));
    if (!out) return nullptr;
    int64_t n = 0;
    if (!array_size(arr.get(), &n)) return nullptr;
    if (n == 0) return out.release();
    // NumPy's reshape of a contiguous array is always a view; a replaced np
    // need not give one, and a kernel writing into a copy would leave `out`
    // unwritten.
    Ref x_flat, y_flat;
    TypedView<double> xv, yv;
    if (!flat_doubles(arr.get(), n, x_flat, xv) || !flat_doubles(out.get(), n, y_flat, yv) ||
        !yv.is_memory_of(out.get(), "reshape(-1) of the output array"))
        return nullptr;
    // NumPy passes a misaligned float64 array (a view of raw bytes at an odd
    // offset) through as it is; the kernels read aligned doubles, so such an
    // input is read from an aligned copy. Fresh outputs are always aligned.
    const double *x = xv.data();
    std::unique_ptr<void, decltype(&PyMem_Free)> copy(nullptr, PyMem_Free);
    if (!xv.aligned()) {
        copy.reset(PyMem_Malloc(static_cast<size_t>(n) * sizeof(double)));
        if (!copy) return PyErr_NoMemory();
        std::memcpy(copy.get(), x, static_cast<size_t>(n) * sizeof(double));
        x = static_cast<const double *>(copy.get());
    }
    if (!yv.aligned()) {
        PyErr_SetString(PyExc_ValueError, "output buffer is not aligned for float64");
        return nullptr;
    }
    {
        vlm::py::Lock nogil(vlm::py::Lock::released);
        kernel(x, yv.data(), n);
    }
    return out.release();
}

}  // namespace vlm::py

#endif  // VLM_PY_NUMPY_CALLS_H
