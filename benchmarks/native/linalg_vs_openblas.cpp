// The dense kernels side by side with OpenBLAS/LAPACKE, single-threaded.
//
// For each order n the same inputs go to our kernel and to the library call
// that computes the same thing:
//   matmul  vlm_matmul              cblas_dgemm (row-major)
//   solve1  vlm_solve, one column   LAPACKE_dgesv
//   solveN  vlm_solve, n columns    LAPACKE_dgesv
//   chol    vlm_chol                LAPACKE_dpotrf
//   inv     vlm_inv                 LAPACKE_dgetrf + LAPACKE_dgetri
// The library side is timed twice: through the row-major LAPACKE interface
// (which transposes into and out of work buffers it allocates) and as the
// bare column-major call on the same buffers through the *_work entries,
// with its work array allocated outside the timing. The column-major call
// solves the transposed problem (for chol and inv it is the same result:
// the upper factor of the transpose is our lower factor, and the inverse of
// the transpose is the transpose of the inverse), which costs the same
// arithmetic; the faster of the two is the reference. Copies of the inputs
// that the library overwrites are part of its timing, as our kernels copy
// (solve, inv) or write (chol) the same amounts.
//
//   cmake -S . -B build/bench -G Ninja -DVLM_NATIVE_BENCH=ON && cmake --build build/bench
//   OPENBLAS_NUM_THREADS=1 build/bench/linalg_vs_openblas [matmul|solve1|solveN|chol|inv]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include <cblas.h>
#include <lapacke.h>

#include "vlm_linalg.h"

namespace {

using Mat = std::vector<f64>;

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Seconds per call of each of the calls, timed in turns: batches long
// enough to read the clock reliably, the fastest of several batches. The
// machine may be shared, so the batches of ours and the library's alternate
// and see the same load.
template <class... Calls>
std::vector<double> best_times(Calls... calls) {
    std::vector<std::function<void()>> fns{calls...};
    std::vector<long> reps(fns.size(), 1);
    for (size_t c = 0; c < fns.size(); ++c)
        for (;;) {
            const double t0 = now();
            for (long r = 0; r < reps[c]; ++r) fns[c]();
            if (now() - t0 > 1e-3) break;
            reps[c] *= 2;
        }
    std::vector<double> best(fns.size(), 1e30);
    for (int batch = 0; batch < 15; ++batch)
        for (size_t c = 0; c < fns.size(); ++c) {
            const double t0 = now();
            for (long r = 0; r < reps[c]; ++r) fns[c]();
            best[c] = std::min(best[c], (now() - t0) / double(reps[c]));
        }
    return best;
}

Mat random_matrix(std::mt19937_64 &gen, i64 r, i64 c) {
    std::normal_distribution<f64> normal;
    Mat a(static_cast<size_t>(r * c));
    for (f64 &v : a) v = normal(gen);
    return a;
}

// Well conditioned: random plus n on the diagonal (and symmetric for chol).
Mat shifted(Mat a, i64 n, bool symmetric) {
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < i && symmetric; ++j) a[j * n + i] = a[i * n + j];
    for (i64 i = 0; i < n; ++i) a[i * n + i] += f64(n);
    return a;
}

f64 max_abs_diff(const Mat &a, const Mat &b) {
    f64 d = 0.0;
    for (size_t k = 0; k < a.size(); ++k) d = std::max(d, std::fabs(a[k] - b[k]));
    return d;
}

struct Row {
    const char *op;
    i64 n;
    double ours, rowmajor, colmajor;
    f64 diff;  // largest |ours - library| over the result, a sanity check
};

bool failed = false;
const char *only = nullptr;  // one operation to run, from the command line

bool wanted(const char *op) { return only == nullptr || std::strcmp(only, op) == 0; }

void print(const Row &r) {
    const double peer = std::min(r.rowmajor, r.colmajor);
    const double ratio = r.ours / peer;
    char verdict[48] = "";
    if (std::strcmp(r.op, "matmul") == 0) {
        const double flops = 2.0 * double(r.n) * double(r.n) * double(r.n);
        std::snprintf(verdict, sizeof verdict, "%6.2f vs %6.2f GFLOP/s", flops / r.ours * 1e-9,
                      flops / peer * 1e-9);
    }
    const char *mark = "";
    if (r.n <= 16) {
        mark = ratio < 1.0 ? "faster" : "SLOWER";
        failed |= ratio >= 1.0;
    } else if (r.n == 256 && std::strcmp(r.op, "matmul") == 0) {
        mark = peer / r.ours >= 0.25 ? ">=0.25x" : "<0.25x";
        failed |= peer / r.ours < 0.25;
    }
    char colmajor[16] = "-";
    if (r.colmajor < 1e30) std::snprintf(colmajor, sizeof colmajor, "%11.0f", r.colmajor * 1e9);
    std::printf("%-7s %4lld %11.0f %11.0f %11s %7.3f  %-7s %-26s %.1e\n", r.op, (long long)r.n,
                r.ours * 1e9, r.rowmajor * 1e9, colmajor, ratio, mark, verdict, r.diff);
}

void run(i64 n, std::mt19937_64 &gen) {
    const size_t nn = static_cast<size_t>(n * n);
    const Mat A = random_matrix(gen, n, n), B = random_matrix(gen, n, n);
    const Mat G = shifted(A, n, false), S = shifted(A, n, true);
    const Mat b = random_matrix(gen, n, 1);
    Mat out(nn), ref(nn), work(nn), rhs(nn);
    std::vector<lapack_int> ipiv(static_cast<size_t>(n));
    const lapack_int ln = static_cast<lapack_int>(n);
    volatile f64 sink = 0.0;
    constexpr double NONE = 1e300;

    if (wanted("matmul")) {
        Row r{"matmul", n, 0, 0, NONE, 0};
        const auto t =
            best_times([&] { vlm_matmul(A.data(), B.data(), out.data(), n, n, n); },
                       [&] {
                           cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, ln, ln, ln, 1.0,
                                       A.data(), ln, B.data(), ln, 0.0, ref.data(), ln);
                       });
        r.ours = t[0];
        r.rowmajor = t[1];
        r.diff = max_abs_diff(out, ref);
        print(r);
    }
    for (i64 m : {i64(1), n}) {  // solve with one and with n right-hand sides
        const Mat &B_ = m == 1 ? b : B;
        const size_t nm = static_cast<size_t>(n * m);
        const lapack_int lm = static_cast<lapack_int>(m);
        if (!wanted(m == 1 ? "solve1" : "solveN")) continue;
        const auto ours = [&] {
            sink = sink + f64(vlm_solve(G.data(), B_.data(), n, m, out.data()));
        };
        const auto rowmajor = [&] {
            std::memcpy(work.data(), G.data(), nn * sizeof(f64));
            std::memcpy(ref.data(), B_.data(), nm * sizeof(f64));
            sink = sink + LAPACKE_dgesv(LAPACK_ROW_MAJOR, ln, lm, work.data(), ln, ipiv.data(),
                                        ref.data(), lm);
        };
        const auto colmajor = [&] {
            std::memcpy(work.data(), G.data(), nn * sizeof(f64));
            std::memcpy(rhs.data(), B_.data(), nm * sizeof(f64));
            sink = sink + LAPACKE_dgesv_work(LAPACK_COL_MAJOR, ln, lm, work.data(), ln, ipiv.data(),
                                             rhs.data(), ln);
        };
        ours();
        rowmajor();
        const f64 diff =
            max_abs_diff(Mat(out.begin(), out.begin() + nm), Mat(ref.begin(), ref.begin() + nm));
        const auto t = best_times(ours, rowmajor, colmajor);
        print({m == 1 ? "solve1" : "solveN", n, t[0], t[1], t[2], diff});
    }
    if (wanted("chol")) {  // the column-major upper factor of S is our row-major lower one
        const auto ours = [&] { sink = sink + vlm_chol(S.data(), 0.0, out.data(), n); };
        const auto rowmajor = [&] {
            std::memcpy(ref.data(), S.data(), nn * sizeof(f64));
            sink = sink + LAPACKE_dpotrf(LAPACK_ROW_MAJOR, 'L', ln, ref.data(), ln);
        };
        const auto colmajor = [&] {
            std::memcpy(work.data(), S.data(), nn * sizeof(f64));
            sink = sink + LAPACKE_dpotrf_work(LAPACK_COL_MAJOR, 'U', ln, work.data(), ln);
        };
        ours();
        rowmajor();
        for (i64 i = 0; i < n; ++i)  // dpotrf leaves the other triangle as it was
            for (i64 j = i + 1; j < n; ++j) ref[i * n + j] = 0.0;
        const f64 diff = max_abs_diff(out, ref);
        const auto t = best_times(ours, rowmajor, colmajor);
        print({"chol", n, t[0], t[1], t[2], diff});
    }
    if (wanted("inv")) {
        const lapack_int lwork = 64 * ln;
        Mat getri_work(static_cast<size_t>(lwork));
        const auto ours = [&] { sink = sink + f64(vlm_inv(G.data(), n, out.data())); };
        const auto rowmajor = [&] {
            std::memcpy(ref.data(), G.data(), nn * sizeof(f64));
            sink = sink + LAPACKE_dgetrf(LAPACK_ROW_MAJOR, ln, ln, ref.data(), ln, ipiv.data());
            sink = sink + LAPACKE_dgetri(LAPACK_ROW_MAJOR, ln, ref.data(), ln, ipiv.data());
        };
        const auto colmajor = [&] {
            std::memcpy(work.data(), G.data(), nn * sizeof(f64));
            sink =
                sink + LAPACKE_dgetrf_work(LAPACK_COL_MAJOR, ln, ln, work.data(), ln, ipiv.data());
            sink = sink + LAPACKE_dgetri_work(LAPACK_COL_MAJOR, ln, work.data(), ln, ipiv.data(),
                                              getri_work.data(), lwork);
        };
        ours();
        rowmajor();
        const f64 diff = max_abs_diff(out, ref);
        const auto t = best_times(ours, rowmajor, colmajor);
        print({"inv", n, t[0], t[1], t[2], diff});
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1) only = argv[1];  // matmul, solve1, solveN, chol or inv
    openblas_set_num_threads(1);
    std::printf("OpenBLAS %s, core %s, %d thread(s)\n", openblas_get_config(),
                openblas_get_corename(), openblas_get_num_threads());
    std::printf(
        "times in ns per call; ratio = ours / faster library call; n <= 16 must be\n"
        "faster, matmul at n = 256 must reach 0.25x the library's GFLOP/s\n\n");
    std::printf("%-7s %4s %11s %11s %11s %7s  %-7s %-26s %s\n", "op", "n", "ours", "lapacke-row",
                "bare-col", "ratio", "target", "matmul ours vs library", "max|diff|");
    std::mt19937_64 gen(20261207);
    for (i64 n : {2, 3, 4, 8, 16, 64, 256}) run(n, gen);
    std::printf("\n%s\n", failed ? "some targets missed" : "every target met");
    return failed ? 1 : 0;
}
