// What a long native run called from Python needs (the minimizers, the
// least-squares solver): the interpreter lock released around native work and
// taken back for each Python call, a periodic signal check so that Ctrl-C
// stops a native run promptly, and the vector type its Python callbacks get.
// Include after <numpy/arrayobject.h>, in a module that imports NumPy's API.
#ifndef VLM_PY_INTERRUPTIBLE_RUN_H
#define VLM_PY_INTERRUPTIBLE_RUN_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstring>

#include "../_common/vlm_common.h"

namespace vlm::py {

// Released for a native run; a Python call in between takes it back and
// leaves it as it found it.
class Lock {
  public:
    void release() { state_ = PyEval_SaveThread(); }
    // Held again for good (the end of the run).
    void reacquire() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
        state_ = nullptr;
    }
    // Around one Python call: enter() returns whether it took the lock.
    bool enter() {
        if (state_ == nullptr) return false;
        PyEval_RestoreThread(state_);
        return true;
    }
    void leave(bool entered) {
        if (entered) state_ = PyEval_SaveThread();
    }

  private:
    PyThreadState *state_ = nullptr;
};

// Runs the interpreter's signal handlers every couple of milliseconds of a
// run. The clock is read only every `stride` evaluations, a stride that
// doubles while evaluations are quick, so a cheap native objective pays a
// decrement per evaluation.
class SignalWatch {
    using Clock = std::chrono::steady_clock;

  public:
    // After each evaluation; false when a handler raised (KeyboardInterrupt).
    bool tick(Lock &lock) { return --countdown_ > 0 || check(lock); }

  private:
    bool check(Lock &lock) {
        const Clock::time_point now = Clock::now();
        const auto since_read = now - last_read_;
        last_read_ = now;
        if (since_read < std::chrono::microseconds(250))
            stride_ = stride_ < (i64{1} << 20) ? 2 * stride_ : stride_;
        else if (since_read > std::chrono::milliseconds(1))
            stride_ = stride_ > 1 ? stride_ / 2 : 1;
        countdown_ = stride_;
        if (now - last_check_ < std::chrono::milliseconds(2)) return true;
        last_check_ = now;
        const bool entered = lock.enter();
        const bool ok = PyErr_CheckSignals() == 0;
        lock.leave(entered);
        return ok;
    }

    i64 countdown_ = 1, stride_ = 1;
    Clock::time_point last_read_ = Clock::now(), last_check_ = last_read_;
};

// A new one-dimensional float64 array holding x[0 .. n).
inline PyObject *new_vector(const f64 *x, i64 n) {
    npy_intp dim = static_cast<npy_intp>(n);
    PyObject *arr = PyArray_SimpleNew(1, &dim, NPY_DOUBLE);
    if (arr != nullptr && n > 0)
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject *>(arr)), x,
                    static_cast<size_t>(n) * sizeof(f64));
    return arr;
}

inline bool is_real_kind(char kind) { return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f'; }

}  // namespace vlm::py

#endif  // VLM_PY_INTERRUPTIBLE_RUN_H
