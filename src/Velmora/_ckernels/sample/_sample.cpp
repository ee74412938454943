// The native side of Velmora.sample: the chains of the No-U-Turn sampler on
// the posterior of the user's objective (nuts.h, target.h), and the
// convergence diagnostics of draws (diagnostics.h). Velmora/sample.py
// normalises the arguments; they are checked again here, so that no call of
// these private functions can read or write outside a buffer.
//
// With a native objective (and prior) every chain runs on a worker thread of
// the call with the interpreter lock released (batch.h); with a Python
// objective or prior the chains run one after another on the calling thread
// with the lock held. Each chain has its own block of memory and its own
// random stream, so its draws are the same either way.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>

#include "batch.h"
#include "module.h"
#include "numpy_calls.h"
#include "record.h"

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include "bounds.h"
#include "diagnostics.h"
#include "numpy_api.h"
#include "nuts.h"
#include "philox.h"
#include "py_objective.h"
#include "target.h"

namespace {

using vlm::py::is_array_of;
using vlm::py::new_zeros;
using vlm::py::Ref;
using vlm::py::StopFlag;

PyArrayObject *as_array(PyObject *obj) { return reinterpret_cast<PyArrayObject *>(obj); }

// ---------------------------------------------------------------------------
// The terms of the density: native functions (which read the call's stop
// flag after each evaluation) or Python callables.

struct NativeTerm {
    vlm::ValueGradFn value_grad = nullptr;
    void *ctx = nullptr;
    const StopFlag *flag = nullptr;  // null on the calling thread
    int stop = 0;
};

f64 native_term(const f64 *__restrict x, f64 *__restrict g, void *ctx) {
    NativeTerm &t = *static_cast<NativeTerm *>(ctx);
    const f64 f = t.value_grad(x, g, t.ctx);
    if (t.flag != nullptr && t.flag->raised()) t.stop = 1;
    return f;
}

// One term as parsed, with the Python run that serves it when it is Python.
struct Term {
    vlm::py::ParsedObjective parsed;
    vlm::py::ObjectiveRun python;
    bool present = false;
    bool is_python() const { return present && parsed.kind == 0; }
};

// objective: (0, fun, jac, args) with jac True or a callable, or
// (1, address, grad, ctx) with a gradient.
bool term_arg(PyObject *obj, Term &term, i64 n, const char *what) {
    if (obj == Py_None) return true;
    if (!vlm::py::parse_objective(obj, term.parsed)) return false;
    const auto &p = term.parsed;
    const bool has_gradient = (p.kind == 0 && p.jac != Py_None) || (p.kind == 1 && p.grad);
    if (p.kind == 2 || !has_gradient) {
        PyErr_Format(PyExc_ValueError,
                     "%s: the sampler needs a Python or native objective with "
                     "its gradient",
                     what);
        return false;
    }
    term.present = true;
    term.python.n = n;
    return p.kind != 0 || term.python.set_python(p, 0);
}

// The density term of `term` for one chain; `native` is the chain's wrapper
// of a native function.
vlm::DensityTerm density_term(Term &term, NativeTerm &native, const StopFlag *flag) {
    if (term.is_python())
        return {vlm::py::python_value_grad, static_cast<vlm::py::ObjectiveRun *>(&term.python),
                &term.python.stop};
    native.value_grad = reinterpret_cast<vlm::ValueGradFn>(term.parsed.grad);
    native.ctx = term.parsed.ctx;
    native.flag = flag;
    native.stop = 0;
    return {native_term, &native, &native.stop};
}

// ---------------------------------------------------------------------------
// Progress: every chain counts its transitions and divergences; the caller's
// report(transitions, divergences) runs on the calling thread, every
// kWakePeriod -- from the wait loop of the worker threads (through `tick`),
// or from the chain itself when Python chains run on the calling thread.

struct Progress {
    std::atomic<i64> transitions{0}, divergent{0};
    PyObject *report = nullptr;  // null: no report
    bool on_chain_thread = false;
    std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
    int *python_stop[2] = {nullptr, nullptr};  // raised when the report raises

    // report(transitions, divergences); false with the exception set.
    bool call() {
        if (report == nullptr) return true;
        Ref done(PyLong_FromLongLong(transitions.load(std::memory_order_relaxed))),
            bad(PyLong_FromLongLong(divergent.load(std::memory_order_relaxed)));
        if (!done || !bad) return false;
        PyObject *args[] = {done.get(), bad.get()};
        Ref res(PyObject_Vectorcall(report, args, 2, nullptr));
        return static_cast<bool>(res);
    }
};

void count_transition(void *ctx, bool divergent) {
    Progress &p = *static_cast<Progress *>(ctx);
    p.transitions.fetch_add(1, std::memory_order_relaxed);
    if (divergent) p.divergent.fetch_add(1, std::memory_order_relaxed);
    if (!p.on_chain_thread || p.report == nullptr) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - p.last < vlm::py::kWakePeriod) return;
    p.last = now;
    if (!p.call())
        for (int *stop : p.python_stop)
            if (stop != nullptr) *stop = 1;  // the chain ends at its next evaluation
}

// tick(chains_done): the report, for run_native's wait loop (self: a capsule
// holding the Progress).
constexpr const char *kProgressCapsule = "Velmora.sample.progress";

PyObject *progress_tick(PyObject *self, PyObject *const *, Py_ssize_t) {
    auto *p = static_cast<Progress *>(PyCapsule_GetPointer(self, kProgressCapsule));
    if (p == nullptr) return nullptr;
    return p->call() ? Py_NewRef(Py_None) : nullptr;
}

PyMethodDef tick_def = {"tick", vlm::py::fastcall(progress_tick), METH_FASTCALL, nullptr};

// ---------------------------------------------------------------------------
// The parameters: which are free, the plan that maps them, the start.

struct Parameters {
    i64 n = 0, m = 0;
    const f64 *x0 = nullptr, *jitter_full = nullptr;
    vlm::ParamPlan plan;
    // PyMem blocks: free (m), order (m), family (m), low, high, y0, jitter,
    // plan_low, plan_high, work (m each).
    i64 *free = nullptr, *order = nullptr;
    unsigned char *family = nullptr;
    f64 *low = nullptr, *high = nullptr, *y0 = nullptr, *jitter = nullptr, *work = nullptr;

    ~Parameters() {
        PyMem_Free(free);
        PyMem_Free(family);
        PyMem_Free(low);
    }

    // The free elements (all but those fixed by equal bounds) and their
    // plan; the interval family for elements bounded on both sides. False
    // with MemoryError.
    bool prepare(const vlm::py::Bounds &bounds, int interval_family) {
        const f64 *lo = bounds.lo(), *hi = bounds.hi();
        const i64 *nbd = bounds.nbd();
        m = 0;
        for (i64 i = 0; i < n; ++i) m += nbd == nullptr || nbd[i] != 2 || lo[i] != hi[i];
        const size_t count = static_cast<size_t>(m > 0 ? m : 1);
        free = static_cast<i64 *>(PyMem_Calloc(2 * count, sizeof(i64)));
        family = static_cast<unsigned char *>(PyMem_Calloc(count, 1));
        low = static_cast<f64 *>(PyMem_Calloc(8 * count, sizeof(f64)));
        if (free == nullptr || family == nullptr || low == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        order = free + count;
        high = low + count;
        y0 = high + count;
        jitter = y0 + count;
        work = jitter + count;  // 4 * count: plan bounds (2) and map work (2)
        for (i64 i = 0, k = 0; i < n; ++i) {
            const i64 code = nbd != nullptr ? nbd[i] : 0;
            if (code == 2 && lo[i] == hi[i]) continue;
            free[k] = i;
            family[k] = vlm::family_of_bounds(code, interval_family);
            work[k] = nbd != nullptr ? lo[i] : -HUGE_VAL;
            work[count + k] = nbd != nullptr ? hi[i] : HUGE_VAL;
            jitter[k] = jitter_full[i];
            ++k;
        }
        plan.n = m;
        plan.order = order;
        plan.low = low;
        plan.high = high;
        vlm::param_plan_group(plan, family, work, work + count);
        for (i64 k = 0; k < m; ++k) work[k] = x0[free[k]];
        vlm::param_plan_apply(plan, vlm::MapOp::to_unconstrained, work, y0, 1, work + 2 * count);
        return true;
    }
};

// ---------------------------------------------------------------------------
// The chains and their records.

struct Records {
    i64 chains = 0, draws = 0, m = 0, n = 0, metric_size = 0;
    f64 *y = nullptr, *x = nullptr, *logp = nullptr, *step_size = nullptr, *acceptance = nullptr,
        *energy = nullptr, *inv_metric = nullptr;
    unsigned char *diverging = nullptr;
    i64 *tree_depth = nullptr, *n_steps = nullptr, *state = nullptr, *done = nullptr;

    vlm::ChainRecord of(i64 c) const {
        vlm::ChainRecord r;
        const i64 first = c * draws;
        r.y = y + first * m;
        r.logp = logp + first;
        r.diverging = diverging + first;
        r.tree_depth = tree_depth + first;
        r.n_steps = n_steps + first;
        r.step_size = step_size + first;
        r.acceptance = acceptance + first;
        r.energy = energy + first;
        r.inv_metric = inv_metric + c * metric_size;
        return r;
    }
};

// Everything one chain works in: the target, the terms' wrappers, the
// sampler's block.
struct ChainSpace {
    vlm::Target target;
    NativeTerm native[2];
};

struct Sampler {
    vlm::NutsSettings settings;
    i64 tries = 100;
    Term *terms[2] = {nullptr, nullptr};
    Parameters *params = nullptr;
    size_t nuts_bytes = 0, target_bytes = 0;
    vlm::py::Workspaces blocks;  // one per chain

    bool allocate(i64 chains) {
        nuts_bytes = vlm::nuts_workspace_bytes(params->m, settings);
        const i64 values = vlm::target_values(params->n, params->m);
        target_bytes = static_cast<size_t>(values) * sizeof(f64);
        if (nuts_bytes == 0 || nuts_bytes > SIZE_MAX - target_bytes - sizeof(ChainSpace) - 64) {
            PyErr_NoMemory();
            return false;
        }
        return blocks.allocate(chains, sizeof(ChainSpace) + 64 + target_bytes + nuts_bytes);
    }

    // Chain c's target over its own memory; the density terms read `flag`.
    ChainSpace &space(i64 c, const StopFlag *flag) {
        char *block = static_cast<char *>(blocks[c]);
        auto *cs = new (block) ChainSpace();
        f64 *memory = reinterpret_cast<f64 *>(block + (sizeof(ChainSpace) + 63) / 64 * 64);
        vlm::target_init(cs->target, params->plan, params->free, params->n, params->x0, memory);
        int count = 0;
        for (int t = 0; t < 2; ++t)
            if (terms[t]->present)
                cs->target.terms[count++] = density_term(*terms[t], cs->native[t], flag);
        cs->target.term_count = count;
        return *cs;
    }

    void *nuts_block(i64 c) const {
        return static_cast<char *>(blocks[c]) + (sizeof(ChainSpace) + 63) / 64 * 64 + target_bytes;
    }

    // Runs chain c to its end (or the stop request): its state, and its
    // draws recorded in rec.done[c].
    i64 run_chain(i64 c, const StopFlag *flag, const Records &rec, Progress &progress) {
        ChainSpace &cs = space(c, flag);
        vlm::NutsSettings s = settings;
        s.chain = static_cast<uint64_t>(c);
        const vlm::Potential pot{vlm::target_potential, &cs.target, &cs.target.stop, params->m};
        vlm::ChainRecord r = rec.of(c);
        r.on_transition = count_transition;
        r.transition_ctx = &progress;
        const i64 state =
            vlm::nuts_chain(s, pot, params->y0, params->jitter, tries, r, nuts_block(c));
        rec.done[c] = r.done;
        return state;
    }

    // U at the (unjittered) start on chain 0's memory, with the gradient in g.
    f64 potential_at_start(f64 *g) {
        ChainSpace &cs = space(0, nullptr);
        return vlm::target_potential(params->y0, g, &cs.target);
    }
};

// The constrained draws of every chain's recorded draws: x0's fixed
// elements, the map of y for the others.
void constrained_draws(const Records &rec, const Parameters &p) {
    for (i64 c = 0; c < rec.chains; ++c) {
        for (i64 d = 0; d < rec.done[c]; ++d) {
            const i64 r = c * rec.draws + d;
            f64 *x = rec.x + r * p.n;
            std::memcpy(x, p.x0, static_cast<size_t>(p.n) * sizeof(f64));
            vlm::param_plan_apply(p.plan, vlm::MapOp::to_constrained, rec.y + r * p.m, p.work, 1,
                                  p.work + 2 * p.m);
            for (i64 k = 0; k < p.m; ++k) x[p.free[k]] = p.work[k];
        }
    }
}

// ---------------------------------------------------------------------------
// Arguments.

// A C-contiguous float64 vector of n values (n from the first one).
bool vector_of(PyObject *obj, i64 *n, const f64 **out, const char *what) {
    if (!is_array_of(obj, NPY_DOUBLE) || PyArray_NDIM(as_array(obj)) != 1 ||
        (*n >= 0 && PyArray_DIM(as_array(obj), 0) != *n) || PyArray_DIM(as_array(obj), 0) < 1) {
        PyErr_Format(PyExc_ValueError, "%s must be a C-contiguous float64 vector of n >= 1 values",
                     what);
        return false;
    }
    *n = PyArray_DIM(as_array(obj), 0);
    *out = static_cast<const f64 *>(PyArray_DATA(as_array(obj)));
    return true;
}

// settings: (draws, tune, chains, max_depth, metric, interval_family, tries,
// seed, target_accept, max_energy_error).
bool settings_arg(PyObject *obj, Sampler &s, i64 *chains, int *family) {
    i64 iv[8];
    f64 fv[2];
    if (!vlm::py::options_arg(obj, 10, 8, iv, fv)) return false;
    if (iv[0] < 1 || iv[1] < 0 || iv[2] < 1 || iv[3] < 1 || iv[3] > 30 || iv[4] < 0 || iv[4] > 1 ||
        (iv[5] != vlm::PARAM_AFF_LOGIT && iv[5] != vlm::PARAM_AFF_PROBIT) || iv[6] < 0 ||
        iv[7] < 0 || !(fv[0] > 0.0 && fv[0] < 1.0) || !(fv[1] > 0.0)) {
        PyErr_SetString(PyExc_ValueError, "settings out of range");
        return false;
    }
    s.settings.draws = iv[0];
    s.settings.tune = iv[1];
    *chains = iv[2];
    s.settings.max_depth = iv[3];
    s.settings.metric = iv[4] == 1 ? vlm::MetricKind::dense : vlm::MetricKind::diagonal;
    *family = static_cast<int>(iv[5]);
    s.tries = iv[6];
    s.settings.seed = static_cast<uint64_t>(iv[7]);
    s.settings.target_accept = fv[0];
    s.settings.max_energy_error = fv[1];
    return true;
}

bool records_alloc(Records &rec, Ref *arrays, bool dense) {
    const i64 C = rec.chains, D = rec.draws;
    rec.metric_size = dense ? rec.m * rec.m : rec.m;
    arrays[0].reset(new_zeros({C, D, rec.m}, NPY_DOUBLE, &rec.y));
    arrays[1].reset(new_zeros({C, D, rec.n}, NPY_DOUBLE, &rec.x));
    arrays[2].reset(new_zeros({C, D}, NPY_DOUBLE, &rec.logp));
    arrays[3].reset(new_zeros({C, D}, NPY_BOOL, &rec.diverging));
    arrays[4].reset(new_zeros({C, D}, NPY_INT64, &rec.tree_depth));
    arrays[5].reset(new_zeros({C, D}, NPY_INT64, &rec.n_steps));
    arrays[6].reset(new_zeros({C, D}, NPY_DOUBLE, &rec.step_size));
    arrays[7].reset(new_zeros({C, D}, NPY_DOUBLE, &rec.acceptance));
    arrays[8].reset(new_zeros({C, D}, NPY_DOUBLE, &rec.energy));
    arrays[9].reset(dense ? new_zeros({C, rec.m, rec.m}, NPY_DOUBLE, &rec.inv_metric)
                          : new_zeros({C, rec.m}, NPY_DOUBLE, &rec.inv_metric));
    arrays[10].reset(new_zeros({C}, NPY_INT64, &rec.state));
    arrays[11].reset(new_zeros({C}, NPY_INT64, &rec.done));
    for (int k = 0; k < 12; ++k)
        if (!arrays[k]) return false;
    return true;
}

// run(objective, prior, x0, bounds, jitter, settings, workers, report, partial)
//   -> ("start", value) when the density is not finite at x0, otherwise
//   (outcome, state, y, x, logp, diverging, tree_depth, n_steps, step_size,
//   acceptance, energy, inv_metric, done): state and done per chain (nuts.h
//   ChainState, draws recorded); outcome "done", or "partial" when the run
//   was interrupted (KeyboardInterrupt) and `partial` is true.
PyObject *run(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 9) {
        PyErr_Format(PyExc_TypeError, "run() takes exactly 9 arguments (%zd given)", nargs);
        return nullptr;
    }
    Progress progress;
    if (args[7] != Py_None && !PyCallable_Check(args[7])) {
        PyErr_SetString(PyExc_TypeError, "report must be callable or None");
        return nullptr;
    }
    progress.report = args[7] == Py_None ? nullptr : args[7];
    const int partial = PyObject_IsTrue(args[8]);
    if (partial < 0) return nullptr;
    Parameters params;
    params.n = -1;
    vlm::py::Bounds bounds;
    i64 n_jitter = -1, chains = 0, workers = 0;
    int family = vlm::PARAM_AFF_LOGIT;
    Sampler sampler;
    if (!vector_of(args[2], &params.n, &params.x0, "x0") || !bounds.parse(args[3], params.n) ||
        !vector_of(args[4], &n_jitter, &params.jitter_full, "jitter") ||
        !settings_arg(args[5], sampler, &chains, &family))
        return nullptr;
    if (n_jitter != params.n) {
        PyErr_SetString(PyExc_ValueError, "jitter must hold n values");
        return nullptr;
    }
    if (!PyLong_CheckExact(args[6]) || (workers = PyLong_AsLongLong(args[6])) < 1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "workers must be an int >= 1");
        return nullptr;
    }
    Term objective, prior;
    if (!term_arg(args[0], objective, params.n, "objective") ||
        !term_arg(args[1], prior, params.n, "prior"))
        return nullptr;
    if (!objective.present) {
        PyErr_SetString(PyExc_ValueError, "objective must not be None");
        return nullptr;
    }
    if (!params.prepare(bounds, family)) return nullptr;
    if (params.m == 0) {
        PyErr_SetString(PyExc_ValueError, "every parameter is fixed: there is nothing to sample");
        return nullptr;
    }
    sampler.terms[0] = &objective;
    sampler.terms[1] = &prior;
    sampler.params = &params;
    if (!sampler.allocate(chains)) return nullptr;

    // The start: a density that is not finite there is reported before any
    // chain runs (a Python objective's exception propagates from here).
    const bool python = objective.is_python() || prior.is_python();
    f64 *g0 = params.work;
    f64 U0 = 0.0;
    if (python) {
        U0 = sampler.potential_at_start(g0);
        if (objective.python.stop != 0 || prior.python.stop != 0) return nullptr;
    } else {
        vlm::py::Lock nogil(vlm::py::Lock::released);
        U0 = sampler.potential_at_start(g0);
    }
    if (!std::isfinite(U0)) return Py_BuildValue("(sd)", "start", U0);

    Records rec;
    rec.chains = chains;
    rec.draws = sampler.settings.draws;
    rec.m = params.m;
    rec.n = params.n;
    Ref arrays[12];
    if (!records_alloc(rec, arrays, sampler.settings.metric == vlm::MetricKind::dense))
        return nullptr;

    bool ok;
    if (python) {
        progress.on_chain_thread = true;
        progress.python_stop[0] = objective.is_python() ? &objective.python.stop : nullptr;
        progress.python_stop[1] = prior.is_python() ? &prior.python.stop : nullptr;
        auto job = [&](i64 c) {
            rec.state[c] = sampler.run_chain(c, nullptr, rec, progress);
            return objective.python.stop == 0 && prior.python.stop == 0;
        };
        ok = vlm::py::run_python(chains, job, nullptr);
    } else {
        Ref capsule(PyCapsule_New(&progress, kProgressCapsule, nullptr));
        Ref tick(capsule ? PyCFunction_New(&tick_def, capsule.get()) : nullptr);
        if (!tick) return nullptr;
        auto job = [&](i64 c, i64, const StopFlag &flag) {
            rec.state[c] = sampler.run_chain(c, &flag, rec, progress);
        };
        ok = vlm::py::run_native(chains, workers, job, progress.report ? tick.get() : nullptr);
    }
    // An interrupted run keeps what it drew when asked to.
    if (!ok && !(partial && PyErr_ExceptionMatches(PyExc_KeyboardInterrupt))) return nullptr;
    if (!ok) PyErr_Clear();
    {
        vlm::py::Lock nogil(vlm::py::Lock::released);
        constrained_draws(rec, params);
    }
    return Py_BuildValue("(sNNNNNNNNNNNN)", ok ? "done" : "partial", arrays[10].release(),
                         arrays[0].release(), arrays[1].release(), arrays[2].release(),
                         arrays[3].release(), arrays[4].release(), arrays[5].release(),
                         arrays[6].release(), arrays[7].release(), arrays[8].release(),
                         arrays[9].release(), arrays[11].release());
}

// diagnostics(draws) -> (rhat, ess_bulk, ess_tail, ess_mean, mcse_mean,
// mcse_sd), each of n values, for draws of shape (chains, draws, n).
PyObject *diagnostics(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "diagnostics() takes exactly 1 argument (%zd given)", nargs);
        return nullptr;
    }
    PyObject *obj = args[0];
    if (!is_array_of(obj, NPY_DOUBLE) || PyArray_NDIM(as_array(obj)) != 3) {
        PyErr_SetString(PyExc_ValueError,
                        "draws must be a C-contiguous float64 array of shape (chains, draws, n)");
        return nullptr;
    }
    const i64 C = PyArray_DIM(as_array(obj), 0), D = PyArray_DIM(as_array(obj), 1),
              n = PyArray_DIM(as_array(obj), 2);
    const f64 *draws = static_cast<const f64 *>(PyArray_DATA(as_array(obj)));
    f64 *out[6];
    Ref arrays[6];
    for (int k = 0; k < 6; ++k) {
        arrays[k].reset(new_zeros({n}, NPY_DOUBLE, &out[k]));
        if (!arrays[k]) return nullptr;
    }
    const i64 S = C * D;  // the array exists, so these products fit
    auto *column = static_cast<f64 *>(PyMem_Calloc(static_cast<size_t>(4 * S + 2 * C + 1), 8));
    auto *order = static_cast<i64 *>(PyMem_Calloc(static_cast<size_t>(S + 1), sizeof(i64)));
    if (column == nullptr || order == nullptr) {
        PyMem_Free(column);
        PyMem_Free(order);
        return PyErr_NoMemory();
    }
    {
        vlm::py::Lock nogil(vlm::py::Lock::released);
        for (i64 j = 0; j < n; ++j) {
            for (i64 s = 0; s < S; ++s) column[s] = draws[s * n + j];
            const vlm::ChainDiagnostics d = vlm::chain_diagnostics(column, C, D, column + S, order);
            const f64 values[6] = {d.rhat,     d.ess_bulk,  d.ess_tail,
                                   d.ess_mean, d.mcse_mean, d.mcse_sd};
            for (int k = 0; k < 6; ++k) out[k][j] = values[k];
        }
    }
    PyMem_Free(column);
    PyMem_Free(order);
    return PyTuple_Pack(6, arrays[0].get(), arrays[1].get(), arrays[2].get(), arrays[3].get(),
                        arrays[4].get(), arrays[5].get());
}

// philox4x32_10(counter, key) -> the four output words (for known-answer
// tests of the generator).
PyObject *philox4x32_10(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    uint32_t ctr[4], key[2], out[4];
    if (nargs != 2 || !PyTuple_CheckExact(args[0]) || PyTuple_GET_SIZE(args[0]) != 4 ||
        !PyTuple_CheckExact(args[1]) || PyTuple_GET_SIZE(args[1]) != 2) {
        PyErr_SetString(PyExc_TypeError, "philox4x32_10(counter: 4 ints, key: 2 ints)");
        return nullptr;
    }
    for (int k = 0; k < 6; ++k) {
        PyObject *v = PyTuple_GET_ITEM(k < 4 ? args[0] : args[1], k < 4 ? k : k - 4);
        const unsigned long word = PyLong_AsUnsignedLong(v);
        if (PyErr_Occurred()) return nullptr;
        if (word > 0xFFFFFFFFul) {
            PyErr_SetString(PyExc_OverflowError, "words must fit in 32 bits");
            return nullptr;
        }
        (k < 4 ? ctr[k] : key[k - 4]) = static_cast<uint32_t>(word);
    }
    vlm::philox4x32_10(ctr, key, out);
    return Py_BuildValue("(kkkk)", static_cast<unsigned long>(out[0]),
                         static_cast<unsigned long>(out[1]), static_cast<unsigned long>(out[2]),
                         static_cast<unsigned long>(out[3]));
}

PyMethodDef methods[] = {
    {"run", vlm::py::fastcall(run), METH_FASTCALL,
     "run(objective, prior, x0, bounds, jitter, settings, workers, report, partial) -> "
     "('start', value) or (outcome, state, y, x, logp, diverging, tree_depth, n_steps, "
     "step_size, acceptance, energy, inv_metric, done)\n\nThe chains behind Velmora.sample; "
     "call that instead."},
    {"diagnostics", vlm::py::fastcall(diagnostics), METH_FASTCALL,
     "diagnostics(draws) -> (rhat, ess_bulk, ess_tail, ess_mean, mcse_mean, mcse_sd)\n\n"
     "Rank-normalised split R-hat, effective sample sizes and Monte Carlo standard errors of\n"
     "draws of shape (chains, draws, n)."},
    {"philox4x32_10", vlm::py::fastcall(philox4x32_10), METH_FASTCALL,
     "philox4x32_10(counter, key) -> four 32-bit words: the sampler's random generator."},
    {nullptr, nullptr, 0, nullptr},
};

// The codes of a chain's outcome, for Python to read from here.
int exec_module(PyObject *module) {
    if (vlm::py::import_numpy(module) < 0) return -1;
    return vlm::py::add_constants(module, {
                                              {"CHAIN_DONE", vlm::CHAIN_DONE},
                                              {"CHAIN_STOPPED", vlm::CHAIN_STOPPED},
                                              {"CHAIN_NO_START", vlm::CHAIN_NO_START},
                                              {"CHAIN_NO_STEP", vlm::CHAIN_NO_STEP},
                                          });
}

PyModuleDef_Slot slots[] = VLM_MODULE_SLOTS(exec_module);

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_sample",
    "The native chains behind Velmora.sample: the No-U-Turn sampler on the posterior\n"
    "of the user's objective, and convergence diagnostics. Private: use Velmora.sample.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__sample(void) { return PyModuleDef_Init(&module_def); }
