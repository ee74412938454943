// One Markov chain of the No-U-Turn sampler on a potential U(y) over R^m:
// warm-up (step size by dual averaging, the metric from windows of the
// chain's own draws), then the draws. Everything the chain needs lives in one
// caller's block and one random stream keyed by (seed, chain), so a chain's
// draws depend on its settings alone, never on the thread that runs it or on
// the other chains: a caller may run many chains (or, later, many models) on
// as many threads as it likes. Nothing here touches Python. Internal: not
// exported, not installed.
#ifndef VLM_NUTS_H
#define VLM_NUTS_H

#include <cstddef>
#include <cstdint>

#include "../optim/optim_driver.h"

namespace vlm {

enum class MetricKind { diagonal, dense };

struct NutsSettings {
    i64 draws = 1000;    // kept draws
    i64 tune = 1000;     // warm-up iterations, not kept
    i64 max_depth = 10;  // at most 2^max_depth leapfrog steps per draw
    f64 target_accept = 0.8;
    MetricKind metric = MetricKind::diagonal;
    // A step whose energy rises by more than this (or to a value that is not
    // finite) ends the trajectory as divergent.
    f64 max_energy_error = 1000.0;
    uint64_t seed = 0;
    uint64_t chain = 0;  // the stream of this chain
};

// The potential and its gradient over y (m values), and the stop request
// read after every evaluation (never null; non-zero ends the chain).
struct Potential {
    ValueGradFn value_grad = nullptr;
    void *ctx = nullptr;
    const int *stop = nullptr;
    i64 m = 0;
};

// The chain's record, caller-owned: per kept draw d, y[d*m .. d*m + m) and
// the statistics of its transition; the step size and inverse metric the
// warm-up ended with (m values, or m*m for the dense metric).
struct ChainRecord {
    f64 *y = nullptr;
    f64 *logp = nullptr;  // -U at the draw
    unsigned char *diverging = nullptr;
    i64 *tree_depth = nullptr;
    i64 *n_steps = nullptr;
    f64 *step_size = nullptr;
    f64 *acceptance = nullptr;  // mean Metropolis acceptance over the trajectory
    f64 *energy = nullptr;      // the Hamiltonian at the start of the transition
    f64 *inv_metric = nullptr;
    i64 done = 0;  // draws recorded (all of them unless stopped)
    // Called after every transition, warm-up included, with whether it
    // diverged (progress reports); may be null.
    void (*on_transition)(void *ctx, bool divergent) = nullptr;
    void *transition_ctx = nullptr;
};

enum ChainState : i64 {
    CHAIN_DONE = 0,
    CHAIN_STOPPED = 1,   // *stop was raised; `done` draws were recorded
    CHAIN_NO_START = 2,  // U is not finite at the start
    CHAIN_NO_STEP = 3,   // no step size moves the chain (a flat or broken potential)
};

// Bytes of a chain's block for m coordinates, or 0 when they do not fit in
// memory arithmetic.
size_t nuts_workspace_bytes(i64 m, const NutsSettings &settings);

// Runs the chain from the first of up to `tries` jittered starts
// y0 + jitter * u, u uniform on (-1, 1)^m, at which U is finite (y0 itself
// after that). workspace: nuts_workspace_bytes(m, settings) bytes aligned
// for doubles. Returns a ChainState.
i64 nuts_chain(const NutsSettings &settings, const Potential &potential, const f64 *y0,
               const f64 *jitter, i64 tries, ChainRecord &record, void *workspace);

}  // namespace vlm

#endif  // VLM_NUTS_H
