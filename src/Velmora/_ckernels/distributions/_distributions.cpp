// Python surface of the normal quantile: argument marshalling around the
// three AS 241 kernels, nothing more.
#include "as241.h"
#include "binder.h"
#include "convert.h"
#include "module.h"
#include "numpy_calls.h"
#include "numpy_fast.h"

namespace {

using vlm::py::Signature;

constexpr const char *P_PARAM[] = {"p"};
constexpr const char *Y_PARAM[] = {"y"};
constexpr Signature NDTRI_SIG{"ndtri_as241", P_PARAM, 1, 1};
constexpr Signature ERFINV_SIG{"erfinv_from_as241", Y_PARAM, 1, 1};
constexpr Signature NDTRI_INTO_SIG{"ndtri_as241_into", P_PARAM, 1, 1};

// f(double) -> Python float, with the lock released around the kernel.
PyObject *call_scalar(const Signature &sig, f64 (*kernel)(f64), PyObject *const *args,
                      Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *arg;
    if (!vlm::py::bind(sig, args, nargs, kwnames, &arg)) return nullptr;
    double x;
    if (!vlm::py::to_double(arg, &x)) return nullptr;
    double y;
    {
        vlm::py::Lock nogil(vlm::py::Lock::released);
        y = kernel(x);
    }
    return PyFloat_FromDouble(y);
}

PyObject *ndtri_as241(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call_scalar(NDTRI_SIG, vlm_ndtri_as241, args, nargs, kwnames);
}

PyObject *erfinv_from_as241(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames) {
    return call_scalar(ERFINV_SIG, vlm_erfinv_from_as241, args, nargs, kwnames);
}

PyObject *ndtri_as241_into(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) {
    PyObject *p;
    if (!vlm::py::bind(NDTRI_INTO_SIG, args, nargs, kwnames, &p)) return nullptr;
    auto kernel = [](const f64 *x, f64 *y, i64 n) { vlm_ndtri_as241_into(x, n, y); };
    // np.float64 is np's own float64 when np is still NumPy (see numpy_fast.h).
    if (vlm::py::is_plain_float64_array(p) &&
        vlm::py::module_global_is(module, vlm::py::names.np, vlm::py::fast_arrays.numpy) &&
        vlm::py::fast_numpy(vlm::py::fast_arrays.numpy))
        return vlm::py::map_plain_array(p, kernel);
    vlm::py::Ref np = vlm::py::module_global_ref(module, vlm::py::names.np);
    if (!np) return nullptr;
    vlm::py::Ref float64(PyObject_GetAttr(np.get(), vlm::py::names.float64));
    if (!float64) return nullptr;
    return vlm::py::map_array(np.get(), float64.get(), p, kernel);
}

PyMethodDef methods[] = {
    {"ndtri_as241", vlm::py::fastcall(ndtri_as241), METH_FASTCALL | METH_KEYWORDS,
     "Inverse standard-normal CDF (probit). ``-inf`` at 0, ``+inf`` at 1."},
    {"erfinv_from_as241", vlm::py::fastcall(erfinv_from_as241), METH_FASTCALL | METH_KEYWORDS,
     "Inverse error function, ``erfinv(y) = ndtri(0.5*(y+1)/sqrt(2))``."},
    {"ndtri_as241_into", vlm::py::fastcall(ndtri_as241_into), METH_FASTCALL | METH_KEYWORDS,
     "Elementwise ndtri; returns a new float64 array shaped like ``p``."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject *module) {
    if (vlm::py::add_numpy_global(module) < 0) return -1;
    vlm::py::Ref np = vlm::py::module_global_ref(module, vlm::py::names.np);
    if (!np) return -1;
    vlm::py::init_fast_arrays(np.get());
    return PyModule_AddFunctions(module, methods);
}

PyModuleDef_Slot slots[] = VLM_MODULE_SLOTS(exec_module);

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_distributions",
    "Thin argument marshalling over the native normal-quantile kernels.\n"
    "\n"
    "``ndtri_as241`` and ``erfinv_from_as241`` are the scalar primitives, both\n"
    "computed by Wichura's AS 241 (PPND16); ``ndtri_as241_into`` makes a\n"
    "C-contiguous float64 array of its argument and returns a new array shaped\n"
    "like the input. The NumPy types of the three functions are stated in the\n"
    "package's type stub.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__distributions(void) { return PyModuleDef_Init(&module_def); }
