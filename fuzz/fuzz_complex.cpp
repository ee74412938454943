// Fuzz target: the complex kernels (c128_matmul, the LU family, solve,
// inverse) on random sizes and contents, with finite, extreme and non-finite
// entries, and sizes that are negative or whose byte count cannot exist.
//
// Checked on every input:
//  - no memory error: every matrix is an exactly sized heap block;
//  - codes are 0, -1 or -2; -1 exactly for the invalid calls; interchange
//    indices written by a factorisation lie in [k, n);
//  - outputs are untouched whenever the call fails, and by impossible sizes;
//  - c128_solve equals factor + solve, and c128_inv equals the solve of the
//    identity, bit for bit; a successful factorisation of a moderate matrix
//    reproduces P A = L U, and c128_matmul agrees with a plain triple loop.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_util.h"
#include "vlm_complex.h"

namespace {

constexpr int64_t kMax = 10;

// Sizes no buffer can have (the byte count of an n x n or n x 1 matrix of
// c128 overflows), and negative ones.
int64_t order(Input &in) {
    static const int64_t hostile[] = {0,
                                      -1,
                                      INT64_MIN,
                                      INT64_MAX,
                                      int64_t{1} << 62,
                                      int64_t{1} << 60,
                                      int64_t{1} << 32,
                                      (int64_t{1} << 31) + 1,
                                      int64_t{1} << 30};
    if (in.one_in(20)) return hostile[in.size(0, sizeof hostile / sizeof hostile[0] - 1)];
    return in.size(0, kMax);
}
bool small(int64_t v) { return v >= 0 && v <= kMax; }
// A positive r x c matrix of c128 whose byte count overflows.
bool impossible(int64_t r, int64_t c) {
    int64_t elems, bytes;
    return r > 0 && c > 0 &&
           (__builtin_mul_overflow(r, c, &elems) || __builtin_mul_overflow(elems, 16, &bytes));
}
size_t count(int64_t r, int64_t c) { return small(r) && small(c) ? static_cast<size_t>(r * c) : 0; }

// Fills a matrix: `moderate` keeps entries finite and of moderate size so
// that numerical identities can be checked; otherwise anything goes.
void fill(Input &in, Buffer<c128> &a, bool moderate) {
    for (size_t i = 0; i < a.size(); ++i)
        a[i] = moderate ? c128{in.finite(4.0), in.finite(4.0)} : c128{in.real(), in.real()};
}

double mag(c128 z) { return std::fabs(z.re) + std::fabs(z.im); }

void check_matmul(Input &in, bool moderate) {
    const int64_t m = order(in), n = order(in), p = order(in);
    const int64_t nn = n > 0 ? n : 0;
    Buffer<c128> A(count(m, nn)), B(count(nn, p)), out(count(m, p));
    fill(in, A, moderate);
    fill(in, B, moderate);
    out.fill_bytes(0x5A);
    Buffer<c128> before(out.size());
    std::memcpy(before.data(), out.data(), out.size() * sizeof(c128));
    // A size outside the small range may only be passed when the kernel must
    // refuse it: an empty output, or a matrix whose byte count cannot exist.
    const bool usable = small(m) && small(nn) && small(p);
    const bool refused =
        m <= 0 || p <= 0 || impossible(m, p) || impossible(m, nn) || impossible(nn, p);
    if (!usable && !refused) return;
    c128_matmul(A.data(), B.data(), m, n, p, out.data());
    if (!usable || m <= 0 || p <= 0) {
        FUZZ_CHECK(out.same_bytes(before));
        return;
    }
    if (!moderate) return;
    for (int64_t i = 0; i < m; ++i)
        for (int64_t j = 0; j < p; ++j) {
            double re = 0, im = 0, scale = 0;
            for (int64_t k = 0; k < nn; ++k) {
                const c128 a = A[i * nn + k], b = B[k * p + j];
                re += a.re * b.re - a.im * b.im;
                im += a.re * b.im + a.im * b.re;
                scale += mag(a) * mag(b);
            }
            const c128 got = out[i * p + j];
            FUZZ_CHECK(std::fabs(got.re - re) <= 1e-13 * scale &&
                       std::fabs(got.im - im) <= 1e-13 * scale);
        }
}

void check_factor(Input &in, bool moderate) {
    const int64_t n = order(in);
    const size_t nn = count(n, n);
    Buffer<c128> A(nn), A0(nn);
    fill(in, A, moderate);
    std::memcpy(A0.data(), A.data(), nn * sizeof(c128));
    Buffer<int64_t> piv(small(n) ? static_cast<size_t>(n) : 0);
    piv.fill_bytes(0xEE);
    const bool null_piv = in.one_in(16);
    const int64_t code = c128_lu_factor_inplace(A.data(), null_piv ? nullptr : piv.data(), n);
    FUZZ_CHECK(code == 0 || code == -1 || code == -2);
    if (null_piv || !small(n) || n < 1) {
        FUZZ_CHECK(code == -1 && A.same_bytes(A0));
        return;
    }
    FUZZ_CHECK(code != -1);
    for (int64_t k = 0; k < n; ++k) {
        const bool written = piv[k] != static_cast<int64_t>(0xEEEEEEEEEEEEEEEEull);
        if (code == 0) FUZZ_CHECK(written);
        if (written) FUZZ_CHECK(piv[k] >= k && piv[k] < n);
    }
    if (code != 0 || !moderate) return;
    // P A = L U: replay the interchanges on A0, multiply the factors.
    std::vector<c128> PA(A0.data(), A0.data() + nn);
    for (int64_t k = 0; k < n; ++k)
        if (piv[k] != k)
            for (int64_t j = 0; j < n; ++j) std::swap(PA[k * n + j], PA[piv[k] * n + j]);
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = 0; j < n; ++j) {
            double re = 0, im = 0, scale = 0;
            for (int64_t k = 0; k <= std::min(i, j); ++k) {
                const c128 l = k == i ? c128{1.0, 0.0} : A[i * n + k], u = A[k * n + j];
                re += l.re * u.re - l.im * u.im;
                im += l.re * u.im + l.im * u.re;
                scale += mag(l) * mag(u);
            }
            // Growth is bounded by 2^(n-1) with partial pivoting, and the
            // multipliers have modulus <= sqrt(2) in this norm.
            const double tol = 1e-12 * (scale + mag(PA[i * n + j]) + 1.0);
            FUZZ_CHECK(std::fabs(re - PA[i * n + j].re) <= tol &&
                       std::fabs(im - PA[i * n + j].im) <= tol);
        }
}

void check_solve(Input &in, bool moderate) {
    const int64_t n = order(in), m = order(in);
    const size_t nn = count(n, n), nm = count(n, m);
    Buffer<c128> A(nn), B(nm), X(nm), X2(nm), before(nm);
    fill(in, A, moderate);
    fill(in, B, moderate);
    X.fill_bytes(0x77);
    X2.fill_bytes(0x77);
    before.fill_bytes(0x77);
    const bool null_a = in.one_in(24);
    const bool invalid = null_a || n < 1 || m < 0 || impossible(n, n) || impossible(n, m);
    if (!invalid && !(small(n) && small(m))) return;  // a size only a huge buffer could match
    const int64_t code = c128_solve(null_a ? nullptr : A.data(), B.data(), n, m, X.data());
    FUZZ_CHECK(code == 0 || code == -1 || code == -2);
    FUZZ_CHECK((code == -1) == invalid);
    if (code != 0) {
        FUZZ_CHECK(X.same_bytes(before));
        return;
    }
    // The same through the factor record, freed twice.
    c128_lu lu = c128_lu_factor(A.data(), n);
    FUZZ_CHECK(lu.err == 0 && lu.n == n && lu.lu != nullptr && lu.piv != nullptr);
    c128_lu_solve(lu.lu, lu.piv, B.data(), X2.data(), n, m);
    c128_lu_free(&lu);
    FUZZ_CHECK(lu.lu == nullptr && lu.piv == nullptr && lu.n == 0 && lu.err == 0);
    c128_lu_free(&lu);
    FUZZ_CHECK(X.same_bytes(X2));
}

void check_inverse(Input &in, bool moderate) {
    const int64_t n = order(in);
    const size_t nn = count(n, n);
    Buffer<c128> A(nn), Ainv(nn), X(nn), I(nn), before(nn);
    fill(in, A, moderate);
    Ainv.fill_bytes(0x33);
    before.fill_bytes(0x33);
    const int64_t code = c128_inv(A.data(), n, Ainv.data());
    FUZZ_CHECK(code == 0 || code == -1 || code == -2);
    FUZZ_CHECK((code == -1) == !(small(n) && n >= 1));
    if (code != 0) {
        FUZZ_CHECK(Ainv.same_bytes(before));
        return;
    }
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = 0; j < n; ++j) I[i * n + j] = c128{i == j ? 1.0 : 0.0, 0.0};
    FUZZ_CHECK(c128_solve(A.data(), I.data(), n, n, X.data()) == 0);
    FUZZ_CHECK(X.same_bytes(Ainv));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    const uint8_t op = in.byte() % 4;
    const bool moderate = in.flag();
    switch (op) {
        case 0: check_matmul(in, moderate); break;
        case 1: check_factor(in, moderate); break;
        case 2: check_solve(in, moderate); break;
        default: check_inverse(in, moderate); break;
    }
    // An invalid record is harmless to free.
    c128_lu none = {nullptr, nullptr, 0, 0};
    c128_lu_free(&none);
    c128_lu_free(nullptr);
    return 0;
}
