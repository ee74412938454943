// Ready-made negative log-likelihoods over a data array, in the objective
// signatures the minimizers call: value f(p, ctx) and value with gradient
// f(p, g, ctx), both reading their data from a LikelihoodData. Internal to the
// _likelihoods module: nothing here is exported or installed.
#ifndef VLM_LIKELIHOODS_H
#define VLM_LIKELIHOODS_H

#include "vlm_common.h"

namespace vlm::lik {

// The data of one likelihood, laid out as a C struct so that the Python layer
// builds it (ctypes) beside the arrays it points to and keeps both alive.
struct LikelihoodData {
    i64 n;            // observations (bins for a binned cost)
    const f64 *x;     // the values; a binned cost: the n + 1 bin edges
    const f64 *w;     // per-observation weights, or null for 1; a binned cost: the n counts
    const f64 *cens;  // nonzero where the value is right-censored, or null
    f64 aux;          // binomial: the number of trials
    f64 offset;       // the parameter-free part of the log-likelihood, added to the sum
    // Optional affine parameters (both null for none): the objective takes
    // q and the distribution gets p = shift + unit * q, so that a fit of a
    // location-scale family runs in units of the data's own spread.
    const f64 *shift;
    const f64 *unit;
};

using ValueFn = f64 (*)(const f64 *__restrict p, void *ctx);
using ValueGradFn = f64 (*)(const f64 *__restrict p, f64 *__restrict g, void *ctx);

// One distribution's kernels: the negative log-likelihood, it with its
// gradient, the parameter-free constant sum_i w_i c(x_i) (value signature,
// p unused), and the same two objectives over a row [m, aux, offset, x_1..x_m]
// (the data layout of one problem of fit_many).
struct Kernels {
    const char *name;
    i64 nparams;
    bool censoring;  // right-censored observations are understood
    ValueFn value;
    ValueGradFn value_grad;
    ValueFn constant;
    ValueFn row_value;
    ValueGradFn row_value_grad;
    ValueFn binned_value;  // Poisson deviance of counts in bins; null without a CDF
    ValueGradFn binned_value_grad;
};

extern const Kernels kernel_table[];
extern const i64 kernel_count;

}  // namespace vlm::lik

#endif  // VLM_LIKELIHOODS_H
