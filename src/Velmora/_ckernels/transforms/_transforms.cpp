// Python surface of the transforms module: 63 functions, one per family and
// operation, all driven by one table of (name, parameters, scalar kernel,
// array kernel). A number goes to the scalar kernel and comes back as a
// numpy.float64; a list, tuple or ndarray goes through a C-contiguous float64
// copy (or the array itself) to the array kernel and comes back as a new array.
#include <array>
#include <cstddef>
#include <iterator>
#include <utility>

#include "binder.h"
#include "convert.h"
#include "module.h"
#include "numpy_calls.h"
#include "numpy_fast.h"
#include "transforms.h"

namespace {

using vlm::py::Ref;
using vlm::py::Signature;

// Every kernel seen through one shape: the bounds in a local array of up to
// two values, handed over by address as the kernel expects them.
using ScalarKernel = void (*)(const f64 *in, f64 *out, const f64 *bounds);
using ArrayKernel = void (*)(const f64 *in, f64 *out, i64 n, const f64 *bounds);

template <auto K, std::size_t NBounds>
void scalar_kernel(const f64 *in, f64 *out, const f64 *bounds) {
    if constexpr (NBounds == 0) K(in, out);
    if constexpr (NBounds == 1) K(in, out, &bounds[0]);
    if constexpr (NBounds == 2) K(in, out, &bounds[0], &bounds[1]);
}

template <auto K, std::size_t NBounds>
void array_kernel(const f64 *in, f64 *out, i64 n, const f64 *bounds) {
    if constexpr (NBounds == 0) K(in, out, n);
    if constexpr (NBounds == 1) K(in, out, n, &bounds[0]);
    if constexpr (NBounds == 2) K(in, out, n, &bounds[0], &bounds[1]);
}

struct Function {
    Signature sig;
    ScalarKernel scalar;
    ArrayKernel array;
};

// The main argument first, then the bounds in the order they are converted.
constexpr const char *X[] = {"x"};
constexpr const char *Y[] = {"y"};
constexpr const char *X_LOW[] = {"x", "low"};
constexpr const char *Y_LOW[] = {"y", "low"};
constexpr const char *X_HIGH[] = {"x", "high"};
constexpr const char *Y_HIGH[] = {"y", "high"};
constexpr const char *X_LOW_HIGH[] = {"x", "low", "high"};
constexpr const char *Y_LOW_HIGH[] = {"y", "low", "high"};

constexpr std::size_t MAX_PARAMS = 3;

#define VLM_FUNCTION(name, params)                                \
    Function {                                                    \
        {#name, params, std::size(params), std::size(params)},    \
            scalar_kernel<vlm_##name, std::size(params) - 1>,     \
            array_kernel<vlm_##name##_arr, std::size(params) - 1> \
    }

// clang-format off
constexpr Function FUNCTIONS[] = {
    VLM_FUNCTION(log_fwd, X),
    VLM_FUNCTION(log_inv, Y),
    VLM_FUNCTION(log_grad_fwd, X),
    VLM_FUNCTION(log_grad_inv, Y),
    VLM_FUNCTION(log_ldet_abs_jac_fwd, X),
    VLM_FUNCTION(log_ldet_abs_jac_inv, Y),
    VLM_FUNCTION(log_grad_ldet_abs_jac_inv, Y),

    VLM_FUNCTION(logit_fwd, X),
    VLM_FUNCTION(logit_inv, Y),
    VLM_FUNCTION(logit_grad_fwd, X),
    VLM_FUNCTION(logit_grad_inv, Y),
    VLM_FUNCTION(logit_ldet_abs_jac_fwd, X),
    VLM_FUNCTION(logit_ldet_abs_jac_inv, Y),
    VLM_FUNCTION(logit_grad_ldet_abs_jac_inv, Y),

    VLM_FUNCTION(probit_fwd, X),
    VLM_FUNCTION(probit_inv, Y),
    VLM_FUNCTION(probit_grad_fwd, X),
    VLM_FUNCTION(probit_grad_inv, Y),
    VLM_FUNCTION(probit_ldet_abs_jac_fwd, X),
    VLM_FUNCTION(probit_ldet_abs_jac_inv, Y),
    VLM_FUNCTION(probit_grad_ldet_abs_jac_inv, Y),

    VLM_FUNCTION(aff_logit_fwd, X_LOW_HIGH),
    VLM_FUNCTION(aff_logit_inv, Y_LOW_HIGH),
    VLM_FUNCTION(aff_logit_grad_fwd, X_LOW_HIGH),
    VLM_FUNCTION(aff_logit_grad_inv, Y_LOW_HIGH),
    VLM_FUNCTION(aff_logit_ldet_abs_jac_fwd, X_LOW_HIGH),
    VLM_FUNCTION(aff_logit_ldet_abs_jac_inv, Y_LOW_HIGH),
    VLM_FUNCTION(aff_logit_grad_ldet_abs_jac_inv, Y),

    VLM_FUNCTION(aff_probit_fwd, X_LOW_HIGH),
    VLM_FUNCTION(aff_probit_inv, Y_LOW_HIGH),
    VLM_FUNCTION(aff_probit_grad_fwd, X_LOW_HIGH),
    VLM_FUNCTION(aff_probit_grad_inv, Y_LOW_HIGH),
    VLM_FUNCTION(aff_probit_ldet_abs_jac_fwd, X_LOW_HIGH),
    VLM_FUNCTION(aff_probit_ldet_abs_jac_inv, Y_LOW_HIGH),
    VLM_FUNCTION(aff_probit_grad_ldet_abs_jac_inv, Y),

    VLM_FUNCTION(softplus_fwd, X),
    VLM_FUNCTION(softplus_inv, Y),
    VLM_FUNCTION(softplus_grad_fwd, X),
    VLM_FUNCTION(softplus_grad_inv, Y),
    VLM_FUNCTION(softplus_ldet_abs_jac_fwd, X),
    VLM_FUNCTION(softplus_ldet_abs_jac_inv, Y),
    VLM_FUNCTION(softplus_grad_ldet_abs_jac_inv, Y),

    VLM_FUNCTION(lower_fwd, X_LOW),
    VLM_FUNCTION(lower_inv, Y_LOW),
    VLM_FUNCTION(lower_grad_fwd, X_LOW),
    VLM_FUNCTION(lower_grad_inv, Y),
    VLM_FUNCTION(lower_ldet_abs_jac_fwd, X_LOW),
    VLM_FUNCTION(lower_ldet_abs_jac_inv, Y),
    VLM_FUNCTION(lower_grad_ldet_abs_jac_inv, Y),

    VLM_FUNCTION(upper_fwd, X_HIGH),
    VLM_FUNCTION(upper_inv, Y_HIGH),
    VLM_FUNCTION(upper_grad_fwd, X_HIGH),
    VLM_FUNCTION(upper_grad_inv, Y),
    VLM_FUNCTION(upper_ldet_abs_jac_fwd, X_HIGH),
    VLM_FUNCTION(upper_ldet_abs_jac_inv, Y),
    VLM_FUNCTION(upper_grad_ldet_abs_jac_inv, Y),

    VLM_FUNCTION(tanh_fwd, X),
    VLM_FUNCTION(tanh_inv, Y),
    VLM_FUNCTION(tanh_grad_fwd, X),
    VLM_FUNCTION(tanh_grad_inv, Y),
    VLM_FUNCTION(tanh_ldet_abs_jac_fwd, X),
    VLM_FUNCTION(tanh_ldet_abs_jac_inv, Y),
    VLM_FUNCTION(tanh_grad_ldet_abs_jac_inv, Y),
};
// clang-format on

constexpr std::size_t NFUNCTIONS = std::size(FUNCTIONS);
static_assert(NFUNCTIONS == 63);

// Per-process constants, set when the module is executed.
PyObject *ndarray_name = nullptr;      // "ndarray"
PyTypeObject *float64_type = nullptr;  // numpy.float64 as found at import
bool float64_is_float_layout = false;  // a float subclass that adds no fields

// numpy.float64(v) with float64 the module global. When it is still the
// float64 of import time, its instances are Python floats in memory (a
// subclass that adds no fields), so the scalar is allocated by its own type
// and the value stored, as NumPy's own scalar constructor does; that type is
// held here, so the global is only compared, not referenced. Anything else is
// called, through a reference of our own.
PyObject *make_float64(PyObject *module, f64 v) {
    if (float64_is_float_layout &&
        vlm::py::module_global_is(module, vlm::py::names.float64,
                                  reinterpret_cast<PyObject *>(float64_type))) {
        PyObject *obj = float64_type->tp_alloc(float64_type, 0);
        if (obj != nullptr) reinterpret_cast<PyFloatObject *>(obj)->ob_fval = v;
        return obj;
    }
    Ref float64 = vlm::py::module_global_ref(module, vlm::py::names.float64);
    if (!float64) return nullptr;
    Ref value(PyFloat_FromDouble(v));
    if (!value) return nullptr;
    return PyObject_CallOneArg(float64.get(), value.get());
}

// Whether the main argument takes the array path: an instance of
// np.ndarray, list or tuple, subclasses included. A float or an int (or any
// subclass of them) cannot be an ndarray, so it skips the lookup of np.
int is_array_like(PyObject *module, PyObject *obj) {
    if (PyList_Check(obj) || PyTuple_Check(obj)) return 1;
    if (PyFloat_Check(obj) || PyLong_Check(obj)) return 0;
    Ref np = vlm::py::module_global_ref(module, vlm::py::names.np);
    if (!np) return -1;
    Ref ndarray(PyObject_GetAttr(np.get(), ndarray_name));
    if (!ndarray) return -1;
    return PyObject_IsInstance(obj, ndarray.get());
}

// Whether the argument may skip the Python calls of the array path (see
// numpy_fast.h): it qualifies, and the globals np and float64 are still the
// objects bound at import, so the Python path would take it unchanged.
bool takes_shortcut(PyObject *module, PyObject *arg) {
    // Compared only (the import-time objects are held by fast_arrays); a
    // failed lookup falls to the Python path, which looks again and reports.
    using vlm::py::fast_arrays, vlm::py::module_global_is, vlm::py::names;
    return vlm::py::is_plain_float64_array(arg) &&
           module_global_is(module, names.float64, fast_arrays.float64) &&
           module_global_is(module, names.np, fast_arrays.numpy) &&
           vlm::py::fast_numpy(fast_arrays.numpy);
}

PyObject *call(const Function &fn, PyObject *module, PyObject *const *args, Py_ssize_t nargs,
               PyObject *kwnames) {
    PyObject *bound[MAX_PARAMS];
    if (!vlm::py::bind(fn.sig, args, nargs, kwnames, bound)) return nullptr;
    // Bounds first (low, then high), before the main argument is looked at.
    f64 bounds[MAX_PARAMS - 1] = {};
    for (Py_ssize_t i = 1; i < fn.sig.nparams; ++i)
        if (!vlm::py::to_double(bound[i], &bounds[i - 1])) return nullptr;

    PyObject *arg = bound[0];
    if (takes_shortcut(module, arg))
        return vlm::py::map_plain_array(
            arg, [&fn, &bounds](const f64 *xv, f64 *yv, i64 n) { fn.array(xv, yv, n, bounds); });
    const int array_like = is_array_like(module, arg);
    if (array_like < 0) return nullptr;
    if (!array_like) {
        f64 xx, yy;
        if (!vlm::py::to_double(arg, &xx)) return nullptr;
        {
            vlm::py::Lock nogil(vlm::py::Lock::released);
            fn.scalar(&xx, &yy, bounds);
        }
        return make_float64(module, yy);
    }

    Ref np = vlm::py::module_global_ref(module, vlm::py::names.np);
    if (!np) return nullptr;
    Ref float64 = vlm::py::module_global_ref(module, vlm::py::names.float64);
    if (!float64) return nullptr;
    return vlm::py::map_array(
        np.get(), float64.get(), arg,
        [&fn, &bounds](const f64 *xv, f64 *yv, i64 n) { fn.array(xv, yv, n, bounds); });
}

template <std::size_t I>
PyObject *entry(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call(FUNCTIONS[I], module, args, nargs, kwnames);
}

template <std::size_t... I>
std::array<PyMethodDef, sizeof...(I) + 1> method_table(std::index_sequence<I...>) {
    return {{{FUNCTIONS[I].sig.name, vlm::py::fastcall(entry<I>), METH_FASTCALL | METH_KEYWORDS,
              nullptr}...,
             {nullptr, nullptr, 0, nullptr}}};
}

std::array<PyMethodDef, NFUNCTIONS + 1> methods =
    method_table(std::make_index_sequence<NFUNCTIONS>{});

// Globals in order: np, float64 (= np.float64), then the 63 functions.
int exec_module(PyObject *module) {
    if (vlm::py::add_numpy_global(module) < 0) return -1;
    Ref np = vlm::py::module_global_ref(module, vlm::py::names.np);
    if (!np) return -1;
    Ref float64(PyObject_GetAttr(np.get(), vlm::py::names.float64));
    if (!float64 || PyModule_AddObjectRef(module, "float64", float64.get()) < 0) return -1;
    vlm::py::init_fast_arrays(np.get());
    if (ndarray_name == nullptr) {
        ndarray_name = PyUnicode_InternFromString("ndarray");
        if (ndarray_name == nullptr) return -1;
    }
    if (float64_type == nullptr && PyType_Check(float64.get())) {
        PyTypeObject *type = reinterpret_cast<PyTypeObject *>(float64.get());
        float64_is_float_layout = PyType_IsSubtype(type, &PyFloat_Type) &&
                                  type->tp_basicsize == PyFloat_Type.tp_basicsize &&
                                  type->tp_itemsize == 0 && type->tp_alloc != nullptr;
        float64_type = reinterpret_cast<PyTypeObject *>(Py_NewRef(type));
    }
    return PyModule_AddFunctions(module, methods.data());
}

PyModuleDef_Slot slots[] = VLM_MODULE_SLOTS(exec_module);

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_transforms", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__transforms(void) { return PyModuleDef_Init(&module_def); }
