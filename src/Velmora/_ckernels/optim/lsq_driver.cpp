// One least-squares fit: the iteration on z, then the Jacobian and the
// covariance on x.
#include "lsq_driver.h"

#include <cstdint>
#include <cstring>

#include "robust_loss.h"

namespace vlm {
namespace {

// The workspace: the iteration's block, then the problem's work buffer and
// the unconstrained variables z and a check of the start (n values each),
// then the raw residuals of a robust loss (m values).
struct DriveWork {
    void *lm;
    f64 *problem, *z, *x_check, *raw;

    DriveWork(void *block, i64 m, i64 n) {
        lm = block;
        problem = reinterpret_cast<f64 *>(static_cast<char *>(block) + lm_workspace_bytes(m, n));
        z = problem + lsq_problem_work(m, n);
        x_check = z + n;
        raw = x_check + n;
    }
};

}  // namespace

size_t lsq_drive_bytes(i64 m, i64 n) {
    const size_t lm_bytes = lm_workspace_bytes(m, n), work = lsq_problem_work(m, n);
    size_t tail = 0, total = 0;
    if (lm_bytes == 0 || work == 0 ||
        __builtin_mul_overflow(work + 2 * static_cast<size_t>(n) + static_cast<size_t>(m),
                               sizeof(f64), &tail) ||
        __builtin_add_overflow(lm_bytes, tail, &total))
        return 0;
    return total;
}

void lsq_drive(LsqProblem problem, const LmOptions &options, f64 *x, f64 *r, bool r_given, int want,
               f64 *jac, f64 *cov, void *workspace, LsqDriveResult &out) {
    const i64 m = problem.m, n = problem.n;
    DriveWork w(workspace, m, n);
    problem.work = w.problem;
    out = LsqDriveResult{};
    RobustProblem robust{&problem, problem.loss, problem.f_scale, w.raw};
    const LmProblem lp = problem.loss == LOSS_LINEAR
                             ? LmProblem{m, n, lsq_residuals, lsq_jacobian, &problem}
                             : LmProblem{m, n, robust_residuals, robust_jacobian, &robust};
    f64 *const z = problem.plan != nullptr ? w.z : x;
    if (problem.plan != nullptr) {
        // The residuals given are those at x; the iteration starts from
        // T^-1(T(x)), which rounding may move.
        lsq_from_params(problem, x, z);
        lsq_to_params(problem, z, w.x_check);
        r_given = r_given && std::memcmp(w.x_check, x, static_cast<size_t>(n) * sizeof(f64)) == 0;
    }
    lm_minimize(lp, options, z, r, r_given, w.lm, &out.run);
    if (problem.plan != nullptr) lsq_to_params(problem, z, x);
    out.finished = out.run.status > 0 || out.run.status == LM_JACOBIAN_NOT_FINITE;
    if (!out.finished || want < LSQ_JACOBIAN) return;
    // With a robust loss r holds the loss-scaled residuals: the Jacobian is
    // taken on the raw ones, and both become the pair reported (robust_loss.h).
    const f64 *raw = r;
    if (problem.loss != LOSS_LINEAR) {
        raw = w.raw;
        if (lsq_residuals(&problem, z, w.raw) != 0) {
            out.run.status = LM_STOPPED;
            out.finished = false;
            return;
        }
    }
    if (lsq_jacobian_x(problem, x, raw, jac) < 0) {
        out.run.status = LM_STOPPED;
        out.finished = false;
        return;
    }
    if (problem.loss != LOSS_LINEAR)
        robust_report(problem.loss, problem.f_scale, raw, r, jac, m, n);
    if (want < LSQ_COVARIANCE) return;
    out.rank = lm_covariance(jac, m, n, problem.fn.jacobian != nullptr ? 0.0 : problem.diff_step,
                             cov, w.lm);
    if (want == LSQ_SCALED_COVARIANCE && out.rank == n && m > n) {
        const f64 variance = 2.0 * out.run.cost / static_cast<f64>(m - n);
        for (i64 k = 0; k < n * n; ++k) cov[k] *= variance;
    }
}

}  // namespace vlm
