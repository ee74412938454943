// R-hat, effective sample sizes and Monte Carlo standard errors.
//
// Every quantity is computed on split chains (each chain's first and last
// halves as two chains), so that a trend within a chain shows up as
// disagreement between chains. Bulk quantities use the rank-normalised
// draws, z = Phi^-1((r - 3/8) / (S + 1/4)) with r the average rank among
// all S draws, which makes them well defined for heavy tails; the folded
// draws |x - median| do the same for the scale (Vehtari et al., 2021,
// sections 4.1-4.3). The effective sample size follows Geyer's initial
// monotone sequence estimator on the autocorrelations combined over chains
// (Vehtari et al., section 3.2; Geyer, "Practical Markov chain Monte Carlo",
// Statistical Science 7, 1992).
#include "diagnostics.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "../_common/as241.h"

namespace vlm {
namespace {

const f64 NOT_A_NUMBER = std::nan("");

// Chains of `n` draws each, one after another.
struct Chains {
    const f64 *v;
    i64 count, n;
    f64 mean(i64 c) const {
        f64 s = 0.0;
        for (i64 i = 0; i < n; ++i) s += v[c * n + i];
        return s / static_cast<f64>(n);
    }
    // The autocovariance at lag t of chain c about its mean mu (divisor n).
    f64 autocovariance(i64 c, f64 mu, i64 t) const {
        const f64 *x = v + c * n;
        f64 s = 0.0;
        for (i64 i = 0; i + t < n; ++i) s += (x[i] - mu) * (x[i + t] - mu);
        return s / static_cast<f64>(n);
    }
};

// The within-chain variance W and the pooled estimate var+ of the marginal
// variance (Gelman et al.'s, with divisors n - 1 and count - 1).
struct Variances {
    f64 within = 0.0, plus = 0.0;
};

Variances variances(const Chains &ch, f64 *means) {
    f64 within = 0.0, grand = 0.0;
    for (i64 c = 0; c < ch.count; ++c) {
        means[c] = ch.mean(c);
        grand += means[c];
        within += ch.autocovariance(c, means[c], 0);
    }
    const f64 n = static_cast<f64>(ch.n), m = static_cast<f64>(ch.count);
    grand /= m;
    within = within / m * n / (n - 1.0);
    f64 between = 0.0;  // B / n
    for (i64 c = 0; c < ch.count; ++c) between += (means[c] - grand) * (means[c] - grand);
    between = ch.count > 1 ? between / (m - 1.0) : 0.0;
    return {within, (n - 1.0) / n * within + between};
}

f64 rhat(const Chains &ch, f64 *means) {
    const Variances var = variances(ch, means);
    return var.within > 0.0 ? std::sqrt(var.plus / var.within) : NOT_A_NUMBER;
}

// S / tau with tau = -1 + 2 sum_k P_k, P_k = rho_2k + rho_2k+1 summed while
// positive and made monotone; tau is kept at or above 1 / log10(S) (at most
// S log10 S draws, as for antithetic chains).
f64 ess(const Chains &ch, f64 *means) {
    const Variances var = variances(ch, means);
    if (!(var.plus > 0.0) || !std::isfinite(var.plus)) return NOT_A_NUMBER;
    auto rho = [&](i64 t) {
        f64 acov = 0.0;
        for (i64 c = 0; c < ch.count; ++c) acov += ch.autocovariance(c, means[c], t);
        acov /= static_cast<f64>(ch.count);
        return 1.0 - (var.within - acov) / var.plus;
    };
    f64 pair = 1.0 + rho(1), previous = pair, total = 0.0;
    for (i64 t = 0; pair > 0.0;) {
        pair = std::min(pair, previous);
        total += pair;
        previous = pair;
        t += 2;
        if (t + 1 >= ch.n) break;
        pair = rho(t) + rho(t + 1);
    }
    const f64 S = static_cast<f64>(ch.count * ch.n);
    const f64 tau = std::max(-1.0 + 2.0 * total, 1.0 / std::log10(S));
    return S / tau;
}

// z-scores of the average ranks of v (S values) into z; order receives the
// permutation that sorts v.
void rank_normalise(const f64 *v, i64 S, i64 *order, f64 *z) {
    std::iota(order, order + S, i64{0});
    std::sort(order, order + S, [v](i64 a, i64 b) { return v[a] < v[b]; });
    const f64 denominator = static_cast<f64>(S) + 0.25;
    for (i64 first = 0; first < S;) {
        i64 last = first;
        while (last + 1 < S && v[order[last + 1]] == v[order[first]]) ++last;
        const f64 rank = 0.5 * static_cast<f64>(first + last) + 1.0;
        const f64 score = vlm_ndtri_as241((rank - 0.375) / denominator);
        for (i64 k = first; k <= last; ++k) z[order[k]] = score;
        first = last + 1;
    }
}

// The quantile p of the sorted values v[order[k]] (linear interpolation
// between order statistics).
f64 quantile(const f64 *v, const i64 *order, i64 S, f64 p) {
    const f64 h = p * static_cast<f64>(S - 1);
    const i64 lo = static_cast<i64>(h);
    const f64 a = v[order[lo]], b = v[order[std::min(lo + 1, S - 1)]];
    return a + (h - static_cast<f64>(lo)) * (b - a);
}

}  // namespace

ChainDiagnostics chain_diagnostics(const f64 *x, i64 chains, i64 draws, f64 *work, i64 *order) {
    ChainDiagnostics out{NOT_A_NUMBER, NOT_A_NUMBER, NOT_A_NUMBER,
                         NOT_A_NUMBER, NOT_A_NUMBER, NOT_A_NUMBER};
    const i64 half = draws / 2, count = 2 * chains, S = count * half;
    if (chains < 1 || half < 2) return out;
    f64 *split = work, *z = work + S, *scratch = work + 2 * S, *means = work + 3 * S;
    for (i64 c = 0; c < chains; ++c) {
        std::copy_n(x + c * draws, half, split + 2 * c * half);
        std::copy_n(x + c * draws + draws - half, half, split + (2 * c + 1) * half);
    }
    f64 mean = 0.0;
    for (i64 k = 0; k < S; ++k) mean += split[k];
    mean /= static_cast<f64>(S);
    f64 var = 0.0;
    for (i64 k = 0; k < S; ++k) var += (split[k] - mean) * (split[k] - mean);
    var /= static_cast<f64>(S - 1);
    if (!(var > 0.0) || !std::isfinite(var)) return out;  // constant, or not all finite

    // The mean and sd: ESS of the draws and of their centred squares, the
    // sd's standard error by the delta method, Var(s^2) / (2 s)^2.
    out.ess_mean = ess(Chains{split, count, half}, means);
    out.mcse_mean = std::sqrt(var / out.ess_mean);
    f64 sq_mean = 0.0, sq_var = 0.0;
    for (i64 k = 0; k < S; ++k) {
        scratch[k] = (split[k] - mean) * (split[k] - mean);
        sq_mean += scratch[k];
    }
    sq_mean /= static_cast<f64>(S);
    for (i64 k = 0; k < S; ++k) sq_var += (scratch[k] - sq_mean) * (scratch[k] - sq_mean);
    sq_var /= static_cast<f64>(S - 1);
    const f64 ess_squares = ess(Chains{scratch, count, half}, means);
    out.mcse_sd = std::sqrt(sq_var / ess_squares) / (2.0 * std::sqrt(var));

    // Bulk: the rank-normalised draws, and the folded ones for the scale.
    rank_normalise(split, S, order, z);
    const f64 median = quantile(split, order, S, 0.5);
    const f64 q05 = quantile(split, order, S, 0.05), q95 = quantile(split, order, S, 0.95);
    out.ess_bulk = ess(Chains{z, count, half}, means);
    const f64 rhat_bulk = rhat(Chains{z, count, half}, means);
    for (i64 k = 0; k < S; ++k) scratch[k] = std::fabs(split[k] - median);
    rank_normalise(scratch, S, order, z);
    out.rhat = std::max(rhat_bulk, rhat(Chains{z, count, half}, means));

    // Tail: the indicators of the 5% and 95% quantiles.
    for (i64 k = 0; k < S; ++k) scratch[k] = split[k] <= q05 ? 1.0 : 0.0;
    const f64 ess_low = ess(Chains{scratch, count, half}, means);
    for (i64 k = 0; k < S; ++k) scratch[k] = split[k] <= q95 ? 1.0 : 0.0;
    out.ess_tail = std::min(ess_low, ess(Chains{scratch, count, half}, means));
    return out;
}

}  // namespace vlm
