// The ready-made negative log-likelihoods. Each distribution is a small
// struct built from the parameter vector (its parameter-only terms computed
// once per evaluation) with the log-density of one observation and its
// gradient with respect to the parameters; lifetime distributions add the log
// survival function for right-censored observations. One loop template sums
// them, one template forms the binned Poisson deviance from the survival
// function, and a table stamps out each distribution's kernels.
//
// Every log-density is written in log space (log1p, lgamma, the normal
// survival's continued fraction) so that it stays finite far in the tails,
// where the density itself underflows.
#include "likelihoods.h"

#include <cmath>

#include "special.h"
#include "vlm_vecmath.h"

namespace vlm::lik {
namespace {

bool positive(f64 v) { return v > 0.0 && v < HUGE_VAL; }
bool finite(f64 v) { return std::isfinite(v); }
bool probability(f64 v) { return v > 0.0 && v < 1.0; }

// --- continuous ------------------------------------------------------------------

// N(mu, sigma).
struct Normal {
    static constexpr int N = 2;
    static constexpr bool survival = true;
    f64 mu, s, log_s;
    Normal(const f64 *p, f64) : mu(p[0]), s(p[1]), log_s(std::log(p[1])) {}
    bool ok() const { return finite(mu) && positive(s); }
    f64 logf(f64 x, f64 *g) const {
        const f64 z = (x - mu) / s;
        g[0] = z / s;
        g[1] = (z * z - 1.0) / s;
        return -0.5 * z * z - log_s - LOG_SQRT_2PI;
    }
    f64 logS(f64 x, f64 *g) const {
        const f64 z = (x - mu) / s;
        f64 h;
        const f64 l = log_normal_survival(z, &h);
        g[0] = h / s;
        g[1] = h > 0.0 ? h * z / s : 0.0;  // at z = -inf, h z -> 0
        return l;
    }
};

// log X ~ N(mu, sigma); x > 0.
struct LogNormal {
    static constexpr int N = 2;
    static constexpr bool survival = true;
    Normal normal;
    LogNormal(const f64 *p, f64 aux) : normal(p, aux) {}
    bool ok() const { return normal.ok(); }
    f64 logf(f64 x, f64 *g) const {
        const f64 y = std::log(x);
        return normal.logf(y, g) - y;
    }
    f64 logS(f64 x, f64 *g) const { return normal.logS(std::log(x), g); }
};

// Density exp(-x/scale)/scale; x >= 0.
struct Exponential {
    static constexpr int N = 1;
    static constexpr bool survival = true;
    f64 b, log_b;
    Exponential(const f64 *p, f64) : b(p[0]), log_b(std::log(p[0])) {}
    bool ok() const { return positive(b); }
    f64 logf(f64 x, f64 *g) const {
        g[0] = (x / b - 1.0) / b;
        return -log_b - x / b;
    }
    f64 logS(f64 x, f64 *g) const {
        g[0] = x / (b * b);
        return -x / b;
    }
};

// Density x^(a-1) exp(-x/scale) / (Gamma(a) scale^a); x > 0.
struct Gamma {
    static constexpr int N = 2;
    static constexpr bool survival = false;
    f64 a, t, log_t, norm, psi;
    Gamma(const f64 *p, f64)
        : a(p[0]),
          t(p[1]),
          log_t(std::log(p[1])),
          norm(log_gamma(p[0]) + p[0] * log_t),
          psi(digamma(p[0])) {}
    bool ok() const { return positive(a) && positive(t); }
    f64 logf(f64 x, f64 *g) const {
        const f64 lx = std::log(x);
        g[0] = lx - psi - log_t;
        g[1] = (x / t - a) / t;
        return (a - 1.0) * lx - x / t - norm;
    }
};

// Density (k/lambda) (x/lambda)^(k-1) exp(-(x/lambda)^k); x > 0.
struct Weibull {
    static constexpr int N = 2;
    static constexpr bool survival = true;
    f64 k, lam, log_k, log_lam;
    Weibull(const f64 *p, f64)
        : k(p[0]), lam(p[1]), log_k(std::log(p[0])), log_lam(std::log(p[1])) {}
    bool ok() const { return positive(k) && positive(lam); }
    f64 logf(f64 x, f64 *g) const {
        const f64 lt = std::log(x) - log_lam;
        const f64 u = std::exp(k * lt);
        g[0] = 1.0 / k + lt * (1.0 - u);
        g[1] = k * (u - 1.0) / lam;
        return log_k - log_lam + (k - 1.0) * lt - u;
    }
    f64 logS(f64 x, f64 *g) const {
        const f64 lt = std::log(x) - log_lam;
        const f64 u = std::exp(k * lt);
        g[0] = u > 0.0 ? -u * lt : 0.0;  // at x = 0, u log t -> 0
        g[1] = k * u / lam;
        return -u;
    }
};

// Density x^(a-1) (1-x)^(b-1) / B(a, b); 0 < x < 1.
struct Beta {
    static constexpr int N = 2;
    static constexpr bool survival = false;
    f64 a, b, norm, psi_a, psi_b;
    Beta(const f64 *p, f64)
        : a(p[0]),
          b(p[1]),
          norm(log_gamma(p[0]) + log_gamma(p[1]) - log_gamma(p[0] + p[1])),
          psi_a(digamma(p[0]) - digamma(p[0] + p[1])),
          psi_b(digamma(p[1]) - digamma(p[0] + p[1])) {}
    bool ok() const { return positive(a) && positive(b); }
    f64 logf(f64 x, f64 *g) const {
        const f64 lx = std::log(x), l1x = std::log1p(-x);
        g[0] = lx - psi_a;
        g[1] = l1x - psi_b;
        return (a - 1.0) * lx + (b - 1.0) * l1x - norm;
    }
};

// Student t with df nu, location and scale.
struct StudentT {
    static constexpr int N = 3;
    static constexpr bool survival = false;
    f64 nu, loc, s, norm, dnorm;
    StudentT(const f64 *p, f64) : nu(p[0]), loc(p[1]), s(p[2]) {
        norm = log_gamma(0.5 * (nu + 1.0)) - log_gamma(0.5 * nu) - 0.5 * std::log(nu * PI) -
               std::log(s);
        dnorm = 0.5 * (digamma(0.5 * (nu + 1.0)) - digamma(0.5 * nu)) - 0.5 / nu;
    }
    bool ok() const { return positive(nu) && finite(loc) && positive(s); }
    f64 logf(f64 x, f64 *g) const {
        const f64 z = (x - loc) / s;
        const f64 r = z / std::sqrt(nu);
        const f64 q = 1.0 / (1.0 + r * r);  // nu / (nu + z^2), no overflow
        const f64 lq = log1p_square(r);
        g[0] = dnorm - 0.5 * lq + 0.5 * (nu + 1.0) / nu * (1.0 - q);
        g[1] = (nu + 1.0) * q * r / (std::sqrt(nu) * s);
        g[2] = ((nu + 1.0) * (1.0 - q) - 1.0) / s;
        return norm - 0.5 * (nu + 1.0) * lq;
    }
};

// Logistic with location and scale: density e^-z / (s (1 + e^-z)^2).
struct Logistic {
    static constexpr int N = 2;
    static constexpr bool survival = true;
    f64 loc, s, log_s;
    Logistic(const f64 *p, f64) : loc(p[0]), s(p[1]), log_s(std::log(p[1])) {}
    bool ok() const { return finite(loc) && positive(s); }
    f64 logf(f64 x, f64 *g) const {
        const f64 z = (x - loc) / s, a = std::fabs(z);
        const f64 th = std::tanh(0.5 * z);  // -d log f / dz
        g[0] = th / s;
        g[1] = (z * th - 1.0) / s;
        return -a - log_s - 2.0 * std::log1p(std::exp(-a));
    }
    f64 logS(f64 x, f64 *g) const {
        const f64 z = (x - loc) / s, a = std::fabs(z);
        const f64 sigma = z >= 0.0 ? 1.0 / (1.0 + std::exp(-z)) : std::exp(z) / (1.0 + std::exp(z));
        g[0] = sigma / s;
        g[1] = z * sigma / s;
        return -(std::fmax(z, 0.0) + std::log1p(std::exp(-a)));  // log(1 - sigma(z))
    }
};

// Gumbel of maxima: density exp(-z - e^-z) / s.
struct Gumbel {
    static constexpr int N = 2;
    static constexpr bool survival = true;
    f64 loc, s, log_s;
    Gumbel(const f64 *p, f64) : loc(p[0]), s(p[1]), log_s(std::log(p[1])) {}
    bool ok() const { return finite(loc) && positive(s); }
    f64 logf(f64 x, f64 *g) const {
        const f64 z = (x - loc) / s, e = std::exp(-z);
        g[0] = (1.0 - e) / s;
        g[1] = (z * (1.0 - e) - 1.0) / s;
        return -log_s - z - e;
    }
    f64 logS(f64 x, f64 *g) const {
        const f64 z = (x - loc) / s, t = std::exp(-z);
        // S = 1 - exp(-t); d log S / dz = -t / expm1(t), 1 as t -> 0 and 0 as t
        // grows. For t < 1e-8, log S = log t + log(1 - t/2 + ...) = -z - t/2 to
        // double precision, also where t underflows to 0.
        const f64 r = t > 700.0 ? 0.0 : (t < 1e-8 ? 1.0 - 0.5 * t : t / std::expm1(t));
        g[0] = r / s;
        g[1] = z * r / s;
        if (t < 1e-8) return -z - 0.5 * t;
        return t > 0.6931471805599453 ? std::log1p(-std::exp(-t)) : std::log(-std::expm1(-t));
    }
};

// Cauchy with location and scale.
struct Cauchy {
    static constexpr int N = 2;
    static constexpr bool survival = true;
    f64 loc, s, log_s;
    Cauchy(const f64 *p, f64) : loc(p[0]), s(p[1]), log_s(std::log(p[1])) {}
    bool ok() const { return finite(loc) && positive(s); }
    f64 logf(f64 x, f64 *g) const {
        const f64 z = (x - loc) / s;
        const f64 q = 1.0 / (1.0 + z * z);  // 0 when z*z overflows: the limits hold
        g[0] = 2.0 * z * q / s;
        g[1] = (2.0 * (1.0 - q) - 1.0) / s;
        return -std::log(PI) - log_s - log1p_square(z);
    }
    f64 logS(f64 x, f64 *g) const {
        const f64 z = (x - loc) / s;
        // S = atan2(1, z) / pi, accurate in the right tail; in the left one,
        // S = 1 - S(-z) through log1p. dS/dz = -1 / (pi (1 + z^2)).
        const f64 S = std::atan2(1.0, z) / PI;
        const f64 h = 1.0 / (PI * (1.0 + z * z) * S);
        g[0] = h / s;
        g[1] = z * h / s;
        return z < 0.0 ? std::log1p(-std::atan2(1.0, -z) / PI) : std::log(S);
    }
};

// Pareto with shape b and scale xm: density b xm^b / x^(b+1) for x >= xm.
struct Pareto {
    static constexpr int N = 2;
    static constexpr bool survival = true;
    f64 b, xm, log_b, log_xm;
    Pareto(const f64 *p, f64) : b(p[0]), xm(p[1]), log_b(std::log(p[0])), log_xm(std::log(p[1])) {}
    bool ok() const { return positive(b) && positive(xm); }
    f64 logf(f64 x, f64 *g) const {
        const f64 lr = log_xm - std::log(x);  // <= 0 on the support
        g[0] = 1.0 / b + lr;
        g[1] = b / xm;
        return x < xm ? -HUGE_VAL : log_b - log_xm + (b + 1.0) * lr;
    }
    f64 logS(f64 x, f64 *g) const {
        const f64 lr = std::fmin(log_xm - std::log(x), 0.0);
        g[0] = lr;
        g[1] = lr < 0.0 ? b / xm : 0.0;
        return b * lr;
    }
};

// --- discrete ---------------------------------------------------------------------

// Poisson with mean mu: k log mu - mu - log k!.
struct Poisson {
    static constexpr int N = 1;
    static constexpr bool survival = false;
    f64 mu, log_mu;
    Poisson(const f64 *p, f64) : mu(p[0]), log_mu(std::log(p[0])) {}
    bool ok() const { return positive(mu); }
    f64 logf(f64 k, f64 *g) const {
        g[0] = k / mu - 1.0;
        return k * log_mu - mu;
    }
    static f64 constant(f64 k, f64) { return -log_gamma(k + 1.0); }
};

// Binomial with `aux` trials and success probability p.
struct Binomial {
    static constexpr int N = 1;
    static constexpr bool survival = false;
    f64 p, n, log_p, log_q;
    Binomial(const f64 *q, f64 aux)
        : p(q[0]), n(aux), log_p(std::log(q[0])), log_q(std::log1p(-q[0])) {}
    bool ok() const { return probability(p); }
    f64 logf(f64 k, f64 *g) const {
        g[0] = k / p - (n - k) / (1.0 - p);
        return k * log_p + (n - k) * log_q;
    }
    static f64 constant(f64 k, f64 n) {
        return log_gamma(n + 1.0) - log_gamma(k + 1.0) - log_gamma(n - k + 1.0);
    }
};

// Negative binomial, failures k before the n-th success of probability p:
// Gamma(k + n) / (Gamma(n) k!) p^n (1-p)^k, n > 0 real.
struct NegBinomial {
    static constexpr int N = 2;
    static constexpr bool survival = false;
    f64 n, p, log_p, log_q, lg_n, psi_n;
    NegBinomial(const f64 *q, f64)
        : n(q[0]),
          p(q[1]),
          log_p(std::log(q[1])),
          log_q(std::log1p(-q[1])),
          lg_n(log_gamma(q[0])),
          psi_n(digamma(q[0])) {}
    bool ok() const { return positive(n) && probability(p); }
    f64 logf(f64 k, f64 *g) const {
        g[0] = digamma(k + n) - psi_n + log_p;
        g[1] = n / p - k / (1.0 - p);
        return log_gamma(k + n) - lg_n + n * log_p + k * log_q;
    }
    static f64 constant(f64 k, f64) { return -log_gamma(k + 1.0); }
};

// Geometric: trials k >= 1 up to the first success, (1-p)^(k-1) p.
struct Geometric {
    static constexpr int N = 1;
    static constexpr bool survival = false;
    f64 p, log_p, log_q;
    Geometric(const f64 *q, f64) : p(q[0]), log_p(std::log(q[0])), log_q(std::log1p(-q[0])) {}
    bool ok() const { return probability(p); }
    f64 logf(f64 k, f64 *g) const {
        g[0] = 1.0 / p - (k - 1.0) / (1.0 - p);
        return log_p + (k - 1.0) * log_q;
    }
};

// --- the sums ---------------------------------------------------------------------

template <class D>
constexpr bool has_constant = requires(f64 k) { D::constant(k, k); };

// An objective at parameters outside the distribution's domain: +inf, so a
// line search steps back, with a zero gradient.
template <class D>
f64 outside(f64 *g) {
    if (g != nullptr)
        for (int j = 0; j < D::N; ++j) g[j] = 0.0;
    return HUGE_VAL;
}

// The distribution's parameters from the objective's (see LikelihoodData).
template <class D>
D distribution_at(const f64 *__restrict q, const LikelihoodData &d) {
    if (d.unit == nullptr) return D(q, d.aux);
    f64 p[D::N];
    for (int j = 0; j < D::N; ++j) p[j] = d.shift[j] + d.unit[j] * q[j];
    return D(p, d.aux);
}

// -sum_i w_i log f(x_i) (log S(x_i) where censored) - offset, with its
// gradient in g when g is not null.
template <class D>
VLM_VECTOR_CLONES f64 negative_loglike(const f64 *__restrict p, f64 *__restrict g,
                                       const LikelihoodData &d) {
    const D dist = distribution_at<D>(p, d);
    if (!dist.ok()) return outside<D>(g);
    f64 sum = 0.0, acc[D::N] = {};
    const f64 *__restrict x = d.x;
    const f64 *__restrict w = d.w;
    if (d.cens == nullptr && w == nullptr) {
        // The common case gets a loop of its own, without the weight's
        // select: a loop without control flow is one the compiler vectorises.
#pragma omp simd reduction(+ : sum, acc[ : D::N])
        for (i64 i = 0; i < d.n; ++i) {
            f64 gi[D::N];
            sum += dist.logf(x[i], gi);
            for (int j = 0; j < D::N; ++j) acc[j] += gi[j];
        }
    } else if (d.cens == nullptr) {
#pragma omp simd reduction(+ : sum, acc[ : D::N])
        for (i64 i = 0; i < d.n; ++i) {
            f64 gi[D::N];
            sum += w[i] * dist.logf(x[i], gi);
            for (int j = 0; j < D::N; ++j) acc[j] += w[i] * gi[j];
        }
    } else {
        for (i64 i = 0; i < d.n; ++i) {
            f64 gi[D::N];
            const f64 wi = w == nullptr ? 1.0 : w[i];
            f64 l;
            if constexpr (D::survival)
                l = d.cens[i] != 0.0 ? dist.logS(x[i], gi) : dist.logf(x[i], gi);
            else
                l = dist.logf(x[i], gi);
            sum += wi * l;
            for (int j = 0; j < D::N; ++j) acc[j] += wi * gi[j];
        }
    }
    if (g != nullptr)
        for (int j = 0; j < D::N; ++j) g[j] = -acc[j] * (d.unit == nullptr ? 1.0 : d.unit[j]);
    return -(sum + d.offset);
}

template <class D>
f64 value(const f64 *__restrict p, void *ctx) {
    return negative_loglike<D>(p, nullptr, *static_cast<const LikelihoodData *>(ctx));
}

template <class D>
f64 value_grad(const f64 *__restrict p, f64 *__restrict g, void *ctx) {
    return negative_loglike<D>(p, g, *static_cast<const LikelihoodData *>(ctx));
}

// sum_i w_i c(x_i): the terms of the log-likelihood that no parameter moves.
template <class D>
f64 constant(const f64 *__restrict, void *ctx) {
    const LikelihoodData &d = *static_cast<const LikelihoodData *>(ctx);
    if constexpr (!has_constant<D>) {
        return 0.0;
    } else {
        f64 sum = 0.0;
        for (i64 i = 0; i < d.n; ++i)
            sum += (d.w == nullptr ? 1.0 : d.w[i]) * D::constant(d.x[i], d.aux);
        return sum;
    }
}

// One problem of fit_many: the row [m, aux, offset, x_1, ..., x_m].
LikelihoodData row_data(const void *ctx) {
    const f64 *row = static_cast<const f64 *>(ctx);
    return {static_cast<i64>(row[0]), row + 3, nullptr, nullptr, row[1], row[2], nullptr, nullptr};
}

template <class D>
f64 row_value(const f64 *__restrict p, void *ctx) {
    return negative_loglike<D>(p, nullptr, row_data(ctx));
}

template <class D>
f64 row_value_grad(const f64 *__restrict p, f64 *__restrict g, void *ctx) {
    return negative_loglike<D>(p, g, row_data(ctx));
}

// The Poisson deviance of counts n_i in the bins [e_i, e_i+1) against the
// expected counts mu_i = N (S(e_i) - S(e_i+1)), N the total count:
// D = 2 sum (mu_i - n_i + n_i log(n_i / mu_i)) (Baker and Cousins, Nucl.
// Instrum. Methods 221 (1984) 437), a chi-square (errordef 1) for large
// counts. The edges are x[0..n], the counts w[0..n); S and its gradient at
// each edge come from the log survival function, S dlogS.
template <class D>
f64 binned_deviance(const f64 *__restrict p, f64 *__restrict g, const LikelihoodData &d) {
    if constexpr (!D::survival) {
        return outside<D>(g);
    } else {
        const D dist(p, d.aux);
        if (!dist.ok()) return outside<D>(g);
        f64 total = 0.0;
        for (i64 i = 0; i < d.n; ++i) total += d.w[i];
        // At an edge: S, F = 1 - S (from log S by expm1, exact where S is near
        // 1) and dS. A bin's probability is the difference of whichever of the
        // two is small there, so neither tail cancels to 0.
        struct Edge {
            f64 S, F;
        };
        auto edge = [&](f64 e, f64 *dS) -> Edge {
            f64 gl[D::N];
            for (int j = 0; j < D::N; ++j) dS[j] = 0.0;
            if (e == -HUGE_VAL) return {1.0, 0.0};
            if (e == HUGE_VAL) return {0.0, 1.0};
            const f64 log_s = dist.logS(e, gl), S = std::exp(log_s);
            for (int j = 0; j < D::N; ++j) dS[j] = S > 0.0 ? S * gl[j] : 0.0;
            return {S, -std::expm1(log_s)};
        };
        f64 dev = 0.0, acc[D::N] = {}, dlo[D::N], dhi[D::N];
        Edge lo = edge(d.x[0], dlo);
        for (i64 i = 0; i < d.n; ++i) {
            const Edge hi = edge(d.x[i + 1], dhi);
            const f64 prob = lo.S > 0.5 ? hi.F - lo.F : lo.S - hi.S;
            const f64 mu = total * prob, k = d.w[i];
            dev += mu - k + (k > 0.0 ? k * std::log(k / mu) : 0.0);
            const f64 r = 1.0 - k / mu;
            for (int j = 0; j < D::N; ++j) {
                acc[j] += r * total * (dlo[j] - dhi[j]);
                dlo[j] = dhi[j];
            }
            lo = hi;
        }
        if (g != nullptr)
            for (int j = 0; j < D::N; ++j) g[j] = 2.0 * acc[j];
        return 2.0 * dev;
    }
}

template <class D>
f64 binned_value(const f64 *__restrict p, void *ctx) {
    return binned_deviance<D>(p, nullptr, *static_cast<const LikelihoodData *>(ctx));
}

template <class D>
f64 binned_value_grad(const f64 *__restrict p, f64 *__restrict g, void *ctx) {
    return binned_deviance<D>(p, g, *static_cast<const LikelihoodData *>(ctx));
}

template <class D>
constexpr Kernels kernels_of(const char *name) {
    return {name,
            D::N,
            D::survival,
            value<D>,
            value_grad<D>,
            constant<D>,
            row_value<D>,
            row_value_grad<D>,
            D::survival ? binned_value<D> : nullptr,
            D::survival ? binned_value_grad<D> : nullptr};
}

}  // namespace

const Kernels kernel_table[] = {
    kernels_of<Normal>("normal"),
    kernels_of<LogNormal>("lognormal"),
    kernels_of<Exponential>("exponential"),
    kernels_of<Gamma>("gamma"),
    kernels_of<Weibull>("weibull"),
    kernels_of<Beta>("beta"),
    kernels_of<StudentT>("t"),
    kernels_of<Logistic>("logistic"),
    kernels_of<Gumbel>("gumbel"),
    kernels_of<Cauchy>("cauchy"),
    kernels_of<Pareto>("pareto"),
    kernels_of<Poisson>("poisson"),
    kernels_of<Binomial>("binomial"),
    kernels_of<NegBinomial>("nbinom"),
    kernels_of<Geometric>("geometric"),
};
const i64 kernel_count = sizeof(kernel_table) / sizeof(kernel_table[0]);

}  // namespace vlm::lik
