// Second derivatives by differences, and the covariance they give.
//
// Step rule. The units of a parameter are the user's choice, so a step tied
// to |y_i| or to 1 can span hundreds of standard errors of a coefficient
// measured in small units (and leave the domain) or be lost in rounding for
// one measured in large units. The only scale the objective itself fixes is
// its curvature: the conditional standard error s_i = sqrt(2 errordef / H_ii)
// is the distance over which the objective changes by errordef. Each step is
// therefore a fixed fraction of s_i, found from the diagonal curvature: a
// first probe at eps^(1/4) times max(|y_i|, 1) -- right for well-scaled
// problems, which then take no more evaluations than that one probe -- then,
// while the step is more than a factor of 4 from its target, a new probe at
// the target (a bounded number of rounds). Measured in s_i, the truncation
// errors (h^2 f''''/12 and h^2 g'''/6 relative to the curvature) are the
// squared fraction times the objective's fourth derivative in standard-error
// units, which is of order one over the number of observations for a
// likelihood but can be near one for small samples; the rounding of values,
// about 4 eps |f| / (H_ii h^2), grows as the fraction shrinks. Hence 2e-3 of
// s_i for gradients (two gradients' difference loses eps |g| / h, which
// matters for sums that cancel, as in ill-conditioned regressions), and for
// values 5e-3, raised to the balance (eps |f| / errordef)^(1/4) when |f| is
// large. A probe whose value is not finite shrinks the step by 8, and no
// later target may come back above half the failed step; a coordinate with no
// finite probe in the rounds gets NaN. The cross terms of values take two
// more values per pair (both coordinates moved up, both down), n^2 + n values
// in all on a well-scaled problem.
//
// Flat directions. In the correlation form C = D^-1/2 H D^-1/2 (D the
// diagonal of H) every coordinate has unit curvature whatever its units, and
// the pivot left for a coordinate after elimination is the fraction of its
// curvature that the others do not explain. Only when that fraction is below
// what the differencing resolves (tol: its relative accuracy with a margin
// of 10^3 for sums of many terms) is the direction indistinguishable from
// flat. A coordinate whose own curvature is not positive is flat or not at a
// minimum and is never a pivot. Flat directions are found by Cholesky
// elimination with diagonal pivoting, which stops when the largest
// remaining pivot is below the tolerance. A parameter whose component in a
// flat direction (in C's units, the direction's own coordinate being 1)
// exceeds sqrt(tol) -- well above what the noise puts there -- moves with
// it; the others are estimable, and the inverse of the identified block
// gives them their exact covariance (any generalised inverse does, for
// estimable combinations).
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

f64 hessian_flat_tolerance(HessianSource source) {
    // Gradients differenced over 2e-3 of a standard error lose about
    // eps / 2e-3 = 1e-13 relative where the gradient's terms do not cancel;
    // values about eps^(1/2) at worst.
    constexpr f64 margin = 1e3;
    return margin * (source == HessianSource::gradient ? 1e-12 : 1.4901161193847656e-08);
}

namespace {

// The first step of a coordinate at y_i, before its curvature is known:
// eps^(1/4) = 1.22e-4 times max(|y_i|, 1), close to the target of either
// source on a well-scaled problem, whose standard errors are of order
// 1e-2 .. 1 in y.
f64 first_step(f64 yi) { return 1.220703125e-04 * std::fmax(std::fabs(yi), 1.0); }

// The step's fraction of the conditional standard error (see the top).
f64 step_fraction(HessianSource source, f64 f0, f64 errordef) {
    if (source == HessianSource::gradient) return 2e-3;
    constexpr f64 eps = 2.220446049250313e-16;
    return std::fmin(0.25, std::fmax(5e-3, std::sqrt(std::sqrt(eps * std::fabs(f0) / errordef))));
}

constexpr int max_probes = 16;  // per coordinate: refinements and shrinkings

// Searches coordinate i's step. probe(h) differences over +-h and returns
// the curvature it measured, NaN when a probe was not finite; the last
// probe's results are the caller's to keep. Returns false when *stop became
// non-zero.
template <class Probe>
bool search_step(f64 yi, f64 fraction, f64 errordef, Probe probe, const int *stop) {
    f64 h = first_step(yi), ceiling = INFINITY;
    // Below this, y_i + h rounds to too few distinct values to difference.
    const f64 floor = 1e-12 * std::fmax(std::fabs(yi), 1e-290);
    for (int k = 0; k < max_probes; ++k) {
        const f64 d = probe(h);
        if (stopped(stop)) return false;
        if (std::isnan(d)) {
            ceiling = 0.5 * h;
            h = std::fmax(floor, 0.125 * h);
            continue;
        }
        if (!(is_finite(d) && d > 0.0)) return true;  // no scale: the covariance flags it
        const f64 target =
            std::fmax(floor, std::fmin(ceiling, fraction * std::sqrt(2.0 * errordef / d)));
        if (h <= 4.0 * target && target <= 4.0 * h) return true;
        // A curvature measured far from its step's target is distorted by
        // the higher derivatives (exponentials blow it up by many orders):
        // move by at most 10^3 per round and measure again.
        h = std::fmin(1e3 * h, std::fmax(1e-3 * h, target));
    }
    return true;
}

}  // namespace

bool hessian_by_gradient(ValueGradFn fg, void *ctx, i64 n, f64 *y, f64 errordef, f64 *H, f64 *steps,
                         f64 *work, i64 *nfev, const int *stop) {
    f64 *g_up = work, *g_down = work + n;
    const f64 fraction = step_fraction(HessianSource::gradient, 0.0, errordef);
    *nfev = 0;
    for (i64 j = 0; j < n; ++j) {
        const f64 yj = y[j];
        // Column j at half-width h; its diagonal entry, NaN when a probe was
        // not finite.
        auto column = [&](f64 h) {
            const f64 up = yj + h, down = yj - h, width = up - down;
            y[j] = up;
            const f64 f_up = fg(y, g_up, ctx);
            ++*nfev;
            y[j] = yj;
            if (stopped(stop)) return f64(NAN);
            y[j] = down;
            const f64 f_down = fg(y, g_down, ctx);
            ++*nfev;
            y[j] = yj;
            steps[j] = 0.5 * width;
            const bool formed = is_finite(f_up) && is_finite(f_down);
            for (i64 i = 0; i < n; ++i) H[i * n + j] = formed ? (g_up[i] - g_down[i]) / width : NAN;
            return formed ? H[j * n + j] : f64(NAN);
        };
        if (!search_step(yj, fraction, errordef, column, stop)) return false;
    }
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < i; ++j)
            H[i * n + j] = H[j * n + i] = 0.5 * (H[i * n + j] + H[j * n + i]);
    return true;
}

bool hessian_by_values(vlm_objective_fn f, void *ctx, i64 n, f64 *y, f64 f0, f64 errordef, f64 *H,
                       f64 *steps, f64 *work, i64 *nfev, const int *stop) {
    // Probe i is y with y_i moved to up[i] or down[i] (y_i +- h_i as
    // rounded); steps[i] is half their distance.
    f64 *f_up = work, *f_down = work + n, *up = work + 2 * n, *down = work + 3 * n;
    auto probe = [&](i64 i, f64 yi_new, i64 j, f64 yj_new) {
        const f64 yi = y[i], yj = y[j];
        y[i] = yi_new;
        y[j] = yj_new;
        const f64 v = f(y, ctx);
        ++*nfev;
        y[j] = yj;
        y[i] = yi;
        return v;
    };
    const f64 fraction = step_fraction(HessianSource::values, f0, errordef);
    *nfev = 0;
    for (i64 i = 0; i < n; ++i) {
        // The diagonal entry at half-width h, NaN when a probe was not finite.
        auto diagonal = [&](f64 h) {
            up[i] = y[i] + h;
            down[i] = y[i] - h;
            steps[i] = 0.5 * (up[i] - down[i]);
            f_up[i] = probe(i, up[i], i, up[i]);
            if (stopped(stop)) return f64(NAN);
            f_down[i] = probe(i, down[i], i, down[i]);
            const f64 h_up = up[i] - y[i], h_down = y[i] - down[i];
            H[i * n + i] = ((f_up[i] - f0) / h_up - (f0 - f_down[i]) / h_down) / steps[i];
            return is_finite(f_up[i]) && is_finite(f_down[i]) ? H[i * n + i] : f64(NAN);
        };
        if (!search_step(y[i], fraction, errordef, diagonal, stop)) return false;
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

i64 hessian_covariance(const f64 *H, i64 n, f64 tol, f64 errordef, f64 *cov, unsigned char *flat,
                       f64 *work, i64 *iwork) {
    const i64 nn = n * n;
    for (i64 k = 0; k < nn; ++k) cov[k] = NAN;
    for (i64 i = 0; i < n; ++i) flat[i] = 1;
    for (i64 k = 0; k < nn; ++k)
        if (!is_finite(H[k])) return HESSIAN_NOT_FINITE;

    // A = D^-1/2 H D^-1/2, a coordinate without positive curvature left in
    // its own units (its diagonal entry is then not positive and never a
    // pivot, whatever the scale).
    auto scale = [&](i64 i) { return H[i * n + i] > 0.0 ? 1.0 / std::sqrt(H[i * n + i]) : 1.0; };
    f64 *A = work, *S = work + nn, *G = work + 2 * nn, *L = work + 3 * nn;
    f64 largest = 0.0;
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < n; ++j) A[i * n + j] = scale(i) * H[i * n + j] * scale(j);
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

    // Flat direction c: v = e_q - A_PP^-1 A_Pq in A's units (q = perm[c]). A
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

    // cov = 2 errordef D^-1/2 A_PP^-1 D^-1/2 on the identified
    // parameters, symmetrised (the inverse is built column by column).
    const f64 twice_errordef = 2.0 * errordef;
    for (i64 a = 0; a < rank; ++a) {
        const i64 i = perm[a];
        if (flat[i]) continue;
        for (i64 b = 0; b < rank; ++b) {
            const i64 j = perm[b];
            if (flat[j]) continue;
            cov[i * n + j] =
                twice_errordef * scale(i) * scale(j) * 0.5 * (G[a * rank + b] + G[b * rank + a]);
        }
    }
    return rank == n ? HESSIAN_IDENTIFIED : HESSIAN_FLAT;
}

}  // namespace vlm
