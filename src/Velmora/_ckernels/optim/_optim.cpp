// Python surface of the optim module (functions arrive with their kernels).
#include "binder.h"
#include "module.h"
#include "numpy_calls.h"

namespace {

int exec_module(PyObject *module) { return vlm::py::add_numpy_global(module); }

PyModuleDef_Slot slots[] = VLM_MODULE_SLOTS(exec_module);

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_optim", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__optim(void) { return PyModuleDef_Init(&module_def); }
