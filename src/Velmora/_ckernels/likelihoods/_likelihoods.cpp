// Python surface of the ready-made likelihoods: the addresses of each
// distribution's native kernels, which the Python layer hands to the
// minimizers as a native objective together with the address of a data
// record it owns. Nothing here runs a kernel: the minimizers call them
// without the interpreter lock.
#include <cstdint>

#include "likelihoods.h"
#include "module.h"

namespace {

using vlm::lik::Kernels;

PyObject *address(const void *fn) {
    if (fn == nullptr) return PyLong_FromLong(0);
    return PyLong_FromUnsignedLongLong(
        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(fn)));
}

// (name, nparams, censoring, value, value_grad, constant, row_value,
// row_value_grad, binned_value, binned_value_grad) for one distribution.
PyObject *kernel_row(const Kernels &k) {
    const void *fns[] = {reinterpret_cast<const void *>(k.value),
                         reinterpret_cast<const void *>(k.value_grad),
                         reinterpret_cast<const void *>(k.constant),
                         reinterpret_cast<const void *>(k.row_value),
                         reinterpret_cast<const void *>(k.row_value_grad),
                         reinterpret_cast<const void *>(k.binned_value),
                         reinterpret_cast<const void *>(k.binned_value_grad)};
    PyObject *row = PyTuple_New(3 + 7);
    if (row == nullptr) return nullptr;
    PyObject *items[3] = {PyUnicode_FromString(k.name), PyLong_FromLongLong(k.nparams),
                          PyBool_FromLong(k.censoring)};
    for (int i = 0; i < 3; ++i) {
        if (items[i] == nullptr) {
            for (int j = i + 1; j < 3; ++j) Py_XDECREF(items[j]);
            Py_DECREF(row);
            return nullptr;
        }
        PyTuple_SET_ITEM(row, i, items[i]);
    }
    for (int i = 0; i < 7; ++i) {
        PyObject *a = address(fns[i]);
        if (a == nullptr) {
            Py_DECREF(row);
            return nullptr;
        }
        PyTuple_SET_ITEM(row, 3 + i, a);
    }
    return row;
}

PyObject *kernels(PyObject *, PyObject *) {
    PyObject *out = PyTuple_New(vlm::lik::kernel_count);
    if (out == nullptr) return nullptr;
    for (i64 i = 0; i < vlm::lik::kernel_count; ++i) {
        PyObject *row = kernel_row(vlm::lik::kernel_table[i]);
        if (row == nullptr) {
            Py_DECREF(out);
            return nullptr;
        }
        PyTuple_SET_ITEM(out, i, row);
    }
    return out;
}

PyMethodDef methods[] = {
    {"kernels", kernels, METH_NOARGS,
     "kernels() -> tuple of (name, nparams, censoring, value, value_grad, constant, row_value, "
     "row_value_grad, binned_value, binned_value_grad): the addresses of each distribution's "
     "native kernels (0 where there is none)."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject *module) { return PyModule_AddFunctions(module, methods); }

PyModuleDef_Slot slots[] = VLM_MODULE_SLOTS(exec_module);

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_likelihoods",
    "The native kernels of the ready-made likelihoods (Velmora.likelihoods), by address.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__likelihoods(void) { return PyModuleDef_Init(&module_def); }
