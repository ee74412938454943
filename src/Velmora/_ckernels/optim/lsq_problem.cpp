// Residuals and Jacobians of a stated least-squares problem (lsq_problem.h).
#include "lsq_problem.h"

#include <cmath>
#include <cstring>

#include "../_common/vlm_linalg.h"

namespace vlm {
namespace {

// The work buffer: parameters x, dx/dz and a scratch vector of n values,
// then two of m values.
struct Scratch {
    f64 *x, *dxdz, *map, *column, *shifted;
    Scratch(const LsqProblem &p)
        : x(p.work), dxdz(x + p.n), map(dxdz + p.n), column(map + p.n), shifted(column + p.m) {}
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

// Forward differences of the residuals, column by column. The step is
// diff_step |x_j| (diff_step itself at 0), away from an upper bound it would
// cross.
i64 differences(const LsqProblem &p, const f64 *x, const f64 *r, f64 *J) {
    const i64 m = p.m, n = p.n;
    Scratch s(p);
    f64 *probe = s.map;
    std::memcpy(probe, x, static_cast<size_t>(n) * sizeof(f64));
    for (i64 j = 0; j < n; ++j) {
        f64 h = p.diff_step * std::fabs(x[j]);
        if (h == 0.0) h = p.diff_step;
        if (p.upper != nullptr && x[j] + h > p.upper[j]) h = -h;
        probe[j] = x[j] + h;
        h = probe[j] - x[j];  // the step actually taken, after rounding
        if (residuals_x(p, probe, s.shifted) != 0) return -1;
        probe[j] = x[j];
        for (i64 i = 0; i < m; ++i) J[i * n + j] = (s.shifted[i] - r[i]) / h;
    }
    return n;
}

}  // namespace

size_t lsq_problem_work(i64 m, i64 n) {
    i64 count = 0;
    if (m < 1 || n < 1 || __builtin_add_overflow(3 * n, 2 * m, &count) || count > (i64{1} << 60))
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
