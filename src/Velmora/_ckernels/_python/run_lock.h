// The interpreter lock around a long native run: released for the run, taken
// back around each Python call made from inside it, and a cheap periodic
// check that lets signal handlers (Ctrl-C) run meanwhile. Shared by the
// modules that run the user's objective.
#ifndef VLM_PY_RUN_LOCK_H
#define VLM_PY_RUN_LOCK_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>

#include "vlm_common.h"

namespace vlm::py {

// The one guard of the interpreter lock. Made `held` it is released for a
// native run (release()) and taken back for good at its end (reacquire());
// a Python call from inside the run takes it back and gives it up again
// (enter() / leave()). Made `released` it gives the lock up at once, for a
// scope of native work. Whatever happens, the destructor takes the lock back
// if it is still given up -- the safety net: code that drops references
// takes it back explicitly first.
//
// Whether to give the lock up at all: alone in the process it costs little
// (a two-parameter ParameterMap call measured 276 ns giving it up, 281 ns
// keeping it, within the noise of a shared 2-core host), but with other
// Python threads running, giving it up hands it to them and the call waits
// to get it back, up to the interpreter's switch interval. Work of a few
// microseconds therefore keeps it (`held`): the parameter maps below 4096
// values, least squares' finiteness scan below 65536 and its Cholesky
// factor below 32 rows (m^3 / 3 flops). The core modules
// (_transforms, _optim, _distributions) give it up on every call, as their
// contract says. A scalar call of theirs pays the release in full: 100 ns
// against 77 ns holding for a transform, 70 against 45 ns for the quantile
// (AMD EPYC). The public ufuncs leave the lock to NumPy, whose call overhead
// (~800 ns) dwarfs it.
class Lock {
public:
    enum Start { held, released };
    explicit Lock(Start start = held) {
        if (start == released) release();
    }
    ~Lock() { reacquire(); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

    void release() {
        if (state_ == nullptr) state_ = PyEval_SaveThread();
    }
    // Held again for good (the end of the run).
    void reacquire() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
        state_ = nullptr;
    }
    // Around one Python call: enter() returns whether it took the lock.
    bool enter() {
        if (state_ == nullptr) return false;
        reacquire();
        return true;
    }
    void leave(bool entered) {
        if (entered) release();
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

}  // namespace vlm::py

#endif  // VLM_PY_RUN_LOCK_H
