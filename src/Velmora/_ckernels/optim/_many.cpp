// The native side of Velmora.minimize_many: K independent minimizations of
// one objective that differ in their start, their bounds and their data, in
// one call. Velmora/_args.py normalises the arguments; they are checked again
// here, so that no call of these private functions can read or write outside
// a buffer.
//
// A native objective runs on worker threads of the call (see batch.h), each
// with one workspace for all its problems; problem k's function receives the
// address of row k of `data` as its context. A Python objective runs on the
// calling thread, called as fun(x, data[k], *args). Either way problem k's
// run is the run Velmora.minimize makes for it, and its outcome goes to row k.
//
// One part of the private module _fitting (_fitting.cpp): bind_many adds these
// functions (lbfgsb_many, neldermead_many, fit_many) and their records to it.
#include <cfloat>
#include <cmath>
#include <cstring>

#include "_fitting.h"
#include "batch.h"
#include "module.h"
#include "numpy_calls.h"
#include "record.h"

#define NO_IMPORT_ARRAY
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include "py_objective.h"

#include "bounds.h"
#include "fit_driver.h"
#include "fit_settings.h"
#include "optim_driver.h"

namespace {

using vlm::py::is_array_of;
using vlm::py::new_zeros;
using vlm::py::Ref;
using vlm::py::StopFlag;

// ---------------------------------------------------------------------------
// The problems: starts and results, data rows, bounds, outcomes.

struct Outcome {
    i64 status, nfev, nit;
    f64 fun;
    const char *message;
};

struct Problems {
    i64 count = 0, n = 0;
    f64 *x = nullptr;  // (count, n): the starts, overwritten with the results

    // Problem k's context: row k of data (row_bytes apart), or one context
    // for all when there is no data.
    PyObject *data = nullptr;
    const char *rows = nullptr;
    size_t row_bytes = 0;
    void *shared_ctx = nullptr;

    // Bounds: none, the same for every problem, or one row each.
    vlm::py::Bounds bounds;

    // Outcomes, row by row.
    f64 *fun = nullptr;
    i64 *nit = nullptr, *nfev = nullptr, *status = nullptr;
    const char **message = nullptr;

    f64 *x_of(i64 k) const { return x + k * n; }
    void *ctx_of(i64 k) const {
        return rows != nullptr ? const_cast<char *>(rows + static_cast<size_t>(k) * row_bytes)
                               : shared_ctx;
    }
    const f64 *lo_of(i64 k) const { return bounds.lo(k); }
    const f64 *hi_of(i64 k) const { return bounds.hi(k); }
    const i64 *nbd_of(i64 k) const { return bounds.nbd(k); }

    void record(i64 k, const Outcome &o) {
        fun[k] = o.fun;
        nit[k] = o.nit;
        nfev[k] = o.nfev;
        status[k] = o.status;
        message[k] = o.message;
    }
};

// The objective functions of one run, in the drivers' signatures.
struct Functions {
    vlm_objective_fn value = nullptr;
    vlm::ValueGradFn value_grad = nullptr;  // null: the driver's differences
    void *ctx = nullptr;
    const int *stop = nullptr;  // non-zero ends the run
};

// ---------------------------------------------------------------------------
// The two methods: the workspace of a run and the run of problem k.

struct Lbfgsb {
    vlm_lbfgsb_options opt;

    // (m, maxiter, maxfun, maxls) and (factr, pgtol, fd_step), as for minimize.
    static vlm_lbfgsb_options options(const i64 *iv, const f64 *fv) {
        return {iv[0], iv[1], iv[2], iv[3], fv[0], fv[1], fv[2]};
    }

    size_t workspace_bytes(i64 n) const { return vlm::lbfgsb_workspace_bytes(n, opt.m); }

    Outcome solve(const Problems &p, i64 k, f64 *x, const Functions &fns, void *workspace) const {
        vlm::LbfgsbObjective obj;
        obj.value = fns.value;
        obj.value_grad = fns.value_grad;
        obj.ctx = fns.ctx;
        obj.stop = fns.stop;
        obj.judge_failure_centrally = true;  // as minimize does for the user's objectives
        vlm_lbfgsb_result r{};
        vlm::lbfgsb_drive(obj, p.n, x, p.lo_of(k), p.hi_of(k), p.nbd_of(k), &opt, &r, nullptr,
                          nullptr, workspace);
        return {r.status, r.nfev, r.nit, r.fun, r.message};
    }
};

struct NelderMead {
    vlm_neldermead_options opt;

    // (maxiter, maxfun) and (xatol, fatol), as for minimize.
    static vlm_neldermead_options options(const i64 *iv, const f64 *fv) {
        return {iv[0], iv[1], fv[0], fv[1]};
    }

    size_t workspace_bytes(i64 n) const { return vlm::neldermead_workspace_bytes(n); }

    Outcome solve(const Problems &p, i64 k, f64 *x, const Functions &fns, void *workspace) const {
        vlm::NelderMeadHooks hooks;
        hooks.stop = fns.stop;
        vlm_neldermead_result r{};
        vlm::neldermead_drive(fns.value, fns.ctx, p.n, x, p.lo_of(k), p.hi_of(k), p.nbd_of(k), &opt,
                              &r, &hooks, workspace);
        return {r.status, r.nfev, r.nit, r.fun, r.message};
    }
};

// Each worker's block: its own copy of the point being minimized (so that
// workers never write into neighbouring rows of x, which share cache lines),
// then the method's workspace. Without room for them every run works in its
// row of x and allocates a workspace of its own; a run that cannot reports
// it in its row, as minimize would.
class WorkerSpace {
public:
    void prepare(i64 workers, i64 n, size_t workspace_bytes) {
        point_bytes_ = (static_cast<size_t>(n) * sizeof(f64) + 63) / 64 * 64;
        ready_ = workspace_bytes > 0 && workspace_bytes <= SIZE_MAX - point_bytes_ &&
                 blocks_.allocate(workers, point_bytes_ + workspace_bytes);
        if (!ready_) PyErr_Clear();
    }

    // Runs problem k on worker w: its start copied in, the result out.
    template <class Method>
    Outcome solve(const Method &method, const Problems &p, i64 k, i64 w, const Functions &fns) {
        if (!ready_) return method.solve(p, k, p.x_of(k), fns, nullptr);
        auto *x = static_cast<f64 *>(blocks_[w]);
        const size_t bytes = static_cast<size_t>(p.n) * sizeof(f64);
        std::memcpy(x, p.x_of(k), bytes);
        const Outcome o =
            method.solve(p, k, x, fns, static_cast<char *>(blocks_[w]) + point_bytes_);
        std::memcpy(p.x_of(k), x, bytes);
        return o;
    }

private:
    vlm::py::Workspaces blocks_;
    size_t point_bytes_ = 0;
    bool ready_ = false;
};

// ---------------------------------------------------------------------------
// Native objectives on the workers.

// One run's view of the native functions: after every evaluation the call's
// stop flag is copied into the driver's stop request, so an interrupted call
// ends each running problem at its next evaluation.
struct NativeRun {
    vlm_objective_fn value;
    vlm::ValueGradFn value_grad;
    void *ctx;
    const StopFlag *flag;
    int stop = 0;
};

f64 native_value(const f64 *__restrict x, void *ctx) {
    NativeRun &run = *static_cast<NativeRun *>(ctx);
    const f64 f = run.value(x, run.ctx);
    if (run.flag->raised()) run.stop = 1;
    return f;
}

f64 native_value_grad(const f64 *__restrict x, f64 *__restrict g, void *ctx) {
    NativeRun &run = *static_cast<NativeRun *>(ctx);
    const f64 f = run.value_grad(x, g, run.ctx);
    if (run.flag->raised()) run.stop = 1;
    return f;
}

template <class Method>
bool solve_native(const Method &method, Problems &p, const vlm::py::ParsedObjective &parsed,
                  i64 workers, PyObject *report) {
    const auto value = reinterpret_cast<vlm_objective_fn>(parsed.value);
    const auto value_grad = reinterpret_cast<vlm::ValueGradFn>(parsed.grad);
    const i64 threads = vlm::py::worker_count(p.count, workers);
    WorkerSpace space;
    space.prepare(threads, p.n, method.workspace_bytes(p.n));
    auto job = [&](i64 k, i64 worker, const StopFlag &flag) {
        NativeRun run{value, value_grad, p.ctx_of(k), &flag};
        const Functions fns{native_value, value_grad != nullptr ? native_value_grad : nullptr, &run,
                            &run.stop};
        p.record(k, space.solve(method, p, k, worker, fns));
    };
    return vlm::py::run_native(p.count, threads, job, report);
}

// ---------------------------------------------------------------------------
// Python objectives on the calling thread.

template <class Method>
bool solve_python(const Method &method, Problems &p, const vlm::py::ParsedObjective &parsed,
                  PyObject *report) {
    vlm::py::ObjectiveRun run;
    run.n = p.n;
    if (!run.set_python(parsed, p.data != nullptr ? 1 : 0)) return false;
    WorkerSpace space;
    space.prepare(1, p.n, method.workspace_bytes(p.n));
    const bool gradient = run.jac != nullptr || run.value_and_grad;
    const Functions fns{vlm::py::python_value, gradient ? vlm::py::python_value_grad : nullptr,
                        static_cast<vlm::py::ObjectiveRun *>(&run), &run.stop};
    auto job = [&](i64 k) {
        Ref row;
        if (p.data != nullptr) {
            row.reset(PySequence_GetItem(p.data, static_cast<Py_ssize_t>(k)));
            if (!row) return false;
            run.calls.set_lead(0, row.get());
        }
        const Outcome o = space.solve(method, p, k, 0, fns);
        if (run.stop != 0) return false;  // an exception is pending
        p.record(k, o);
        return true;
    };
    return vlm::py::run_python(p.count, job, report);
}

// ---------------------------------------------------------------------------
// Arguments.

PyArrayObject *as_array(PyObject *obj) { return reinterpret_cast<PyArrayObject *>(obj); }

// x: a writable C-contiguous float64 array of shape (K, n) with n >= 1.
bool starts_arg(PyObject *obj, Problems &p) {
    if (!is_array_of(obj, NPY_DOUBLE) || PyArray_NDIM(as_array(obj)) != 2 ||
        !PyArray_ISWRITEABLE(as_array(obj)) || PyArray_DIM(as_array(obj), 1) < 1) {
        PyErr_SetString(PyExc_ValueError,
                        "x must be a writable C-contiguous float64 array of shape (K, n), n >= 1");
        return false;
    }
    p.count = PyArray_DIM(as_array(obj), 0);
    p.n = PyArray_DIM(as_array(obj), 1);
    p.x = static_cast<f64 *>(PyArray_DATA(as_array(obj)));
    return true;
}

// data: None, or a C-contiguous float64 array whose first axis has length K.
bool data_arg(PyObject *obj, const vlm::py::ParsedObjective &parsed, Problems &p) {
    if (obj == Py_None) {
        p.shared_ctx = parsed.ctx;
        return true;
    }
    if (!is_array_of(obj, NPY_DOUBLE) || PyArray_NDIM(as_array(obj)) < 1 ||
        PyArray_DIM(as_array(obj), 0) != p.count) {
        PyErr_SetString(PyExc_ValueError,
                        "data must be None or a C-contiguous float64 array of K rows");
        return false;
    }
    p.data = obj;
    p.rows = static_cast<const char *>(PyArray_DATA(as_array(obj)));
    p.row_bytes = sizeof(f64);
    for (int d = 1; d < PyArray_NDIM(as_array(obj)); ++d)
        p.row_bytes *= static_cast<size_t>(PyArray_DIM(as_array(obj), d));
    return true;
}

// What fit returns: one row per problem, or the first unusable start.
PyStructSequence_Field fit_rows_fields[] = {
    {"state", "how each fit ended"},
    {"status", "the minimizer's status"},
    {"message", "its message"},
    {"nfev", "evaluations"},
    {"njev", "gradient evaluations"},
    {"nit", "iterations"},
    {"fun", "the objective at the estimates"},
    {"hessian_state", "what the Hessian's analysis found"},
    {"se", "the standard errors"},
    {"y", "the estimates on the unconstrained scale"},
    {"se_y", "their standard errors"},
    {"flat", "the elements a flat direction moves"},
    {"cov", "the covariances"},
    {"edm", "the estimated distances to the minimum"},
    {"at_bound", "the elements on or near a bound"},
    {nullptr, nullptr},
};
PyStructSequence_Field bad_start_fields[] = {
    {"problem", "the first problem whose start is unusable"},
    {"element", "its element"},
    {"reason", "why (one of the START_* constants)"},
    {nullptr, nullptr},
};
vlm::py::RecordType fit_rows_result, bad_start_result;

// What lbfgsb and neldermead return: one value per problem.
PyStructSequence_Field rows_fields[] = {
    {"fun", "the objective at the final points"},
    {"nit", "iterations"},
    {"nfev", "objective evaluations"},
    {"status", "the minimizer's status"},
    {"message", "the minimizer's message"},
    {nullptr, nullptr},
};
vlm::py::RecordType rows_result;

// The messages as an object array: problems with the same message share one
// string object.
PyObject *message_column(const Problems &p) {
    npy_intp dim = static_cast<npy_intp>(p.count);
    Ref arr(PyArray_ZEROS(1, &dim, NPY_OBJECT, 0));
    if (!arr) return nullptr;
    constexpr int kinds = 16;  // far more than the drivers' messages
    const char *seen[kinds];
    Ref text[kinds];
    int known = 0;
    auto **items = static_cast<PyObject **>(PyArray_DATA(as_array(arr.get())));
    for (i64 k = 0; k < p.count; ++k) {
        const char *m = p.message[k] != nullptr ? p.message[k] : "";
        int i = 0;
        while (i < known && seen[i] != m) ++i;
        if (i == known) {
            if (known == kinds) {
                PyErr_SetString(PyExc_RuntimeError, "too many different messages");
                return nullptr;
            }
            text[i].reset(PyUnicode_FromString(m));
            if (!text[i]) return nullptr;
            seen[i] = m;
            ++known;
        }
        PyObject *old = items[k];
        items[k] = Py_NewRef(text[i].get());
        Py_XDECREF(old);
    }
    return arr.release();
}

// workers: an int >= 1.
bool workers_arg(PyObject *obj, i64 *workers) {
    long long w = 0;
    if (!PyLong_CheckExact(obj) || (w = PyLong_AsLongLong(obj)) < 1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "workers must be an int >= 1");
        return false;
    }
    *workers = static_cast<i64>(w);
    return true;
}

// report: None (null) or a callable report(done).
bool report_arg(PyObject *obj, PyObject **report) {
    *report = obj == Py_None ? nullptr : obj;
    if (*report != nullptr && !PyCallable_Check(*report)) {
        PyErr_SetString(PyExc_TypeError, "report must be callable or None");
        return false;
    }
    return true;
}

// lbfgsb / neldermead(objective, x, data, bounds, options, workers, report)
//   -> (fun, nit, nfev, status, message), arrays of K.
template <class Method, int ints, int reals>
PyObject *run_many(PyObject *const *args, Py_ssize_t nargs, const char *name) {
    if (nargs != 7) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly 7 arguments (%zd given)", name, nargs);
        return nullptr;
    }
    vlm::py::ParsedObjective parsed;
    Problems p;
    if (!vlm::py::parse_objective(args[0], parsed) || !starts_arg(args[1], p) ||
        !data_arg(args[2], parsed, p) || !p.bounds.parse(args[3], p.n, p.count))
        return nullptr;
    if (parsed.kind == 2) {
        PyErr_SetString(PyExc_ValueError, "the built-in objectives are not run here");
        return nullptr;
    }
    i64 iv[ints];
    f64 fv[reals];
    if (!vlm::py::options_arg(args[4], ints + reals, ints, iv, fv)) return nullptr;
    i64 workers = 0;
    PyObject *report = nullptr;
    if (!workers_arg(args[5], &workers) || !report_arg(args[6], &report)) return nullptr;

    Ref fun(new_zeros({p.count}, NPY_DOUBLE, &p.fun)), nit(new_zeros({p.count}, NPY_INT64, &p.nit)),
        nfev(new_zeros({p.count}, NPY_INT64, &p.nfev)),
        status(new_zeros({p.count}, NPY_INT64, &p.status));
    if (!fun || !nit || !nfev || !status) return nullptr;
    p.message = static_cast<const char **>(
        PyMem_Calloc(static_cast<size_t>(p.count > 0 ? p.count : 1), sizeof(const char *)));
    if (p.message == nullptr) return PyErr_NoMemory();

    const Method method{Method::options(iv, fv)};
    const bool ok = parsed.kind == 1 ? solve_native(method, p, parsed, workers, report)
                                     : solve_python(method, p, parsed, report);
    Ref message(ok ? message_column(p) : nullptr);
    PyMem_Free(p.message);
    if (!message) return nullptr;
    return rows_result.from(
        PyTuple_Pack(5, fun.get(), nit.get(), nfev.get(), status.get(), message.get()));
}

PyObject *lbfgsb(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return run_many<Lbfgsb, 4, 3>(args, nargs, "lbfgsb");
}

PyObject *neldermead(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return run_many<NelderMead, 2, 2>(args, nargs, "neldermead");
}

// ===========================================================================
// fit_many: K maximum-likelihood fits (fit_driver.h) of one objective, each
// the fit Velmora.fit makes of its problem, with its standard errors.

// What a fit writes besides the record of its minimization.
struct FitRows {
    i64 *state = nullptr, *njev = nullptr, *hessian_state = nullptr;
    // (K, n): the standard errors, the estimates on the unconstrained
    // coordinates and their standard errors (NaN and 0 for fixed elements),
    // the flags of elements a flat direction moves; (K, n, n): covariances.
    f64 *se = nullptr, *y = nullptr, *se_y = nullptr, *cov = nullptr;
    unsigned char *flat = nullptr;
    // (K,): the certification's EDM; (K, n): the elements at a bound.
    f64 *edm = nullptr;
    unsigned char *at_bound = nullptr;
};

constexpr const char *kNotFiniteStart = "the objective is not finite at x0";
constexpr const char *kNoWorkspace = "ERROR: workspace allocation failed";

// Each worker's block: its copy of the point (written at every evaluation),
// the fit's arrays on the unconstrained coordinates, then the fit's
// workspace.
class FitSpace {
public:
    // False with MemoryError set when the blocks cannot be allocated.
    bool prepare(i64 workers, const vlm::FitProblem &base) {
        n_ = base.n;
        const size_t fit = vlm::fit_workspace_bytes(base);
        size_t square = 0, reals = 0;
        if (fit == 0 ||
            __builtin_mul_overflow(static_cast<size_t>(n_), static_cast<size_t>(n_), &square) ||
            __builtin_add_overflow(2 * square, 3 * static_cast<size_t>(n_), &reals) ||
            reals > (SIZE_MAX - fit) / sizeof(f64) - 8) {
            vlm::py::no_memory_for("the workspaces of the fits", 0);
            return false;
        }
        arrays_bytes_ = (reals * sizeof(f64) + 63) / 64 * 64;
        return blocks_.allocate(workers, arrays_bytes_ + fit);
    }

    // Worker w's x, y, grad (n each), hessian and cov_y (n x n each).
    vlm::FitArrays arrays(i64 w) const {
        vlm::FitArrays a;
        a.x = static_cast<f64 *>(blocks_[w]);
        a.y = a.x + n_;
        a.grad = a.y + n_;
        a.hessian = a.grad + n_;
        a.cov_y = a.hessian + n_ * n_;
        return a;
    }
    void *workspace(i64 w) const { return static_cast<char *>(blocks_[w]) + arrays_bytes_; }

private:
    vlm::py::Workspaces blocks_;
    i64 n_ = 0;
    size_t arrays_bytes_ = 0;
};

// The fit of problem k: `base` with the problem's bounds and objective.
vlm::FitProblem problem_fit(const vlm::FitProblem &base, const Problems &p, i64 k,
                            const Functions &fns) {
    vlm::FitProblem fp = base;
    fp.value = fns.value;
    fp.value_grad = fns.value_grad;
    fp.ctx = fns.ctx;
    fp.stop = fns.stop;
    fp.lo = p.lo_of(k);
    fp.hi = p.hi_of(k);
    fp.nbd = p.nbd_of(k);
    return fp;
}

// Runs fit fp of problem k on worker w and writes its rows; false when it
// was stopped (nothing written).
bool fit_problem(const vlm::FitProblem &fp, Problems &p, FitRows &rows, i64 k, FitSpace &space,
                 i64 w) {
    const i64 n = p.n;
    const size_t n_bytes = static_cast<size_t>(n) * sizeof(f64);
    vlm::FitArrays a = space.arrays(w);
    a.se = rows.se + k * n;
    a.cov = rows.cov + k * n * n;
    a.flat = rows.flat + k * n;
    a.at_bound = rows.at_bound + k * n;
    std::memcpy(a.x, p.x_of(k), n_bytes);
    vlm::FitOutcome out;
    vlm::fit_drive(fp, a, out, space.workspace(w));
    if (out.state == vlm::FIT_STOPPED) return false;
    std::memcpy(p.x_of(k), a.x, n_bytes);

    const vlm_lbfgsb_result &r = out.run;
    const bool estimated = out.state == vlm::FIT_DONE || out.state == vlm::FIT_NO_HESSIAN;
    const char *message = out.state == vlm::FIT_NOT_FINITE_START ? kNotFiniteStart
                          : out.state == vlm::FIT_NO_MEMORY      ? kNoWorkspace
                                                                 : r.message;
    p.record(k, {r.status, r.nfev + out.start_nfev + out.hessian_nfev, r.nit, r.fun, message});
    const bool by_gradient = out.source == vlm::HessianSource::gradient;
    rows.state[k] = out.state;
    rows.njev[k] = (fp.method == vlm::FitMethod::lbfgsb ? out.run_njev : 0) +
                   (by_gradient ? out.hessian_nfev : 0);
    rows.hessian_state[k] = out.hessian_state;
    rows.edm[k] = estimated ? out.edm : NAN;
    if (!estimated) {  // no estimate: nothing to report its uncertainty
        std::memset(a.at_bound, 0, static_cast<size_t>(n));
        for (i64 i = 0; i < n * n; ++i) a.cov[i] = NAN;
        for (i64 i = 0; i < n; ++i) a.se[i] = NAN;
        std::memset(a.flat, 0, static_cast<size_t>(n));
    }
    // y and its standard errors by element, for intervals on that scale.
    const i64 m = vlm::fit_free_count(fp);
    f64 *y = rows.y + k * n, *se_y = rows.se_y + k * n;
    for (i64 i = 0, j = 0; i < n; ++i) {
        if (vlm::fit_is_fixed(fp, i)) {
            y[i] = NAN;
            se_y[i] = 0.0;
            continue;
        }
        y[i] = estimated ? a.y[j] : NAN;
        se_y[i] = estimated ? std::sqrt(a.cov_y[j * m + j]) : NAN;
        ++j;
    }
    return true;
}

// Every problem's start through the fit's own checks, before any
// evaluation: the first unusable one as (problem, element, why), or -1.
i64 first_bad_start(const vlm::FitProblem &base, const Problems &p, FitSpace &space, i64 *index,
                    i64 *why) {
    const Functions none{};
    for (i64 k = 0; k < p.count; ++k) {
        *why = vlm::fit_check_start(problem_fit(base, p, k, none), p.x_of(k), space.workspace(0),
                                    *index);
        if (*why != vlm::START_OK) return k;
    }
    return -1;
}

// (method, interval_family, errordef), as for Velmora.fit, and the options
// of the method into base.
bool fit_settings_and_options(PyObject *settings, PyObject *options, vlm::FitProblem &base) {
    if (!vlm::py::fit_settings(settings, base)) return false;
    i64 iv[4];
    f64 fv[3];
    if (base.method == vlm::FitMethod::lbfgsb) {
        if (!vlm::py::options_arg(options, 7, 4, iv, fv)) return false;
        base.lbfgsb = Lbfgsb::options(iv, fv);
    } else {
        if (!vlm::py::options_arg(options, 4, 2, iv, fv)) return false;
        base.neldermead = NelderMead::options(iv, fv);
    }
    return true;
}

bool fit_native(const vlm::FitProblem &base, Problems &p, FitRows &rows,
                const vlm::py::ParsedObjective &parsed, FitSpace &space, i64 threads,
                PyObject *report) {
    const auto value = reinterpret_cast<vlm_objective_fn>(parsed.value);
    const auto value_grad = reinterpret_cast<vlm::ValueGradFn>(parsed.grad);
    auto job = [&](i64 k, i64 worker, const StopFlag &flag) {
        NativeRun run{value, value_grad, p.ctx_of(k), &flag};
        const Functions fns{native_value, value_grad != nullptr ? native_value_grad : nullptr, &run,
                            &run.stop};
        fit_problem(problem_fit(base, p, k, fns), p, rows, k, space, worker);
    };
    return vlm::py::run_native(p.count, threads, job, report);
}

bool fit_python(const vlm::FitProblem &base, Problems &p, FitRows &rows,
                const vlm::py::ParsedObjective &parsed, FitSpace &space, PyObject *report) {
    vlm::py::ObjectiveRun run;
    run.n = p.n;
    if (!run.set_python(parsed, p.data != nullptr ? 1 : 0)) return false;
    const bool gradient = run.jac != nullptr || run.value_and_grad;
    const Functions fns{vlm::py::python_value, gradient ? vlm::py::python_value_grad : nullptr,
                        static_cast<vlm::py::ObjectiveRun *>(&run), &run.stop};
    auto job = [&](i64 k) {
        Ref row;
        if (p.data != nullptr) {
            row.reset(PySequence_GetItem(p.data, static_cast<Py_ssize_t>(k)));
            if (!row) return false;
            run.calls.set_lead(0, row.get());
        }
        return fit_problem(problem_fit(base, p, k, fns), p, rows, k, space, 0) && run.stop == 0;
    };
    return vlm::py::run_python(p.count, job, report);
}

// fit(objective, x, data, bounds, options, settings, workers, report)
//   objective, x, data, bounds, workers, report: as for lbfgsb;
//   options: those of lbfgsb (method 0) or neldermead (method 1);
//   settings: (method, interval_family, errordef), as for Velmora.fit.
// x receives the estimates. Returns (state, status, message, nfev, njev,
// nit, fun, hessian_state, se, y, se_y, flat, cov, edm, at_bound): arrays
// of K, of (K, n) and cov of (K, n, n) -- or, when the start of a problem cannot be used,
// (problem, element, start_problem) before any evaluation.
PyObject *fit(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 8) {
        PyErr_Format(PyExc_TypeError, "fit() takes exactly 8 arguments (%zd given)", nargs);
        return nullptr;
    }
    vlm::py::ParsedObjective parsed;
    Problems p;
    vlm::FitProblem base;
    if (!vlm::py::parse_objective(args[0], parsed) || !starts_arg(args[1], p) ||
        !data_arg(args[2], parsed, p) || !p.bounds.parse(args[3], p.n, p.count) ||
        !fit_settings_and_options(args[5], args[4], base))
        return nullptr;
    if (parsed.kind == 2) {
        PyErr_SetString(PyExc_ValueError, "the built-in objectives are not run here");
        return nullptr;
    }
    i64 workers = 0;
    PyObject *report = nullptr;
    if (!workers_arg(args[6], &workers) || !report_arg(args[7], &report)) return nullptr;
    base.n = p.n;
    const i64 threads = vlm::py::worker_count(p.count, parsed.kind == 1 ? workers : 1);
    FitSpace space;
    if (!space.prepare(threads, base)) return nullptr;

    i64 index = -1, why = vlm::START_OK;
    i64 bad = -1;
    {
        vlm::py::Lock nogil(vlm::py::Lock::released);
        bad = first_bad_start(base, p, space, &index, &why);
    }
    if (bad >= 0)
        return bad_start_result.from(Py_BuildValue("(LLL)", static_cast<long long>(bad),
                                                   static_cast<long long>(index),
                                                   static_cast<long long>(why)));

    FitRows rows;
    Ref state(new_zeros({p.count}, NPY_INT64, &rows.state)),
        status(new_zeros({p.count}, NPY_INT64, &p.status)),
        nfev(new_zeros({p.count}, NPY_INT64, &p.nfev)),
        njev(new_zeros({p.count}, NPY_INT64, &rows.njev)),
        nit(new_zeros({p.count}, NPY_INT64, &p.nit)), fun(new_zeros({p.count}, NPY_DOUBLE, &p.fun)),
        hessian_state(new_zeros({p.count}, NPY_INT64, &rows.hessian_state)),
        se(new_zeros({p.count, p.n}, NPY_DOUBLE, &rows.se)),
        y(new_zeros({p.count, p.n}, NPY_DOUBLE, &rows.y)),
        se_y(new_zeros({p.count, p.n}, NPY_DOUBLE, &rows.se_y)),
        flat(new_zeros({p.count, p.n}, NPY_BOOL, &rows.flat)),
        cov(new_zeros({p.count, p.n, p.n}, NPY_DOUBLE, &rows.cov)),
        edm(new_zeros({p.count}, NPY_DOUBLE, &rows.edm)),
        at_bound(new_zeros({p.count, p.n}, NPY_BOOL, &rows.at_bound));
    if (!state || !status || !nfev || !njev || !nit || !fun || !hessian_state || !se || !y ||
        !se_y || !flat || !cov || !edm || !at_bound)
        return nullptr;
    p.message = static_cast<const char **>(
        PyMem_Calloc(static_cast<size_t>(p.count > 0 ? p.count : 1), sizeof(const char *)));
    if (p.message == nullptr) return PyErr_NoMemory();

    const bool ok = parsed.kind == 1 ? fit_native(base, p, rows, parsed, space, threads, report)
                                     : fit_python(base, p, rows, parsed, space, report);
    Ref message(ok ? message_column(p) : nullptr);
    PyMem_Free(p.message);
    if (!message) return nullptr;
    return fit_rows_result.from(PyTuple_Pack(15, state.get(), status.get(), message.get(),
                                             nfev.get(), njev.get(), nit.get(), fun.get(),
                                             hessian_state.get(), se.get(), y.get(), se_y.get(),
                                             flat.get(), cov.get(), edm.get(), at_bound.get()));
}

PyMethodDef methods[] = {
    {"lbfgsb_many", vlm::py::fastcall(lbfgsb), METH_FASTCALL,
     "lbfgsb_many(objective, x, data, bounds, options, workers, report) -> RowsResult\n\nThe "
     "L-BFGS-B runs behind Velmora.minimize_many; call that instead."},
    {"neldermead_many", vlm::py::fastcall(neldermead), METH_FASTCALL,
     "neldermead_many(objective, x, data, bounds, options, workers, report) -> RowsResult\n\nThe "
     "Nelder-Mead runs behind Velmora.minimize_many; call that instead."},
    {"fit_many", vlm::py::fastcall(fit), METH_FASTCALL,
     "fit_many(objective, x, data, bounds, options, settings, workers, report) -> FitRows or "
     "BadStart\n\nThe fits behind Velmora.fit_many; call that instead."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// The runs and their records.
int bind_many(PyObject *module) {
    if (PyModule_AddFunctions(module, methods) < 0) return -1;
    return rows_result.make(module, "Velmora._ckernels.optim._fitting.RowsResult",
                            "Many minimizations, one value per problem.", rows_fields) < 0 ||
                   fit_rows_result.make(module, "Velmora._ckernels.optim._fitting.FitRows",
                                        "Many fits, one row per problem.", fit_rows_fields) < 0 ||
                   bad_start_result.make(module, "Velmora._ckernels.optim._fitting.BadStart",
                                         "The first unusable start of many fits.",
                                         bad_start_fields) < 0
               ? -1
               : 0;
}
