// Typed arguments of the Python surfaces: the exact-type check of an argument
// and the one buffer view of the modules, a one-dimensional, C-contiguous
// buffer whose items must be of one C type, with the interpreter-style error
// texts.
#ifndef VLM_PY_TYPED_ARGS_H
#define VLM_PY_TYPED_ARGS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

#include "convert.h"

namespace vlm::py {

// True when obj is exactly of `type` (no subclass), or None when allowed;
// otherwise TypeError naming the argument, the expected and the actual type.
inline bool check_arg_type(PyObject *obj, PyTypeObject *type, const char *arg_name,
                           bool none_allowed) {
    if (Py_IS_TYPE(obj, type) || (none_allowed && obj == Py_None)) return true;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg_name,
                 type->tp_name, Py_TYPE(obj)->tp_name);
    return false;
}

// Buffer item formats (struct-module codes) accepted for a C type, and its
// name in messages. Only native byte order is accepted.
template <class T>
struct ItemFormat;

template <>
struct ItemFormat<double> {
    static constexpr const char *name = "double";
    static bool accepts(char code) { return code == 'd'; }
};

template <>
struct ItemFormat<int64_t> {
    static constexpr const char *name = "int64_t";
    static bool accepts(char code) {
        return code == 'q' || (code == 'l' && sizeof(long) == sizeof(int64_t));
    }
};

// The C name of a buffer format, quoted, for the dtype-mismatch message.
inline const char *describe_format(const char *fmt) {
    static constexpr struct {
        char code;
        const char *name;
    } known[] = {
        {'b', "'signed char'"},
        {'B', "'unsigned char'"},
        {'?', "'bool'"},
        {'h', "'short'"},
        {'H', "'unsigned short'"},
        {'i', "'int'"},
        {'I', "'unsigned int'"},
        {'l', "'long'"},
        {'L', "'unsigned long'"},
        {'q', "'long long'"},
        {'Q', "'unsigned long long'"},
        {'n', "'ssize_t'"},
        {'N', "'size_t'"},
        {'e', "'half'"},
        {'f', "'float'"},
        {'d', "'double'"},
        {'g', "'long double'"},
        {'O', "'Python object'"},
    };
    const char code = simple_format_code(fmt);
    for (const auto &k : known)
        if (k.code == code) return k.name;
    return fmt;
}

// A one-dimensional, C-contiguous view of a buffer of T (writable unless
// asked otherwise), held until destruction. acquire() checks an argument:
// TypeError for an object without the buffer interface, the exporter's
// ValueError for a read-only or non-contiguous buffer (a plain BufferError is
// raised as ValueError), and ValueError for a wrong dimension count or item
// type. hold() and holds_items() are the steps, for callers with messages of
// their own.
template <class T>
class TypedView {
public:
    TypedView() = default;
    TypedView(const TypedView &) = delete;
    TypedView &operator=(const TypedView &) = delete;
    ~TypedView() {
        if (held_) PyBuffer_Release(&view_);
    }

    // With none_allowed, None gives an empty view (no data, size 0). Without
    // writable, a read-only buffer is taken too (for inputs that are only read).
    bool acquire(PyObject *obj, bool none_allowed = false, bool writable = true) {
        if (none_allowed && obj == Py_None) return true;
        const int flags = (writable ? PyBUF_WRITABLE : 0) | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS;
        if (!hold(obj, flags)) {
            if (PyErr_ExceptionMatches(PyExc_BufferError)) reraise_as_value_error();
            return false;
        }
        if (view_.ndim != 1) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer has wrong number of dimensions (expected %d, got %d)", 1,
                         view_.ndim);
            return false;
        }
        if (!holds_items()) {
            PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                         ItemFormat<T>::name, "'", describe_format(view_.format));
            return false;
        }
        return true;
    }

    // The buffer of obj as `flags` ask for it, with the exporter's exception
    // when it refuses.
    bool hold(PyObject *obj, int flags) {
        if (PyObject_GetBuffer(obj, &view_, flags) != 0) return false;
        held_ = true;
        return true;
    }

    // Whether the held buffer is one-dimensional with items of T.
    bool holds_items() const {
        return view_.ndim == 1 && ItemFormat<T>::accepts(simple_format_code(view_.format)) &&
               view_.itemsize == static_cast<Py_ssize_t>(sizeof(T));
    }

    T *data() const { return held_ ? static_cast<T *>(view_.buf) : nullptr; }
    // Whether the items sit at addresses aligned for T (a buffer over raw
    // bytes at an odd offset need not be).
    bool aligned() const { return reinterpret_cast<std::uintptr_t>(data()) % alignof(T) == 0; }
    Py_ssize_t size() const { return held_ ? view_.len / static_cast<Py_ssize_t>(sizeof(T)) : 0; }

    // Whether the view is the whole memory of `obj` (an array the kernel is
    // meant to fill) rather than a copy of it; ValueError naming `what` when
    // it is not.
    bool is_memory_of(PyObject *obj, const char *what) const {
        Py_buffer whole;
        bool same = false;
        if (PyObject_GetBuffer(obj, &whole, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) == 0) {
            same = whole.buf == view_.buf && whole.len == view_.len;
            PyBuffer_Release(&whole);
        }
        if (!same) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "%s is not a view of its memory", what);
        }
        return same;
    }

private:
    // Same text, raised as ValueError (the reason is a property of the value).
    static void reraise_as_value_error() {
#if PY_VERSION_HEX >= 0x030C0000
        PyObject *exc = PyErr_GetRaisedException();
#else
        PyObject *type, *exc, *tb;
        PyErr_Fetch(&type, &exc, &tb);
        PyErr_NormalizeException(&type, &exc, &tb);
        Py_XDECREF(type);
        Py_XDECREF(tb);
#endif
        PyObject *text = exc != nullptr ? PyObject_Str(exc) : nullptr;
        Py_XDECREF(exc);
        if (text != nullptr) {
            PyErr_SetObject(PyExc_ValueError, text);
            Py_DECREF(text);
        }
    }

    Py_buffer view_{};
    bool held_ = false;
};

// A float64 buffer of exactly `count` values at aligned addresses, writable
// unless asked otherwise; ValueError naming the argument `what` when the
// count or the alignment is off.
inline bool vector_arg(PyObject *obj, int64_t count, const char *what, TypedView<double> &view,
                       bool writable = true) {
    if (!view.acquire(obj, false, writable)) return false;
    if (view.size() != count || !view.aligned()) {
        PyErr_Format(PyExc_ValueError, "%s must be an aligned float64 array of %lld values", what,
                     static_cast<long long>(count));
        return false;
    }
    return true;
}

}  // namespace vlm::py

#endif  // VLM_PY_TYPED_ARGS_H
