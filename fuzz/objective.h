// A random objective of n variables assembled from the fuzzer's bytes: a
// weighted sum of smooth, non-convex, non-smooth and discontinuous terms, an
// overall scale that may be huge or tiny, and optional regions where the value
// is NaN or infinite. It counts its calls, reads every coordinate it is given
// (so a short point is an AddressSanitizer report) and supplies an analytic
// gradient for the reverse-communication target.
#ifndef VLM_FUZZ_OBJECTIVE_H
#define VLM_FUZZ_OBJECTIVE_H

#include <cmath>
#include <vector>

#include "fuzz_util.h"

class Objective {
public:
    Objective(Input &in, int64_t n) : n_(n), center_(n), weight_(n) {
        for (int64_t i = 0; i < n; ++i) {
            center_[i] = in.one_in(8) ? in.real() : in.finite(5.0);
            weight_[i] = in.one_in(8) ? in.real() : in.finite(10.0);
        }
        coupling_ = in.one_in(2) ? in.finite(100.0) : 0.0;
        quartic_ = in.one_in(3) ? in.finite(2.0) : 0.0;
        kink_ = in.one_in(4) ? in.finite(3.0) : 0.0;
        step_ = in.one_in(6) ? in.finite(1.0) : 0.0;
        scale_ = in.one_in(6) ? in.real() : 1.0;
        poison_ = static_cast<int>(in.size(0, 3));  // 0 none, 1 NaN, 2 +inf, 3 -inf
        poison_at_ = in.finite(10.0);
    }

    int64_t calls() const { return calls_; }

    double value(const double *x) {
        ++calls_;
        double f = 0.0;
        for (int64_t i = 0; i < n_; ++i) {
            const double d = x[i] - center_[i];
            f += weight_[i] * d * d + quartic_ * d * d * d * d + kink_ * std::fabs(d);
            if (step_ != 0.0) f += step_ * std::floor(x[i]);
            if (i + 1 < n_) {
                const double r = x[i + 1] - x[i] * x[i];
                f += coupling_ * r * r;
            }
        }
        if (n_ > 0 && poison_ != 0 && x[0] > poison_at_)
            return poison_ == 1 ? std::nan("") : (poison_ == 2 ? HUGE_VAL : -HUGE_VAL);
        return scale_ * f;
    }

    // Gradient of value() where it is differentiable (the kink contributes its
    // sign, the steps nothing).
    void gradient(const double *x, double *g) const {
        for (int64_t i = 0; i < n_; ++i) {
            const double d = x[i] - center_[i];
            g[i] =
                2.0 * weight_[i] * d + 4.0 * quartic_ * d * d * d + kink_ * ((d > 0.0) - (d < 0.0));
        }
        for (int64_t i = 0; i + 1 < n_; ++i) {
            const double r = x[i + 1] - x[i] * x[i];
            g[i] += -4.0 * coupling_ * r * x[i];
            g[i + 1] += 2.0 * coupling_ * r;
        }
        for (int64_t i = 0; i < n_; ++i) g[i] *= scale_;
    }

    // The C callback: ctx is the Objective.
    static double callback(const double *x, void *ctx) {
        return static_cast<Objective *>(ctx)->value(x);
    }

private:
    int64_t n_;
    std::vector<double> center_, weight_;
    double coupling_, quartic_, kink_, step_, scale_, poison_at_;
    int poison_;
    int64_t calls_ = 0;
};

// Random simple bounds: codes mostly in 0..3 (sometimes out of range when
// `allow_bad` is set), bounds that may be crossed, infinite or NaN.
struct Bounds {
    std::vector<double> lo, hi;
    std::vector<int64_t> nbd;

    Bounds(Input &in, int64_t n, bool allow_bad) : lo(n), hi(n), nbd(n) {
        for (int64_t i = 0; i < n; ++i) {
            nbd[i] = in.size(0, 3);
            if (allow_bad && in.one_in(32)) nbd[i] = in.flag() ? -1 : 4 + in.size(0, 100);
            lo[i] = in.one_in(8) ? in.real() : in.finite(5.0);
            hi[i] = in.one_in(8) ? in.real() : lo[i] + std::fabs(in.finite(5.0));
        }
    }
    bool has_lower(int64_t i) const { return nbd[i] == 1 || nbd[i] == 2; }
    bool has_upper(int64_t i) const { return nbd[i] == 2 || nbd[i] == 3; }
    // No coordinate of x lies strictly outside its bounds (NaN is allowed: it
    // is outside nothing).
    bool holds(const double *x) const {
        for (size_t i = 0; i < nbd.size(); ++i) {
            if (has_lower(i) && x[i] < lo[i]) return false;
            if (has_upper(i) && x[i] > hi[i]) return false;
        }
        return true;
    }
};

#endif  // VLM_FUZZ_OBJECTIVE_H
