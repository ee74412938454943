// The native side of Velmora.least_squares and Velmora.curve_fit: one call
// runs a whole Levenberg-Marquardt fit (levmar.h) of the problem stated in
// lsq_problem.h -- residuals or a curve model from Python or from native
// code, data and weights, bounds -- then forms the Jacobian at the solution
// and, on request, the covariance of the parameters. Velmora/least_squares_fits.py and _args.py
// normalise the arguments; they are checked again here, so that no call of
// these private functions can read or write outside a buffer.
//
// The interpreter lock: a Python function holds it for the whole run (every
// evaluation is a Python call). A native function runs with the lock
// released; every few milliseconds the run takes it back to let signal
// handlers run, so Ctrl-C stops it promptly.
//
// One part of the private module _fitting (_fitting.cpp): bind_least_squares
// adds these functions, their records and their codes to it.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "_fitting.h"
#include "batch.h"
#include "convert.h"
#include "module.h"
#include "numpy_calls.h"
#include "record.h"
#include "typed_args.h"

#define NO_IMPORT_ARRAY
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include "bounds.h"
#include "numpy_api.h"
#include "py_objective.h"

#include "../_common/vlm_linalg.h"
#include "levmar.h"
#include "lsq_driver.h"
#include "robust_loss.h"
#include "lsq_problem.h"

namespace {

using vlm::py::array_data;
using vlm::py::copy_exact;
using vlm::py::copy_values;
using vlm::py::Lock;
using vlm::py::new_vector;
using vlm::py::new_zeros;
using vlm::py::real_array;
using vlm::py::Ref;
using vlm::py::SignalWatch;
using vlm::py::to_address;
using vlm::py::TypedView;
using vlm::py::vector_arg;

// The native signatures.
using NativeResidualsFn = void (*)(const f64 *x, f64 *out, void *ctx);
using NativeModelFn = void (*)(const f64 *xdata, i64 m, const f64 *p, f64 *out, void *ctx);

enum class Kind { python_residuals, native_residuals, python_model, native_model };

// ---------------------------------------------------------------------------
// Converting what Python functions return.

// The values a Python function returned, into out (m values). Residuals:
// at most one dimension, exactly m values. A model's values: any shape
// holding m values, or one value for every point (as NumPy broadcasts it
// against the data).
bool python_values(PyObject *v, i64 m, f64 *out, bool model) {
    if (copy_exact(v, out, m, model ? NPY_MAXDIMS : 1)) return true;
    Ref arr(reinterpret_cast<PyObject *>(
        real_array(v, model ? "the model's values" : "the residuals")));
    if (!arr) return false;
    auto *a = reinterpret_cast<PyArrayObject *>(arr.get());
    const i64 size = PyArray_SIZE(a);
    if (!model && PyArray_NDIM(a) > 1) {
        PyErr_Format(PyExc_ValueError,
                     "fun must return a one-dimensional array of residuals, got %d dimensions",
                     PyArray_NDIM(a));
        return false;
    }
    if (size == m) return copy_values(a, out, m);
    if (model && size == 1) {
        if (!copy_values(a, out, 1)) return false;
        for (i64 i = 1; i < m; ++i) out[i] = out[0];
        return true;
    }
    if (model)
        PyErr_Format(PyExc_ValueError, "the model returned %lld values for %lld data points",
                     static_cast<long long>(size), static_cast<long long>(m));
    else
        PyErr_Format(PyExc_ValueError, "fun returned %lld residuals, %lld at the start",
                     static_cast<long long>(size), static_cast<long long>(m));
    return false;
}

// A Jacobian of shape (m, n) (or (m,) for one parameter) into J.
bool python_jacobian(PyObject *v, i64 m, i64 n, f64 *J) {
    if (PyArray_CheckExact(v) && PyArray_NDIM(reinterpret_cast<PyArrayObject *>(v)) == 2 &&
        PyArray_DIM(reinterpret_cast<PyArrayObject *>(v), 0) == m && copy_exact(v, J, m * n, 2))
        return true;
    Ref arr(reinterpret_cast<PyObject *>(real_array(v, "the Jacobian")));
    if (!arr) return false;
    auto *a = reinterpret_cast<PyArrayObject *>(arr.get());
    const int nd = PyArray_NDIM(a);
    const bool shaped = (nd == 2 && PyArray_DIM(a, 0) == m && PyArray_DIM(a, 1) == n) ||
                        (nd == 1 && n == 1 && PyArray_DIM(a, 0) == m);
    if (!shaped) {
        Ref shape(PyObject_GetAttrString(arr.get(), "shape"));
        if (shape)
            PyErr_Format(PyExc_ValueError,
                         "jac must return an array of shape (m, n) = (%lld, %lld), got shape %R",
                         static_cast<long long>(m), static_cast<long long>(n), shape.get());
        return false;
    }
    return copy_values(a, J, m * n);
}

// ---------------------------------------------------------------------------
// The user's function as lsq_problem.h calls it.

// What solve and solve_many return.
PyStructSequence_Field solve_fields[] = {
    {"status", "the iteration's outcome (an LM_* constant)"},
    {"nfev", "residual evaluations"},
    {"nfev_jac", "residual evaluations of difference Jacobians"},
    {"njev", "Jacobian evaluations"},
    {"nit", "iterations"},
    {"cost", "half the sum of squares at the solution"},
    {"rank", "the numerical rank of the Jacobian there"},
    {"jac", "the Jacobian at the solution, or None"},
    {"cov", "the covariance, or None"},
    {nullptr, nullptr},
};
PyStructSequence_Field solve_many_fields[] = {
    {"status", "per row: the iteration's outcome (an LM_* constant)"},
    {"nfev", "per row: residual evaluations"},
    {"nfev_jac", "per row: residual evaluations of difference Jacobians"},
    {"njev", "per row: Jacobian evaluations"},
    {"nit", "per row: iterations"},
    {"rank", "per row: the numerical rank of the Jacobian"},
    {"cost", "per row: half the sum of squares"},
    {"cov", "per row: the covariance"},
    {nullptr, nullptr},
};
vlm::py::RecordType solve_result, solve_many_result;

struct UserFunction {
    Kind kind = Kind::python_residuals;
    i64 m = 0, n = 0;
    Lock lock;
    SignalWatch watch;

    // Python: fun(x, *args) or f(xdata, *p); stack[0] is free for the
    // vectorcall offset, stack[1] receives x or holds xdata.
    PyObject *fun = nullptr, *jac = nullptr;
    PyObject **stack = nullptr;
    size_t nargs = 0;
    PyArray_Descr *f8 = nullptr;

    // Native: the functions, their context and the model's xdata.
    void *values_fn = nullptr, *jacobian_fn = nullptr, *ctx = nullptr;
    const f64 *xdata = nullptr;

    ~UserFunction() {
        lock.reacquire();  // an early exit must not drop f8 without the lock
        PyMem_Free(stack);
        Py_XDECREF(f8);
    }

    bool native() const { return kind == Kind::native_residuals || kind == Kind::native_model; }

    // fn at the parameters p: fun(new array p, *args), or f(xdata, *p) with
    // each parameter a NumPy float64 as SciPy passes them.
    PyObject *call(PyObject *fn, const f64 *p) {
        if (kind == Kind::python_residuals) {
            PyObject *arr = new_vector(p, n);
            if (arr == nullptr) return nullptr;
            stack[1] = arr;
            PyObject *res =
                PyObject_Vectorcall(fn, stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
            stack[1] = nullptr;
            Py_DECREF(arr);
            return res;
        }
        PyObject *res = nullptr;
        i64 made = 0;
        for (; made < n; ++made) {
            stack[2 + made] = PyArray_Scalar(const_cast<f64 *>(p + made), f8, nullptr);
            if (stack[2 + made] == nullptr) break;
        }
        if (made == n)
            res =
                PyObject_Vectorcall(fn, stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        for (i64 k = 0; k < made; ++k) Py_CLEAR(stack[2 + k]);
        return res;
    }
};

int values_callback(void *ctx, const f64 *p, f64 *out) {
    UserFunction &u = *static_cast<UserFunction *>(ctx);
    switch (u.kind) {
        case Kind::native_residuals:
            reinterpret_cast<NativeResidualsFn>(u.values_fn)(p, out, u.ctx);
            return u.watch.tick(u.lock) ? 0 : 1;
        case Kind::native_model:
            reinterpret_cast<NativeModelFn>(u.values_fn)(u.xdata, u.m, p, out, u.ctx);
            return u.watch.tick(u.lock) ? 0 : 1;
        default: {
            Ref res(u.call(u.fun, p));
            return res && python_values(res.get(), u.m, out, u.kind == Kind::python_model) ? 0 : 1;
        }
    }
}

int jacobian_callback(void *ctx, const f64 *p, f64 *J) {
    UserFunction &u = *static_cast<UserFunction *>(ctx);
    switch (u.kind) {
        case Kind::native_residuals:
            reinterpret_cast<NativeResidualsFn>(u.jacobian_fn)(p, J, u.ctx);
            return u.watch.tick(u.lock) ? 0 : 1;
        case Kind::native_model:
            reinterpret_cast<NativeModelFn>(u.jacobian_fn)(u.xdata, u.m, p, J, u.ctx);
            return u.watch.tick(u.lock) ? 0 : 1;
        default: {
            Ref res(u.call(u.jac, p));
            return res && python_jacobian(res.get(), u.m, u.n, J) ? 0 : 1;
        }
    }
}

// ---------------------------------------------------------------------------
// Arguments.

// The problem tuple built by least_squares_fits.py:
//   (0, fun, jac, args)              Python residuals fun(x, *args), jac None or callable
//   (1, address, jac, ctx)           native residuals; jac 0 when absent
//   (2, f, jac, xdata)               Python model f(xdata, *p)
//   (3, address, jac, ctx, xdata)    native model; xdata a float64 array
bool set_function(UserFunction &u, PyObject *described, TypedView<f64> &xdata) {
    if (!PyTuple_CheckExact(described) || PyTuple_GET_SIZE(described) < 4 ||
        !PyLong_CheckExact(PyTuple_GET_ITEM(described, 0))) {
        PyErr_SetString(PyExc_TypeError, "problem must be a tuple (kind, ...)");
        return false;
    }
    const long kind = PyLong_AsLong(PyTuple_GET_ITEM(described, 0));
    const Py_ssize_t size = PyTuple_GET_SIZE(described);
    PyObject *a = PyTuple_GET_ITEM(described, 1), *b = PyTuple_GET_ITEM(described, 2),
             *c = PyTuple_GET_ITEM(described, 3);
    if ((kind == 0 || kind == 2) && size == 4) {
        if (!PyCallable_Check(a) || !(b == Py_None || PyCallable_Check(b)) ||
            (kind == 0 && !PyTuple_CheckExact(c))) {
            PyErr_SetString(PyExc_TypeError,
                            "problem (kind, fun, jac, args or xdata) is malformed");
            return false;
        }
        u.kind = kind == 0 ? Kind::python_residuals : Kind::python_model;
        u.fun = a;
        u.jac = b == Py_None ? nullptr : b;
        const Py_ssize_t extra = kind == 0 ? PyTuple_GET_SIZE(c) : static_cast<Py_ssize_t>(u.n);
        u.nargs = static_cast<size_t>(extra) + 1;
        u.stack = static_cast<PyObject **>(
            PyMem_Calloc(static_cast<size_t>(extra) + 2, sizeof(PyObject *)));
        if (u.stack == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        if (kind == 0) {
            for (Py_ssize_t i = 0; i < extra; ++i) u.stack[2 + i] = PyTuple_GET_ITEM(c, i);
        } else {
            u.stack[1] = c;  // xdata, passed unchanged
            u.f8 = PyArray_DescrFromType(NPY_DOUBLE);
            if (u.f8 == nullptr) return false;
        }
        return true;
    }
    if ((kind == 1 && size == 4) || (kind == 3 && size == 5)) {
        if (!to_address(a, "address", &u.values_fn) || !to_address(b, "jac", &u.jacobian_fn) ||
            !to_address(c, "ctx", &u.ctx))
            return false;
        if (u.values_fn == nullptr) {
            PyErr_SetString(PyExc_ValueError, "the function's address is null");
            return false;
        }
        u.kind = kind == 1 ? Kind::native_residuals : Kind::native_model;
        if (kind == 3) {
            if (!xdata.acquire(PyTuple_GET_ITEM(described, 4), false, false) || !xdata.aligned()) {
                if (!PyErr_Occurred())
                    PyErr_SetString(PyExc_ValueError, "xdata must be an aligned float64 array");
                return false;
            }
            u.xdata = xdata.data();
        }
        return true;
    }
    PyErr_SetString(PyExc_ValueError, "problem kind must be 0 to 3");
    return false;
}

// Converts item k of a tuple into a double or a 64-bit integer.
bool tuple_number(PyObject *t, Py_ssize_t k, f64 *out) {
    *out = PyFloat_AsDouble(PyTuple_GET_ITEM(t, k));
    return !PyErr_Occurred();
}

bool tuple_integer(PyObject *t, Py_ssize_t k, i64 *out) {
    PyObject *v = PyTuple_GET_ITEM(t, k);
    if (!PyLong_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "integer option expected");
        return false;
    }
    *out = PyLong_AsLongLong(v);
    return !PyErr_Occurred();
}

// Owned memory of a run: the fit's workspace (lsq_driver.h), then the bound
// plan's arrays.
struct Buffers {
    std::unique_ptr<void, decltype(&std::free)> block{nullptr, &std::free};
    void *drive = nullptr;
    f64 *low = nullptr, *high = nullptr;
    i64 *order = nullptr;
    unsigned char *family = nullptr;

    bool allocate(i64 m, i64 n) {
        const size_t drive_bytes = vlm::lsq_drive_bytes(m, n);
        size_t total = 0;
        if (drive_bytes == 0 ||
            __builtin_add_overflow(drive_bytes, 3 * static_cast<size_t>(n) * 8 + n, &total)) {
            vlm::py::no_memory_for("the workspace of the fit", 0);
            return false;
        }
        block.reset(std::malloc(total));
        if (!block) {
            vlm::py::no_memory_for("the workspace of the fit", total);
            return false;
        }
        drive = block.get();
        low = reinterpret_cast<f64 *>(static_cast<char *>(block.get()) + drive_bytes);
        high = low + n;
        order = reinterpret_cast<i64 *>(high + n);
        family = reinterpret_cast<unsigned char *>(order + n);
        return true;
    }
};

// Items 9 and 10 of an options tuple, when it has them: the robust loss
// (robust_loss.h) and its scale f_scale > 0.
bool robust_loss_option(PyObject *opts, vlm::LsqProblem &problem) {
    if (PyTuple_GET_SIZE(opts) < 11) return true;
    i64 loss = 0;
    if (!tuple_integer(opts, 9, &loss) || !tuple_number(opts, 10, &problem.f_scale)) return false;
    if (loss < 0 || loss >= vlm::ROBUST_LOSSES ||
        !(problem.f_scale > 0.0 && std::isfinite(problem.f_scale))) {
        PyErr_SetString(PyExc_ValueError,
                        "loss code out of range or f_scale not a finite number > 0");
        return false;
    }
    problem.loss = static_cast<int>(loss);
    return true;
}

// The parameter plan of problem k's bounds, with an element bounded on
// both sides mapped by the logit family; the plan's arrays are the caller's
// blocks of n values.
void bound_plan(vlm::ParamPlan &plan, const vlm::py::Bounds &bounds, i64 k, i64 n,
                unsigned char *family, i64 *order, f64 *low, f64 *high) {
    for (i64 j = 0; j < n; ++j)
        family[j] = vlm::family_of_bounds(bounds.nbd(k)[j], vlm::PARAM_AFF_LOGIT);
    plan.n = n;
    plan.order = order;
    plan.low = low;
    plan.high = high;
    vlm::param_plan_group(plan, family, bounds.lo(k), bounds.hi(k));
}

// solve(problem, x, bounds, data, options, fvec, want)
//   x       float64 (n): the start, then the solution
//   bounds  None or (lo, hi) as bounds.h reads them (an element bounded on both
//           sides is mapped by the logit family)
//   data    None or (y (m), weight None or (m), whiten None or (m*m) lower factor)
//   options (ftol, xtol, gtol, max_nfev, budget_includes_jacobian, factor, diff_step,
//            scale None or (n), fvec_given[, loss, f_scale]); with a robust loss
//            fvec and jac hold the loss-scaled residuals and Jacobian (robust_loss.h)
//   fvec    float64 (m): the residuals at the solution (at the start too with fvec_given)
//   want    0: nothing more; 1: the weighted Jacobian dr/dx at the solution;
//           2: that and the covariance (J^T J)^-1 (+inf when J is rank-deficient);
//           3: the covariance times the residual variance 2 cost / (m - n) (m > n)
// -> (status, nfev, nfev_jac, njev, nit, cost, rank, jac, cov): jac a new
//    (m, n) array or None, cov a new (n, n) array or None, rank -1 without cov.
PyObject *solve(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 7) {
        PyErr_Format(PyExc_TypeError, "solve() takes exactly 7 arguments (%zd given)", nargs);
        return nullptr;
    }
    TypedView<f64> x, xdata, fvec, y, weight, whiten, scale;
    if (!x.acquire(args[1]) || !x.aligned() || x.size() < 1) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError,
                            "x must be an aligned float64 array of n >= 1 values");
        return nullptr;
    }
    if (!fvec.acquire(args[5])) return nullptr;
    UserFunction u;
    u.n = x.size();
    u.m = fvec.size();
    const i64 m = u.m, n = u.n;
    if (m < n || !fvec.aligned()) {
        PyErr_SetString(PyExc_ValueError, "fvec must be an aligned float64 array of m >= n values");
        return nullptr;
    }
    if (!set_function(u, args[0], xdata)) return nullptr;
    vlm::LsqProblem problem;
    problem.m = m;
    problem.n = n;
    problem.fn = {values_callback, nullptr, &u};
    if (u.jac != nullptr || u.jacobian_fn != nullptr) problem.fn.jacobian = jacobian_callback;

    PyObject *data = args[3];
    if (data != Py_None) {
        if (!PyTuple_CheckExact(data) || PyTuple_GET_SIZE(data) != 3) {
            PyErr_SetString(PyExc_TypeError, "data must be None or (y, weight, whiten)");
            return nullptr;
        }
        if (!vector_arg(PyTuple_GET_ITEM(data, 0), m, "y", y, false)) return nullptr;
        problem.y = y.data();
        if (PyTuple_GET_ITEM(data, 1) != Py_None) {
            if (!vector_arg(PyTuple_GET_ITEM(data, 1), m, "weight", weight, false)) return nullptr;
            problem.weight = weight.data();
        }
        if (PyTuple_GET_ITEM(data, 2) != Py_None) {
            i64 mm = 0;
            if (__builtin_mul_overflow(m, m, &mm) ||
                !vector_arg(PyTuple_GET_ITEM(data, 2), mm, "whiten", whiten, false)) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "whiten is too large");
                return nullptr;
            }
            problem.whiten = whiten.data();
        }
    }

    PyObject *opts = args[4];
    vlm::LmOptions lo;
    f64 budget_jac = 0.0, fvec_given = 0.0;
    i64 max_evals = 0;
    if (!PyTuple_CheckExact(opts) ||
        (PyTuple_GET_SIZE(opts) != 9 && PyTuple_GET_SIZE(opts) != 11)) {
        PyErr_SetString(PyExc_TypeError, "options must be a tuple of 9 or 11 items");
        return nullptr;
    }
    if (!robust_loss_option(opts, problem)) return nullptr;
    if (!tuple_number(opts, 0, &lo.ftol) || !tuple_number(opts, 1, &lo.xtol) ||
        !tuple_number(opts, 2, &lo.gtol) || !tuple_integer(opts, 3, &max_evals) ||
        !tuple_number(opts, 4, &budget_jac) || !tuple_number(opts, 5, &lo.factor) ||
        !tuple_number(opts, 6, &problem.diff_step) || !tuple_number(opts, 8, &fvec_given))
        return nullptr;
    lo.max_nfev = max_evals;
    lo.budget_includes_jacobian = budget_jac != 0.0;
    if (PyTuple_GET_ITEM(opts, 7) != Py_None) {
        if (!vector_arg(PyTuple_GET_ITEM(opts, 7), n, "scale", scale, false)) return nullptr;
        lo.scale = scale.data();
    }
    if (!(problem.diff_step > 0.0 && std::isfinite(problem.diff_step))) {
        PyErr_SetString(PyExc_ValueError, "diff_step must be a finite number > 0");
        return nullptr;
    }

    const long want = PyLong_AsLong(args[6]);
    if (PyErr_Occurred()) return nullptr;
    if (want < vlm::LSQ_NOTHING || want > vlm::LSQ_SCALED_COVARIANCE) {
        PyErr_SetString(PyExc_ValueError, "want must be 0, 1, 2 or 3");
        return nullptr;
    }
    Ref jac_arr, cov_arr;
    f64 *jac = nullptr, *cov = nullptr;
    if (want >= 1) {
        npy_intp dims[2] = {static_cast<npy_intp>(m), static_cast<npy_intp>(n)};
        jac_arr.reset(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
        if (!jac_arr) return nullptr;
        jac = array_data<f64>(jac_arr.get());
    }
    if (want >= 2) {
        npy_intp dims[2] = {static_cast<npy_intp>(n), static_cast<npy_intp>(n)};
        cov_arr.reset(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
        if (!cov_arr) return nullptr;
        cov = array_data<f64>(cov_arr.get());
    }

    Buffers buf;
    if (!buf.allocate(m, n)) return nullptr;
    vlm::ParamPlan plan;
    vlm::py::Bounds bounds;
    if (!bounds.parse(args[2], n)) return nullptr;
    if (bounds.given()) {
        bound_plan(plan, bounds, 0, n, buf.family, buf.order, buf.low, buf.high);
        problem.plan = &plan;
        problem.lower = bounds.lo();
        problem.upper = bounds.hi();
    }

    vlm::LsqDriveResult res;
    if (u.native()) u.lock.release();
    vlm::lsq_drive(problem, lo, x.data(), fvec.data(), fvec_given != 0.0, static_cast<int>(want),
                   jac, cov, buf.drive, res);
    u.lock.reacquire();  // before any reference is dropped below
    if (!res.finished) {
        jac_arr.reset();  // nothing computed: None
        cov_arr.reset();
    }
    if (PyErr_Occurred()) return nullptr;
    PyObject *none = Py_None;
    const vlm::LmResult &run = res.run;
    return solve_result.from(Py_BuildValue(
        "(LLLLLdLOO)", static_cast<long long>(run.status), static_cast<long long>(run.nfev),
        static_cast<long long>(run.nfev_jac), static_cast<long long>(run.njev),
        static_cast<long long>(run.nit), run.cost, static_cast<long long>(res.rank),
        jac_arr ? jac_arr.get() : none, cov_arr ? cov_arr.get() : none));
}

// qr(a, m, n, tau, perm, b): vlm_qr_pivoted of a (m x n, in place) into tau
// (min(m, n)) and perm (int64, n), then b (m values) becomes Q^T b.
PyObject *qr(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 6) {
        PyErr_Format(PyExc_TypeError, "qr() takes exactly 6 arguments (%zd given)", nargs);
        return nullptr;
    }
    const i64 m = PyLong_AsLongLong(args[1]), n = PyLong_AsLongLong(args[2]);
    if (PyErr_Occurred()) return nullptr;
    i64 mn = 0;
    if (m < 1 || n < 1 || __builtin_mul_overflow(m, n, &mn)) {
        PyErr_SetString(PyExc_ValueError, "m and n must be >= 1");
        return nullptr;
    }
    TypedView<f64> a, tau, b;
    TypedView<i64> perm;
    if (!vector_arg(args[0], mn, "a", a) || !vector_arg(args[3], m < n ? m : n, "tau", tau) ||
        !vector_arg(args[5], m, "b", b) || !perm.acquire(args[4]))
        return nullptr;
    if (perm.size() != n || !perm.aligned()) {
        PyErr_SetString(PyExc_ValueError, "perm must be an aligned int64 array of n values");
        return nullptr;
    }
    std::unique_ptr<f64[]> work(new (std::nothrow) f64[static_cast<size_t>(mn + 2 * n)]);
    if (!work) return PyErr_NoMemory();
    vlm_qr_pivoted(a.data(), m, n, tau.data(), perm.data(), work.get());
    vlm_qr_apply_qt(a.data(), tau.data(), b.data(), m, n);
    Py_RETURN_NONE;
}

// cholesky(S, L, m) -> status: the lower Cholesky factor of S (m x m, lower
// triangle read) into L with the shared library's vlm_chol; -1 when S is
// not numerically positive definite.
PyObject *cholesky(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "cholesky() takes exactly 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    const i64 m = PyLong_AsLongLong(args[2]);
    if (PyErr_Occurred()) return nullptr;
    i64 mm = 0;
    if (m < 1 || __builtin_mul_overflow(m, m, &mm)) {
        PyErr_SetString(PyExc_ValueError, "m must be >= 1");
        return nullptr;
    }
    TypedView<f64> S, L;
    if (!vector_arg(args[0], mm, "S", S, false) || !vector_arg(args[1], mm, "L", L)) return nullptr;
    // A small factor (a few microseconds) keeps the lock (run_lock.h).
    vlm::py::Lock nogil(m < 32 ? vlm::py::Lock::held : vlm::py::Lock::released);
    const int status = vlm_chol(S.data(), 0.0, L.data(), m);
    nogil.reacquire();
    return PyLong_FromLong(status);
}

// finite(a) -> True when every value of a is finite, for a C-contiguous
// float64 ndarray (read-only ones too); None for anything else, which the
// caller checks itself.
PyObject *finite(PyObject *, PyObject *arg) {
    if (!vlm::py::is_array_of(arg, NPY_DOUBLE)) Py_RETURN_NONE;
    const f64 *v = array_data<f64>(arg);
    const npy_intp size = PyArray_SIZE(reinterpret_cast<PyArrayObject *>(arg));
    // x - x is 0 for a finite x and NaN otherwise; the sum's order does not
    // matter, so it runs in vector lanes.
    auto all_finite = [v, size] {
        f64 sum = 0.0;
#pragma omp simd reduction(+ : sum)
        for (npy_intp i = 0; i < size; ++i) sum += v[i] - v[i];
        return sum == 0.0;
    };
    // A short scan keeps the lock: giving it up costs more than the scan.
    vlm::py::Lock nogil(size < 65536 ? vlm::py::Lock::held : vlm::py::Lock::released);
    const bool ok = all_finite();
    nogil.reacquire();
    return PyBool_FromLong(ok);
}

// ===========================================================================
// solve_many: K curve fits of one model that differ in their data, each the
// fit solve makes of its problem, in one call (Velmora.curve_fit_many). A
// native model runs on worker threads of the call (batch.h), each with one
// workspace for all its problems; a Python model runs on the calling thread.

// A native model at the data of one problem, on a worker: the call's stop
// flag ends the run (a non-zero return, lsq_problem.h).
struct RowModel {
    NativeModelFn values, jacobian;
    void *ctx;
    const f64 *xdata;
    i64 m;
    const vlm::py::StopFlag *flag;
};

int row_model_values(void *ctx, const f64 *p, f64 *out) {
    const RowModel &r = *static_cast<const RowModel *>(ctx);
    r.values(r.xdata, r.m, p, out, r.ctx);
    return r.flag->raised() ? 1 : 0;
}

int row_model_jacobian(void *ctx, const f64 *p, f64 *J) {
    const RowModel &r = *static_cast<const RowModel *>(ctx);
    r.jacobian(r.xdata, r.m, p, J, r.ctx);
    return r.flag->raised() ? 1 : 0;
}

// The K problems: their parameters, data, weights and bounds (rows `stride`
// values apart, stride 0 for one row shared by all), and their outcomes.
struct CurveBatch {
    i64 count = 0, m = 0, n = 0;
    f64 *x = nullptr;        // (K, n): the starts, then the solutions
    const f64 *y = nullptr;  // (K, m)
    const f64 *weight = nullptr;
    i64 weight_stride = 0;
    vlm::py::Bounds bounds;
    const f64 *xdata = nullptr;  // a native model's data, rows xdata_stride apart
    i64 xdata_stride = 0;
    vlm::LmOptions options;
    f64 diff_step = 0.0;
    int loss = 0;  // robust_loss.h, with its scale
    f64 f_scale = 1.0;
    int want = vlm::LSQ_COVARIANCE;

    i64 *status = nullptr, *nfev = nullptr, *nfev_jac = nullptr, *njev = nullptr, *nit = nullptr,
        *rank = nullptr;
    f64 *cost = nullptr, *cov = nullptr;  // (K,), (K, n, n)
};

// The layout of a worker's block: the fit's workspace, the point, the
// residuals, the Jacobian, then the bound plan's arrays.
struct RowSpace {
    void *drive;
    f64 *x, *fvec, *jac, *low, *high;
    i64 *order;
    unsigned char *family;

    static size_t bytes(i64 m, i64 n) {
        const size_t drive = vlm::lsq_drive_bytes(m, n);
        size_t reals = 0, total = 0;
        if (drive == 0 ||
            __builtin_mul_overflow(static_cast<size_t>(m), static_cast<size_t>(n) + 1, &reals) ||
            __builtin_add_overflow(reals, 4 * static_cast<size_t>(n), &reals) ||
            reals > SIZE_MAX / 16 ||
            __builtin_add_overflow(drive, reals * sizeof(f64) + static_cast<size_t>(n), &total))
            return 0;
        return total;
    }

    RowSpace(void *block, i64 m, i64 n) {
        drive = block;
        x = reinterpret_cast<f64 *>(static_cast<char *>(block) + vlm::lsq_drive_bytes(m, n));
        fvec = x + n;
        jac = fvec + m;
        low = jac + m * n;
        high = low + n;
        order = reinterpret_cast<i64 *>(high + n);
        family = reinterpret_cast<unsigned char *>(order + n);
    }
};

// Fits problem k with the model's functions fn in a worker's space; false
// when the run was stopped (nothing recorded).
bool fit_row(const CurveBatch &b, i64 k, const vlm::LsqFunction &fn, const RowSpace &s) {
    const i64 m = b.m, n = b.n;
    vlm::LsqProblem problem;
    problem.m = m;
    problem.n = n;
    problem.fn = fn;
    problem.y = b.y + k * m;
    problem.weight = b.weight != nullptr ? b.weight + k * b.weight_stride : nullptr;
    problem.diff_step = b.diff_step;
    problem.loss = b.loss;
    problem.f_scale = b.f_scale;
    vlm::ParamPlan plan;
    if (b.bounds.given()) {
        bound_plan(plan, b.bounds, k, n, s.family, s.order, s.low, s.high);
        problem.plan = &plan;
        problem.lower = b.bounds.lo(k);
        problem.upper = b.bounds.hi(k);
    }
    const size_t n_bytes = static_cast<size_t>(n) * sizeof(f64);
    std::memcpy(s.x, b.x + k * n, n_bytes);
    f64 *cov = b.cov + k * n * n;
    vlm::LsqDriveResult res;
    vlm::lsq_drive(problem, b.options, s.x, s.fvec, false, b.want, s.jac, cov, s.drive, res);
    if (res.run.status == vlm::LM_STOPPED) return false;
    std::memcpy(b.x + k * n, s.x, n_bytes);
    if (!res.finished)
        for (i64 i = 0; i < n * n; ++i) cov[i] = NAN;
    b.status[k] = res.run.status;
    b.nfev[k] = res.run.nfev;
    b.nfev_jac[k] = res.run.nfev_jac;
    b.njev[k] = res.run.njev;
    b.nit[k] = res.run.nit;
    b.rank[k] = res.rank;
    b.cost[k] = res.run.cost;
    return true;
}

// A C-contiguous aligned array of `type` holding one row of `cols` values
// for all problems (shape (cols,), stride 0) or one per problem (shape
// (K, cols)); null with ValueError naming `what` otherwise.
const void *rows_arg(PyObject *obj, int type, i64 count, i64 cols, bool shared_allowed,
                     const char *what, i64 *stride) {
    auto *a = reinterpret_cast<PyArrayObject *>(obj);
    const bool ok =
        vlm::py::is_array_of(obj, type) &&
        ((shared_allowed && PyArray_NDIM(a) == 1 && PyArray_DIM(a, 0) == cols) ||
         (PyArray_NDIM(a) == 2 && PyArray_DIM(a, 0) == count && PyArray_DIM(a, 1) == cols));
    if (!ok) {
        PyErr_Format(PyExc_ValueError, "%s must be a C-contiguous array of %s shape (K, %lld)",
                     what, shared_allowed ? "shape (n,) or " : "", static_cast<long long>(cols));
        return nullptr;
    }
    *stride = PyArray_NDIM(a) == 2 ? cols : 0;
    return PyArray_DATA(a);
}

bool fit_native_rows(CurveBatch &b, const UserFunction &u, i64 threads, PyObject *report) {
    vlm::py::Workspaces blocks;
    if (!blocks.allocate(threads, RowSpace::bytes(b.m, b.n))) return false;
    auto job = [&](i64 k, i64 worker, const vlm::py::StopFlag &flag) {
        RowModel model{reinterpret_cast<NativeModelFn>(u.values_fn),
                       reinterpret_cast<NativeModelFn>(u.jacobian_fn),
                       u.ctx,
                       b.xdata + k * b.xdata_stride,
                       b.m,
                       &flag};
        const vlm::LsqFunction fn{row_model_values,
                                  model.jacobian != nullptr ? row_model_jacobian : nullptr, &model};
        fit_row(b, k, fn, RowSpace(blocks[worker], b.m, b.n));
    };
    return vlm::py::run_native(b.count, threads, job, report);
}

bool fit_python_rows(CurveBatch &b, UserFunction &u, PyObject *xrows, PyObject *report) {
    vlm::py::Workspaces blocks;
    if (!blocks.allocate(1, RowSpace::bytes(b.m, b.n))) return false;
    const RowSpace space(blocks[0], b.m, b.n);
    const vlm::LsqFunction fn{values_callback, u.jac != nullptr ? jacobian_callback : nullptr, &u};
    auto job = [&](i64 k) {
        Ref row;
        if (xrows != nullptr) {
            row.reset(PySequence_GetItem(xrows, static_cast<Py_ssize_t>(k)));
            if (!row) return false;
            u.stack[1] = row.get();
        }
        const bool done = fit_row(b, k, fn, space);
        if (xrows != nullptr) u.stack[1] = xrows;
        return done && !PyErr_Occurred();
    };
    return vlm::py::run_python(b.count, job, report);
}

// solve_many(problem, x, xrows, ydata, weight, bounds, options, want, workers, report)
//   problem  a curve model as for solve: (2, f, jac, xdata) or (3, address,
//            jac, ctx, xdata) with xdata a flat float64 array
//   x        float64 (K, n), writable: the starts, then the solutions
//   xrows    0: xdata is every problem's; 1: problem k's xdata is row k of it
//            (the k-th item of a Python model's xdata, the k-th of K equal
//            parts of a native model's)
//   ydata    float64 (K, m); weight None, (m,) or (K, m)
//   bounds   None or (lo, hi) of shape (n,) or (K, n), as for solve
//   options  as for solve, scale None and fvec_given 0
//   want     2 or 3, as for solve; workers, report as for Velmora.minimize_many
// -> (status, nfev, nfev_jac, njev, nit, rank, cost, cov): arrays of K, cov
//    (K, n, n) (NaN for a fit that ended at no point).
PyObject *solve_many(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 10) {
        PyErr_Format(PyExc_TypeError, "solve_many() takes exactly 10 arguments (%zd given)", nargs);
        return nullptr;
    }
    CurveBatch b;
    auto *xa = reinterpret_cast<PyArrayObject *>(args[1]);
    auto *ya = reinterpret_cast<PyArrayObject *>(args[3]);
    if (!vlm::py::is_array_of(args[1], NPY_DOUBLE) || !PyArray_ISWRITEABLE(xa) ||
        PyArray_NDIM(xa) != 2 || PyArray_DIM(xa, 1) < 1) {
        PyErr_SetString(PyExc_ValueError,
                        "x must be a writable C-contiguous float64 array of shape (K, n)");
        return nullptr;
    }
    b.count = PyArray_DIM(xa, 0);
    b.n = PyArray_DIM(xa, 1);
    b.x = array_data<f64>(args[1]);
    if (!PyArray_Check(args[3]) || PyArray_NDIM(ya) != 2 || PyArray_DIM(ya, 1) < b.n) {
        PyErr_SetString(PyExc_ValueError, "ydata must be an array of shape (K, m) with m >= n");
        return nullptr;
    }
    b.m = PyArray_DIM(ya, 1);
    i64 unused = 0;
    b.y = static_cast<const f64 *>(
        rows_arg(args[3], NPY_DOUBLE, b.count, b.m, false, "ydata", &unused));
    if (b.y == nullptr) return nullptr;
    if (args[4] != Py_None) {
        b.weight = static_cast<const f64 *>(
            rows_arg(args[4], NPY_DOUBLE, b.count, b.m, true, "weight", &b.weight_stride));
        if (b.weight == nullptr) return nullptr;
    }
    if (!b.bounds.parse(args[5], b.n, b.count)) return nullptr;

    PyObject *opts = args[6];
    f64 budget_jac = 0.0, fvec_given = 0.0;
    i64 max_evals = 0;
    vlm::LsqProblem robust;
    if (!PyTuple_CheckExact(opts) ||
        (PyTuple_GET_SIZE(opts) != 9 && PyTuple_GET_SIZE(opts) != 11)) {
        PyErr_SetString(PyExc_TypeError, "options must be a tuple of 9 or 11 items");
        return nullptr;
    }
    if (!robust_loss_option(opts, robust)) return nullptr;
    b.loss = robust.loss;
    b.f_scale = robust.f_scale;
    if (!tuple_number(opts, 0, &b.options.ftol) || !tuple_number(opts, 1, &b.options.xtol) ||
        !tuple_number(opts, 2, &b.options.gtol) || !tuple_integer(opts, 3, &max_evals) ||
        !tuple_number(opts, 4, &budget_jac) || !tuple_number(opts, 5, &b.options.factor) ||
        !tuple_number(opts, 6, &b.diff_step) || !tuple_number(opts, 8, &fvec_given))
        return nullptr;
    b.options.max_nfev = max_evals;
    b.options.budget_includes_jacobian = budget_jac != 0.0;
    if (PyTuple_GET_ITEM(opts, 7) != Py_None || fvec_given != 0.0 ||
        !(b.diff_step > 0.0 && std::isfinite(b.diff_step))) {
        PyErr_SetString(PyExc_ValueError,
                        "options: no scale, no residuals given, diff_step a finite number > 0");
        return nullptr;
    }
    const long want = PyLong_AsLong(args[7]);
    if (PyErr_Occurred()) return nullptr;
    if (want != vlm::LSQ_COVARIANCE && want != vlm::LSQ_SCALED_COVARIANCE) {
        PyErr_SetString(PyExc_ValueError, "want must be 2 or 3");
        return nullptr;
    }
    b.want = static_cast<int>(want);
    long long workers = 0;
    if (!PyLong_CheckExact(args[8]) || (workers = PyLong_AsLongLong(args[8])) < 1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "workers must be an int >= 1");
        return nullptr;
    }
    PyObject *report = args[9] == Py_None ? nullptr : args[9];
    if (report != nullptr && !PyCallable_Check(report)) {
        PyErr_SetString(PyExc_TypeError, "report must be callable or None");
        return nullptr;
    }

    UserFunction u;
    u.m = b.m;
    u.n = b.n;
    TypedView<f64> xdata;
    PyObject *problem = args[0];
    if (!set_function(u, problem, xdata)) return nullptr;
    if (u.kind != Kind::python_model && u.kind != Kind::native_model) {
        PyErr_SetString(PyExc_ValueError,
                        "solve_many fits curve models only (problem kind 2 or 3)");
        return nullptr;
    }
    const long per_row = PyLong_AsLong(args[2]);
    if (PyErr_Occurred()) return nullptr;
    PyObject *xrows = nullptr;
    if (per_row != 0) {
        if (u.kind == Kind::python_model) {
            xrows = PyTuple_GET_ITEM(problem, 3);
            const Py_ssize_t size = PySequence_Size(xrows);
            if (size < 0) return nullptr;
            if (size != b.count) {
                PyErr_SetString(PyExc_ValueError, "xdata must have K rows");
                return nullptr;
            }
        } else {
            if (b.count > 0 && (xdata.size() % b.count != 0 || xdata.size() / b.count < b.m)) {
                PyErr_SetString(PyExc_ValueError,
                                "xdata must have K equal rows of at least m values");
                return nullptr;
            }
            b.xdata_stride = b.count == 0 ? 0 : xdata.size() / b.count;
        }
    }
    b.xdata = u.xdata;

    Ref status(new_zeros({b.count}, NPY_INT64, &b.status)),
        nfev(new_zeros({b.count}, NPY_INT64, &b.nfev)),
        nfev_jac(new_zeros({b.count}, NPY_INT64, &b.nfev_jac)),
        njev(new_zeros({b.count}, NPY_INT64, &b.njev)),
        nit(new_zeros({b.count}, NPY_INT64, &b.nit)),
        rank(new_zeros({b.count}, NPY_INT64, &b.rank)),
        cost(new_zeros({b.count}, NPY_DOUBLE, &b.cost)),
        cov(new_zeros({b.count, b.n, b.n}, NPY_DOUBLE, &b.cov));
    if (!status || !nfev || !nfev_jac || !njev || !nit || !rank || !cost || !cov) return nullptr;
    const bool ok =
        u.native() ? fit_native_rows(
                         b, u, vlm::py::worker_count(b.count, static_cast<i64>(workers)), report)
                   : fit_python_rows(b, u, xrows, report);
    if (!ok) return nullptr;
    return solve_many_result.from(PyTuple_Pack(8, status.get(), nfev.get(), nfev_jac.get(),
                                               njev.get(), nit.get(), rank.get(), cost.get(),
                                               cov.get()));
}

PyMethodDef methods[] = {
    {"solve", vlm::py::fastcall(solve), METH_FASTCALL,
     "solve(problem, x, bounds, data, options, fvec, want) -> SolveResult\n\nThe "
     "Levenberg-Marquardt run behind Velmora.least_squares and "
     "Velmora.curve_fit; "
     "call those instead."},
    {"solve_many", vlm::py::fastcall(solve_many), METH_FASTCALL,
     "solve_many(problem, x, xrows, ydata, weight, bounds, options, want, workers, report) -> "
     "SolveManyResult\n\nThe fits behind Velmora.curve_fit_many; call "
     "that "
     "instead."},
    {"qr", vlm::py::fastcall(qr), METH_FASTCALL,
     "qr(a, m, n, tau, perm, b) -> None\n\nPivoted QR of a in place, and Q^T b (for curve_fit's "
     "full_output)."},
    {"finite", finite, METH_O,
     "finite(a) -> bool or None\n\nWhether a C-contiguous float64 array holds only finite values "
     "(None for other objects)."},
    {"cholesky", vlm::py::fastcall(cholesky), METH_FASTCALL,
     "cholesky(S, L, m) -> status\n\nvlm_chol of S into L (for curve_fit's covariance sigma)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// The runs, their records, and the codes of the iteration's outcomes and of
// the losses for Python to read from here.
int bind_least_squares(PyObject *module) {
    using vlm::py::add_constants;
    if (PyModule_AddFunctions(module, methods) < 0 ||
        solve_result.make(module, "Velmora._ckernels.optim._fitting.SolveResult",
                          "One least-squares run.", solve_fields) < 0 ||
        solve_many_result.make(module, "Velmora._ckernels.optim._fitting.SolveManyResult",
                               "Many curve fits, one row each.", solve_many_fields) < 0)
        return -1;
    return add_constants(module, {
                                     {"LM_FTOL", vlm::LM_FTOL},
                                     {"LM_XTOL", vlm::LM_XTOL},
                                     {"LM_FTOL_XTOL", vlm::LM_FTOL_XTOL},
                                     {"LM_GTOL", vlm::LM_GTOL},
                                     {"LM_MAX_NFEV", vlm::LM_MAX_NFEV},
                                     {"LM_FTOL_TINY", vlm::LM_FTOL_TINY},
                                     {"LM_XTOL_TINY", vlm::LM_XTOL_TINY},
                                     {"LM_GTOL_TINY", vlm::LM_GTOL_TINY},
                                     {"LM_INVALID", vlm::LM_INVALID},
                                     {"LM_START_NOT_FINITE", vlm::LM_START_NOT_FINITE},
                                     {"LM_JACOBIAN_NOT_FINITE", vlm::LM_JACOBIAN_NOT_FINITE},
                                     {"LM_STOPPED", vlm::LM_STOPPED},
                                     {"LM_NO_MEMORY", vlm::LM_NO_MEMORY},
                                     {"LM_NOT_OPTIMAL", vlm::LM_NOT_OPTIMAL},
                                     {"LOSS_LINEAR", vlm::LOSS_LINEAR},
                                     {"LOSS_SOFT_L1", vlm::LOSS_SOFT_L1},
                                     {"LOSS_HUBER", vlm::LOSS_HUBER},
                                     {"LOSS_CAUCHY", vlm::LOSS_CAUCHY},
                                     {"LOSS_ARCTAN", vlm::LOSS_ARCTAN},
                                 });
}
