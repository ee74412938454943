// Many independent problems in one call.
//
// Native problems run on worker threads started for the call and joined
// before it returns, with the interpreter lock released. Each worker takes
// the next unsolved problem in turn and works in its own workspace; a
// problem's outcome depends on the problem alone, so the results are the
// same whatever the number of workers. Meanwhile the calling thread sleeps
// on a condition variable and wakes every `kWakePeriod` to run the signal
// handlers and report progress; a KeyboardInterrupt (or an exception from the
// report) raises the stop flag, which the problems read between evaluations,
// and the call returns with that exception once the workers have stopped.
//
// Python problems run one after another on the calling thread, with the
// lock held, reporting progress at the same pace.
#ifndef VLM_PY_BATCH_H
#define VLM_PY_BATCH_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include "numpy_calls.h"
#include "vlm_common.h"

namespace vlm::py {

constexpr std::chrono::milliseconds kWakePeriod{100};

// Raised by the calling thread to stop the call; read by the problems,
// typically after every evaluation of the objective.
class StopFlag {
public:
    bool raised() const { return flag_.load(std::memory_order_relaxed) != 0; }
    void raise() { flag_.store(1, std::memory_order_relaxed); }

private:
    std::atomic<int> flag_{0};
};

// The number of threads run_native starts for `count` problems when asked
// for `workers`: at least one, never more than there are problems.
inline i64 worker_count(i64 count, i64 workers) {
    if (workers > count) workers = count;
    return workers > 1 ? workers : 1;
}

// One block of `bytes` per worker, each starting on a cache line of its own
// so that workers never share one.
// MemoryError that says what could not be allocated; bytes 0: a size that
// memory arithmetic cannot even count. Returns null.
inline PyObject *no_memory_for(const char *what, size_t bytes) {
    if (bytes == 0)
        PyErr_Format(PyExc_MemoryError, "could not allocate %s: the problem is too large", what);
    else
        PyErr_Format(PyExc_MemoryError, "could not allocate %s (%zu bytes)", what, bytes);
    return nullptr;
}

class Workspaces {
public:
    Workspaces() = default;
    Workspaces(const Workspaces &) = delete;
    Workspaces &operator=(const Workspaces &) = delete;
    ~Workspaces() { std::free(block_); }

    // False with MemoryError set when the blocks cannot be allocated (bytes
    // 0 is a size that could not be counted).
    bool allocate(i64 workers, size_t bytes) {
        constexpr size_t line = 64;
        size_t total = 0;
        if (bytes == 0 || bytes > SIZE_MAX - line ||
            __builtin_mul_overflow((bytes + line - 1) / line * line, static_cast<size_t>(workers),
                                   &total)) {
            no_memory_for("the workspaces of the problems", 0);
            return false;
        }
        stride_ = (bytes + line - 1) / line * line;
        block_ = total > 0 ? static_cast<char *>(std::aligned_alloc(line, total)) : nullptr;
        if (total > 0 && block_ == nullptr) {
            no_memory_for("the workspaces of the problems", total);
            return false;
        }
        return true;
    }
    void *operator[](i64 worker) const { return block_ + static_cast<size_t>(worker) * stride_; }

private:
    char *block_ = nullptr;
    size_t stride_ = 0;
};

// report(done): null for none. False with the exception set when it raised.
inline bool report_progress(PyObject *report, i64 done) {
    if (report == nullptr) return true;
    Ref count(PyLong_FromLongLong(static_cast<long long>(done)));
    if (!count) return false;
    PyObject *args[] = {count.get()};
    Ref res(PyObject_Vectorcall(report, args, 1, nullptr));
    return static_cast<bool>(res);
}

// Runs job(k, worker, stop) for every problem k = 0 .. count-1 on
// worker_count(count, workers) threads; `worker` (0 <= worker < that count)
// selects the caller's per-worker state. The job touches no Python object
// and should return soon after stop.raised(). Called with the lock held;
// returns with it held: true when every problem ran, false with the
// exception set when a signal handler or the report raised (the remaining
// problems are abandoned) or no thread could be started.
template <class Job>
bool run_native(i64 count, i64 workers, Job &job, PyObject *report) {
    if (count <= 0) return true;
    const i64 threads = worker_count(count, workers);
    // The counters, the stop flag (read after every evaluation) and the rest
    // on cache lines of their own.
    struct Shared {
        alignas(64) std::atomic<i64> next{0};
        alignas(64) std::atomic<i64> done{0};
        alignas(64) StopFlag stop;
        alignas(64) std::mutex mutex;
        std::condition_variable finished;
        i64 running = 0;  // workers that have not finished, under the mutex
    } shared;
    auto work = [&](i64 worker) {
        for (;;) {
            if (shared.stop.raised()) break;
            const i64 k = shared.next.fetch_add(1, std::memory_order_relaxed);
            if (k >= count) break;
            job(k, worker, shared.stop);
            shared.done.fetch_add(1, std::memory_order_relaxed);
        }
        std::lock_guard<std::mutex> hold(shared.mutex);
        if (--shared.running == 0) shared.finished.notify_all();
    };

    // The threads live in a plain array: no allocation that could throw.
    auto *pool =
        static_cast<std::thread *>(std::calloc(static_cast<size_t>(threads), sizeof(std::thread)));
    if (pool == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    Lock gil(Lock::released);
    i64 started = 0;
    for (; started < threads; ++started) {
        {
            std::lock_guard<std::mutex> hold(shared.mutex);
            ++shared.running;
        }
        try {
            new (&pool[started]) std::thread(work, started);
        } catch (...) {  // out of threads: go on with those already started
            std::lock_guard<std::mutex> hold(shared.mutex);
            --shared.running;
            break;
        }
    }

    bool ok = started > 0;
    {
        std::unique_lock<std::mutex> lock(shared.mutex);
        while (shared.running > 0) {
            if (shared.finished.wait_for(lock, kWakePeriod, [&] { return shared.running == 0; }))
                break;
            if (!ok) continue;  // stopping: wait for the workers only
            lock.unlock();
            gil.reacquire();
            ok = PyErr_CheckSignals() == 0 &&
                 report_progress(report, shared.done.load(std::memory_order_relaxed));
            gil.release();
            if (!ok) shared.stop.raise();
            lock.lock();
        }
    }
    for (i64 w = 0; w < started; ++w) {
        pool[w].join();
        pool[w].~thread();
    }
    std::free(pool);
    gil.reacquire();
    if (started == 0) PyErr_SetString(PyExc_RuntimeError, "could not start a worker thread");
    return ok;
}

// Runs job(k) for k = 0 .. count-1 on the calling thread, lock held; the job
// returns false with the exception set to end the call. Signal handlers run
// and progress is reported between problems every kWakePeriod.
template <class Job>
bool run_python(i64 count, Job &job, PyObject *report) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point last = Clock::now();
    for (i64 k = 0; k < count; ++k) {
        if (!job(k)) return false;
        const Clock::time_point now = Clock::now();
        if (now - last >= kWakePeriod) {
            last = now;
            if (PyErr_CheckSignals() != 0 || !report_progress(report, k + 1)) return false;
        }
    }
    return true;
}

}  // namespace vlm::py

#endif  // VLM_PY_BATCH_H
