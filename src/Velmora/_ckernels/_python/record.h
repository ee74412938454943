// Named results across the seam. A native run hands Python a record: a
// struct sequence, which unpacks like a tuple and also answers to the names
// of its fields, so Python code reads `out.status` instead of counting
// positions. Each kind of record is a type made when its module is executed
// and kept for the process, like the other per-process caches (module.h).
// Constants of the C++ enums go into the module's namespace beside them, so
// Python reads each code from the one place it is defined.
#ifndef VLM_PY_RECORD_H
#define VLM_PY_RECORD_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <initializer_list>
#include <utility>

namespace vlm::py {

class RecordType {
public:
    // fields: the names, with a null name last; both must outlive the
    // process (string literals in a static array). Adds the type to the
    // module's namespace under its short name; -1 with an exception set on
    // failure.
    int make(PyObject *module, const char *qualified_name, const char *doc,
             PyStructSequence_Field *fields) {
        desc_ = {qualified_name, doc, fields, 0};
        while (fields[desc_.n_in_sequence].name != nullptr) ++desc_.n_in_sequence;
        type_ = PyStructSequence_NewType(&desc_);
        if (type_ == nullptr) return -1;
        const char *dot = std::strrchr(qualified_name, '.');
        return PyModule_AddObjectRef(module, dot != nullptr ? dot + 1 : qualified_name,
                                     reinterpret_cast<PyObject *>(type_));
    }

    // A record of the items of `values` (a new reference, or null when
    // building it failed), which must have one item per field. Steals
    // `values`; null with an exception set on failure.
    PyObject *from(PyObject *values) const {
        if (values == nullptr) return nullptr;
        PyObject *record = nullptr;
        if (PyTuple_GET_SIZE(values) != desc_.n_in_sequence)
            PyErr_Format(PyExc_SystemError, "%s takes %d fields, got %zd", desc_.name,
                         desc_.n_in_sequence, PyTuple_GET_SIZE(values));
        else
            record = PyStructSequence_New(type_);
        if (record != nullptr)
            for (Py_ssize_t i = 0; i < desc_.n_in_sequence; ++i)
                PyStructSequence_SetItem(record, i, Py_NewRef(PyTuple_GET_ITEM(values, i)));
        Py_DECREF(values);
        return record;
    }

private:
    PyStructSequence_Desc desc_{};
    PyTypeObject *type_ = nullptr;
};

// name = value for each pair, into the module's namespace; -1 on failure.
inline int add_constants(PyObject *module,
                         std::initializer_list<std::pair<const char *, long long>> constants) {
    for (const auto &[name, value] : constants) {
        PyObject *number = PyLong_FromLongLong(value);
        const int added = number == nullptr ? -1 : PyModule_AddObjectRef(module, name, number);
        Py_XDECREF(number);
        if (added < 0) return -1;
    }
    return 0;
}

}  // namespace vlm::py

#endif  // VLM_PY_RECORD_H
