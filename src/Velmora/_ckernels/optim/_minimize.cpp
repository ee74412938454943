// The native side of Velmora.minimize: one call runs a whole minimization of
// the user's objective -- a Python callable, a native function, or one of the
// built-in objectives by name -- with the L-BFGS-B driver loop or the
// Nelder-Mead minimizer of this package. Velmora/_args.py normalises the
// arguments; they are checked again here, so that no call of these private
// functions can read or write outside a buffer.
//
// The interpreter lock: a Python objective holds it for the whole run (its
// evaluations are Python calls, and the native work between two of them is
// far shorter than releasing and retaking the lock). A native objective runs
// with the lock released and takes it back only for the callback and, every
// few milliseconds, to let signal handlers run, so Ctrl-C stops it promptly.
//
// One part of the private module _fitting (_fitting.cpp): bind_minimize adds
// these functions, their records and the codes of a fit's outcome to it.
#include <cfloat>
#include <cmath>
#include <cstring>

#include "_fitting.h"
#include "convert.h"
#include "module.h"
#include "numpy_calls.h"
#include "record.h"
#include "run_lock.h"
#include "typed_args.h"
#include "unpack.h"

#define NO_IMPORT_ARRAY
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include "bounds.h"
#include "fit_driver.h"
#include "fit_settings.h"
#include "profile_driver.h"
#include "numpy_api.h"
#include "py_objective.h"

#include "objectives.h"
#include "optim_driver.h"

namespace {

using vlm::py::new_zeros;
using vlm::py::Ref;
using vlm::py::TypedView;
using vlm::py::vector_arg;

// ---------------------------------------------------------------------------
// One run: the objective as the minimizers call it, and the callback.

enum class Kind { python, native, builtin };

// A run of minimize: the shared part (see ObjectiveRun), the native
// objective and the callback.
struct Run : vlm::py::ObjectiveRun {
    Kind kind = Kind::python;
    bool callback_stop = false;  // the callback raised StopIteration

    // Native objective (a built-in one has its own context).
    vlm_objective_fn value = nullptr;
    vlm::ValueGradFn value_grad = nullptr;
    void *ctx = nullptr;
    vlm::ObjCtx builtin_ctx{0, nullptr};

    PyObject *callback = nullptr;  // callback(x, fun) or null

    // The context of the objective functions: the shared part, which the
    // Python objective's functions take.
    void *objective_ctx() { return static_cast<vlm::py::ObjectiveRun *>(this); }
};

Run &run_of(void *objective_ctx) {
    return static_cast<Run &>(*static_cast<vlm::py::ObjectiveRun *>(objective_ctx));
}

f64 native_value(const f64 *__restrict x, void *ctx) {
    Run &run = run_of(ctx);
    const f64 f = run.value(x, run.ctx);
    run.after_evaluation();
    return f;
}

f64 native_value_grad(const f64 *__restrict x, f64 *__restrict g, void *ctx) {
    Run &run = run_of(ctx);
    const f64 f = run.value_grad(x, g, run.ctx);
    run.after_evaluation();
    return f;
}

// The callback after an accepted iterate: callback(copy of x, fun). Non-zero
// ends the run: StopIteration is the callback's request to stop, any other
// exception stays pending and is raised when the run is over.
int on_iterate(void *ctx, i64, const f64 *x, f64 f) {
    Run &run = *static_cast<Run *>(ctx);
    const bool entered = run.lock.enter();
    int stop = 0;
    {
        Ref arr(vlm::py::new_vector(x, run.n));
        Ref value(arr ? PyFloat_FromDouble(f) : nullptr);
        PyObject *args[] = {arr.get(), value.get()};
        Ref res(value ? PyObject_Vectorcall(run.callback, args, 2, nullptr) : nullptr);
        if (!res) {
            stop = 1;
            if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                PyErr_Clear();
                run.callback_stop = true;
            } else {
                run.stop = 1;
            }
        }
    }
    run.lock.leave(entered);
    return stop;
}

// ---------------------------------------------------------------------------
// Arguments.

// The objective tuple built by _args.parse_objective (see vlm::py::parse_objective).
bool set_objective(Run &run, PyObject *described, TypedView<f64> &params) {
    vlm::py::ParsedObjective o;
    if (!vlm::py::parse_objective(described, o)) return false;
    if (o.kind == 0) {
        run.kind = Kind::python;
        return run.set_python(o, 0);
    }
    if (o.kind == 1) {
        run.kind = Kind::native;
        run.value = reinterpret_cast<vlm_objective_fn>(o.value);
        run.value_grad = reinterpret_cast<vlm::ValueGradFn>(o.grad);
        run.ctx = o.ctx;
        return true;
    }
    vlm_objective_fn fn = nullptr;
    if (PyUnicode_Check(o.name))
        for (const vlm::NamedObjective &b : vlm::builtin_objectives)
            if (PyUnicode_CompareWithASCIIString(o.name, b.name) == 0) fn = b.fn;
    if (fn == nullptr) {
        PyErr_Format(PyExc_ValueError, "unknown objective %R", o.name);
        return false;
    }
    if (o.params != Py_None && !params.acquire(o.params)) return false;
    if (fn == vlm::_obj_quad &&
        (o.params == Py_None || params.size() < 2 * run.n || !params.aligned())) {
        PyErr_SetString(PyExc_ValueError,
                        "objective 'quad' needs 2*n aligned float64 params (the n weights, "
                        "then the n centre coordinates)");
        return false;
    }
    run.kind = Kind::builtin;
    run.value = fn;
    run.builtin_ctx = {run.n, params.data()};
    run.ctx = &run.builtin_ctx;
    return true;
}

// What lbfgsb, neldermead and fit return.
PyStructSequence_Field run_fields[] = {
    {"status", "the minimizer's status"},
    {"message", "its message"},
    {"nfev", "objective evaluations"},
    {"njev", "gradient evaluations"},
    {"nit", "iterations"},
    {"fun", "the objective at the final point"},
    {nullptr, nullptr},
};
PyStructSequence_Field fit_fields[] = {
    {"state", "how the fit ended (a FIT_* constant)"},
    {"element", "the element of a refused start"},
    {"start_problem", "why it was refused (a START_* constant)"},
    {"status", "the minimizer's status"},
    {"message", "its message"},
    {"nfev", "objective evaluations of the minimization"},
    {"njev", "gradient evaluations of the minimization"},
    {"nit", "iterations"},
    {"fun", "the objective at the estimate"},
    {"start_nfev", "evaluations before the run"},
    {"hessian_nfev", "evaluations of the Hessian and the certification"},
    {"hessian_by_gradient", "whether the Hessian came from a gradient"},
    {"hessian_state", "what its analysis found (a HESSIAN_* constant)"},
    {"flat_count", "elements moved by a flat direction"},
    {"y", "the estimate on the unconstrained scale"},
    {"grad", "the gradient there"},
    {"hessian", "the Hessian there"},
    {"cov_y", "the covariance of y"},
    {"cov", "the covariance of x"},
    {"se", "the standard errors of x"},
    {"flat", "the elements a flat direction moves"},
    {"edm", "the estimated distance to the minimum"},
    {"at_bound", "the elements on or near a bound"},
    {nullptr, nullptr},
};
vlm::py::RecordType run_result, fit_result;

// Everything a call shares: the checked arguments and the run.
struct Call {
    Run run;
    TypedView<f64> x, params, g;
    vlm::py::Bounds bounds;

    bool setup(PyObject *const *args, Py_ssize_t nargs, Py_ssize_t expected, const char *name) {
        if (nargs != expected) {
            PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name,
                         expected, nargs);
            return false;
        }
        if (!x.acquire(args[1])) return false;
        run.n = x.size();
        if (run.n < 1 || !x.aligned()) {
            PyErr_SetString(PyExc_ValueError,
                            "x must be an aligned float64 array of n >= 1 values");
            return false;
        }
        if (!set_objective(run, args[0], params) || !bounds.parse(args[2], run.n)) return false;
        PyObject *callback = args[4];
        if (callback != Py_None && !PyCallable_Check(callback)) {
            PyErr_SetString(PyExc_TypeError, "callback must be callable or None");
            return false;
        }
        run.callback = callback == Py_None ? nullptr : callback;
        return true;
    }

    // The run itself, with the lock released for a native objective.
    template <class Body>
    void execute(Body &&body) {
        if (run.kind != Kind::python) run.lock.release();
        body();
        run.lock.reacquire();
    }

    // (status, message, nfev, njev, nit, fun), or null when Python code
    // raised during the run (that exception propagates unchanged).
    PyObject *result(i64 status, const char *message, i64 nfev, i64 njev, i64 nit, f64 fun) {
        if (PyErr_Occurred()) return nullptr;
        if (run.callback_stop) status = VLM_LBFGSB_STOPPED;
        return run_result.from(
            Py_BuildValue("(LsLLLd)", static_cast<long long>(status),
                          message != nullptr ? message : "", static_cast<long long>(nfev),
                          static_cast<long long>(njev), static_cast<long long>(nit), fun));
    }
};

// lbfgsb(objective, x, bounds, options, callback, g): options (m, maxiter,
// maxfun, maxls, factr, pgtol, fd_step); x receives the final point and g
// the final gradient.
PyObject *lbfgsb(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    Call c;
    if (!c.setup(args, nargs, 6, "lbfgsb")) return nullptr;
    i64 iv[4];
    f64 fv[3];
    if (!vlm::py::options_arg(args[3], 7, 4, iv, fv) || !vector_arg(args[5], c.run.n, "g", c.g))
        return nullptr;
    const vlm_lbfgsb_options opt{iv[0], iv[1], iv[2], iv[3], fv[0], fv[1], fv[2]};

    Run &run = c.run;
    vlm::LbfgsbObjective obj;
    obj.ctx = run.objective_ctx();
    obj.stop = &run.stop;
    // The built-in objectives run exactly as run_lbfgsb runs them.
    obj.judge_failure_centrally = run.kind != Kind::builtin;
    if (run.callback != nullptr) {
        obj.on_iterate = on_iterate;
        obj.hook_ctx = &run;
    }
    if (run.kind == Kind::python) {
        if (run.jac != nullptr || run.value_and_grad)
            obj.value_grad = vlm::py::python_value_grad;
        else
            obj.value = vlm::py::python_value;
    } else if (run.value_grad != nullptr) {
        obj.value_grad = native_value_grad;
    } else {
        obj.value = native_value;
    }

    vlm_lbfgsb_result res{};
    i64 requests = 0;
    c.execute([&] {
        vlm::lbfgsb_drive(obj, run.n, c.x.data(), c.bounds.lo(), c.bounds.hi(), c.bounds.nbd(),
                          &opt, &res, &requests, c.g.data(), nullptr);
    });
    const i64 njev = run.kind == Kind::python && run.jac != nullptr ? run.njev : requests;
    return c.result(res.status, res.message, res.nfev, njev, res.nit, res.fun);
}

// neldermead(objective, x, bounds, options, callback): options (maxiter,
// maxfun, xatol, fatol); x receives the best vertex.
PyObject *neldermead(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    Call c;
    if (!c.setup(args, nargs, 5, "neldermead")) return nullptr;
    i64 iv[2];
    f64 fv[2];
    if (!vlm::py::options_arg(args[3], 4, 2, iv, fv)) return nullptr;
    const vlm_neldermead_options opt{iv[0], iv[1], fv[0], fv[1]};

    Run &run = c.run;
    vlm::NelderMeadHooks hooks;
    hooks.stop = &run.stop;
    if (run.callback != nullptr) {
        hooks.on_iterate = on_iterate;
        hooks.hook_ctx = &run;
    }
    const vlm_objective_fn value = run.kind == Kind::python ? vlm::py::python_value : native_value;
    vlm_neldermead_result res{};
    c.execute([&] {
        vlm::neldermead_drive(value, run.objective_ctx(), run.n, c.x.data(), c.bounds.lo(),
                              c.bounds.hi(), c.bounds.nbd(), &opt, &res, &hooks, nullptr);
    });
    return c.result(res.status, res.message, res.nfev, 0, res.nit, res.fun);
}

// ---------------------------------------------------------------------------
// fit: one maximum-likelihood fit (fit_driver.h) on the unconstrained
// coordinates of the free elements, with its Hessian and covariance.

// The fit problem of a call (fit and the profile functions): settings
// args[5] and options args[3] as fit takes them, the call's bounds and
// objective. Callback args[4] must be None.
bool fit_problem(Call &c, PyObject *const *args, vlm::FitProblem &p) {
    if (c.run.callback != nullptr) {
        PyErr_SetString(PyExc_TypeError, "fit takes no callback");
        return false;
    }
    Run &run = c.run;
    if (!vlm::py::fit_settings(args[5], p)) return false;
    if (p.method == vlm::FitMethod::lbfgsb) {
        i64 iv[4];
        f64 fv[3];
        if (!vlm::py::options_arg(args[3], 7, 4, iv, fv)) return false;
        p.lbfgsb = {iv[0], iv[1], iv[2], iv[3], fv[0], fv[1], fv[2]};
    } else {
        i64 iv[2];
        f64 fv[2];
        if (!vlm::py::options_arg(args[3], 4, 2, iv, fv)) return false;
        p.neldermead = {iv[0], iv[1], fv[0], fv[1]};
    }
    p.n = run.n;
    p.lo = c.bounds.lo();
    p.hi = c.bounds.hi();
    p.nbd = c.bounds.nbd();
    p.ctx = run.objective_ctx();
    p.stop = &run.stop;
    if (run.kind == Kind::python) {
        p.value = vlm::py::python_value;
        if (run.jac != nullptr || run.value_and_grad) p.value_grad = vlm::py::python_value_grad;
    } else {
        p.value = native_value;
        if (run.value_grad != nullptr) p.value_grad = native_value_grad;
    }
    return true;
}

// fit(objective, x, bounds, options, callback, settings): objective, x,
// bounds and options as for lbfgsb (method 0) or neldermead (method 1);
// callback must be None. x holds the start, fixed elements at their value,
// and receives the estimate. Returns (state, index, start_problem, status,
// message, nfev, njev, nit, fun, start_nfev, hessian_nfev,
// hessian_by_gradient, hessian_state, flat_count, y, grad, hessian, cov_y,
// cov, se, flat, edm, at_bound); see fit_driver.h.
PyObject *fit(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    Call c;
    if (!c.setup(args, nargs, 6, "fit")) return nullptr;
    Run &run = c.run;
    vlm::FitProblem p;
    if (!fit_problem(c, args, p)) return nullptr;

    const i64 n = run.n, m = vlm::fit_free_count(p);
    vlm::FitArrays a;
    a.x = c.x.data();
    Ref y(new_zeros({m}, NPY_DOUBLE, &a.y)), grad(new_zeros({m}, NPY_DOUBLE, &a.grad)),
        hessian(new_zeros({m, m}, NPY_DOUBLE, &a.hessian)),
        cov_y(new_zeros({m, m}, NPY_DOUBLE, &a.cov_y)), cov(new_zeros({n, n}, NPY_DOUBLE, &a.cov)),
        se(new_zeros({n}, NPY_DOUBLE, &a.se)), flat(new_zeros({n}, NPY_BOOL, &a.flat)),
        at_bound(new_zeros({n}, NPY_BOOL, &a.at_bound));
    if (!y || !grad || !hessian || !cov_y || !cov || !se || !flat || !at_bound) return nullptr;

    vlm::FitOutcome out;
    c.execute([&] { vlm::fit_drive(p, a, out); });
    if (PyErr_Occurred()) return nullptr;
    const vlm_lbfgsb_result &r = out.run;
    const auto ll = [](i64 v) { return static_cast<long long>(v); };
    return fit_result.from(
        Py_BuildValue("(LLLLsLLLdLLiLLOOOOOOOdO)", ll(out.state), ll(out.index),
                      ll(out.start_problem), ll(r.status), r.message != nullptr ? r.message : "",
                      ll(r.nfev), ll(out.run_njev), ll(r.nit), r.fun, ll(out.start_nfev),
                      ll(out.hessian_nfev), out.source == vlm::HessianSource::gradient ? 1 : 0,
                      ll(out.hessian_state), ll(out.flat_count), y.get(), grad.get(), hessian.get(),
                      cov_y.get(), cov.get(), se.get(), flat.get(), out.edm, at_bound.get()));
}

// ---------------------------------------------------------------------------
// Profiles (profile_driver.h): the re-fits of a fitted problem with one
// element held, run like fit (a native objective without the lock).

// The arguments shared by the profile functions after fit's six: the fit's
// covariance of y over the free elements (m * m values, flattened) and its
// minimum value.
bool profile_problem(Call &c, PyObject *const *args, vlm::ProfileProblem &p,
                     TypedView<f64> &cov_y) {
    if (!fit_problem(c, args, p.fit)) return false;
    const i64 m = vlm::fit_free_count(p.fit);
    if (m < 1) {
        PyErr_SetString(PyExc_ValueError, "a profile needs a free element");
        return false;
    }
    if (!vector_arg(args[6], m * m, "cov_y", cov_y, false)) return false;
    p.x_hat = c.x.data();
    p.cov_y = cov_y.data();
    p.f_hat = PyFloat_AsDouble(args[7]);
    if (PyErr_Occurred()) return false;
    if (!std::isfinite(p.f_hat)) {
        PyErr_SetString(PyExc_ValueError, "the fit's minimum must be finite");
        return false;
    }
    return true;
}

// Element i as a profile takes it: in range and free.
bool profiled_element(const vlm::FitProblem &p, i64 i) {
    if (i < 0 || i >= p.n || vlm::fit_is_fixed(p, i)) {
        PyErr_Format(PyExc_ValueError, "element %lld is not a free element",
                     static_cast<long long>(i));
        return false;
    }
    return true;
}

// A positive finite float argument.
bool positive_arg(PyObject *obj, const char *what, f64 &v) {
    v = PyFloat_AsDouble(obj);
    if (PyErr_Occurred()) return false;
    if (!(v > 0.0 && v <= DBL_MAX)) {
        PyErr_Format(PyExc_ValueError, "%s must be a positive finite number", what);
        return false;
    }
    return true;
}

// The outcome of a profile run: the exception of the objective, or
// MemoryError, or none.
bool profile_ran(i64 state) {
    if (PyErr_Occurred()) return false;
    if (state == vlm::PROFILE_NO_MEMORY) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// profile_ends(objective, x, bounds, options, None, settings, cov_y, fun,
// rise, tol, which): fit's arguments with x the estimate (read only), then
// the fit's covariance of y, its minimum, the rise of the objective at an
// end, the accuracy of that rise and the elements (int64). Returns (ends,
// at_bound, found, nfit): (n, 2) arrays of the lower and upper ends (an
// element not in `which` keeps its estimate: found, not at a bound).
PyObject *profile_ends(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    Call c;
    vlm::ProfileProblem p;
    TypedView<f64> cov_y;
    TypedView<i64> which;
    if (!c.setup(args, nargs, 11, "profile_ends") || !profile_problem(c, args, p, cov_y) ||
        !positive_arg(args[8], "rise", p.rise) || !positive_arg(args[9], "tol", p.tol) ||
        !which.acquire(args[10], false, false))
        return nullptr;
    const i64 k = which.size();
    if (!which.aligned()) {
        PyErr_SetString(PyExc_ValueError, "which must be an aligned int64 array");
        return nullptr;
    }
    for (i64 j = 0; j < k; ++j)
        if (!profiled_element(p.fit, which.data()[j])) return nullptr;
    f64 *ends = nullptr;
    unsigned char *at_bound = nullptr, *found = nullptr;
    const i64 n = c.run.n;
    Ref ends_arr(new_zeros({n, 2}, NPY_DOUBLE, &ends)),
        at_bound_arr(new_zeros({n, 2}, NPY_BOOL, &at_bound)),
        found_arr(new_zeros({n, 2}, NPY_BOOL, &found));
    if (!ends_arr || !at_bound_arr || !found_arr) return nullptr;
    for (i64 i = 0; i < n; ++i) {  // an element not profiled: its estimate
        ends[2 * i] = ends[2 * i + 1] = p.x_hat[i];
        found[2 * i] = found[2 * i + 1] = 1;
    }
    i64 nfit = 0, state = vlm::PROFILE_DONE;
    vlm::ProfileWork work;
    c.execute([&] {
        if (!work.open(p)) {
            state = vlm::PROFILE_NO_MEMORY;
            return;
        }
        for (i64 j = 0; j < k && state == vlm::PROFILE_DONE; ++j) {
            for (int side = 0; side < 2 && state == vlm::PROFILE_DONE; ++side) {
                vlm::ProfileEnd end;
                const i64 i = which.data()[j];
                state = vlm::profile_end(p, work, i, side == 0 ? -1 : 1, end, nfit);
                ends[2 * i + side] = end.value;
                at_bound[2 * i + side] = end.at_bound;
                found[2 * i + side] = end.found;
            }
        }
    });
    if (!profile_ran(state)) return nullptr;
    return Py_BuildValue("(OOOL)", ends_arr.get(), at_bound_arr.get(), found_arr.get(),
                         static_cast<long long>(nfit));
}

// profile_values(objective, x, bounds, options, None, settings, cov_y, fun,
// index, values): as profile_ends, for the profile of element `index` at
// `values` (float64, ascending). Returns (fun, ok).
PyObject *profile_values(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    Call c;
    vlm::ProfileProblem p;
    TypedView<f64> cov_y, values;
    if (!c.setup(args, nargs, 10, "profile_values") || !profile_problem(c, args, p, cov_y) ||
        !values.acquire(args[9], false, false))
        return nullptr;
    const i64 i = PyLong_AsLongLong(args[8]);
    if (PyErr_Occurred() || !profiled_element(p.fit, i)) return nullptr;
    const i64 count = values.size();
    if (!values.aligned()) {
        PyErr_SetString(PyExc_ValueError, "values must be an aligned float64 array");
        return nullptr;
    }
    p.tol = 1e-6 * p.fit.errordef;  // the re-fits' accuracy, as for an interval
    f64 *fun = nullptr;
    unsigned char *ok = nullptr;
    Ref fun_arr(new_zeros({count}, NPY_DOUBLE, &fun)), ok_arr(new_zeros({count}, NPY_BOOL, &ok));
    if (!fun_arr || !ok_arr) return nullptr;
    i64 state = vlm::PROFILE_DONE;
    vlm::ProfileWork work;
    c.execute([&] {
        state = work.open(p) ? vlm::profile_values(p, work, i, values.data(), count, fun, ok)
                             : vlm::PROFILE_NO_MEMORY;
    });
    if (!profile_ran(state)) return nullptr;
    return Py_BuildValue("(OO)", fun_arr.get(), ok_arr.get());
}

PyMethodDef methods[] = {
    {"lbfgsb", vlm::py::fastcall(lbfgsb), METH_FASTCALL,
     "lbfgsb(objective, x, bounds, options, callback, g) -> RunResult\n\nThe L-BFGS-B run behind "
     "Velmora.minimize; call that instead."},
    {"neldermead", vlm::py::fastcall(neldermead), METH_FASTCALL,
     "neldermead(objective, x, bounds, options, callback) -> RunResult\n\nThe Nelder-Mead run "
     "behind Velmora.minimize; call that instead."},
    {"fit", vlm::py::fastcall(fit), METH_FASTCALL,
     "fit(objective, x, bounds, options, callback, settings) -> FitOutcome\n\nThe fit behind "
     "Velmora.fit; call that instead."},
    {"profile_ends", vlm::py::fastcall(profile_ends), METH_FASTCALL,
     "profile_ends(objective, x, bounds, options, callback, settings, cov_y, fun, rise, tol, "
     "which) -> (ends, at_bound, found, nfit)\n\nThe profile-likelihood intervals behind "
     "FitResult.ci(method='profile'); call that instead."},
    {"profile_values", vlm::py::fastcall(profile_values), METH_FASTCALL,
     "profile_values(objective, x, bounds, options, callback, settings, cov_y, fun, index, "
     "values) -> (fun, ok)\n\nThe profile behind FitResult.profile; call that instead."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// The runs, their records, and the codes of a fit's outcome for Python to
// read from here.
int bind_minimize(PyObject *module) {
    if (PyModule_AddFunctions(module, methods) < 0 ||
        run_result.make(module, "Velmora._ckernels.optim._fitting.RunResult", "One minimization.",
                        run_fields) < 0 ||
        fit_result.make(module, "Velmora._ckernels.optim._fitting.FitOutcome", "One fit.",
                        fit_fields) < 0)
        return -1;
    return vlm::py::add_constants(module, {
                                              {"FIT_DONE", vlm::FIT_DONE},
                                              {"FIT_STOPPED", vlm::FIT_STOPPED},
                                              {"FIT_BAD_START", vlm::FIT_BAD_START},
                                              {"FIT_NOT_FINITE_START", vlm::FIT_NOT_FINITE_START},
                                              {"FIT_NO_HESSIAN", vlm::FIT_NO_HESSIAN},
                                              {"FIT_NO_MEMORY", vlm::FIT_NO_MEMORY},
                                              {"FIT_NOT_RUN", vlm::FIT_NOT_RUN},
                                              {"HESSIAN_IDENTIFIED", vlm::HESSIAN_IDENTIFIED},
                                              {"HESSIAN_FLAT", vlm::HESSIAN_FLAT},
                                              {"HESSIAN_NOT_FINITE", vlm::HESSIAN_NOT_FINITE},
                                              {"START_NOT_FINITE", vlm::START_NOT_FINITE},
                                              {"START_OUTSIDE", vlm::START_OUTSIDE},
                                              {"START_ON_BOUND", vlm::START_ON_BOUND},
                                              {"START_TOO_WIDE", vlm::START_TOO_WIDE},
                                              {"START_TOO_CLOSE", vlm::START_TOO_CLOSE},
                                              {"START_NOTHING_FREE", vlm::START_NOTHING_FREE},
                                          });
}
