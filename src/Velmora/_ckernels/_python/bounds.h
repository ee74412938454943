// Bounds as they cross from the Python layer to the fitting modules, in one
// form for every function, and their one parser.
//
// Python sends None (no bounds) or a tuple (lo, hi) of C-contiguous float64
// arrays: -inf in lo where an element has no lower bound, +inf in hi where it
// has no upper one; of shape (n,), the same bounds for every problem, or, for
// the functions that run many problems, (K, n), one row per problem. The
// Python layer has already refused what a user could get wrong, with its own
// messages; the parser checks again, since the modules can be called
// directly, and derives the codes the minimizers and the fit take (nbd: 0
// none, 1 lower, 2 both, 3 upper).
#ifndef VLM_PY_BOUNDS_H
#define VLM_PY_BOUNDS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <memory>
#include <new>

#include "numpy_api.h"
#include "vlm_common.h"

namespace vlm::py {

class Bounds {
public:
    // problems: 0 for a function of one problem (shape (n,) only), K for
    // one of K problems (shape (n,) or (K, n)). False with ValueError or
    // TypeError for anything else, MemoryError when the codes find no room.
    bool parse(PyObject *obj, i64 n, i64 problems = 0) {
        if (obj == Py_None) return true;
        if (!PyTuple_CheckExact(obj) || PyTuple_GET_SIZE(obj) != 2) {
            PyErr_SetString(PyExc_TypeError, "bounds must be None or a tuple (lo, hi)");
            return false;
        }
        PyObject *lo = PyTuple_GET_ITEM(obj, 0), *hi = PyTuple_GET_ITEM(obj, 1);
        if (!is_side(lo, n, problems) || !is_side(hi, n, problems) ||
            PyArray_NDIM(reinterpret_cast<PyArrayObject *>(lo)) !=
                PyArray_NDIM(reinterpret_cast<PyArrayObject *>(hi))) {
            PyErr_SetString(PyExc_ValueError,
                            problems > 0 ? "bounds must be C-contiguous float64 arrays lo and hi "
                                           "of shape (n,) or (K, n)"
                                         : "bounds must be C-contiguous float64 arrays lo and hi "
                                           "of n values");
            return false;
        }
        const bool per_problem = PyArray_NDIM(reinterpret_cast<PyArrayObject *>(lo)) == 2;
        stride_ = per_problem ? n : 0;
        const i64 count = (per_problem ? problems : 1) * n;
        nbd_.reset(new (std::nothrow) i64[static_cast<size_t>(count > 0 ? count : 1)]);
        if (!nbd_) {
            PyErr_NoMemory();
            return false;
        }
        lo_ = array_data<f64>(lo);
        hi_ = array_data<f64>(hi);
        for (i64 j = 0; j < count; ++j) {
            if (!usable(lo_[j], hi_[j])) {
                refuse(j / (n > 0 ? n : 1), j % (n > 0 ? n : 1), problems > 0);
                return false;
            }
            const bool lower = lo_[j] != -HUGE_VAL, upper = hi_[j] != HUGE_VAL;
            nbd_[j] = lower ? (upper ? 2 : 1) : (upper ? 3 : 0);
        }
        return true;
    }

    bool given() const { return lo_ != nullptr; }
    // Problem k's bounds (the shared row for any k when there is one; k = 0
    // for a function of one problem); null for none.
    const f64 *lo(i64 k = 0) const { return lo_ != nullptr ? lo_ + k * stride_ : nullptr; }
    const f64 *hi(i64 k = 0) const { return hi_ != nullptr ? hi_ + k * stride_ : nullptr; }
    const i64 *nbd(i64 k = 0) const { return nbd_ ? nbd_.get() + k * stride_ : nullptr; }

private:
    static bool is_side(PyObject *side, i64 n, i64 problems) {
        if (!is_array_of(side, NPY_DOUBLE)) return false;
        auto *a = reinterpret_cast<PyArrayObject *>(side);
        const int ndim = PyArray_NDIM(a);
        return (ndim == 1 || (ndim == 2 && problems > 0 && PyArray_DIM(a, 0) == problems)) &&
               PyArray_DIM(a, ndim - 1) == n;
    }

    // A side that is not NaN, lo <= hi, and an interval holding a finite
    // number (equal sides fix an element).
    static bool usable(f64 lo, f64 hi) { return lo <= hi && lo != HUGE_VAL && hi != -HUGE_VAL; }

    static void refuse(i64 problem, i64 element, bool many) {
        if (many)
            PyErr_Format(PyExc_ValueError,
                         "bounds of problem %lld, element %lld are NaN, crossed or hold no "
                         "finite number",
                         static_cast<long long>(problem), static_cast<long long>(element));
        else
            PyErr_Format(PyExc_ValueError,
                         "bounds of element %lld are NaN, crossed or hold no finite number",
                         static_cast<long long>(element));
    }

    const f64 *lo_ = nullptr, *hi_ = nullptr;
    std::unique_ptr<i64[]> nbd_;
    i64 stride_ = 0;  // 0: one row for every problem
};

}  // namespace vlm::py

#endif  // VLM_PY_BOUNDS_H
