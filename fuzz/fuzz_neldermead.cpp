// Fuzz target: the Nelder-Mead minimizer `vlm_neldermead` with a random
// objective (see objective.h), random sizes, bounds (codes outside 0..3
// included: they count as free), starting point, limits and tolerances, and
// optional null pointers.
//
// Checked on every input:
//  - no memory error; the objective reads every coordinate it is given;
//  - the status is 0, 1 or 2 (or -2 for n < 1), equals the record's, and the
//    record's counts and message agree with it;
//  - the objective is called exactly `nfev` times, never more than the limit;
//  - with consistent bounds (lower <= upper) and a start without NaN, the
//    returned point lies in the box.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "fuzz_util.h"
#include "nelder_mead.h"
#include "objective.h"

namespace {

constexpr int64_t kMaxN = 10;

const char *expected_message(int64_t status) {
    switch (status) {
        case 0: return "Optimization terminated successfully.";
        case 1: return "Maximum number of function evaluations has been exceeded.";
        case 2: return "Maximum number of iterations has been exceeded.";
        case -2: return "ERROR: n must be >= 1";
        default: return nullptr;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    const int64_t n = in.one_in(32) ? (in.flag() ? INT64_MIN : in.size(-3, 0)) : in.size(1, kMaxN);
    const int64_t k = n > 0 ? n : 0;
    Bounds box(in, k, true);
    Objective obj(in, k);

    vlm_neldermead_options opt;
    // Non-positive limits select 200 n; the iteration limit bounds the run.
    opt.maxiter = in.one_in(8) ? in.size(-2, 0) : in.size(1, 400);
    opt.maxfun = in.one_in(8) ? in.size(-2, 0) : in.size(1, 800);
    opt.xatol = in.one_in(4) ? in.real() : 1e-4;
    opt.fatol = in.one_in(4) ? in.real() : 1e-4;
    const bool pass_opt = !in.one_in(16);

    Buffer<double> x(k), lo(k), hi(k);
    Buffer<int64_t> nbd(k);
    bool start_has_nan = false;
    for (int64_t i = 0; i < k; ++i) {
        x[i] = in.one_in(8) ? in.real() : in.finite(20.0);
        start_has_nan |= std::isnan(x[i]);
        lo[i] = box.lo[i];
        hi[i] = box.hi[i];
        nbd[i] = box.nbd[i];
    }
    const bool pass_nbd = !in.one_in(4);
    const bool want_out = !in.one_in(8);
    bool consistent = true;  // every effective lower bound <= its upper bound
    for (int64_t i = 0; i < k && pass_nbd; ++i)
        if (box.has_lower(i) && box.has_upper(i) && !(lo[i] <= hi[i])) consistent = false;

    vlm_neldermead_result res;
    std::memset(&res, 0xAB, sizeof res);
    const int64_t status = vlm_neldermead(Objective::callback, &obj, n, x.data(), lo.data(),
                                          hi.data(), pass_nbd ? nbd.data() : nullptr,
                                          pass_opt ? &opt : nullptr, want_out ? &res : nullptr);

    FUZZ_CHECK(expected_message(status) != nullptr);
    const int64_t maxfun = pass_opt && opt.maxfun > 0 ? opt.maxfun : 200 * k;
    FUZZ_CHECK(obj.calls() <= maxfun);
    if (want_out) {
        FUZZ_CHECK(res.status == status);
        FUZZ_CHECK(res.success == (status == 0 ? 1 : 0));
        FUZZ_CHECK(std::strcmp(res.message, expected_message(status)) == 0);
        FUZZ_CHECK(res.nfev == obj.calls());
        if (status >= 0) FUZZ_CHECK(res.nit >= 1);
    }
    if (status == -2) FUZZ_CHECK(n < 1 && obj.calls() == 0);
    if (status >= 0 && pass_nbd && consistent && !start_has_nan) FUZZ_CHECK(box.holds(x.data()));
    return 0;
}
