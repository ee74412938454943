// Fuzz target: the reverse-communication L-BFGS-B routine `setulb`, driven the
// way a caller drives it, on random problems (sizes, memory, bounds, starting
// point, tolerances, line-search budget), with a random objective whose values
// and gradients the caller may also corrupt, and random caller stops.
//
// Checked on every input:
//  - no memory error (workspaces are exactly sized heap blocks);
//  - every returned task word is one of the protocol's, and a valid problem
//    never leaves its box (x is projected before every evaluation request);
//  - invalid sizes (n <= 0, m <= 0, or a workspace too large to exist) end in
//    ERROR at the first call without touching x or the save arrays;
//  - the run does not depend on the workspace's initial content: it is made
//    twice, with the workspaces filled with zeros and with NaN/-1 bytes, and
//    the two sequences of requests and points must agree bit for bit.
#include <cstdint>
#include <vector>

#include "fuzz_util.h"
#include "lbfgsb.h"
#include "objective.h"

namespace {

constexpr int64_t kMaxN = 8, kMaxM = 6, kMaxCalls = 4000;

int64_t pick_size(Input &in, int64_t hi, bool memory) {
    // Negative sizes and sizes whose workspace cannot exist.
    static const int64_t bad_n[] = {
        0, -1, -2, INT64_MIN, INT64_MIN + 1, -(int64_t{1} << 62), INT64_MAX, int64_t{1} << 62};
    static const int64_t bad_m[] = {0,
                                    -1,
                                    -3,
                                    INT64_MIN,
                                    INT64_MIN + 1,
                                    -(int64_t{1} << 62),
                                    INT64_MAX,
                                    int64_t{1} << 62,
                                    int64_t{1} << 32,
                                    (int64_t{1} << 31) + 1};
    if (in.one_in(24)) {
        if (memory) return bad_m[in.size(0, sizeof bad_m / sizeof bad_m[0] - 1)];
        return bad_n[in.size(0, sizeof bad_n / sizeof bad_n[0] - 1)];
    }
    return in.size(1, hi);
}

bool valid_task(int64_t t) {
    return t == FG || t == NEW_X || t == CONVERGENCE || t == STOP || t == ERROR || t == ABNORMAL;
}

// One complete run; `pattern` is the byte the workspaces start filled with.
// Returns the trace: every task pair and point the caller saw.
std::vector<double> run(const uint8_t *data, size_t size, uint8_t pattern) {
    Input in(data, size);
    const int64_t n = pick_size(in, kMaxN, false);
    const int64_t m = pick_size(in, kMaxM, true);
    const bool sane = n >= 1 && n <= kMaxN && m >= 1 && m <= kMaxM;
    const int64_t k = sane ? n : (n >= 1 && n <= kMaxN ? n : 0);  // length of the n-arrays

    Bounds box(in, k, true);
    Objective obj(in, k);
    Buffer<double> x(k), l(k), u(k), g(k);
    Buffer<int64_t> nbd(k);
    for (int64_t i = 0; i < k; ++i) {
        x[i] = in.one_in(8) ? in.real() : in.finite(20.0);
        l[i] = box.lo[i];
        u[i] = box.hi[i];
        nbd[i] = box.nbd[i];
        g[i] = 0.0;
    }
    const double factr = in.one_in(4) ? in.real() : (in.flag() ? 1e7 : 10.0);
    const double pgtol = in.one_in(4) ? in.real() : (in.flag() ? 1e-5 : 0.0);
    const int64_t maxls = in.one_in(16) ? in.size(-3, 0) : in.size(1, 25);

    const size_t wa_len = sane ? static_cast<size_t>(2 * m * n + 5 * n + 11 * m * m + 8 * m) : 0;
    Buffer<double> wa(wa_len), dsave(29);
    Buffer<int64_t> iwa(sane ? static_cast<size_t>(3 * n) : 0), task(2), ln_task(2), lsave(4),
        isave(44);
    wa.fill_bytes(pattern);
    iwa.fill_bytes(pattern);
    task.fill_bytes(0);
    ln_task.fill_bytes(0);
    lsave.fill_bytes(0);
    isave.fill_bytes(0);
    dsave.fill_bytes(0);

    std::vector<double> x0(x.data(), x.data() + k);
    std::vector<double> trace;
    double f = 0.0;
    for (int64_t call = 0; call < kMaxCalls; ++call) {
        setulb(n, m, x.data(), l.data(), u.data(), nbd.data(), &f, g.data(), factr, pgtol,
               wa.data(), iwa.data(), task.data(), lsave.data(), isave.data(), dsave.data(), maxls,
               ln_task.data());
        FUZZ_CHECK(valid_task(task[0]));
        trace.push_back(static_cast<double>(task[0]));
        trace.push_back(static_cast<double>(task[1]));
        trace.insert(trace.end(), x.data(), x.data() + k);
        if (!sane) {
            // Invalid sizes are refused at once; nothing but task is written.
            FUZZ_CHECK(call == 0 && task[0] == ERROR);
            for (int64_t i = 0; i < k; ++i) FUZZ_CHECK(same_bits(x[i], x0[i]));
            for (int i = 0; i < 4; ++i) FUZZ_CHECK(lsave[i] == 0);
            for (int i = 16; i < 44; ++i) FUZZ_CHECK(isave[i] == 0);
            for (int i = 0; i < 29; ++i) FUZZ_CHECK(dsave[i] == 0.0);
            break;
        }
        if (task[0] == FG || task[0] == NEW_X) FUZZ_CHECK(box.holds(x.data()));
        if (task[0] == FG) {
            f = obj.value(x.data());
            obj.gradient(x.data(), g.data());
            if (in.one_in(32)) f = in.real();
            if (in.one_in(32)) g[in.size(0, n - 1)] = in.real();
        } else if (task[0] == NEW_X) {
            if (in.one_in(24)) {
                task[0] = STOP;
                task[1] = in.flag() ? STOP_CPU : STOP_ITER;
            }
        } else {
            break;  // a final status
        }
        trace.push_back(f);
    }
    return trace;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<double> zeros = run(data, size, 0x00);
    const std::vector<double> ones = run(data, size, 0xFF);
    FUZZ_CHECK(zeros.size() == ones.size());
    for (size_t i = 0; i < zeros.size(); ++i) FUZZ_CHECK(same_bits(zeros[i], ones[i]));
    return 0;
}
