// Share of a native minimization spent outside the objective.
//
// Runs vlm_lbfgsb and vlm_neldermead on the Rosenbrock function, then times
// the same number of bare objective evaluations; the difference is the
// minimizer's own work (iteration, finite differences bookkeeping, sorting).
//
//   cmake -S . -B build/bench -G Ninja -DVLM_NATIVE_BENCH=ON && cmake --build build/bench
//   build/bench/minimizer_overhead
#include <chrono>
#include <cstdio>
#include <vector>

#include "nelder_mead.h"
#include "optim.h"

namespace {

// The module's Rosenbrock objective, written the same way: a straight loop
// whose sum may be reassociated.
f64 rosenbrock(const f64 *__restrict x, void *ctx) {
    const i64 n = *static_cast<const i64 *>(ctx);
    f64 sum = 0.0;
#pragma omp simd reduction(+ : sum)
    for (i64 i = 0; i < n - 1; ++i) {
        const f64 t1 = x[i + 1] - x[i] * x[i];
        const f64 t2 = 1.0 - x[i];
        sum += 100.0 * t1 * t1 + t2 * t2;
    }
    return sum;
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::vector<f64> start(i64 n) {
    std::vector<f64> x(n);
    for (i64 i = 0; i < n; ++i) x[i] = n == 1 ? -1.2 : -1.2 + 2.2 * double(i) / double(n - 1);
    return x;
}

// Seconds for `count` evaluations of the objective at x.
double bare_evaluations(std::vector<f64> x, i64 count) {
    i64 n = static_cast<i64>(x.size());
    volatile f64 sink = 0.0;
    const double t0 = now();
    for (i64 k = 0; k < count; ++k) {
        x[k % n] += 1e-300;  // keeps the calls from being hoisted
        sink = sink + rosenbrock(x.data(), &n);
    }
    return now() - t0;
}

template <class Run>
void report(const char *name, i64 n, Run run) {
    double best_total = 1e30, best_bare = 1e30;
    i64 nfev = 0;
    for (int rep = 0; rep < 7; ++rep) {
        std::vector<f64> x = start(n);
        const double t0 = now();
        nfev = run(x);
        best_total = std::min(best_total, now() - t0);
        best_bare = std::min(best_bare, bare_evaluations(start(n), nfev));
    }
    std::printf("%-12s n=%-5lld nfev=%-8lld total %9.3f ms  objective %9.3f ms  outside %5.1f%%\n",
                name, (long long)n, (long long)nfev, best_total * 1e3, best_bare * 1e3,
                100.0 * (best_total - best_bare) / best_total);
}

}  // namespace

int main() {
    for (i64 n : {2, 10, 100, 1000}) {
        report("lbfgsb", n, [n](std::vector<f64> &x) {
            i64 dim = n;
            vlm_lbfgsb_options opt{10, 15000, 15000, 20, 1e7, 1e-5, 0.0};
            vlm_lbfgsb_result res{};
            vlm_lbfgsb(rosenbrock, &dim, n, x.data(), nullptr, nullptr, nullptr, &opt, &res);
            return res.nfev;
        });
    }
    for (i64 n : {2, 10, 100}) {
        report("neldermead", n, [n](std::vector<f64> &x) {
            i64 dim = n;
            vlm_neldermead_options opt{0, 0, 1e-4, 1e-4};
            vlm_neldermead_result res{};
            vlm_neldermead(rosenbrock, &dim, n, x.data(), nullptr, nullptr, nullptr, &opt, &res);
            return res.nfev;
        });
    }
}
