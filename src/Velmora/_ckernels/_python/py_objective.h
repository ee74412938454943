// The user's objective as Python code or as a native address: calling a
// Python function at a point, reading back what it returned, and taking a
// native function's address. Shared by the modules that minimize the user's
// objective. Needs NumPy's C API (numpy_api.h).
#ifndef VLM_PY_OBJECTIVE_H
#define VLM_PY_OBJECTIVE_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstdint>

#include "numpy_api.h"
#include "numpy_calls.h"
#include "run_lock.h"
#include "unpack.h"
#include "vlm_common.h"

namespace vlm::py {

// The value an objective returned: a Python or NumPy real number (a float, an
// int or bool, a NumPy real scalar or 0-d array). TypeError naming the type
// for anything else.
inline bool real_value(PyObject *v, f64 *out) {
    if (PyFloat_Check(v)) {
        *out = PyFloat_AS_DOUBLE(v);
        return true;
    }
    bool real = PyLong_Check(v);
    if (!real && PyArray_IsScalar(v, Generic)) {
        PyArray_Descr *d = PyArray_DescrFromScalar(v);
        real = d != nullptr && is_real_kind(d->kind);
        Py_XDECREF(d);
    }
    if (!real && PyArray_Check(v)) {
        auto *a = reinterpret_cast<PyArrayObject *>(v);
        real = PyArray_NDIM(a) == 0 && is_real_kind(PyArray_DESCR(a)->kind);
    }
    if (!real) {
        PyErr_Format(PyExc_TypeError, "fun must return a real number, got %.200s",
                     Py_TYPE(v)->tp_name);
        return false;
    }
    const f64 d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) return false;
    *out = d;
    return true;
}

// A gradient of n real numbers (any array-like of that size, at most one
// dimension) copied into g. ValueError for another size or a non-real type.
inline bool gradient_values(PyObject *v, i64 n, f64 *g) {
    if (copy_exact(v, g, n, 1)) return true;  // the common case: a float64 vector
    Ref arr(reinterpret_cast<PyObject *>(real_array(v, "the gradient")));
    if (!arr) return false;
    auto *a = reinterpret_cast<PyArrayObject *>(arr.get());
    if (PyArray_NDIM(a) > 1 || PyArray_SIZE(a) != static_cast<npy_intp>(n)) {
        PyErr_Format(PyExc_ValueError,
                     "the gradient must hold n = %lld values (one per variable), got %lld in %d "
                     "dimension(s)",
                     static_cast<long long>(n), static_cast<long long>(PyArray_SIZE(a)),
                     PyArray_NDIM(a));
        return false;
    }
    return copy_values(a, g, n);
}

// What fun returned with jac=True: a pair (value, gradient) read into f and g.
inline bool value_gradient_pair(PyObject *res, i64 n, f64 *f, f64 *g) {
    if (!((PyTuple_Check(res) || PyList_Check(res)) && PySequence_Fast_GET_SIZE(res) == 2)) {
        PyErr_Format(PyExc_TypeError,
                     "with jac=True, fun must return a pair (value, gradient), got %.200s",
                     Py_TYPE(res)->tp_name);
        return false;
    }
    PyObject *pair[2];
    if (!unpack_exact(res, 2, pair)) return false;
    Ref value(pair[0]), grad(pair[1]);
    return real_value(value.get(), f) && gradient_values(grad.get(), n, g);
}

// A native address passed as an exact int (0 allowed: the caller decides
// whether null means absent).
inline bool to_address(PyObject *obj, const char *what, void **out) {
    if (!PyLong_CheckExact(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int", what);
        return false;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (PyErr_Occurred()) return false;
    *out = reinterpret_cast<void *>(static_cast<uintptr_t>(v));
    return true;
}

// The calls fun(x, *lead, *args) of a Python objective, one vectorcall each
// with x a new float64 array. `lead` slots sit between x and args (such as
// the data row of one of many problems) and are set before the calls.
class PyCalls {
public:
    PyCalls() = default;
    PyCalls(const PyCalls &) = delete;
    PyCalls &operator=(const PyCalls &) = delete;
    ~PyCalls() { PyMem_Free(stack_); }

    // args: a tuple, borrowed for as long as the calls are made.
    bool init(i64 n, PyObject *args, size_t lead) {
        n_ = n;
        const size_t extra = static_cast<size_t>(PyTuple_GET_SIZE(args));
        nargs_ = 1 + lead + extra;
        // stack_[0] is free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET).
        stack_ = static_cast<PyObject **>(PyMem_Calloc(nargs_ + 1, sizeof(PyObject *)));
        if (stack_ == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        for (size_t i = 0; i < extra; ++i)
            stack_[2 + lead + i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
        return true;
    }

    // Borrowed: the object must outlive the calls that use it.
    void set_lead(size_t i, PyObject *obj) { stack_[2 + i] = obj; }

    // fn at a new copy of x; null with the exception set on failure.
    PyObject *call(PyObject *fn, const f64 *x) {
        PyObject *arr = new_vector(x, n_);
        if (arr == nullptr) return nullptr;
        stack_[1] = arr;
        PyObject *res =
            PyObject_Vectorcall(fn, stack_ + 1, nargs_ | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        stack_[1] = nullptr;
        Py_DECREF(arr);
        return res;
    }

private:
    i64 n_ = 0;
    PyObject **stack_ = nullptr;
    size_t nargs_ = 0;
};

struct ParsedObjective;

// What every run of the user's objective keeps: the lock (released for a
// native objective), the signal watch, the stop request and, for a Python
// objective, its calls: fun(x, *lead, *args) and jac(x, *lead, *args), or
// fun returning (value, gradient) when value_and_grad is set.
struct ObjectiveRun {
    i64 n = 0;
    Lock lock;
    SignalWatch watch;
    int stop = 0;  // an exception is pending: end the run now

    PyObject *fun = nullptr, *jac = nullptr;
    bool value_and_grad = false;
    PyCalls calls;
    i64 njev = 0;

    // The lock back before `calls` lets go of its arguments, whatever path
    // left the run.
    ~ObjectiveRun() { lock.reacquire(); }

    // fun or jac at a new copy of x; null with the exception set on failure.
    PyObject *call(PyObject *fn, const f64 *x) { return calls.call(fn, x); }

    // Takes the Python callable of a parsed objective (kind 0), with `lead`
    // arguments between x and the args (set through calls.set_lead).
    bool set_python(const ParsedObjective &parsed, size_t lead);

    f64 fail() {
        stop = 1;
        return NAN;
    }
    void after_evaluation() {
        if (!watch.tick(lock)) stop = 1;
    }
};

// ---------------------------------------------------------------------------
// Arguments of the private run functions, as the Python layer builds them.

// The objective tuple of Velmora.optimize._objective:
//   (0, fun, jac, args)        jac None (differences), True or a callable
//   (1, address, grad, ctx)    native functions; grad 0 when absent
//   (2, name, params)          a built-in objective, left to the caller to read
struct ParsedObjective {
    long kind = -1;
    PyObject *fun = nullptr, *jac = nullptr, *args = nullptr;  // jac: None, True or a callable
    void *value = nullptr, *grad = nullptr, *ctx = nullptr;
    PyObject *name = nullptr, *params = nullptr;
};

inline bool parse_objective(PyObject *described, ParsedObjective &out) {
    if (!PyTuple_CheckExact(described) || PyTuple_GET_SIZE(described) < 3 ||
        !PyLong_CheckExact(PyTuple_GET_ITEM(described, 0))) {
        PyErr_SetString(PyExc_TypeError, "objective must be a tuple (kind, ...)");
        return false;
    }
    const long kind = PyLong_AsLong(PyTuple_GET_ITEM(described, 0));
    const Py_ssize_t size = PyTuple_GET_SIZE(described);
    PyObject *a = PyTuple_GET_ITEM(described, 1), *b = PyTuple_GET_ITEM(described, 2);
    if (kind == 0 && size == 4) {
        PyObject *args = PyTuple_GET_ITEM(described, 3);
        if (!PyCallable_Check(a) || !PyTuple_CheckExact(args) ||
            !(b == Py_None || b == Py_True || PyCallable_Check(b))) {
            PyErr_SetString(PyExc_TypeError, "objective (0, fun, jac, args) is malformed");
            return false;
        }
        out.fun = a;
        out.jac = b;
        out.args = args;
    } else if (kind == 1 && size == 4) {
        if (!to_address(a, "address", &out.value) || !to_address(b, "grad", &out.grad) ||
            !to_address(PyTuple_GET_ITEM(described, 3), "ctx", &out.ctx))
            return false;
        if (out.value == nullptr) {
            PyErr_SetString(PyExc_ValueError, "the objective's address is null");
            return false;
        }
    } else if (kind == 2 && size == 3) {
        out.name = a;
        out.params = b;
    } else {
        PyErr_SetString(PyExc_ValueError,
                        "objective kind must be 0 (Python), 1 (native) or 2 (built-in)");
        return false;
    }
    out.kind = kind;
    return true;
}

inline bool ObjectiveRun::set_python(const ParsedObjective &parsed, size_t lead) {
    fun = parsed.fun;
    jac = PyCallable_Check(parsed.jac) ? parsed.jac : nullptr;
    value_and_grad = parsed.jac == Py_True;
    return calls.init(n, parsed.args, lead);
}

// options: a tuple of `count` numbers; the first `ints` are integers.
inline bool options_arg(PyObject *obj, Py_ssize_t count, Py_ssize_t ints, i64 *iv, f64 *fv) {
    if (!PyTuple_CheckExact(obj) || PyTuple_GET_SIZE(obj) != count) {
        PyErr_Format(PyExc_TypeError, "options must be a tuple of %zd numbers", count);
        return false;
    }
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject *v = PyTuple_GET_ITEM(obj, k);
        if (k < ints) {
            if (!PyLong_Check(v)) {
                PyErr_SetString(PyExc_TypeError, "integer option expected");
                return false;
            }
            iv[k] = PyLong_AsLongLong(v);
        } else {
            fv[k - ints] = PyFloat_AsDouble(v);
        }
        if (PyErr_Occurred()) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The Python objective in the minimizers' signatures (ctx: the
// ObjectiveRun). A failure returns NaN with `stop` set and the exception
// pending.
inline f64 python_value(const f64 *__restrict x, void *ctx) {
    ObjectiveRun &run = *static_cast<ObjectiveRun *>(ctx);
    Ref res(run.call(run.fun, x));
    f64 f;
    if (!res || !real_value(res.get(), &f)) return run.fail();
    run.after_evaluation();
    return f;
}

inline f64 python_value_grad(const f64 *__restrict x, f64 *__restrict g, void *ctx) {
    ObjectiveRun &run = *static_cast<ObjectiveRun *>(ctx);
    f64 f;
    if (run.value_and_grad) {
        Ref res(run.call(run.fun, x));
        if (!res || !value_gradient_pair(res.get(), run.n, &f, g)) return run.fail();
        run.njev += 1;
    } else {
        f = python_value(x, ctx);
        if (run.stop != 0 || !std::isfinite(f)) return f;  // no gradient at such a point
        Ref grad(run.call(run.jac, x));
        if (!grad || !gradient_values(grad.get(), run.n, g)) return run.fail();
        run.njev += 1;
        return f;
    }
    run.after_evaluation();
    return f;
}

}  // namespace vlm::py

#endif  // VLM_PY_OBJECTIVE_H
