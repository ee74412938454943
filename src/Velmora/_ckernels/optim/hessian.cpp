// Second derivatives by differences, and the covariance they give.
//
// Steps from the curvature. A difference step means something only against
// the scale on which the objective changes: a coefficient whose standard
// error is 1e-7 must not be differenced over 1e-5, nor one whose standard
// error is 1e3 over 1e-5. Each coordinate is therefore probed at least
// twice. A
// first probe at a step of the coordinate's own size, c0 max(|y_i|, 1)
// (c0 = eps^(1/3) from a gradient, eps^(1/4) from values), gives its
// curvature d_i and with it the conditional standard error s_i =
// sqrt(2 errordef / d_i), the distance over which the objective rises by
// errordef. The second probe then steps a fixed fraction of s_i, so that
// the differences, and the covariance made of them, are the same whatever
// the units of the parameter. The fraction balances truncation (the
// objective's higher derivatives, measured in standard errors, are of order
// one for a small sample) against rounding: central differences of a
// gradient take 3e-3 standard errors, which keeps both below 1e-6 of the
// result on logistic and badly conditioned linear models alike; second
// differences of values take (2 eps (|f| + errordef) / errordef)^(1/4)
// standard errors (at least 1e-4), three times the balance of h^2 f_iiii /
// 12 against 4 eps |f| / h^2 for higher derivatives of order one: large
// samples and quadratic objectives have smaller ones, and fare better with
// longer steps. Where the first probe's step already lies in a range
// where both errors are small (1e-6 to 1e-2 standard errors for a
// gradient, one to a hundred times the balance for values), its differences are
// kept and the second probe is not made: a well-scaled problem pays
// nothing. A curvature measured over a step far from the target is itself
// off (an exponential's can be many orders too large), so a refinement moves
// the step by at most 10^3 and measures again, up to four times. A probe
// whose value is not finite (outside the objective's domain) halves its
// step, down to a thousandth, before the entry is given up as NaN, and no
// later refinement steps beyond half a step that failed.
//
// Flat directions. The test is made on the correlation form C = D^-1/2 H
// D^-1/2 (D the diagonal of H), whose entries are free of the parameters'
// units: a direction is flat when its pivot in an elimination of C with
// diagonal pivoting -- one minus the squared multiple correlation of the
// coordinate with the others already taken -- is not above the tolerance,
// what the differencing resolves with a margin; a coordinate whose own
// curvature is not positive is flat at once. A parameter whose component
// in a flat direction (in the scaling of C, the direction's own coordinate
// being 1) exceeds sqrt(tol) moves with it; the others are estimable, and
// the inverse of the identified block gives them their exact covariance
// (any generalised inverse does, for estimable combinations).
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
    // What the entries of C resolve, with a margin: from a gradient, about
    // eps^(2/3) with a margin of 10 (steps of a fraction of a standard error
    // leave the rounding of the gradients far below it); from values, about
    // eps^(1/2) with a margin of 10^3 for sums of many terms.
    return source == HessianSource::gradient ? 10.0 * 3.6668528625010836e-11
                                             : 1e3 * 1.4901161193847656e-08;
}

namespace {

// A probe outside the domain halves its step this often at most: down to a
// thousandth, below which rounding leaves the differences nothing.
constexpr int kHalvings = 10;

// Refinements of a step at most. A curvature measured far from the step's
// target is distorted by the higher derivatives (an exponential can inflate
// it by many orders), so each refinement moves the step by at most 10^3 and
// measures again, never above a step whose probe was not finite.
constexpr int kRefinements = 4;

f64 bounded_step(f64 h, f64 wanted, f64 ceiling) {
    return std::fmin(ceiling, std::fmin(1e3 * h, std::fmax(1e-3 * h, wanted)));
}

// The step of the second probe, given the first probe's step h0 and the
// curvature d it measured (s = sqrt(2 errordef / d), the conditional
// standard error): h0 itself when it lies within [lo s, hi s] or d says
// nothing (not positive, not finite), else `target` s.
f64 refined_step(f64 h0, f64 d, f64 errordef, f64 lo, f64 hi, f64 target) {
    if (!(d > 0.0 && is_finite(d))) return h0;
    const f64 s = std::sqrt(2.0 * errordef / d);
    if (!(s > 0.0 && is_finite(s)) || (lo * s <= h0 && h0 <= hi * s)) return h0;
    return target * s;
}

// The fraction of a standard error that second differences of values
// step (see above), for an objective of size |f0|.
f64 value_fraction(f64 f0, f64 errordef) {
    const f64 balance =
        std::pow(2.0 * 2.220446049250313e-16 * (std::fabs(f0) + errordef) / errordef, 0.25);
    return std::fmin(std::fmax(is_finite(balance) ? balance : 0.1, 1e-4), 0.1);
}

}  // namespace

bool hessian_by_gradient(ValueGradFn fg, void *ctx, i64 n, f64 *y, f64 *H, f64 *steps, f64 *work,
                         const int *stop, f64 errordef, i64 *evaluations) {
    f64 *g_up = work, *g_down = work + n;
    i64 count = 0;
    // Column j by central differences at the step h, halved while a probe is
    // not finite; false when stopped. steps[j] is the half-width used.
    f64 ceiling = INFINITY;  // half the smallest step whose probe failed
    auto column = [&](i64 j, f64 h) {
        const f64 yj = y[j];
        for (int tries = 0;; ++tries, h *= 0.5) {
            const f64 up = yj + h, down = yj - h;
            y[j] = up;
            const f64 f_up = fg(y, g_up, ctx);
            ++count;
            y[j] = yj;
            if (stopped(stop)) return false;
            y[j] = down;
            const f64 f_down = fg(y, g_down, ctx);
            ++count;
            y[j] = yj;
            if (stopped(stop)) return false;
            const f64 width = up - down;
            steps[j] = 0.5 * width;
            const bool formed = is_finite(f_up) && is_finite(f_down);
            if (!formed) ceiling = std::fmin(ceiling, 0.5 * h);
            if (!formed && tries < kHalvings && width > 0.0) continue;
            for (i64 i = 0; i < n; ++i) H[i * n + j] = formed ? (g_up[i] - g_down[i]) / width : NAN;
            return true;
        }
    };
    bool ok = true;
    for (i64 j = 0; j < n && ok; ++j) {
        ceiling = INFINITY;
        ok = column(j, hessian_step(HessianSource::gradient, y[j]));
        for (int k = 0; ok && k < kRefinements; ++k) {
            const f64 wanted = refined_step(steps[j], H[j * n + j], errordef, 1e-6, 1e-2, 3e-3);
            const f64 h = bounded_step(steps[j], wanted, ceiling);
            if (wanted == steps[j] || !(h < steps[j] || h > steps[j])) break;
            ok = column(j, h);
        }
    }
    if (evaluations != nullptr) *evaluations = count;
    if (!ok) return false;
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < i; ++j)
            H[i * n + j] = H[j * n + i] = 0.5 * (H[i * n + j] + H[j * n + i]);
    return true;
}

bool hessian_by_values(vlm_objective_fn f, void *ctx, i64 n, f64 *y, f64 f0, f64 *H, f64 *steps,
                       f64 *work, const int *stop, f64 errordef, i64 *evaluations) {
    // Probe i is y with y_i moved to up[i] or down[i] (y_i +- h_i as
    // rounded); steps[i] is half their distance.
    f64 *f_up = work, *f_down = work + n, *up = work + 2 * n, *down = work + 3 * n;
    i64 count = 0;
    auto probe = [&](i64 i, f64 yi_new, i64 j, f64 yj_new) {
        const f64 yi = y[i], yj = y[j];
        y[i] = yi_new;
        y[j] = yj_new;
        const f64 v = f(y, ctx);
        ++count;
        y[j] = yj;
        y[i] = yi;
        return v;
    };
    // The diagonal entry of coordinate i at the step h, halved while a probe
    // is not finite; false when stopped.
    f64 ceiling = INFINITY;  // half the smallest step whose probe failed
    auto diagonal = [&](i64 i, f64 h) {
        for (int tries = 0;; ++tries, h *= 0.5) {
            up[i] = y[i] + h;
            down[i] = y[i] - h;
            steps[i] = 0.5 * (up[i] - down[i]);
            f_up[i] = probe(i, up[i], i, up[i]);
            if (stopped(stop)) return false;
            f_down[i] = probe(i, down[i], i, down[i]);
            if (stopped(stop)) return false;
            const bool formed = is_finite(f_up[i]) && is_finite(f_down[i]);
            if (!formed) ceiling = std::fmin(ceiling, 0.5 * h);
            if (!formed && tries < kHalvings && steps[i] > 0.0) continue;
            const f64 h_up = up[i] - y[i], h_down = y[i] - down[i];
            H[i * n + i] = ((f_up[i] - f0) / h_up - (f0 - f_down[i]) / h_down) / steps[i];
            return true;
        }
    };
    const f64 fraction = value_fraction(f0, errordef);
    bool ok = true;
    for (i64 i = 0; i < n && ok; ++i) {
        ceiling = INFINITY;
        ok = diagonal(i, hessian_step(HessianSource::values, y[i]));
        for (int k = 0; ok && k < kRefinements; ++k) {
            const f64 wanted = refined_step(steps[i], H[i * n + i], errordef, fraction,
                                            100.0 * fraction, 3.0 * fraction);
            const f64 h = bounded_step(steps[i], wanted, ceiling);
            if (wanted == steps[i] || !(h < steps[i] || h > steps[i])) break;
            ok = diagonal(i, h);
        }
    }
    // f(+i +j) + f(-i -j) - f(+i) - f(-i) - f(+j) - f(-j) + 2 f0 = 2 h_i h_j H_ij
    // up to terms of fourth order in the steps.
    for (i64 i = 0; i < n && ok; ++i) {
        for (i64 j = 0; j < i && ok; ++j) {
            const f64 both_up = probe(i, up[i], j, up[j]);
            const f64 both_down = stopped(stop) ? NAN : probe(i, down[i], j, down[j]);
            ok = !stopped(stop);
            const f64 sum =
                (both_up + both_down) - (f_up[i] + f_down[i]) - (f_up[j] + f_down[j]) + 2.0 * f0;
            H[i * n + j] = H[j * n + i] = sum / (2.0 * steps[i] * steps[j]);
        }
    }
    if (evaluations != nullptr) *evaluations = count;
    return ok;
}

i64 hessian_covariance(const f64 *H, i64 n, f64 tol, f64 errordef, f64 *cov, unsigned char *flat,
                       f64 *work, i64 *iwork) {
    const i64 nn = n * n;
    for (i64 k = 0; k < nn; ++k) cov[k] = NAN;
    for (i64 i = 0; i < n; ++i) flat[i] = 1;
    for (i64 k = 0; k < nn; ++k)
        if (!is_finite(H[k])) return HESSIAN_NOT_FINITE;

    // A = C, the correlation form, in the scaling r_i = H_ii^-1/2; a
    // coordinate whose curvature is not positive gets r_i = 0, a zero row
    // and column, and so no pivot.
    f64 *A = work, *S = work + nn, *G = work + 2 * nn, *L = work + 3 * nn, *r = work + 4 * nn;
    for (i64 i = 0; i < n; ++i) r[i] = H[i * n + i] > 0.0 ? 1.0 / std::sqrt(H[i * n + i]) : 0.0;
    f64 largest = 0.0;
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < n; ++j) A[i * n + j] = r[i] * H[i * n + j] * r[j];
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

    // Flat direction c: v = e_q - A_PP^-1 A_Pq in the scaling of C (q =
    // perm[c]). A pivot whose component is not negligible moves with it.
    const f64 negligible = std::sqrt(tol);
    for (i64 c = rank; c < n; ++c) {
        const i64 q = perm[c];
        for (i64 a = 0; a < rank; ++a) {
            f64 v = 0.0;
            for (i64 b = 0; b < rank; ++b) v -= G[a * rank + b] * A[perm[b] * n + q];
            if (!(std::fabs(v) <= negligible)) flat[perm[a]] = 1;
        }
    }

    // cov = 2 errordef diag(r) A_PP^-1 diag(r) on the identified
    // parameters, symmetrised (the inverse is built column by column).
    const f64 scale = 2.0 * errordef;
    for (i64 a = 0; a < rank; ++a) {
        const i64 i = perm[a];
        if (flat[i]) continue;
        for (i64 b = 0; b < rank; ++b) {
            const i64 j = perm[b];
            if (flat[j]) continue;
            cov[i * n + j] = scale * r[i] * r[j] * 0.5 * (G[a * rank + b] + G[b * rank + a]);
        }
    }
    return rank == n ? HESSIAN_IDENTIFIED : HESSIAN_FLAT;
}

}  // namespace vlm
