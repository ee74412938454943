// Fuzz target: the one-call L-BFGS-B driver `vlm_lbfgsb` with a random
// objective (see objective.h), random sizes, bounds, starting point, options
// (including hostile memory sizes and limits) and optional null pointers.
//
// Checked on every input:
//  - no memory error; the objective reads every coordinate of the point it is
//    given, so a short point is reported;
//  - the status is one of the final ones (or -1 for an impossible workspace),
//    equals the record's, and `success` and `message` agree with it;
//  - `nfev` is exactly the number of objective calls, `nit` is not negative;
//  - a valid bounded problem ends inside its box;
//  - invalid input (n <= 0 handled as ERROR, m <= 0, a bad bound) makes no call.
#include <cstdint>
#include <cstring>

#include "fuzz_util.h"
#include "objective.h"
#include "optim.h"

namespace {

constexpr int64_t kMaxN = 8;

const char *expected_message(int64_t status) {
    switch (status) {
        case 4: return "CONVERGENCE";
        case 5: return "STOP: iteration or evaluation limit reached";
        case 7: return "ERROR: invalid input";
        case 8: return "ABNORMAL: line search failed";
        case -1: return "ERROR: workspace allocation failed";
        default: return nullptr;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    const int64_t n = in.one_in(32) ? in.size(-3, 0) : in.size(1, kMaxN);
    const int64_t k = n > 0 ? n : 0;
    Bounds box(in, k, true);
    Objective obj(in, k);

    vlm_lbfgsb_options opt;
    opt.m = in.one_in(16) ? in.hostile_size(12) : in.size(1, 12);
    // Limits keep one run short; a non-positive one means "no limit", so the
    // other one is then always set.
    opt.maxiter = in.one_in(8) ? in.size(-2, 0) : in.size(1, 60);
    opt.maxfun = opt.maxiter <= 0 || in.flag() ? in.size(1, 600) : in.size(-2, 600);
    opt.maxls = in.one_in(16) ? in.size(-2, 0) : in.size(1, 25);
    opt.factr = in.one_in(4) ? in.real() : (in.flag() ? 1e7 : 1e1);
    opt.pgtol = in.one_in(4) ? in.real() : 1e-5;
    opt.fd_step = in.one_in(4) ? in.real() : 0.0;

    Buffer<double> x(k), lo(k), hi(k);
    Buffer<int64_t> nbd(k);
    for (int64_t i = 0; i < k; ++i) {
        x[i] = in.one_in(8) ? in.real() : in.finite(20.0);
        lo[i] = box.lo[i];
        hi[i] = box.hi[i];
        nbd[i] = box.nbd[i];
    }
    // Each bound array may be absent (null reads as zeros / all free).
    const bool pass_lo = !in.one_in(6), pass_hi = !in.one_in(6), pass_nbd = !in.one_in(6);
    const bool want_out = !in.one_in(8);
    bool bad_bounds = false;
    for (int64_t i = 0; i < k && pass_nbd; ++i) {
        const double l = pass_lo ? lo[i] : 0.0, u = pass_hi ? hi[i] : 0.0;
        if (nbd[i] < 0 || nbd[i] > 3 || (nbd[i] == 2 && l > u)) bad_bounds = true;
    }

    vlm_lbfgsb_result res;
    std::memset(&res, 0xAB, sizeof res);
    const int64_t status =
        vlm_lbfgsb(Objective::callback, &obj, n, x.data(), pass_lo ? lo.data() : nullptr,
                   pass_hi ? hi.data() : nullptr, pass_nbd ? nbd.data() : nullptr, &opt,
                   want_out ? &res : nullptr);

    FUZZ_CHECK(expected_message(status) != nullptr);
    if (want_out) {
        FUZZ_CHECK(res.status == status);
        FUZZ_CHECK(res.success == (status == 4 ? 1 : 0));
        FUZZ_CHECK(std::strcmp(res.message, expected_message(status)) == 0);
        FUZZ_CHECK(res.nfev == obj.calls());
        FUZZ_CHECK(res.nit >= 0);
    }
    const bool invalid = n <= 0 || opt.m <= 0 || opt.factr < 0.0 || bad_bounds;
    if (invalid || status == -1) FUZZ_CHECK(obj.calls() == 0);
    if (invalid && status != -1) FUZZ_CHECK(status == 7);
    if (!invalid && status != -1 && pass_lo && pass_hi && pass_nbd) FUZZ_CHECK(box.holds(x.data()));
    return 0;
}
