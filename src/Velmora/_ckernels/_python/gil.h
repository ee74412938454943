// The interpreter lock as native code gives it up: the one mechanism every
// binding uses. A Lock is either held (the default) or released by this
// thread; whatever state it is in, it is held again when the Lock ends.
//
// The rule it serves: while the lock is released, no reference count changes,
// no Python allocation and no Python call. Declare a scoped Lock after every
// object that owns a Python reference, so those are destroyed after the lock
// is back; a Lock kept in a run's state is reacquired explicitly before the
// run drops any reference.
#ifndef VLM_PY_GIL_H
#define VLM_PY_GIL_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace vlm::py {

// Tag: `Lock unlocked{released};` gives the lock up for the scope;
// `Lock unlocked{released_for(values)};` only for a kernel long enough.
struct Released {
    bool release = true;
};
inline constexpr Released released{};

// Giving the lock up and taking it back costs ~25 ns on its own (a scalar
// quantile call: 70 ns releasing, 45 ns holding; a scalar transform 100 vs
// 77 ns, AMD EPYC), and when another thread holds the lock meanwhile, taking
// it back can wait for the interpreter's switch interval (5 ms). A kernel
// over fewer values than NumPy's own threshold for releasing around a ufunc
// loop (500) runs for a microsecond or so: it keeps the lock. The specified
// modules release on every call regardless, as they document.
inline constexpr int64_t kShortKernelValues = 500;
inline Released released_for(int64_t values) { return Released{values >= kShortKernelValues}; }

class Lock {
public:
    Lock() = default;  // held; release() gives it up
    explicit Lock(Released how) : state_(how.release ? PyEval_SaveThread() : nullptr) {}
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
    // Around one Python call from inside a run: enter() returns whether it
    // took the lock, leave() puts it back as enter() found it.
    bool enter() {
        if (state_ == nullptr) return false;
        PyEval_RestoreThread(state_);
        return true;
    }
    void leave(bool entered) {
        if (entered) state_ = PyEval_SaveThread();
    }

private:
    PyThreadState *state_ = nullptr;  // null while held
};

}  // namespace vlm::py

#endif  // VLM_PY_GIL_H
