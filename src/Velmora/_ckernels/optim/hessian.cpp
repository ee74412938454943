// Second derivatives by differences, and the covariance they give.
//
// Step rule. Central differences of a gradient err by h^2 g'''/6 (truncation)
// plus about eps |g| / h (rounding of the two gradients); the sum is smallest
// for h of order eps^(1/3) times the distance over which the derivatives
// change, and then errs by about eps^(2/3) relative. Second differences of
// values err by h^2 f''''/12 plus about 4 eps |f| / h^2, smallest for h of
// order eps^(1/4), erring by about eps^(1/2); the cross terms take two more
// values per pair (both coordinates moved up, both down) with errors of the
// same order, n^2 + n values in all. That distance is taken as
// max(|y_i|, 1): the unconstrained coordinates of bounded parameters are logs
// and logits, for which one unit is the natural scale, and a free parameter
// far from zero varies on the scale of its own size.
//
// Flat directions. Measured in steps -- the matrix A = diag(h) H diag(h),
// whose entries are the second differences themselves -- the rounding noise
// is about the same for every coordinate, and the largest curvature is about
// eps^(2/3) (gradient) or eps^(1/2) (values) above it. A direction whose
// curvature in A is not above tol times the largest diagonal entry of A is
// therefore indistinguishable from flat; tol takes those relative accuracies
// with a margin of 10^3 for sums of many terms (whose rounding grows with
// their count) and for objectives whose size exceeds their curvature. Such
// directions are found by Cholesky elimination with diagonal pivoting,
// which stops when the largest remaining pivot is below the tolerance. A
// parameter whose component in a flat direction (in steps, the direction's
// own coordinate being 1) exceeds sqrt(tol) -- well above what the noise
// puts there -- moves with it; the others are estimable, and the inverse of
// the identified block gives them their exact covariance (any generalised
// inverse does, for estimable combinations).
#include "hessian.h"

#include <cmath>
#include <cstring>
#include <utility>

#include "../_common/vlm_linalg.h"

namespace vlm {
namespace {

bool is_finite(f64 v) { return std::fabs(v) <= 1.79769313486231570815e308; }  // false for NaN

bool stopped(const int *stop) { return stop != nullptr && *stop != 0; }

}  // namespace

f64 hessian_step(HessianSource source, f64 yi) {
    // eps^(1/3) = 6.06e-6 and eps^(1/4) = 1.22e-4.
    const f64 c = source == HessianSource::gradient ? 6.0554544523933395e-06 : 1.220703125e-04;
    return c * std::fmax(std::fabs(yi), 1.0);
}

f64 hessian_flat_tolerance(HessianSource source) {
    constexpr f64 margin = 1e3;
    return margin *
           (source == HessianSource::gradient ? 3.6668528625010836e-11 : 1.4901161193847656e-08);
}

i64 hessian_evaluations(HessianSource source, i64 n) {
    return source == HessianSource::gradient ? 2 * n : n * n + n;
}

bool hessian_by_gradient(ValueGradFn fg, void *ctx, i64 n, f64 *y, f64 *H, f64 *steps, f64 *work,
                         const int *stop) {
    f64 *g_up = work, *g_down = work + n;
    for (i64 j = 0; j < n; ++j) {
        const f64 yj = y[j], h = hessian_step(HessianSource::gradient, yj);
        const f64 up = yj + h, down = yj - h;
        y[j] = up;
        const f64 f_up = fg(y, g_up, ctx);
        if (stopped(stop)) {
            y[j] = yj;
            return false;
        }
        y[j] = down;
        const f64 f_down = fg(y, g_down, ctx);
        y[j] = yj;
        if (stopped(stop)) return false;
        const f64 width = up - down;
        steps[j] = 0.5 * width;
        const bool formed = is_finite(f_up) && is_finite(f_down);
        for (i64 i = 0; i < n; ++i) H[i * n + j] = formed ? (g_up[i] - g_down[i]) / width : NAN;
    }
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < i; ++j)
            H[i * n + j] = H[j * n + i] = 0.5 * (H[i * n + j] + H[j * n + i]);
    return true;
}

bool hessian_by_values(vlm_objective_fn f, void *ctx, i64 n, f64 *y, f64 f0, f64 *H, f64 *steps,
                       f64 *work, const int *stop) {
    // Probe i is y with y_i moved to up[i] or down[i] (y_i +- h_i as
    // rounded); steps[i] is half their distance.
    f64 *f_up = work, *f_down = work + n, *up = work + 2 * n, *down = work + 3 * n;
    auto probe = [&](i64 i, f64 yi_new, i64 j, f64 yj_new) {
        const f64 yi = y[i], yj = y[j];
        y[i] = yi_new;
        y[j] = yj_new;
        const f64 v = f(y, ctx);
        y[j] = yj;
        y[i] = yi;
        return v;
    };
    for (i64 i = 0; i < n; ++i) {
        const f64 h = hessian_step(HessianSource::values, y[i]);
        up[i] = y[i] + h;
        down[i] = y[i] - h;
        steps[i] = 0.5 * (up[i] - down[i]);
        f_up[i] = probe(i, up[i], i, up[i]);
        if (stopped(stop)) return false;
        f_down[i] = probe(i, down[i], i, down[i]);
        if (stopped(stop)) return false;
        const f64 h_up = up[i] - y[i], h_down = y[i] - down[i];
        H[i * n + i] = ((f_up[i] - f0) / h_up - (f0 - f_down[i]) / h_down) / steps[i];
    }
    // f(+i +j) + f(-i -j) - f(+i) - f(-i) - f(+j) - f(-j) + 2 f0 = 2 h_i h_j H_ij
    // up to terms of fourth order in the steps.
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < i; ++j) {
            const f64 both_up = probe(i, up[i], j, up[j]);
            if (stopped(stop)) return false;
            const f64 both_down = probe(i, down[i], j, down[j]);
            if (stopped(stop)) return false;
            const f64 sum =
                (both_up + both_down) - (f_up[i] + f_down[i]) - (f_up[j] + f_down[j]) + 2.0 * f0;
            H[i * n + j] = H[j * n + i] = sum / (2.0 * steps[i] * steps[j]);
        }
    }
    return true;
}

i64 hessian_covariance(const f64 *H, const f64 *steps, i64 n, f64 tol, f64 errordef, f64 *cov,
                       unsigned char *flat, f64 *work, i64 *iwork) {
    const i64 nn = n * n;
    for (i64 k = 0; k < nn; ++k) cov[k] = NAN;
    for (i64 i = 0; i < n; ++i) flat[i] = 1;
    for (i64 k = 0; k < nn; ++k)
        if (!is_finite(H[k])) return HESSIAN_NOT_FINITE;
    for (i64 i = 0; i < n; ++i)
        if (!(is_finite(steps[i]) && steps[i] > 0.0)) return HESSIAN_NOT_FINITE;

    // A = diag(steps) H diag(steps), and its largest diagonal entry.
    f64 *A = work, *S = work + nn, *G = work + 2 * nn, *L = work + 3 * nn;
    f64 largest = 0.0;
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < n; ++j) A[i * n + j] = steps[i] * H[i * n + j] * steps[j];
        largest = std::fmax(largest, A[i * n + i]);
    }

    // Elimination with diagonal pivoting on a copy: perm[0 .. rank) are the
    // pivots taken, perm[rank .. n) what is left when no remaining pivot is
    // above the tolerance (each of those spans one flat direction).
    i64 *perm = iwork;
    std::memcpy(S, A, static_cast<size_t>(nn) * sizeof(f64));
    for (i64 i = 0; i < n; ++i) perm[i] = i;
    i64 rank = 0;
    const f64 threshold = tol * largest;
    while (rank < n) {
        i64 best = rank;
        for (i64 a = rank + 1; a < n; ++a)
            if (S[perm[a] * n + perm[a]] > S[perm[best] * n + perm[best]]) best = a;
        const i64 p = perm[best];
        const f64 d = S[p * n + p];
        if (!(largest > 0.0 && d > threshold)) break;
        std::swap(perm[rank], perm[best]);
        for (i64 a = rank + 1; a < n; ++a) {
            const i64 i = perm[a];
            const f64 factor = S[i * n + p] / d;
            for (i64 b = rank + 1; b < n; ++b) S[i * n + perm[b]] -= factor * S[p * n + perm[b]];
        }
        ++rank;
    }
    if (rank == 0) return HESSIAN_FLAT;

    // The identified part A_PP, in pivot order, and its inverse.
    for (i64 a = 0; a < rank; ++a)
        for (i64 b = 0; b < rank; ++b) S[a * rank + b] = A[perm[a] * n + perm[b]];
    if (vlm_chol_inv(S, G, L, rank) != 0) return HESSIAN_FLAT;
    for (i64 a = 0; a < rank; ++a) flat[perm[a]] = 0;

    // Flat direction c: v = e_q - A_PP^-1 A_Pq in steps (q = perm[c]). A
    // pivot whose component is not negligible moves with it.
    const f64 negligible = std::sqrt(tol);
    for (i64 c = rank; c < n; ++c) {
        const i64 q = perm[c];
        for (i64 a = 0; a < rank; ++a) {
            f64 v = 0.0;
            for (i64 b = 0; b < rank; ++b) v -= G[a * rank + b] * A[perm[b] * n + q];
            if (!(std::fabs(v) <= negligible)) flat[perm[a]] = 1;
        }
    }

    // cov = 2 errordef diag(steps) A_PP^-1 diag(steps) on the identified
    // parameters, symmetrised (the inverse is built column by column).
    const f64 scale = 2.0 * errordef;
    for (i64 a = 0; a < rank; ++a) {
        const i64 i = perm[a];
        if (flat[i]) continue;
        for (i64 b = 0; b < rank; ++b) {
            const i64 j = perm[b];
            if (flat[j]) continue;
            cov[i * n + j] =
                scale * steps[i] * steps[j] * 0.5 * (G[a * rank + b] + G[b * rank + a]);
        }
    }
    return rank == n ? HESSIAN_IDENTIFIED : HESSIAN_FLAT;
}

}  // namespace vlm
