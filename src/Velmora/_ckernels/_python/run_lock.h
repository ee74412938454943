// A cheap periodic check that lets signal handlers (Ctrl-C) run during a
// long native run with the lock released (gil.h). Shared by the modules that
// run the user's objective.
#ifndef VLM_PY_RUN_LOCK_H
#define VLM_PY_RUN_LOCK_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>

#include "gil.h"
#include "vlm_common.h"

namespace vlm::py {

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
