// Python surface of the optimizer module: the four built-in objectives and
// the two minimizers run on them by name. Arguments are checked and converted
// with the interpreter lock held; the whole minimization, every objective
// evaluation included, runs with the lock released.
#include <cmath>
#include <cstring>

#include "binder.h"
#include "convert.h"
#include "function.h"
#include "module.h"
#include "nelder_mead.h"
#include "objectives.h"
#include "numpy_calls.h"
#include "optim.h"
#include "typed_args.h"
#include "unpack.h"

namespace {

using vlm::py::Ref;
using vlm::py::TypedView;

using vlm::_obj_quad;
using vlm::ObjCtx;

// The objective called `name`, or null with ValueError "unknown objective
// <repr>". The callers have already limited `name` to an exact str or None,
// for which Python equality with a name is plain string equality (names are
// case-sensitive; None equals none of them).
vlm_objective_fn _objective(PyObject *name) {
    if (PyUnicode_Check(name))
        for (const vlm::NamedObjective &o : vlm::builtin_objectives)
            if (PyUnicode_CompareWithASCIIString(name, o.name) == 0) return o.fn;
    PyErr_Format(PyExc_ValueError, "unknown objective %R", name);
    return nullptr;
}

// "quad" reads 2n parameters; refuse to start without them.
bool check_params(vlm_objective_fn obj, bool has_params, Py_ssize_t nparams, i64 n) {
    if (obj != _obj_quad) return true;
    if (!has_params) {
        PyErr_SetString(PyExc_ValueError,
                        "objective 'quad' needs params: the n weights followed by the n centre "
                        "coordinates");
        return false;
    }
    if (nparams < 2 * n) {
        PyErr_Format(PyExc_ValueError,
                     "objective 'quad' needs 2*n = %lld params (the n weights followed by the n "
                     "centre coordinates), got %zd",
                     static_cast<long long>(2 * n), nparams);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Argument conversions.

bool int_option(PyObject *obj, i64 *out) {
    long long v;
    if (!vlm::py::to_c_int(obj, &v)) return false;
    *out = v;
    return true;
}

bool real_option(PyObject *obj, f64 *out) { return vlm::py::to_double(obj, out); }

// The interned names of the np.array(x0, dtype=np.float64, copy=True) call.
struct CopyNames {
    PyObject *array = nullptr;
    PyObject *kwnames = nullptr;  // ("dtype", "copy")
};
CopyNames copy_names;

bool init_copy_names() {
    if (copy_names.kwnames != nullptr) return true;
    copy_names.array = PyUnicode_InternFromString("array");
    copy_names.kwnames = Py_BuildValue("(ss)", "dtype", "copy");
    return copy_names.array != nullptr && copy_names.kwnames != nullptr;
}

// np.array(obj, dtype=float64, copy=True): always a new array.
PyObject *copy_array(PyObject *np, PyObject *obj, PyObject *float64) {
    PyObject *stack[] = {nullptr, np, obj, float64, Py_True};
    return PyObject_VectorcallMethod(copy_names.array, stack + 1,
                                     2 | PY_VECTORCALL_ARGUMENTS_OFFSET, copy_names.kwnames);
}

// The bound arrays handed to the minimizers, zero-filled: lo, hi (f64) and
// the codes nbd (i64), one allocation of 3n values.
class BoundArrays {
public:
    BoundArrays() = default;
    BoundArrays(const BoundArrays &) = delete;
    BoundArrays &operator=(const BoundArrays &) = delete;
    ~BoundArrays() { PyMem_Free(block_); }

    bool allocate(i64 n) {
        static_assert(sizeof(f64) == sizeof(i64));
        block_ = PyMem_Calloc(static_cast<size_t>(3 * n) + 1, sizeof(f64));
        if (block_ == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        lo = static_cast<f64 *>(block_);
        hi = lo + n;
        nbd = reinterpret_cast<i64 *>(hi + n);
        return true;
    }

    f64 *lo = nullptr;
    f64 *hi = nullptr;
    i64 *nbd = nullptr;

private:
    void *block_ = nullptr;
};

// bounds[i] for i in 0..n-1, each exactly (lower, upper), None for a missing
// side. Entries past the first n are not looked at. Fewer than n entries is
// refused (IndexError naming the first missing entry).
bool parse_bounds(PyObject *bounds, i64 n, BoundArrays &b) {
    for (i64 i = 0; i < n; ++i) {
        Ref index(PyLong_FromLongLong(i));
        if (!index) return false;
        Ref entry(PyObject_GetItem(bounds, index.get()));
        if (!entry) {
            if (PyErr_ExceptionMatches(PyExc_IndexError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_IndexError,
                             "bounds has no entry %lld: one (lower, upper) pair is needed for "
                             "each of the %lld variables",
                             static_cast<long long>(i), static_cast<long long>(n));
            }
            return false;
        }
        PyObject *pair[2];
        if (!vlm::py::unpack_exact(entry.get(), 2, pair)) return false;
        Ref lb(pair[0]), ub(pair[1]);
        const bool has_lo = lb.get() != Py_None;
        const bool has_hi = ub.get() != Py_None;
        if (has_lo && !vlm::py::to_double(lb.get(), &b.lo[i])) return false;
        if (has_hi && !vlm::py::to_double(ub.get(), &b.hi[i])) return false;
        b.nbd[i] = has_lo ? (has_hi ? 2 : 1) : (has_hi ? 3 : 0);
    }
    return true;
}

// Bounds no point satisfies: a NaN side, or the lower side above the upper
// one. ValueError naming the first such entry.
bool check_bounds_order(i64 n, const BoundArrays &b) {
    for (i64 i = 0; i < n; ++i) {
        const bool lower = b.nbd[i] == 1 || b.nbd[i] == 2, upper = b.nbd[i] == 2 || b.nbd[i] == 3;
        const bool nan = (lower && std::isnan(b.lo[i])) || (upper && std::isnan(b.hi[i]));
        if (nan || (lower && upper && b.lo[i] > b.hi[i])) {
            PyErr_Format(PyExc_ValueError, "bounds[%lld] is invalid: %s", static_cast<long long>(i),
                         nan ? "a bound is NaN" : "the lower bound is above the upper bound");
            return false;
        }
    }
    return true;
}

// The result record (both minimizers share its field order) as a dict.
template <class Result>
PyObject *result_dict(PyObject *x, const Result &res) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    const char *message = res.message != nullptr ? res.message : "";
    const struct {
        const char *key;
        PyObject *value;
    } items[] = {
        {"x", Py_NewRef(x)},
        {"fun", PyFloat_FromDouble(res.fun)},
        {"nfev", PyLong_FromLongLong(res.nfev)},
        {"nit", PyLong_FromLongLong(res.nit)},
        {"success", PyBool_FromLong(res.success != 0)},
        {"status", PyLong_FromLongLong(res.status)},
        {"message",
         PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace")},
    };
    bool ok = true;
    for (const auto &item : items) {
        ok = ok && item.value != nullptr &&
             PyDict_SetItemString(dict.get(), item.key, item.value) == 0;
        Py_XDECREF(item.value);
    }
    return ok ? dict.release() : nullptr;
}

// ---------------------------------------------------------------------------
// The two functions: same steps, different options and minimizer.

enum Param : Py_ssize_t { OBJECTIVE, X0, BOUNDS, PARAMS, FIRST_OPTION };

struct Lbfgsb {
    using Options = vlm_lbfgsb_options;
    using Result = vlm_lbfgsb_result;
    // Crossed or NaN bounds come back as the invalid-input status.
    static constexpr bool refuses_invalid_bounds = false;

    static bool convert(PyObject *const *a, Options &o) {
        const Py_ssize_t k = FIRST_OPTION;
        return int_option(a[k], &o.m) && int_option(a[k + 1], &o.maxiter) &&
               int_option(a[k + 2], &o.maxfun) && int_option(a[k + 3], &o.maxls) &&
               real_option(a[k + 4], &o.factr) && real_option(a[k + 5], &o.pgtol) &&
               real_option(a[k + 6], &o.fd_step);
    }
    static i64 minimize(vlm_objective_fn obj, ObjCtx *ctx, i64 n, f64 *x, const f64 *lo,
                        const f64 *hi, const i64 *nbd, const Options *opt, Result *res) {
        return vlm_lbfgsb(obj, ctx, n, x, lo, hi, nbd, opt, res);
    }
};

struct NelderMead {
    using Options = vlm_neldermead_options;
    using Result = vlm_neldermead_result;
    static constexpr bool refuses_invalid_bounds = true;

    static bool convert(PyObject *const *a, Options &o) {
        const Py_ssize_t k = FIRST_OPTION;
        return int_option(a[k], &o.maxiter) && int_option(a[k + 1], &o.maxfun) &&
               real_option(a[k + 2], &o.xatol) && real_option(a[k + 3], &o.fatol);
    }
    static i64 minimize(vlm_objective_fn obj, ObjCtx *ctx, i64 n, f64 *x, const f64 *lo,
                        const f64 *hi, const i64 *nbd, const Options *opt, Result *res) {
        return vlm_neldermead(obj, ctx, n, x, lo, hi, nbd, opt, res);
    }
};

template <class Method>
PyObject *run(PyObject *module, PyObject *const *a) {
    // Check and convert the arguments, in parameter order.
    {
        TypedView<f64> x0v;
        if (!x0v.acquire(a[X0], /*none_allowed=*/true)) return nullptr;
    }
    typename Method::Options opt{};
    if (!Method::convert(a, opt)) return nullptr;
    if (!vlm::py::check_arg_type(a[OBJECTIVE], &PyUnicode_Type, "objective", true)) return nullptr;

    // The working copy of the start, which becomes the result's "x".
    Ref np_ref = vlm::py::module_global_ref(module, vlm::py::names.np);
    if (!np_ref) return nullptr;
    PyObject *np = np_ref.get();
    Ref float64(PyObject_GetAttr(np, vlm::py::names.float64));
    if (!float64) return nullptr;
    Ref x(copy_array(np, a[X0], float64.get()));
    if (!x) return nullptr;
    TypedView<f64> xv;
    if (!xv.acquire(x.get())) return nullptr;
    if (!xv.aligned()) {  // only when np.array has been replaced by something odd
        PyErr_SetString(PyExc_ValueError, "x0 copy is not aligned for float64");
        return nullptr;
    }
    const i64 n = xv.size();
    ObjCtx ctx{n, nullptr};

    // The caller's params, read in place when already C-contiguous float64.
    // A misaligned float64 array (raw bytes at an odd offset) is read from an
    // aligned copy instead: the objective reads aligned doubles.
    const bool has_params = a[PARAMS] != Py_None;
    TypedView<f64> pv, aligned_pv;
    if (has_params) {
        Ref parr(vlm::py::ascontiguousarray(np, a[PARAMS], float64.get()));
        if (!parr || !pv.acquire(parr.get())) return nullptr;
        ctx.p = pv.data();
        if (!pv.aligned()) {
            Ref copy(copy_array(np, parr.get(), float64.get()));
            if (!copy || !aligned_pv.acquire(copy.get())) return nullptr;
            if (!aligned_pv.aligned() || aligned_pv.size() != pv.size()) {
                PyErr_SetString(PyExc_ValueError, "params copy is not aligned for float64");
                return nullptr;
            }
            ctx.p = aligned_pv.data();
        }
    }

    BoundArrays b;
    if (!b.allocate(n)) return nullptr;
    const bool has_bounds = a[BOUNDS] != Py_None;
    if (has_bounds && !parse_bounds(a[BOUNDS], n, b)) return nullptr;
    if (Method::refuses_invalid_bounds && has_bounds && !check_bounds_order(n, b)) return nullptr;

    const vlm_objective_fn obj = _objective(a[OBJECTIVE]);
    if (obj == nullptr || !check_params(obj, has_params, pv.size(), n)) return nullptr;

    typename Method::Result res{};
    {
        vlm::py::Lock nogil(vlm::py::Lock::released);
        Method::minimize(obj, &ctx, n, xv.data(), b.lo, b.hi, has_bounds ? b.nbd : nullptr, &opt,
                         &res);
    }
    return result_dict(x.get(), res);
}

constexpr const char *LBFGSB_PARAMS[] = {"objective", "x0",      "bounds", "params",
                                         "m",         "maxiter", "maxfun", "maxls",
                                         "factr",     "pgtol",   "fd_step"};
constexpr const char *NELDERMEAD_PARAMS[] = {"objective", "x0",     "bounds", "params",
                                             "maxiter",   "maxfun", "xatol",  "fatol"};

const vlm::py::FunctionDef run_lbfgsb_def = {
    {"run_lbfgsb", LBFGSB_PARAMS, 11, 2},
    run<Lbfgsb>,
    "Minimize a built-in objective with bound-constrained L-BFGS-B and\n"
    "forward-difference gradients.\n\n"
    "objective: \"rosenbrock\", \"quad\", \"double_well\" or \"rosen_halfplane\".\n"
    "x0: C-contiguous, writable, one-dimensional float64 array (not modified).\n"
    "bounds: None, or one (lower, upper) pair per variable, None for a missing side.\n"
    "params: for \"quad\" only, at least 2*n values: the n weights, then the\n"
    "    n centre coordinates.\n"
    "m: correction pairs kept. maxiter, maxfun: iteration and evaluation limits\n"
    "    (<= 0: none). maxls: evaluations per line search. factr: relative\n"
    "    reduction tolerance in units of machine epsilon. pgtol: projected-gradient\n"
    "    tolerance. fd_step: > 0 an absolute difference step, else a relative one.\n\n"
    "Returns a dict mirroring the native result record: x (new array, the final\n"
    "point), fun, nfev, nit, success, status (4 converged, 5 limit reached,\n"
    "7 invalid input (also crossed or NaN bounds, or a difference step that\n"
    "cannot move x), 8 line search failed, -2 objective -inf (unbounded below),\n"
    "-3 gradient not formed at the final point) and message.",
};

const vlm::py::FunctionDef run_neldermead_def = {
    {"run_neldermead", NELDERMEAD_PARAMS, 8, 2},
    run<NelderMead>,
    "Minimize a built-in objective with the Nelder-Mead simplex method; trial\n"
    "points are clipped into the bounds.\n\n"
    "objective: \"rosenbrock\", \"quad\", \"double_well\" or \"rosen_halfplane\".\n"
    "x0: C-contiguous, writable, one-dimensional float64 array (not modified).\n"
    "bounds: None, or one (lower, upper) pair per variable, None for a missing side;\n"
    "    a NaN bound or a lower bound above the upper one raises ValueError.\n"
    "params: for \"quad\" only, at least 2*n values: the n weights, then the\n"
    "    n centre coordinates.\n"
    "maxiter, maxfun: iteration and evaluation limits; 0 (or less) means 200*n.\n"
    "xatol, fatol: absolute tolerances on the spread of the vertices and of\n"
    "    their values; both must be met.\n\n"
    "Returns a dict mirroring the native result record: x (new array, the best\n"
    "vertex), fun, nfev, nit, success, status (0 converged, 1 evaluation limit,\n"
    "2 iteration limit, -2 empty x0) and message.",
};

int exec_module(PyObject *module) {
    if (vlm::py::add_numpy_global(module) < 0 || !init_copy_names()) return -1;
    Ref lbfgsb_defaults(
        Py_BuildValue("(OOiiiiddd)", Py_None, Py_None, 10, 15000, 15000, 20, 1e7, 1e-5, 0.0));
    Ref neldermead_defaults(Py_BuildValue("(OOiidd)", Py_None, Py_None, 0, 0, 1e-4, 1e-4));
    if (!lbfgsb_defaults || !neldermead_defaults) return -1;
    if (vlm::py::add_function(module, &run_lbfgsb_def, lbfgsb_defaults.get()) < 0) return -1;
    return vlm::py::add_function(module, &run_neldermead_def, neldermead_defaults.get());
}

PyModuleDef_Slot slots[] = VLM_MODULE_SLOTS(exec_module);

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_optim",
    "Native minimizers over synthetic benchmark objectives.\n"
    "\n"
    "``run_lbfgsb`` (bound-constrained L-BFGS-B with forward-difference\n"
    "gradients) and ``run_neldermead`` (Nelder-Mead simplex) minimize one of\n"
    "four built-in objectives chosen by name: \"rosenbrock\" (the Rosenbrock\n"
    "valley), \"quad\" (an ill-conditioned diagonal quadratic whose weights and\n"
    "centre come from ``params``), \"double_well\" (a separable double well)\n"
    "and \"rosen_halfplane\" (Rosenbrock, +inf where x[0] < 0). The whole run is\n"
    "native and releases the interpreter lock; the result is a dict mirroring\n"
    "the native result record.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__optim(void) { return PyModuleDef_Init(&module_def); }
