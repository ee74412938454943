// Convergence diagnostics of one quantity over several chains, after
// Vehtari, Gelman, Simpson, Carpenter and Buerkner, "Rank-normalization,
// folding, and localization: an improved R-hat for assessing convergence of
// MCMC", Bayesian Analysis 16(2), 2021. Internal: not exported, not
// installed.
#ifndef VLM_SAMPLE_DIAGNOSTICS_H
#define VLM_SAMPLE_DIAGNOSTICS_H

#include "../_common/vlm_common.h"

namespace vlm {

struct ChainDiagnostics {
    f64 rhat;       // max of the rank-normalised split R-hat and its folded version
    f64 ess_bulk;   // effective sample size of the rank-normalised split chains
    f64 ess_tail;   // the smaller of those of the 5% and 95% quantile indicators
    f64 ess_mean;   // effective sample size of the draws themselves (split chains)
    f64 mcse_mean;  // Monte Carlo standard error of the mean: sd / sqrt(ess_mean)
    f64 mcse_sd;    // of the standard deviation, by the ESS of the centred squares
};

// The diagnostics of x[c * draws + i], the i-th draw of chain c. Chains of
// fewer than 4 draws, draws that are all equal or not all finite give NaN.
// work: 3 * chains * draws + 2 * chains doubles; order: chains * draws
// integers.
ChainDiagnostics chain_diagnostics(const f64 *x, i64 chains, i64 draws, f64 *work, i64 *order);

}  // namespace vlm

#endif  // VLM_SAMPLE_DIAGNOSTICS_H
