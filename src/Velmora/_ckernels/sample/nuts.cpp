// The No-U-Turn sampler (Hoffman and Gelman, "The No-U-Turn Sampler",
// JMLR 15, 2014) in the form Betancourt describes ("A Conceptual
// Introduction to Hamiltonian Monte Carlo", arXiv:1701.02434, 2017):
//
// - The trajectory doubles in a random direction until it turns back on
//   itself or reaches 2^max_depth steps. Each doubling builds a balanced
//   binary tree of leapfrog steps.
// - The draw is chosen among the trajectory's points with weights
//   exp(-H) (multinomial sampling): uniformly within each new subtree, and
//   biased towards the newest subtree when it is merged into the old
//   trajectory (Betancourt, appendix A.3.2), which keeps detailed balance and
//   moves further than sampling the whole trajectory uniformly.
// - The no-U-turn criterion is the generalised one, on the momenta summed
//   over a (sub)trajectory: rho . M^-1 p > 0 at both of its ends (Betancourt,
//   section 4.2). Besides each subtree itself, the two halves it merges are
//   each checked together with the adjacent point of the other half, which
//   catches turns that fall between the two halves.
// - A step whose energy rises by more than max_energy_error, or to a value
//   that is not finite, is a divergence: the trajectory ends there, the draw
//   comes from the points before it, and the transition is flagged.
//
// Warm-up follows the windowed adaptation that Stan documents (Stan Reference
// Manual, "HMC algorithm parameters"): a fast initial buffer (75 iterations)
// where only the step size adapts, slow windows that double from 25
// iterations, each ending with a new metric estimated from its draws, and a
// terminal buffer (50 iterations) for the step size alone; shorter warm-ups
// scale the three parts to 15%, 75% and 10%. The step size adapts by the
// dual averaging of Hoffman and Gelman (section 3.2; gamma 0.05, t0 10,
// kappa 0.75, mu = log(10 eps)), restarted after each metric update, and is
// set to the averaged iterate at the end of warm-up.
#include "nuts.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "../_common/vlm_linalg.h"
#include "philox.h"

namespace vlm {
namespace {

constexpr f64 INF = HUGE_VAL;

f64 log_add_exp(f64 a, f64 b) {
    if (a == -INF) return b;
    if (b == -INF) return a;
    return std::max(a, b) + std::log1p(std::exp(-std::fabs(a - b)));
}

void copy(f64 *dst, const f64 *src, i64 m) {
    std::memcpy(dst, src, static_cast<size_t>(m) * sizeof(f64));
}

void add_into(f64 *acc, const f64 *a, i64 m) {
    for (i64 k = 0; k < m; ++k) acc[k] += a[k];
}

void sum(f64 *out, const f64 *a, const f64 *b, i64 m) {
    for (i64 k = 0; k < m; ++k) out[k] = a[k] + b[k];
}

// The generalised no-U-turn criterion on a trajectory with momentum sum rho
// and velocities ps_a, ps_b at its ends: true while it has not turned.
bool no_u_turn(const f64 *ps_a, const f64 *ps_b, const f64 *rho, i64 m) {
    return vlm_dot(ps_a, rho, m) > 0.0 && vlm_dot(ps_b, rho, m) > 0.0;
}

// A point of phase space: position, momentum, the potential's gradient and
// value.
struct PhasePoint {
    f64 *q = nullptr, *p = nullptr, *g = nullptr;
    f64 U = 0.0;
};

// A position with its gradient and potential (a candidate draw).
struct State {
    f64 *q = nullptr, *g = nullptr;
    f64 U = 0.0;
};

void copy_state(State &dst, const f64 *q, const f64 *g, f64 U, i64 m) {
    copy(dst.q, q, m);
    copy(dst.g, g, m);
    dst.U = U;
}

// The buffers of one recursion level of the tree builder.
struct Level {
    State final_draw;
    f64 *ps_init_end, *p_init_end, *rho_init, *ps_final_beg, *p_final_beg, *rho_final;
};
constexpr i64 LEVEL_VECTORS = 8;

// Vectors of m values outside the levels: the normals, the velocity and the
// Welford mean (3), the two trajectory edges (6) and their velocities (2),
// the draw and the proposal (4), the momentum sums and edge copies of the
// top level, a scratch vector and two scratch sums (10).
constexpr i64 FIXED_VECTORS = 25;

// The chain's block, carved once.
struct Memory {
    f64 *inv_metric, *chol, *welford_m2;  // m or m*m each (chol: dense only)
    f64 *normals, *velocity, *welford_mean;
    PhasePoint edge[2];  // [0] backward, [1] forward
    f64 *ps_edge[2];
    State draw, proposal;
    f64 *rho, *rho_new, *old_edge_p, *old_edge_ps, *new_beg_p, *new_beg_ps, *new_end_p, *spare;
    f64 *sum_a, *sum_b;
    f64 *levels;

    Memory(void *block, i64 m, const NutsSettings &s) {
        const i64 metric = s.metric == MetricKind::dense ? m * m : m;
        f64 *next = static_cast<f64 *>(block);
        auto take = [&](i64 count) {
            f64 *v = next;
            next += count;
            return v;
        };
        inv_metric = take(metric);
        chol = take(s.metric == MetricKind::dense ? m * m : 0);
        welford_m2 = take(metric);
        normals = take(m);
        velocity = take(m);
        welford_mean = take(m);
        for (int side = 0; side < 2; ++side) {
            edge[side].q = take(m);
            edge[side].p = take(m);
            edge[side].g = take(m);
            ps_edge[side] = take(m);
        }
        draw.q = take(m);
        draw.g = take(m);
        proposal.q = take(m);
        proposal.g = take(m);
        for (f64 **v : {&rho, &rho_new, &old_edge_p, &old_edge_ps, &new_beg_p, &new_beg_ps,
                        &new_end_p, &spare, &sum_a, &sum_b})
            *v = take(m);
        levels = take(s.max_depth * LEVEL_VECTORS * m);
    }
};

// The dual-averaging iteration of Hoffman and Gelman (2014), section 3.2,
// with their constants.
class DualAveraging {
public:
    void restart(f64 step) {
        mu_ = std::log(10.0 * step);
        s_bar_ = x_bar_ = 0.0;
        count_ = 0;
    }
    // The next step size after a transition with mean acceptance `accept`.
    f64 learn(f64 accept, f64 target) {
        constexpr f64 gamma = 0.05, t0 = 10.0, kappa = 0.75;
        accept = accept > 1.0 ? 1.0 : (accept >= 0.0 ? accept : 0.0);  // NaN: no acceptance
        ++count_;
        const f64 t = static_cast<f64>(count_), eta = 1.0 / (t + t0);
        s_bar_ = (1.0 - eta) * s_bar_ + eta * (target - accept);
        const f64 x = mu_ - s_bar_ * std::sqrt(t) / gamma, w = std::pow(t, -kappa);
        x_bar_ = w * x + (1.0 - w) * x_bar_;
        return std::exp(x);
    }
    f64 averaged() const { return std::exp(x_bar_); }

private:
    f64 mu_ = 0.0, s_bar_ = 0.0, x_bar_ = 0.0;
    i64 count_ = 0;
};

// The warm-up schedule: which iterations feed the metric and where each
// window ends (Stan's defaults, scaled down for short warm-ups).
class Windows {
public:
    explicit Windows(i64 tune) {
        i64 init = 75, term = 50, base = 25;
        if (init + base + term > tune) {
            init = tune * 15 / 100;
            term = tune / 10;
            base = tune - init - term;
        }
        enabled_ = tune >= 20;
        slow_end_ = tune - term;
        size_ = base;
        end_ = window_end(init);
        start_ = init;
    }
    bool collects(i64 i) const { return enabled_ && i >= start_ && i < slow_end_; }
    // After iteration i: true when a window ends there (and moves to the next).
    bool closes(i64 i) {
        if (!enabled_ || i + 1 != end_ || end_ > slow_end_) return false;
        size_ *= 2;
        start_ = end_;
        end_ = start_ < slow_end_ ? window_end(start_) : slow_end_ + 1;
        return true;
    }

private:
    // A window runs to its doubled successor's start unless that successor
    // would not fit before the terminal buffer: then it stretches to it.
    i64 window_end(i64 start) const {
        const i64 end = start + size_;
        return end + 2 * size_ > slow_end_ ? slow_end_ : end;
    }
    bool enabled_ = false;
    i64 slow_end_ = 0, size_ = 0, start_ = 0, end_ = 0;
};

struct TreeStats {
    i64 n_leapfrog = 0;
    f64 sum_accept = 0.0;
    bool divergent = false;
};

struct Transition {
    i64 depth = 0, n_steps = 0;
    f64 accept = 0.0, energy = 0.0;
    bool divergent = false;
};

class Chain {
public:
    Chain(const NutsSettings &s, const Potential &pot, void *block)
        : s_(s), pot_(pot), m_(pot.m), w_(block, pot.m, s), rng_(s.seed, s.chain) {
        reset_metric_to_identity();
    }

    bool stopped() const { return *pot_.stop != 0; }

    // The first finite jittered start, else y0; false when U is not finite
    // at y0 either.
    bool start(const f64 *y0, const f64 *jitter, i64 tries) {
        for (i64 t = 0; t < tries && !stopped(); ++t) {
            for (i64 k = 0; k < m_; ++k)
                w_.draw.q[k] = y0[k] + jitter[k] * (2.0 * rng_.uniform() - 1.0);
            if (evaluate(w_.draw)) return true;
        }
        copy(w_.draw.q, y0, m_);
        return evaluate(w_.draw);
    }

    i64 run(ChainRecord &rec) {
        if (!init_step_size()) return stopped() ? CHAIN_STOPPED : CHAIN_NO_STEP;
        DualAveraging dual;
        dual.restart(eps_);
        Windows windows(s_.tune);
        for (i64 i = 0; i < s_.tune; ++i) {
            const Transition t = transition();
            if (stopped()) return CHAIN_STOPPED;
            report(rec, t);
            eps_ = dual.learn(t.accept, s_.target_accept);
            if (windows.collects(i)) welford_add(w_.draw.q);
            if (windows.closes(i)) {
                update_metric();
                if (!init_step_size()) return stopped() ? CHAIN_STOPPED : CHAIN_NO_STEP;
                dual.restart(eps_);
            }
            if (i + 1 == s_.tune) eps_ = dual.averaged();
        }
        const i64 metric_size = s_.metric == MetricKind::dense ? m_ * m_ : m_;
        copy(rec.inv_metric, w_.inv_metric, metric_size);
        for (i64 d = 0; d < s_.draws; ++d) {
            const Transition t = transition();
            if (stopped()) return CHAIN_STOPPED;
            report(rec, t);
            copy(rec.y + d * m_, w_.draw.q, m_);
            rec.logp[d] = -w_.draw.U;
            rec.diverging[d] = t.divergent ? 1 : 0;
            rec.tree_depth[d] = t.depth;
            rec.n_steps[d] = t.n_steps;
            rec.step_size[d] = eps_;
            rec.acceptance[d] = t.accept;
            rec.energy[d] = t.energy;
            rec.done = d + 1;
        }
        return CHAIN_DONE;
    }

private:
    static void report(const ChainRecord &rec, const Transition &t) {
        if (rec.on_transition != nullptr) rec.on_transition(rec.transition_ctx, t.divergent);
    }

    // --- the Hamiltonian ------------------------------------------------------

    // U and its gradient at st.q; false unless both are finite.
    template <class Point>
    bool evaluate(Point &st) {
        st.U = pot_.value_grad(st.q, st.g, pot_.ctx);
        if (!std::isfinite(st.U)) return false;
        for (i64 k = 0; k < m_; ++k)
            if (!std::isfinite(st.g[k])) return false;
        return true;
    }

    void velocity(const f64 *p, f64 *out) const {
        if (s_.metric == MetricKind::dense) {
            vlm_matvec(w_.inv_metric, p, out, m_, m_);
        } else {
            for (i64 k = 0; k < m_; ++k) out[k] = w_.inv_metric[k] * p[k];
        }
    }

    // p ~ N(0, M) with M the inverse of the inverse metric C = L L^T:
    // solving L^T p = z gives cov(p) = L^-T L^-1 = C^-1.
    void draw_momentum(f64 *p) {
        for (i64 k = 0; k < m_; ++k) w_.normals[k] = rng_.normal();
        if (s_.metric == MetricKind::dense) {
            vlm_backward_subst_chol_t(w_.chol, w_.normals, p, m_);
        } else {
            for (i64 k = 0; k < m_; ++k) p[k] = w_.normals[k] / std::sqrt(w_.inv_metric[k]);
        }
    }

    // H = U + p.M^-1 p / 2, with the velocity M^-1 p written into ps; +inf
    // for a point where it is not finite.
    f64 hamiltonian(const PhasePoint &z, f64 *ps) const {
        velocity(z.p, ps);
        const f64 H = z.U + 0.5 * vlm_dot(z.p, ps, m_);
        return std::isfinite(H) ? H : INF;
    }

    void leapfrog(PhasePoint &z, f64 h) {
        for (i64 k = 0; k < m_; ++k) z.p[k] -= 0.5 * h * z.g[k];
        velocity(z.p, w_.velocity);
        for (i64 k = 0; k < m_; ++k) z.q[k] += h * w_.velocity[k];
        z.U = pot_.value_grad(z.q, z.g, pot_.ctx);
        for (i64 k = 0; k < m_; ++k) z.p[k] -= 0.5 * h * z.g[k];
    }

    // --- the trajectory -------------------------------------------------------

    Level level(i64 depth) const {
        f64 *v = w_.levels + depth * LEVEL_VECTORS * m_;
        Level L;
        L.final_draw.q = v;
        L.final_draw.g = v + m_;
        L.ps_init_end = v + 2 * m_;
        L.p_init_end = v + 3 * m_;
        L.rho_init = v + 4 * m_;
        L.ps_final_beg = v + 5 * m_;
        L.p_final_beg = v + 6 * m_;
        L.rho_final = v + 7 * m_;
        return L;
    }

    // Extends the trajectory from z by 2^depth steps of sign * eps. Writes the
    // subtree's draw into `draw`, its first and last momenta and velocities,
    // adds its momenta to rho and its weights to log_sum_weight. False when it
    // diverged, turned, or the chain was stopped.
    bool build_tree(i64 depth, PhasePoint &z, State &draw, f64 *ps_beg, f64 *ps_end, f64 *rho,
                    f64 *p_beg, f64 *p_end, f64 H0, f64 sign, f64 &log_sum_weight, TreeStats &st) {
        if (depth == 0) {
            leapfrog(z, sign * eps_);
            ++st.n_leapfrog;
            const f64 H = hamiltonian(z, ps_beg);
            if (H - H0 > s_.max_energy_error) st.divergent = true;
            log_sum_weight = log_add_exp(log_sum_weight, H0 - H);
            st.sum_accept += H0 - H > 0.0 ? 1.0 : std::exp(H0 - H);
            copy_state(draw, z.q, z.g, z.U, m_);
            copy(ps_end, ps_beg, m_);
            copy(p_beg, z.p, m_);
            copy(p_end, z.p, m_);
            add_into(rho, z.p, m_);
            return !st.divergent && !stopped();
        }
        Level L = level(depth - 1);
        f64 weight_init = -INF, weight_final = -INF;
        std::fill_n(L.rho_init, m_, 0.0);
        if (!build_tree(depth - 1, z, draw, ps_beg, L.ps_init_end, L.rho_init, p_beg, L.p_init_end,
                        H0, sign, weight_init, st))
            return false;
        std::fill_n(L.rho_final, m_, 0.0);
        if (!build_tree(depth - 1, z, L.final_draw, L.ps_final_beg, ps_end, L.rho_final,
                        L.p_final_beg, p_end, H0, sign, weight_final, st))
            return false;
        // Uniform multinomial choice between the two halves.
        const f64 weight = log_add_exp(weight_init, weight_final);
        log_sum_weight = log_add_exp(log_sum_weight, weight);
        if (rng_.uniform() < std::exp(weight_final - weight))
            copy_state(draw, L.final_draw.q, L.final_draw.g, L.final_draw.U, m_);
        f64 *rho_sub = w_.sum_a, *extended = w_.sum_b;
        sum(rho_sub, L.rho_init, L.rho_final, m_);
        bool persist = no_u_turn(ps_beg, ps_end, rho_sub, m_);
        sum(extended, L.rho_init, L.p_final_beg, m_);
        persist = persist && no_u_turn(ps_beg, L.ps_final_beg, extended, m_);
        sum(extended, L.rho_final, L.p_init_end, m_);
        persist = persist && no_u_turn(L.ps_init_end, ps_end, extended, m_);
        add_into(rho, rho_sub, m_);
        return persist;
    }

    // One NUTS transition from the current draw.
    Transition transition() {
        Memory &w = w_;
        PhasePoint &fwd = w.edge[1], &bck = w.edge[0];
        copy(fwd.q, w.draw.q, m_);
        copy(fwd.g, w.draw.g, m_);
        fwd.U = w.draw.U;
        draw_momentum(fwd.p);
        const f64 H0 = hamiltonian(fwd, w.ps_edge[1]);
        copy(bck.q, fwd.q, m_);
        copy(bck.p, fwd.p, m_);
        copy(bck.g, fwd.g, m_);
        bck.U = fwd.U;
        copy(w.ps_edge[0], w.ps_edge[1], m_);
        copy(w.rho, fwd.p, m_);

        Transition t;
        t.energy = H0;
        TreeStats st;
        f64 log_sum_weight = 0.0;  // the start's weight exp(H0 - H0)
        while (t.depth < s_.max_depth) {
            const int side = rng_.uniform() > 0.5 ? 1 : 0;
            const f64 sign = side == 1 ? 1.0 : -1.0;
            copy(w.old_edge_p, w.edge[side].p, m_);
            copy(w.old_edge_ps, w.ps_edge[side], m_);
            std::fill_n(w.rho_new, m_, 0.0);
            f64 weight_new = -INF;
            const bool valid =
                build_tree(t.depth, w.edge[side], w.proposal, w.new_beg_ps, w.ps_edge[side],
                           w.rho_new, w.new_beg_p, w.new_end_p, H0, sign, weight_new, st);
            if (!valid) break;
            ++t.depth;
            // Biased progressive sampling: prefer the new subtree.
            if (weight_new > log_sum_weight ||
                rng_.uniform() < std::exp(weight_new - log_sum_weight))
                copy_state(w.draw, w.proposal.q, w.proposal.g, w.proposal.U, m_);
            log_sum_weight = log_add_exp(log_sum_weight, weight_new);

            const f64 *far_ps = w.ps_edge[1 - side], *new_end_ps = w.ps_edge[side];
            f64 *total = w.sum_a, *extended = w.sum_b;
            sum(total, w.rho, w.rho_new, m_);
            bool persist = no_u_turn(far_ps, new_end_ps, total, m_);
            sum(extended, w.rho, w.new_beg_p, m_);
            persist = persist && no_u_turn(far_ps, w.new_beg_ps, extended, m_);
            sum(extended, w.rho_new, w.old_edge_p, m_);
            persist = persist && no_u_turn(w.old_edge_ps, new_end_ps, extended, m_);
            copy(w.rho, total, m_);
            if (!persist) break;
        }
        t.n_steps = st.n_leapfrog;
        t.accept = st.n_leapfrog > 0 ? st.sum_accept / static_cast<f64>(st.n_leapfrog) : 0.0;
        t.divergent = st.divergent;
        return t;
    }

    // --- adaptation -----------------------------------------------------------

    // The energy change of one leapfrog step of eps from the draw with a
    // fresh momentum.
    f64 one_step_energy_change() {
        PhasePoint &z = w_.edge[0];
        copy(z.q, w_.draw.q, m_);
        copy(z.g, w_.draw.g, m_);
        z.U = w_.draw.U;
        draw_momentum(z.p);
        const f64 H0 = hamiltonian(z, w_.ps_edge[0]);
        leapfrog(z, eps_);
        return H0 - hamiltonian(z, w_.ps_edge[0]);
    }

    // A first step size: doubled or halved until one step's acceptance
    // crosses 0.8 (the heuristic of Hoffman and Gelman, algorithm 4).
    bool init_step_size() {
        const f64 threshold = std::log(0.8);
        const int direction = one_step_energy_change() > threshold ? 1 : -1;
        for (int i = 0; i < 200 && !stopped(); ++i) {
            const f64 change = one_step_energy_change();
            if (direction == 1 ? !(change > threshold) : !(change < threshold))
                return std::isfinite(eps_) && eps_ > 0.0;
            eps_ = direction == 1 ? 2.0 * eps_ : 0.5 * eps_;
        }
        return false;
    }

    void reset_metric_to_identity() {
        const bool dense = s_.metric == MetricKind::dense;
        std::fill_n(w_.inv_metric, dense ? m_ * m_ : m_, 0.0);
        if (dense) std::fill_n(w_.chol, m_ * m_, 0.0);
        for (i64 k = 0; k < m_; ++k) {
            w_.inv_metric[dense ? k * m_ + k : k] = 1.0;
            if (dense) w_.chol[k * m_ + k] = 1.0;
        }
        welford_reset();
    }

    void welford_reset() {
        welford_count_ = 0;
        std::fill_n(w_.welford_mean, m_, 0.0);
        std::fill_n(w_.welford_m2, s_.metric == MetricKind::dense ? m_ * m_ : m_, 0.0);
    }

    // Welford's running mean and sums of squares (or of cross products).
    void welford_add(const f64 *y) {
        ++welford_count_;
        f64 *delta = w_.spare;
        for (i64 k = 0; k < m_; ++k) {
            delta[k] = y[k] - w_.welford_mean[k];
            w_.welford_mean[k] += delta[k] / static_cast<f64>(welford_count_);
        }
        if (s_.metric == MetricKind::dense) {
            for (i64 j = 0; j < m_; ++j)
                for (i64 k = 0; k < m_; ++k)
                    w_.welford_m2[j * m_ + k] += delta[j] * (y[k] - w_.welford_mean[k]);
        } else {
            for (i64 k = 0; k < m_; ++k) w_.welford_m2[k] += delta[k] * (y[k] - w_.welford_mean[k]);
        }
    }

    // The window's (co)variance, shrunk towards 1e-3 I with the weight Stan
    // uses (n / (n + 5) and 5 / (n + 5)), becomes the inverse metric.
    void update_metric() {
        const f64 n = static_cast<f64>(welford_count_);
        if (welford_count_ < 3) return;
        const f64 keep = n / (n + 5.0) / (n - 1.0), shrink = 1e-3 * 5.0 / (n + 5.0);
        if (s_.metric == MetricKind::dense) {
            for (i64 j = 0; j < m_ * m_; ++j) w_.inv_metric[j] = keep * w_.welford_m2[j];
            for (i64 k = 0; k < m_; ++k) w_.inv_metric[k * m_ + k] += shrink;
            if (vlm_chol(w_.inv_metric, 0.0, w_.chol, m_) != 0) {
                // Not numerically positive definite: keep its diagonal.
                for (i64 j = 0; j < m_; ++j)
                    for (i64 k = 0; k < m_; ++k) {
                        if (j != k) w_.inv_metric[j * m_ + k] = 0.0;
                        w_.chol[j * m_ + k] = j == k ? std::sqrt(w_.inv_metric[j * m_ + k]) : 0.0;
                    }
            }
        } else {
            for (i64 k = 0; k < m_; ++k) w_.inv_metric[k] = keep * w_.welford_m2[k] + shrink;
        }
        welford_reset();
    }

    const NutsSettings &s_;
    const Potential &pot_;
    i64 m_;
    Memory w_;
    RandomStream rng_;
    f64 eps_ = 1.0;
    i64 welford_count_ = 0;
};

}  // namespace

size_t nuts_workspace_bytes(i64 m, const NutsSettings &s) {
    i64 mm = 0, values = 0;
    if (m < 1 || s.max_depth < 0 || __builtin_mul_overflow(m, m, &mm)) return 0;
    const i64 metric = s.metric == MetricKind::dense ? 3 * mm : 2 * m;
    i64 per_level = 0, levels = 0;
    if (__builtin_mul_overflow(LEVEL_VECTORS, m, &per_level) ||
        __builtin_mul_overflow(per_level, s.max_depth, &levels) ||
        __builtin_add_overflow(metric, levels, &values) ||
        __builtin_add_overflow(values, FIXED_VECTORS * m, &values) ||
        values > static_cast<i64>(SIZE_MAX / sizeof(f64)))
        return 0;
    return static_cast<size_t>(values) * sizeof(f64);
}

i64 nuts_chain(const NutsSettings &settings, const Potential &potential, const f64 *y0,
               const f64 *jitter, i64 tries, ChainRecord &record, void *workspace) {
    record.done = 0;
    Chain chain(settings, potential, workspace);
    if (!chain.start(y0, jitter, tries)) return chain.stopped() ? CHAIN_STOPPED : CHAIN_NO_START;
    return chain.run(record);
}

}  // namespace vlm
