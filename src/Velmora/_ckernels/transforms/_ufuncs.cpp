// The 63 transforms as NumPy ufuncs, and the native side of ParameterMap.
//
// Each ufunc has one loop, float64 values and bounds to float64; NumPy's
// machinery brings broadcasting, casting, out=, where= and the ufunc
// protocol that Dask and xarray dispatch on. Inside the loop, contiguous
// input with scalar bounds runs the row's exported array kernel (the values
// of the _transforms function, bit for bit); any other layout runs the row's
// strided loop over the same formulas (transform_loops.h).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <array>
#include <cfenv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <type_traits>
#include <utility>

#include "convert.h"
#include "module.h"
#include "numpy_api.h"
#include "numpy_calls.h"
#include "parameter_map.h"
#include "transform_loops.h"
#include "transforms.h"
#include "vlm_vecmath.h"

static_assert(std::is_same_v<npy_intp, std::ptrdiff_t>, "NumPy's strides are the loops' steps");

// clang-format off
// (family, op, number of bounds, the value written), in the order of the
// _transforms module. Bounds are named low and high as in their functions.
#define VLM_UFUNC_ROWS(X) \
    X(log, fwd,                   0, "log(x)") \
    X(log, inv,                   0, "exp(y)") \
    X(log, grad_fwd,              0, "1 / x") \
    X(log, grad_inv,              0, "exp(y)") \
    X(log, ldet_abs_jac_fwd,      0, "-log(x)") \
    X(log, ldet_abs_jac_inv,      0, "y") \
    X(log, grad_ldet_abs_jac_inv, 0, "1") \
    X(logit, fwd,                   0, "log(x / (1 - x))") \
    X(logit, inv,                   0, "1 / (1 + exp(-y))") \
    X(logit, grad_fwd,              0, "1 / ((1 - x) x)") \
    X(logit, grad_inv,              0, "(1 - p) p, where p = 1 / (1 + exp(-y))") \
    X(logit, ldet_abs_jac_fwd,      0, "-(log(x) + log(1 - x))") \
    X(logit, ldet_abs_jac_inv,      0, "-y - 2 log(1 + exp(-y))") \
    X(logit, grad_ldet_abs_jac_inv, 0, "1 - 2 / (1 + exp(-y))") \
    X(probit, fwd,                   0, "Phi^-1(x)") \
    X(probit, inv,                   0, "Phi(y) = erfc(-y / sqrt(2)) / 2") \
    X(probit, grad_fwd,              0, "1 / phi(Phi^-1(x))") \
    X(probit, grad_inv,              0, "phi(y)") \
    X(probit, ldet_abs_jac_fwd,      0, "-log(phi(Phi^-1(x)))") \
    X(probit, ldet_abs_jac_inv,      0, "log(phi(y))") \
    X(probit, grad_ldet_abs_jac_inv, 0, "-y") \
    X(aff_logit, fwd,                   2, "log(z / (1 - z))") \
    X(aff_logit, inv,                   2, "low + (high - low) / (1 + exp(-y))") \
    X(aff_logit, grad_fwd,              2, "1 / ((1 - z) z (high - low))") \
    X(aff_logit, grad_inv,              2, "(high - low) (1 - p) p, where p = 1 / (1 + exp(-y))") \
    X(aff_logit, ldet_abs_jac_fwd,      2, "-(log(z) + log(1 - z)) - log(high - low)") \
    X(aff_logit, ldet_abs_jac_inv,      2, "-y - 2 log(1 + exp(-y)) + log(high - low)") \
    X(aff_logit, grad_ldet_abs_jac_inv, 0, "1 - 2 / (1 + exp(-y))") \
    X(aff_probit, fwd,                   2, "Phi^-1(z)") \
    X(aff_probit, inv,                   2, "low + (high - low) Phi(y)") \
    X(aff_probit, grad_fwd,              2, "1 / (phi(Phi^-1(z)) (high - low))") \
    X(aff_probit, grad_inv,              2, "(high - low) phi(y)") \
    X(aff_probit, ldet_abs_jac_fwd,      2, "-log(phi(Phi^-1(z))) - log(high - low)") \
    X(aff_probit, ldet_abs_jac_inv,      2, "log(phi(y)) + log(high - low)") \
    X(aff_probit, grad_ldet_abs_jac_inv, 0, "-y") \
    X(softplus, fwd,                   0, "log(expm1(x))") \
    X(softplus, inv,                   0, "log(1 + exp(y)), evaluated without overflow") \
    X(softplus, grad_fwd,              0, "1 / expm1(x) + 1") \
    X(softplus, grad_inv,              0, "1 / (1 + exp(-y))") \
    X(softplus, ldet_abs_jac_fwd,      0, "x - log(expm1(x))") \
    X(softplus, ldet_abs_jac_inv,      0, "-log(1 + exp(-y)), evaluated without overflow") \
    X(softplus, grad_ldet_abs_jac_inv, 0, "1 - 1 / (1 + exp(-y))") \
    X(lower, fwd,                   1, "log(x - low)") \
    X(lower, inv,                   1, "low + exp(y)") \
    X(lower, grad_fwd,              1, "1 / (x - low)") \
    X(lower, grad_inv,              0, "exp(y)") \
    X(lower, ldet_abs_jac_fwd,      1, "-log(x - low)") \
    X(lower, ldet_abs_jac_inv,      0, "y") \
    X(lower, grad_ldet_abs_jac_inv, 0, "1") \
    X(upper, fwd,                   1, "log(high - x)") \
    X(upper, inv,                   1, "high - exp(y)") \
    X(upper, grad_fwd,              1, "-1 / (high - x)") \
    X(upper, grad_inv,              0, "-exp(y)") \
    X(upper, ldet_abs_jac_fwd,      1, "-log(high - x)") \
    X(upper, ldet_abs_jac_inv,      0, "y") \
    X(upper, grad_ldet_abs_jac_inv, 0, "1") \
    X(tanh, fwd,                   0, "atanh(x)") \
    X(tanh, inv,                   0, "tanh(y)") \
    X(tanh, grad_fwd,              0, "1 / ((1 - x) (1 + x))") \
    X(tanh, grad_inv,              0, "1 / cosh(y)^2") \
    X(tanh, ldet_abs_jac_fwd,      0, "-log((1 - x) (1 + x))") \
    X(tanh, ldet_abs_jac_inv,      0, "log(1 / cosh(y)^2), evaluated without overflow") \
    X(tanh, grad_ldet_abs_jac_inv, 0, "-2 tanh(y)")
// clang-format on

#define VLM_DECLARE_ROW_LOOP(family, op, nbounds, formula) VLM_DECLARE_TRANSFORM_LOOP(family, op)
VLM_UFUNC_ROWS(VLM_DECLARE_ROW_LOOP)

namespace {

using vlm::py::array_data;

constexpr std::ptrdiff_t F64 = sizeof(f64);

// ---- the ufuncs -----------------------------------------------------------------

// Every exported array kernel seen through one shape: the bounds in a small
// array, handed over by address as the kernel expects them.
using ArrayKernel = void (*)(const f64 *in, f64 *out, i64 n, const f64 *bounds);

template <auto K, int NBounds>
void array_kernel(const f64 *in, f64 *out, i64 n, const f64 *bounds) {
    if constexpr (NBounds == 0) K(in, out, n);
    if constexpr (NBounds == 1) K(in, out, n, &bounds[0]);
    if constexpr (NBounds == 2) K(in, out, n, &bounds[0], &bounds[1]);
}

struct Row {
    const char *name;
    const char *family;
    const char *op;
    int nbounds;
    const char *formula;
    ArrayKernel array;
    vlm_transform_loop *loop;
};

#define VLM_ROW(family, op, nbounds, formula)             \
    Row{#family "_" #op,                                  \
        #family,                                          \
        #op,                                              \
        nbounds,                                          \
        formula,                                          \
        array_kernel<vlm_##family##_##op##_arr, nbounds>, \
        vlm_##family##_##op##_loop},

constexpr Row ROWS[] = {VLM_UFUNC_ROWS(VLM_ROW)};
constexpr std::size_t NROWS = std::size(ROWS);
static_assert(NROWS == 63);

bool aligned(const char *p) { return reinterpret_cast<std::uintptr_t>(p) % alignof(f64) == 0; }

bool disjoint(const char *a, const char *b, std::ptrdiff_t bytes) {
    const auto pa = reinterpret_cast<std::uintptr_t>(a), pb = reinterpret_cast<std::uintptr_t>(b);
    const auto size = static_cast<std::uintptr_t>(bytes);
    return pa + size <= pb || pb + size <= pa;
}

// NumPy reads the floating-point exception flags after a loop and warns for
// those it finds. The transforms give IEEE values outside their domains
// without a warning, as the _transforms functions do, and their vector code
// raises flags of its own (the branch-free quantile evaluates every region),
// so a loop leaves the flags as it found them.
class KeepFpFlags {
public:
    KeepFpFlags() { std::fegetexceptflag(&saved_, FE_ALL_EXCEPT); }
    ~KeepFpFlags() { std::fesetexceptflag(&saved_, FE_ALL_EXCEPT); }
    KeepFpFlags(const KeepFpFlags &) = delete;
    KeepFpFlags &operator=(const KeepFpFlags &) = delete;

private:
    std::fexcept_t saved_;
};

constexpr std::ptrdiff_t KERNEL_BLOCK = 256;

// The one inner loop of every ufunc; `data` is its Row. NumPy releases the
// interpreter lock around it.
void ufunc_loop(char **args, const npy_intp *dims, const npy_intp *steps, void *data) {
    const Row &row = *static_cast<const Row *>(data);
    const std::ptrdiff_t n = dims[0];
    if (n <= 0) return;
    KeepFpFlags keep_flags;
    char *out = args[row.nbounds + 1];
    const std::ptrdiff_t out_step = steps[row.nbounds + 1];
    bool scalar_bounds = true;
    for (int k = 1; k <= row.nbounds; ++k) scalar_bounds &= steps[k] == 0;
    if (!(scalar_bounds && steps[0] == F64 && aligned(args[0]))) {
        row.loop(args, steps, n);
        return;
    }
    f64 bounds[2] = {};
    for (int k = 1; k <= row.nbounds; ++k) std::memcpy(&bounds[k - 1], args[k], sizeof(f64));
    const auto *in = reinterpret_cast<const f64 *>(args[0]);
    if (out_step == F64 && aligned(out) && disjoint(args[0], out, n * F64)) {
        row.array(in, reinterpret_cast<f64 *>(out), n, bounds);
        return;
    }
    // A strided output, or the input's own memory: the kernel writes a block
    // on the stack, which is then stored. No block but a whole short array
    // is shorter than a vector: the kernel computes such a block with scalar
    // code, whose last bits may differ from the vector code's.
    f64 block[KERNEL_BLOCK];
    std::ptrdiff_t count;
    for (std::ptrdiff_t first = 0; first < n; first += count) {
        const std::ptrdiff_t rest = n - first;
        count = rest <= KERNEL_BLOCK                     ? rest
                : rest - KERNEL_BLOCK < VLM_VECTOR_LANES ? rest - VLM_VECTOR_LANES
                                                         : KERNEL_BLOCK;
        row.array(in + first, block, count, bounds);
        if (out_step == F64) {
            std::memcpy(out + first * F64, block, static_cast<size_t>(count) * sizeof(f64));
        } else {
            for (std::ptrdiff_t j = 0; j < count; ++j)
                std::memcpy(out + (first + j) * out_step, &block[j], sizeof(f64));
        }
    }
}

// ---- docstrings -----------------------------------------------------------------

struct FamilyDoc {
    const char *family;
    const char *title;
    const char *domain;
    const char *map;
};

constexpr FamilyDoc FAMILY_DOCS[] = {
    {"log", "Log transform", "x > 0", "y = log(x)"},
    {"logit", "Logit transform", "0 < x < 1", "y = log(x / (1 - x))"},
    {"probit", "Probit transform", "0 < x < 1",
     "y = Phi^-1(x), the standard normal quantile (Wichura's AS 241); Phi is the standard\n"
     "normal distribution function and phi(z) = exp(-z^2 / 2) / sqrt(2 pi) its density"},
    {"aff_logit", "Logit transform of the interval (low, high)", "low < x < high",
     "y = logit(z) = log(z / (1 - z)), where z = (x - low) / (high - low)"},
    {"aff_probit", "Probit transform of the interval (low, high)", "low < x < high",
     "y = Phi^-1(z), where z = (x - low) / (high - low), Phi is the standard normal\n"
     "distribution function and phi(t) = exp(-t^2 / 2) / sqrt(2 pi) its density"},
    {"softplus", "Softplus transform", "x > 0", "y = log(exp(x) - 1), so that x = log(1 + exp(y))"},
    {"lower", "Lower-bound transform", "x > low", "y = log(x - low)"},
    {"upper", "Upper-bound transform", "x < high", "y = log(high - x)"},
    {"tanh", "Tanh transform", "-1 < x < 1", "y = atanh(x)"},
};

struct OpDoc {
    const char *op;
    const char *what;    // what the value is
    const char *result;  // its name in the formula
};

constexpr OpDoc OP_DOCS[] = {
    {"fwd", "the unconstrained value of x", "y"},
    {"inv", "the constrained value of y", "x"},
    {"grad_fwd", "the derivative of the forward map", "dy/dx"},
    {"grad_inv", "the derivative of the inverse map", "dx/dy"},
    {"ldet_abs_jac_fwd", "the log-Jacobian of the forward map", "log|dy/dx|"},
    {"ldet_abs_jac_inv",
     "the log-Jacobian of the inverse map, the term a density needs on y:\n"
     "log p_y(y) = log p_x(x) + log|dx/dy|",
     "log|dx/dy|"},
    {"grad_ldet_abs_jac_inv", "the derivative of the inverse log-Jacobian", "d/dy log|dx/dy|"},
};

const FamilyDoc &family_doc(const char *family) {
    for (const auto &doc : FAMILY_DOCS)
        if (std::strcmp(doc.family, family) == 0) return doc;
    return FAMILY_DOCS[0];  // unreachable: every row names a listed family
}

const OpDoc &op_doc(const char *op) {
    for (const auto &doc : OP_DOCS)
        if (std::strcmp(doc.op, op) == 0) return doc;
    return OP_DOCS[0];  // unreachable: every row names a listed operation
}

std::string make_doc(const Row &row) {
    const FamilyDoc &fam = family_doc(row.family);
    const OpDoc &op = op_doc(row.op);
    const bool forward = std::strstr(row.op, "fwd") != nullptr;
    std::string d;
    d += std::string(fam.title) + ": " + op.what + ".\n\n";
    d += std::string("    ") + op.result + " = " + row.formula + "\n\n";
    d += std::string("The transform maps ") + fam.domain + " onto the real line:\n" + fam.map +
         ".\n\n";
    d += "Parameters\n----------\n";
    d += "The inputs are positional (x1, x2, ... above), in this order.\n";
    if (forward)
        d += std::string("x : array_like\n    The constrained value, ") + fam.domain + ".\n";
    else
        d += "y : array_like\n    The unconstrained value, any real.\n";
    if (row.nbounds > 0 && std::strcmp(row.family, "upper") != 0)
        d += "low : array_like\n    The lower bound, broadcast against the value.\n";
    if (row.nbounds > 0 && std::strcmp(row.family, "lower") != 0)
        d += "high : array_like\n    The upper bound, broadcast against the value.\n";
    d += "out, where, casting, order, dtype, subok, signature\n    As for every NumPy ufunc.\n\n";
    d += "Returns\n-------\n";
    d += std::string(forward ? "y" : "x") + " : ndarray or numpy.float64\n";
    d += std::string("    ") + op.result +
         " in float64; a NumPy scalar when every input is one.\n\n";
    d += "Notes\n-----\n";
    d += "Outside the domain the value is what the formula gives in IEEE arithmetic\n"
         "(NaN or an infinity), without a warning. Contiguous float64 input with scalar\n"
         "bounds gives exactly the values of the function of the same name in\n"
         "Velmora._ckernels.transforms._transforms; other layouts evaluate the same\n"
         "formula element by element, within a few units in the last place of it.\n";
    return d;
}

// Built once per process: the ufuncs keep pointers to them.
const std::array<std::string, NROWS> &docs() {
    static const std::array<std::string, NROWS> table = [] {
        std::array<std::string, NROWS> t;
        for (std::size_t i = 0; i < NROWS; ++i) t[i] = make_doc(ROWS[i]);
        return t;
    }();
    return table;
}

// NumPy keeps pointers to these: static storage, one entry per row, set
// before the module runs (so a second import writes nothing).
template <std::size_t... I>
constexpr std::array<PyUFuncGenericFunction, NROWS> loop_table(std::index_sequence<I...>) {
    return {((void)I, ufunc_loop)...};
}
template <std::size_t... I>
constexpr std::array<void *, NROWS> loop_data_table(std::index_sequence<I...>) {
    return {const_cast<Row *>(&ROWS[I])...};
}
std::array<PyUFuncGenericFunction, NROWS> LOOPS = loop_table(std::make_index_sequence<NROWS>{});
std::array<void *, NROWS> LOOP_DATA = loop_data_table(std::make_index_sequence<NROWS>{});
constexpr char TYPES[] = {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE};

int add_ufuncs(PyObject *module) {
    const auto &doc = docs();
    vlm::py::Ref all(PyList_New(0));
    if (!all) return -1;
    for (std::size_t i = 0; i < NROWS; ++i) {
        vlm::py::Ref ufunc(PyUFunc_FromFuncAndData(&LOOPS[i], &LOOP_DATA[i], TYPES, 1,
                                                   ROWS[i].nbounds + 1, 1, PyUFunc_None,
                                                   ROWS[i].name, doc[i].c_str(), 0));
        if (!ufunc || PyModule_AddObjectRef(module, ROWS[i].name, ufunc.get()) < 0) return -1;
        vlm::py::Ref name(PyUnicode_FromString(ROWS[i].name));
        if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
    }
    return PyModule_AddObjectRef(module, "__all__", all.get());
}

// ---- ParameterPlan: the native side of ParameterMap -----------------------------

struct PlanObject {
    PyObject_HEAD vlm::ParamPlan plan;
    void *storage;  // plan.order, plan.low, plan.high
};

vlm::ParamPlan &plan_of(PyObject *self) { return reinterpret_cast<PlanObject *>(self)->plan; }

// `obj` as a C-contiguous float64 array, or nullptr with an exception set.
// NumPy converts it as it is (its own errors reach the caller) and then to
// float64 if that is a cast within the kind: integers, bools and floats of
// any size. Complex, object, string and time values are a TypeError, not
// silently cut to a real number or parsed.
PyArrayObject *as_float64(PyObject *obj, const char *method, const char *what) {
    vlm::py::Ref arr(PyArray_FromAny(obj, nullptr, 0, 0, NPY_ARRAY_ENSUREARRAY, nullptr));
    if (!arr) return nullptr;
    PyArray_Descr *from = PyArray_DESCR(reinterpret_cast<PyArrayObject *>(arr.get()));
    PyArray_Descr *f8 = PyArray_DescrFromType(NPY_DOUBLE);
    if (!PyArray_CanCastTypeTo(from, f8, NPY_SAME_KIND_CASTING)) {
        Py_DECREF(f8);
        PyErr_Format(PyExc_TypeError, "%s: %s must hold real numbers, got an array of %R", method,
                     what, reinterpret_cast<PyObject *>(from));
        return nullptr;
    }
    // Steals f8.
    return reinterpret_cast<PyArrayObject *>(
        PyArray_FromArray(reinterpret_cast<PyArrayObject *>(arr.get()), f8,
                          NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
}

// `obj` as rows of n values along its last axis; ValueError naming `method`
// and `what` for any other shape.
PyArrayObject *as_rows(PyObject *obj, i64 n, const char *method, const char *what, i64 *rows) {
    PyArrayObject *arr = as_float64(obj, method, what);
    if (arr == nullptr) return nullptr;
    const int ndim = PyArray_NDIM(arr);
    if (ndim == 0 || PyArray_DIM(arr, ndim - 1) != n) {
        vlm::py::Ref shape(PyObject_GetAttrString(reinterpret_cast<PyObject *>(arr), "shape"));
        Py_DECREF(arr);
        if (!shape) return nullptr;
        PyErr_Format(PyExc_ValueError,
                     "%s: %s must have %lld values along its last axis, got shape %R", method, what,
                     static_cast<long long>(n), shape.get());
        return nullptr;
    }
    i64 r = 1;
    for (int k = 0; k < ndim - 1; ++k) r *= PyArray_DIM(arr, k);
    *rows = r;
    return arr;
}

// Work space of n doubles: on the stack for short vectors.
class Work {
public:
    explicit Work(i64 n) {
        if (n > static_cast<i64>(std::size(local_))) {
            heap_ = static_cast<f64 *>(PyMem_RawMalloc(static_cast<size_t>(n) * sizeof(f64)));
            if (heap_ == nullptr) PyErr_NoMemory();
        }
    }
    ~Work() { PyMem_RawFree(heap_); }
    Work(const Work &) = delete;
    Work &operator=(const Work &) = delete;
    bool ok(i64 n) const { return heap_ != nullptr || n <= static_cast<i64>(std::size(local_)); }
    f64 *get() { return heap_ != nullptr ? heap_ : local_; }

private:
    f64 local_[64];
    f64 *heap_ = nullptr;
};

// A parameter map's work on `elements` values gives up the interpreter lock
// only when it lasts long enough to be worth handing the lock to other
// threads (run_lock.h): a map of a few parameters, called once per objective
// evaluation, keeps it.
constexpr i64 kReleaseFrom = 4096;
vlm::py::Lock::Start lock_for(i64 elements) {
    return elements >= kReleaseFrom ? vlm::py::Lock::released : vlm::py::Lock::held;
}

// One method of the plan: the values for a vector (or for rows of vectors).
template <vlm::MapOp Op>
PyObject *plan_method(PyObject *self, PyObject *arg) {
    static constexpr const char *NAMES[] = {"to_unconstrained", "to_constrained",
                                            "constrained_grad", "log_abs_det_jacobian",
                                            "log_abs_det_jacobian_grad"};
    const char *method = NAMES[static_cast<int>(Op)];
    const vlm::ParamPlan &plan = plan_of(self);
    i64 rows = 0;
    const char *what = Op == vlm::MapOp::to_unconstrained ? "x" : "y";
    PyArrayObject *in = as_rows(arg, plan.n, method, what, &rows);
    if (in == nullptr) return nullptr;
    vlm::py::Ref in_ref(reinterpret_cast<PyObject *>(in));
    constexpr bool summed = Op == vlm::MapOp::log_abs_det_jacobian;
    // The log-Jacobian of one vector is a number; of rows, one per row.
    const int out_ndim = summed ? PyArray_NDIM(in) - 1 : PyArray_NDIM(in);
    vlm::py::Ref out(PyArray_SimpleNew(out_ndim, PyArray_DIMS(in), NPY_DOUBLE));
    if (!out) return nullptr;
    Work work(plan.n);
    if (!work.ok(plan.n)) return nullptr;
    {
        vlm::py::Lock nogil(lock_for(rows * plan.n));
        vlm::param_plan_apply(plan, Op, array_data<f64>(in_ref.get()), array_data<f64>(out.get()),
                              rows, work.get());
    }
    if (summed && out_ndim == 0) return PyFloat_FromDouble(*array_data<f64>(out.get()));
    return out.release();
}

PyObject *plan_pullback(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "pullback() takes exactly 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    const vlm::ParamPlan &plan = plan_of(self);
    i64 rows_y = 0, rows_g = 0;
    PyArrayObject *y = as_rows(args[0], plan.n, "pullback", "y", &rows_y);
    if (y == nullptr) return nullptr;
    vlm::py::Ref y_ref(reinterpret_cast<PyObject *>(y));
    PyArrayObject *g = as_rows(args[1], plan.n, "pullback", "grad_x", &rows_g);
    if (g == nullptr) return nullptr;
    vlm::py::Ref g_ref(reinterpret_cast<PyObject *>(g));
    // One point for every gradient row, or one point per gradient row.
    const bool same_shape = PyArray_NDIM(y) == PyArray_NDIM(g) &&
                            PyArray_CompareLists(PyArray_DIMS(y), PyArray_DIMS(g), PyArray_NDIM(y));
    if (!(PyArray_NDIM(y) == 1 || same_shape)) {
        PyErr_SetString(PyExc_ValueError,
                        "pullback: y must be one vector, or have the shape of grad_x");
        return nullptr;
    }
    vlm::py::Ref out(PyArray_SimpleNew(PyArray_NDIM(g), PyArray_DIMS(g), NPY_DOUBLE));
    if (!out) return nullptr;
    Work work(plan.n);
    if (!work.ok(plan.n)) return nullptr;
    if (rows_g > 0) {
        vlm::py::Lock nogil(lock_for(rows_g * plan.n));
        vlm::param_plan_pullback(plan, array_data<f64>(y_ref.get()), same_shape ? rows_g : 1,
                                 array_data<f64>(g_ref.get()), rows_g, array_data<f64>(out.get()),
                                 work.get());
    }
    return out.release();
}

PyObject *plan_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"families", "low", "high", nullptr};
    PyObject *families_obj, *low_obj, *high_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:ParameterPlan",
                                     const_cast<char **>(keywords), &families_obj, &low_obj,
                                     &high_obj))
        return nullptr;
    vlm::py::Ref families(PyArray_FROMANY(families_obj, NPY_UINT8, 1, 1, NPY_ARRAY_IN_ARRAY));
    if (!families) return nullptr;
    vlm::py::Ref low(reinterpret_cast<PyObject *>(as_float64(low_obj, "ParameterPlan", "low")));
    if (!low) return nullptr;
    vlm::py::Ref high(reinterpret_cast<PyObject *>(as_float64(high_obj, "ParameterPlan", "high")));
    if (!high) return nullptr;
    auto *fam = reinterpret_cast<PyArrayObject *>(families.get());
    auto *lo = reinterpret_cast<PyArrayObject *>(low.get());
    auto *hi = reinterpret_cast<PyArrayObject *>(high.get());
    const npy_intp n = PyArray_DIM(fam, 0);
    if (PyArray_NDIM(lo) != 1 || PyArray_NDIM(hi) != 1 || PyArray_DIM(lo, 0) != n ||
        PyArray_DIM(hi, 0) != n) {
        PyErr_SetString(PyExc_ValueError,
                        "ParameterPlan: families, low and high must be vectors of one length");
        return nullptr;
    }
    const auto *codes = static_cast<const unsigned char *>(PyArray_DATA(fam));
    for (npy_intp i = 0; i < n; ++i)
        if (codes[i] >= vlm::PARAM_FAMILIES) {
            PyErr_Format(PyExc_ValueError,
                         "ParameterPlan: family code %d of element %zd is not below %d", codes[i],
                         static_cast<Py_ssize_t>(i), vlm::PARAM_FAMILIES);
            return nullptr;
        }
    // order (n i64), low and high (n f64 each): 24 n bytes.
    if (n > PY_SSIZE_T_MAX / 24) return PyErr_NoMemory();
    void *storage = PyMem_Malloc(n > 0 ? static_cast<size_t>(n) * 24 : 1);
    if (storage == nullptr) return PyErr_NoMemory();
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        PyMem_Free(storage);
        return nullptr;
    }
    auto *obj = reinterpret_cast<PlanObject *>(self);
    obj->storage = storage;
    vlm::ParamPlan &plan = obj->plan;
    plan = vlm::ParamPlan{};
    plan.n = n;
    plan.order = static_cast<i64 *>(storage);
    plan.low = reinterpret_cast<f64 *>(plan.order + n);
    plan.high = plan.low + n;
    vlm::param_plan_group(plan, codes, array_data<f64>(low.get()), array_data<f64>(high.get()));
    return self;
}

void plan_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyMem_Free(reinterpret_cast<PlanObject *>(self)->storage);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *plan_get_n(PyObject *self, void *) { return PyLong_FromLongLong(plan_of(self).n); }

PyMethodDef plan_methods[] = {
    {"to_unconstrained", plan_method<vlm::MapOp::to_unconstrained>, METH_O,
     "to_unconstrained($self, x, /)\n--\n\ny for x, element by element."},
    {"to_constrained", plan_method<vlm::MapOp::to_constrained>, METH_O,
     "to_constrained($self, y, /)\n--\n\nx for y, element by element."},
    {"constrained_grad", plan_method<vlm::MapOp::constrained_grad>, METH_O,
     "constrained_grad($self, y, /)\n--\n\ndx/dy, element by element."},
    {"log_abs_det_jacobian", plan_method<vlm::MapOp::log_abs_det_jacobian>, METH_O,
     "log_abs_det_jacobian($self, y, /)\n--\n\nThe sum over the elements of log|dx/dy| (per row)."},
    {"log_abs_det_jacobian_grad", plan_method<vlm::MapOp::log_abs_det_jacobian_grad>, METH_O,
     "log_abs_det_jacobian_grad($self, y, /)\n--\n\nd/dy of log|dx/dy|, element by element."},
    {"pullback", vlm::py::fastcall(plan_pullback), METH_FASTCALL,
     "pullback($self, y, grad_x, /)\n--\n\ngrad_x * dx/dy."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef plan_getset[] = {
    {"n", plan_get_n, nullptr, "Number of elements.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot plan_slots[] = {
    {Py_tp_doc,
     const_cast<char *>("ParameterPlan(families, low, high)\n--\n\n"
                        "The native side of Velmora.transforms.ParameterMap: elements grouped by\n"
                        "family (0 free, 1 lower, 2 upper, 3 aff_logit, 4 aff_probit), with their\n"
                        "bounds. The bounds are used as given; ParameterMap checks them.")},
    {Py_tp_new, reinterpret_cast<void *>(plan_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(plan_dealloc)},
    {Py_tp_methods, plan_methods},
    {Py_tp_getset, plan_getset},
    {0, nullptr},
};

PyType_Spec plan_spec = {
    "Velmora._ckernels.transforms._ufuncs.ParameterPlan", sizeof(PlanObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,        plan_slots,
};

// ---- the module -----------------------------------------------------------------

int exec_module(PyObject *module) {
    if (PyArray_ImportNumPyAPI() < 0 || PyUFunc_ImportUFuncAPI() < 0) return -1;
    if (add_ufuncs(module) < 0) return -1;
    vlm::py::Ref plan_type(PyType_FromModuleAndSpec(module, &plan_spec, nullptr));
    if (!plan_type) return -1;
    return PyModule_AddObjectRef(module, "ParameterPlan", plan_type.get());
}

PyModuleDef_Slot slots[] = VLM_MODULE_SLOTS(exec_module);

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_ufuncs",
    "The 63 transforms as NumPy ufuncs and the native side of ParameterMap;\n"
    "use them from Velmora.transforms.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__ufuncs(void) { return PyModuleDef_Init(&module_def); }
