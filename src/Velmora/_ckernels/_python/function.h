// Module-level functions with a fixed signature whose optional parameters
// have real defaults, visible as `__defaults__` (a plain C method has none).
// Calls bind their arguments with binder.h, fill the missing optional ones
// from the defaults, and pass the module and the complete argument list to
// the implementation.
#ifndef VLM_PY_FUNCTION_H
#define VLM_PY_FUNCTION_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "binder.h"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define VLM_T_PYSSIZET T_PYSSIZET
#define VLM_T_OBJECT T_OBJECT_EX
#define VLM_READONLY READONLY
#else
#define VLM_T_PYSSIZET Py_T_PYSSIZET
#define VLM_T_OBJECT Py_T_OBJECT_EX
#define VLM_READONLY Py_READONLY
#endif

namespace vlm::py {

constexpr Py_ssize_t max_function_params = 16;

// impl(module, bound): bound holds one borrowed reference per parameter.
using FunctionImpl = PyObject *(*)(PyObject * module, PyObject *const *bound);

struct FunctionDef {
    Signature sig;
    FunctionImpl impl;
    const char *doc;
};

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionDef *def;
    PyObject *module;    // the defining module, for its globals
    PyObject *defaults;  // tuple, one value per optional parameter
    PyObject *modname;   // the module's __name__
};

inline PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                                     PyObject *kwnames) {
    auto *f = reinterpret_cast<Function *>(callable);
    const Signature &sig = f->def->sig;
    PyObject *bound[max_function_params];
    if (!bind(sig, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound)) return nullptr;
    for (Py_ssize_t i = sig.required; i < sig.nparams; ++i)
        if (bound[i] == nullptr) bound[i] = PyTuple_GET_ITEM(f->defaults, i - sig.required);
    return f->def->impl(f->module, bound);
}

inline int function_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<Function *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->defaults);
    Py_VISIT(f->modname);
    return 0;
}

inline int function_clear(PyObject *self) {
    auto *f = reinterpret_cast<Function *>(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->modname);
    return 0;
}

inline void function_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyObject *function_name(PyObject *self, void *) {
    return PyUnicode_FromString(reinterpret_cast<Function *>(self)->def->sig.name);
}

inline PyObject *function_doc(PyObject *self, void *) {
    const char *doc = reinterpret_cast<Function *>(self)->def->doc;
    return doc != nullptr ? PyUnicode_FromString(doc) : Py_NewRef(Py_None);
}

// "(a, b, c=<repr>, ...)": the form inspect.signature() reads.
inline PyObject *function_text_signature(PyObject *self, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    const Signature &sig = f->def->sig;
    PyObject *text = PyUnicode_FromString("(");
    for (Py_ssize_t i = 0; text != nullptr && i < sig.nparams; ++i) {
        PyObject *part =
            i < sig.required
                ? PyUnicode_FromFormat("%s%s", i > 0 ? ", " : "", sig.params[i])
                : PyUnicode_FromFormat("%s%s=%R", i > 0 ? ", " : "", sig.params[i],
                                       PyTuple_GET_ITEM(f->defaults, i - sig.required));
        if (part == nullptr)
            Py_CLEAR(text);
        else {
            PyUnicode_Append(&text, part);
            Py_DECREF(part);
        }
    }
    if (text != nullptr) {
        PyObject *close = PyUnicode_FromString(")");
        if (close == nullptr)
            Py_CLEAR(text);
        else {
            PyUnicode_Append(&text, close);
            Py_DECREF(close);
        }
    }
    return text;
}

// Looked up on a class, the function stays a plain function (no binding),
// as built-in functions do; having __get__ also lets inspect and pydoc treat
// it as a routine.
inline PyObject *function_descr_get(PyObject *self, PyObject *, PyObject *) {
    return Py_NewRef(self);
}

inline PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %s>", reinterpret_cast<Function *>(self)->def->sig.name);
}

// Pickled by reference, as module-level functions are.
inline PyObject *function_reduce(PyObject *self, PyObject *) {
    return function_name(self, nullptr);
}

inline PyGetSetDef function_getset[] = {
    {"__name__", function_name, nullptr, nullptr, nullptr},
    {"__qualname__", function_name, nullptr, nullptr, nullptr},
    {"__doc__", function_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", function_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyMemberDef function_members[] = {
    {"__vectorcalloffset__", VLM_T_PYSSIZET, offsetof(Function, vectorcall), VLM_READONLY, nullptr},
    {"__defaults__", VLM_T_OBJECT, offsetof(Function, defaults), VLM_READONLY, nullptr},
    {"__module__", VLM_T_OBJECT, offsetof(Function, modname), VLM_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

// The type is immutable and holds no per-module data, so one per process.
inline PyObject *function_type = nullptr;

inline PyObject *get_function_type() {
    if (function_type == nullptr) {
        static PyType_Spec function_spec = {
            "Velmora._ckernels.native_function",
            sizeof(Function),
            0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
            function_slots,
        };
        function_type = PyType_FromSpec(&function_spec);
    }
    return function_type;
}

// A new function of `module` with the given defaults (a tuple with one value
// per optional parameter, referenced, not stolen).
inline PyObject *new_function(PyObject *module, const FunctionDef *def, PyObject *defaults) {
    if (def->sig.nparams > max_function_params ||
        PyTuple_GET_SIZE(defaults) != def->sig.nparams - def->sig.required) {
        PyErr_SetString(PyExc_SystemError, "function defaults do not match its signature");
        return nullptr;
    }
    PyObject *type = get_function_type();
    if (type == nullptr) return nullptr;
    PyObject *modname = PyModule_GetNameObject(module);
    if (modname == nullptr) return nullptr;
    auto *f = reinterpret_cast<Function *>(
        PyType_GenericAlloc(reinterpret_cast<PyTypeObject *>(type), 0));
    if (f == nullptr) {
        Py_DECREF(modname);
        return nullptr;
    }
    f->vectorcall = function_vectorcall;
    f->def = def;
    f->module = Py_NewRef(module);
    f->defaults = Py_NewRef(defaults);
    f->modname = modname;
    return reinterpret_cast<PyObject *>(f);
}

// Adds the function to the module under its own name.
inline int add_function(PyObject *module, const FunctionDef *def, PyObject *defaults) {
    PyObject *f = new_function(module, def, defaults);
    if (f == nullptr) return -1;
    const int rc = PyModule_AddObjectRef(module, def->sig.name, f);
    Py_DECREF(f);
    return rc;
}

}  // namespace vlm::py

#endif  // VLM_PY_FUNCTION_H
