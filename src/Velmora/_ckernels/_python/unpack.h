// Unpacking a fixed number of items from an iterable, with the interpreter's
// messages for too few and too many values.
#ifndef VLM_PY_UNPACK_H
#define VLM_PY_UNPACK_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// A block that holds the per-object lock of a free-threaded interpreter;
// a plain block where the GIL serialises access anyway.
#if PY_VERSION_HEX >= 0x030D0000
#define VLM_BEGIN_CRITICAL_SECTION(obj) Py_BEGIN_CRITICAL_SECTION(obj)
#define VLM_END_CRITICAL_SECTION() Py_END_CRITICAL_SECTION()
#else
#define VLM_BEGIN_CRITICAL_SECTION(obj) {
#define VLM_END_CRITICAL_SECTION() }
#endif

namespace vlm::py {

inline void raise_too_few(Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                 got == 1 ? "" : "s");
}

inline void raise_too_many(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

// Stores exactly `count` items of obj as new references in out[0 .. count-1].
// On failure sets the exception and leaves out[] holding no references.
inline bool unpack_exact(PyObject *obj, Py_ssize_t count, PyObject **out) {
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        // Without a GIL another thread may resize the list or replace (and
        // free) an item while it is read: size and items are taken together
        // under the list's own lock. No Python code runs inside.
        Py_ssize_t size;
        VLM_BEGIN_CRITICAL_SECTION(obj);
        size = PySequence_Fast_GET_SIZE(obj);
        if (size == count) {
            PyObject **items = PySequence_Fast_ITEMS(obj);
            for (Py_ssize_t i = 0; i < count; ++i) out[i] = Py_NewRef(items[i]);
        }
        VLM_END_CRITICAL_SECTION();
        if (size != count) {
            size < count ? raise_too_few(size) : raise_too_many(count);
            return false;
        }
        return true;
    }
    if (Py_TYPE(obj)->tp_iter == nullptr && !PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    PyObject *it = PyObject_GetIter(obj);
    if (it == nullptr) return false;
    Py_ssize_t got = 0;
    bool ok = true;
    for (; got < count; ++got) {
        out[got] = PyIter_Next(it);
        if (out[got] == nullptr) {
            if (!PyErr_Occurred()) raise_too_few(got);
            ok = false;
            break;
        }
    }
    if (ok) {
        PyObject *extra = PyIter_Next(it);
        if (extra != nullptr) {
            Py_DECREF(extra);
            raise_too_many(count);
            ok = false;
        } else if (PyErr_Occurred()) {
            ok = false;
        }
    }
    Py_DECREF(it);
    if (!ok)
        for (Py_ssize_t i = 0; i < got; ++i) Py_CLEAR(out[i]);
    return ok;
}

}  // namespace vlm::py

#endif  // VLM_PY_UNPACK_H
