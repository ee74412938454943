// Residuals and Jacobians of a stated least-squares problem (lsq_problem.h).
#include "lsq_problem.h"

#include <cmath>
#include <cstring>
#include <initializer_list>

#include "../_common/vlm_linalg.h"

namespace vlm {
namespace {

// How far one step may bring a parameter towards a bound: to this fraction
// of its distance before the step.
constexpr f64 CLOSING = 0.01;
constexpr f64 EPS_RESIDUAL = 2.220446049250313e-16;  // 2^-52: the residuals' rounding
// The longest step of one mapped coordinate z_j: its distance to a bound
// changes by at most a factor of about e^4 (the log map) per step. The
// iteration's scaling comes from the Jacobian in z, which all but vanishes
// near a bound: without this, a parameter that starts there is thrown in one
// step to wherever the other limits stop it, again and again.
constexpr f64 LONGEST = 4.0;

// The work buffer: parameters x, dx/dz, a scratch vector and the two limits
// of a step, n values each, then two vectors of m values.
struct Scratch {
    f64 *x, *dxdz, *map, *near_low, *near_high, *column, *shifted;
    Scratch(const LsqProblem &p)
        : x(p.work),
          dxdz(x + p.n),
          map(dxdz + p.n),
          near_low(map + p.n),
          near_high(near_low + p.n),
          column(near_high + p.n),
          shifted(column + p.m) {}
};

// r = W (f - y) in place.
void weigh(const LsqProblem &p, f64 *r) {
    if (p.y != nullptr)
        for (i64 i = 0; i < p.m; ++i) r[i] -= p.y[i];
    if (p.weight != nullptr)
        for (i64 i = 0; i < p.m; ++i) r[i] *= p.weight[i];
    if (p.whiten != nullptr) vlm_forward_subst(p.whiten, r, r, p.m);
}

// J (m x n) becomes W J: the rows scaled, or each column whitened.
void weigh_jacobian(const LsqProblem &p, f64 *J, f64 *column) {
    const i64 m = p.m, n = p.n;
    if (p.weight != nullptr)
        for (i64 i = 0; i < m; ++i)
            for (i64 j = 0; j < n; ++j) J[i * n + j] *= p.weight[i];
    if (p.whiten != nullptr)
        for (i64 j = 0; j < n; ++j) {
            for (i64 i = 0; i < m; ++i) column[i] = J[i * n + j];
            vlm_forward_subst(p.whiten, column, column, m);
            for (i64 i = 0; i < m; ++i) J[i * n + j] = column[i];
        }
}

int residuals_x(const LsqProblem &p, const f64 *x, f64 *r) {
    if (p.fn.values(p.fn.ctx, x, r) != 0) return 1;
    weigh(p, r);
    return 0;
}

// One column of forward differences at x with the step diff_step * size,
// away from an upper bound it would cross; false when the function ended
// the run.
bool difference_column(const LsqProblem &p, const f64 *x, const f64 *r, i64 j, f64 size, f64 *probe,
                       f64 *shifted, f64 *J) {
    f64 h = p.diff_step * size;
    if (h == 0.0) h = p.diff_step;
    if (p.upper != nullptr && x[j] + h > p.upper[j]) h = -h;
    probe[j] = x[j] + h;
    h = probe[j] - x[j];  // the step actually taken, after rounding
    const bool ran = residuals_x(p, probe, shifted) == 0;
    probe[j] = x[j];
    for (i64 i = 0; i < p.m; ++i) J[i * p.n + j] = (shifted[i] - r[i]) / h;
    return ran;
}

// Forward differences of the residuals, column by column, with steps
// relative to max(|x_j|, typical_j). A step below diff_step whose effect is
// lost in the rounding of the residuals (a coordinate near zero: no residual
// moved by more than a few ulps of the largest) is taken once more relative
// to 1: such a column reads as a parameter that changes nothing. Returns
// the evaluations made, or -1 when the function ended the run.
i64 differences(const LsqProblem &p, const f64 *x, const f64 *r, f64 *J) {
    const i64 m = p.m, n = p.n;
    Scratch s(p);
    f64 *probe = s.map;
    std::memcpy(probe, x, static_cast<size_t>(n) * sizeof(f64));
    i64 used = 0;
    for (i64 j = 0; j < n; ++j) {
        const f64 size =
            p.typical != nullptr ? std::fmax(std::fabs(x[j]), p.typical[j]) : std::fabs(x[j]);
        if (!difference_column(p, x, r, j, size, probe, s.shifted, J)) return -1;
        used += 1;
        f64 moved = 0.0, largest = 0.0;
        for (i64 i = 0; i < m; ++i) {
            moved = std::fmax(moved, std::fabs(s.shifted[i] - r[i]));
            largest = std::fmax(largest, std::fabs(r[i]));
        }
        if (size < 1.0 && moved <= 4.0 * EPS_RESIDUAL * largest) {
            if (!difference_column(p, x, r, j, 1.0, probe, s.shifted, J)) return -1;
            used += 1;
        }
    }
    return used;
}

}  // namespace

size_t lsq_problem_work(i64 m, i64 n) {
    i64 count = 0;
    if (m < 1 || n < 1 || n > (i64{1} << 58) || __builtin_add_overflow(5 * n, 2 * m, &count) ||
        count > (i64{1} << 60))
        return 0;
    return static_cast<size_t>(count);
}

void lsq_to_params(const LsqProblem &p, const f64 *z, f64 *x) {
    if (p.plan == nullptr)
        std::memmove(x, z, static_cast<size_t>(p.n) * sizeof(f64));
    else
        param_plan_apply(*p.plan, MapOp::to_constrained, z, x, 1, Scratch(p).map);
}

void lsq_from_params(const LsqProblem &p, const f64 *x, f64 *z) {
    if (p.plan == nullptr)
        std::memmove(z, x, static_cast<size_t>(p.n) * sizeof(f64));
    else
        param_plan_apply(*p.plan, MapOp::to_unconstrained, x, z, 1, Scratch(p).map);
}

int lsq_residuals(void *ctx, const f64 *z, f64 *r) {
    const LsqProblem &p = *static_cast<const LsqProblem *>(ctx);
    if (p.plan == nullptr) return residuals_x(p, z, r);
    f64 *x = Scratch(p).x;
    lsq_to_params(p, z, x);
    return residuals_x(p, x, r);
}

bool lsq_step_limit(void *ctx, const f64 *z, f64 *step) {
    const LsqProblem &p = *static_cast<const LsqProblem *>(ctx);
    if (p.plan == nullptr || p.lower == nullptr || p.upper == nullptr) return false;
    Scratch s(p);
    lsq_to_params(p, z, s.x);
    // The closest each parameter may come to each of its bounds, in x; a
    // side without a bound gets NaN, which sets no limit below.
    for (i64 j = 0; j < p.n; ++j) {
        const f64 low = p.lower[j], high = p.upper[j], xj = s.x[j];
        const f64 half = 0.5 * (high - low);  // +inf with a side missing
        s.near_low[j] = std::isfinite(low) ? low + std::fmin(xj - low, half) * CLOSING : NAN;
        s.near_high[j] = std::isfinite(high) ? high - std::fmin(high - xj, half) * CLOSING : NAN;
    }
    lsq_from_params(p, s.near_low, s.near_low);
    lsq_from_params(p, s.near_high, s.near_high);
    // Each component ends on z's side of its limits.
    bool changed = false;
    for (i64 j = 0; j < p.n; ++j) {
        const bool mapped = std::isfinite(p.lower[j]) || std::isfinite(p.upper[j]);
        if (mapped && std::fabs(step[j]) > LONGEST) {
            step[j] = std::copysign(LONGEST, step[j]);
            changed = true;
        }
        for (const f64 limit : {s.near_low[j], s.near_high[j]}) {
            const f64 room = limit - z[j];
            if (std::isfinite(room) && room != 0.0 && room * step[j] > 0.0 &&
                std::fabs(step[j]) > std::fabs(room)) {
                step[j] = room;
                changed = true;
            }
        }
    }
    return changed;
}

i64 lsq_jacobian_x(const LsqProblem &p, const f64 *x, const f64 *r, f64 *J) {
    if (p.fn.jacobian == nullptr) return differences(p, x, r, J);
    if (p.fn.jacobian(p.fn.ctx, x, J) != 0) return -1;
    weigh_jacobian(p, J, Scratch(p).column);
    return 0;
}

i64 lsq_jacobian(void *ctx, const f64 *z, const f64 *r, f64 *J) {
    const LsqProblem &p = *static_cast<const LsqProblem *>(ctx);
    if (p.plan == nullptr) return lsq_jacobian_x(p, z, r, J);
    Scratch s(p);
    lsq_to_params(p, z, s.x);
    const i64 used = lsq_jacobian_x(p, s.x, r, J);
    if (used < 0) return used;
    param_plan_apply(*p.plan, MapOp::constrained_grad, z, s.dxdz, 1, s.map);
    for (i64 i = 0; i < p.m; ++i)
        for (i64 j = 0; j < p.n; ++j) J[i * p.n + j] *= s.dxdz[j];
    return used;
}

}  // namespace vlm
