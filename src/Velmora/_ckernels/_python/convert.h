// Number conversions of the Python surfaces and the lock-release guard.
#ifndef VLM_PY_CONVERT_H
#define VLM_PY_CONVERT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>

namespace vlm::py {

// A float's value directly; anything else through the interpreter's float
// conversion (__float__, then __index__; strings are not parsed).
inline bool to_double(PyObject *obj, double *out) {
    if (PyFloat_CheckExact(obj)) {
        *out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

// A C int (32-bit) through the object's integer conversion: ints and bools
// as they are, other objects through __int__ (floats truncate toward zero) or
// __index__. Strings are not parsed.
inline bool to_c_int(PyObject *obj, long long *out) {
    PyObject *num;
    if (PyLong_Check(obj)) {
        num = Py_NewRef(obj);
    } else {
        PyNumberMethods *nb = Py_TYPE(obj)->tp_as_number;
        if (nb != nullptr && nb->nb_int != nullptr) {
            num = nb->nb_int(obj);
        } else if (nb != nullptr && nb->nb_index != nullptr) {
            num = nb->nb_index(obj);
        } else {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        if (num == nullptr) return false;
        if (!PyLong_Check(num)) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(num)->tp_name);
            Py_DECREF(num);
            return false;
        }
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(num, &overflow);
    Py_DECREF(num);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v > INT_MAX || v < INT_MIN) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = v;
    return true;
}

// The single type code of a simple native-order format such as "d", "=d",
// "<d" on little-endian machines, or 0 for anything else (structs, arrays,
// foreign byte order, several items).
inline char simple_format_code(const char *fmt) {
    if (fmt == nullptr) return 'B';  // no format means unsigned bytes
    const char order = fmt[0];
    const bool little = PY_LITTLE_ENDIAN != 0;
    if (order == '@' || order == '=' || (order == '<' && little) || (order == '>' && !little) ||
        (order == '!' && !little))
        ++fmt;
    if (fmt[0] == '\0' || fmt[1] != '\0') return 0;
    return fmt[0];
}

}  // namespace vlm::py

#endif  // VLM_PY_CONVERT_H
