// Module definition pieces shared by the extension modules.
#ifndef VLM_PY_MODULE_H
#define VLM_PY_MODULE_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The modules keep no state, so they run without the GIL on free-threaded
// interpreters: the per-process caches (numpy_calls.h, numpy_fast.h) are
// written only while a module is executed, under the import system's lock
// for that module, and only read afterwards. The same caches rule out
// several interpreters in one process.
#if PY_VERSION_HEX >= 0x030D0000
#define VLM_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define VLM_GIL_SLOT
#endif
#if PY_VERSION_HEX >= 0x030C0000
#define VLM_INTERPRETERS_SLOT \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define VLM_INTERPRETERS_SLOT
#endif

// The slot list of a module whose namespace is built by `exec`.
#define VLM_MODULE_SLOTS(exec)                                                              \
    {                                                                                       \
        {Py_mod_exec, reinterpret_cast<void *>(exec)}, VLM_GIL_SLOT VLM_INTERPRETERS_SLOT { \
            0, nullptr                                                                      \
        }                                                                                   \
    }

namespace vlm::py {

// The two signatures of METH_FASTCALL functions: without and with
// METH_KEYWORDS.
using FastFunction = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t);
using FastKeywordsFunction = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

// A fast-call function in the PyCFunction slot of a PyMethodDef, whose flags
// tell the interpreter its real signature. The cast goes through a plain
// function pointer, the one conversion between function types that compilers
// accept without a warning; only the two fast-call signatures are taken.
inline PyCFunction fastcall(FastFunction fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}
inline PyCFunction fastcall(FastKeywordsFunction fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace vlm::py

#endif  // VLM_PY_MODULE_H
