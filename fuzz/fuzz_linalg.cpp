// Fuzz target: the real linear algebra (products, the Cholesky family, the LU
// family, sort and median) on random sizes and contents, with finite, extreme
// and non-finite entries, negative sizes, and sizes whose byte count cannot
// exist.
//
// Checked on every input:
//  - no memory error: every matrix is an exactly sized heap block;
//  - empty, negative and impossible sizes write nothing (beyond what the
//    kernel documents, e.g. the zero matrix of vlm_matmul_atb for n <= 0);
//  - moderate inputs: products agree with plain loops, a successful Cholesky
//    factor reproduces S, a successful LU factorisation reproduces P A = L U;
//  - outputs of failing solves and inverses are untouched; composite kernels
//    equal their documented composition bit for bit;
//  - sort gives an ascending permutation; the median is the middle value, NaN
//    when any value is NaN.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_util.h"
#include "vlm_linalg.h"

namespace {

constexpr int64_t kMax = 10;
// The products also run on larger shapes (blocked and packed paths); this is
// the size limit in force for the current check.
int64_t limit = kMax;

bool small(int64_t v) { return v >= 0 && v <= limit; }
// A positive r x c matrix of doubles whose byte count overflows.
bool impossible(int64_t r, int64_t c) {
    int64_t elems, bytes;
    return r > 0 && c > 0 &&
           (__builtin_mul_overflow(r, c, &elems) || __builtin_mul_overflow(elems, 8, &bytes));
}
size_t count(int64_t r, int64_t c) { return small(r) && small(c) ? static_cast<size_t>(r * c) : 0; }

int64_t dim(Input &in) {
    static const int64_t hostile[] = {-1,
                                      -5,
                                      INT64_MIN,
                                      INT64_MAX,
                                      int64_t{1} << 62,
                                      int64_t{1} << 61,
                                      int64_t{1} << 32,
                                      (int64_t{1} << 31) + 1};
    if (in.one_in(20)) return hostile[in.size(0, sizeof hostile / sizeof hostile[0] - 1)];
    return in.size(0, kMax);
}

void fill(Input &in, Buffer<double> &a, bool moderate) {
    for (size_t i = 0; i < a.size(); ++i) a[i] = moderate ? in.finite(4.0) : in.real();
}

// |got - want| within a relative bound on the sum of |terms|.
bool close(double got, double want, double scale) {
    return std::fabs(got - want) <= 1e-12 * (scale + 1e-300);
}

struct Saved {  // a byte copy of a buffer, to prove it untouched
    std::vector<uint8_t> bytes;
    explicit Saved(const Buffer<double> &b)
        : bytes(reinterpret_cast<const uint8_t *>(b.data()),
                reinterpret_cast<const uint8_t *>(b.data()) + b.size() * sizeof(double)) {}
    bool same(const Buffer<double> &b) const {
        return bytes.size() == b.size() * sizeof(double) &&
               (bytes.empty() || std::memcmp(bytes.data(), b.data(), bytes.size()) == 0);
    }
};

// ---- products -----------------------------------------------------------------

void check_products(Input &in, bool moderate) {
    const int op = static_cast<int>(in.size(0, 9));
    const bool large = in.one_in(6);
    limit = large ? 600 : kMax;
    const int64_t n = large ? in.size(0, 40) : dim(in);
    const int64_t p = large ? in.size(0, 600) : dim(in);
    const int64_t m = large ? in.size(0, 160) : dim(in);
    // Shapes of (first operand, second operand, output) per kernel.
    int64_t ar = n, ac = p, br = p, bc = m, outr = n, outc = m;
    switch (op) {
        case 1:
            br = n;
            outr = p;
            break;  // atb: A n x p, B n x m, out p x m
        case 2:
        case 3:
            br = m;
            bc = p;
            break;  // abt(+c): B m x p
        case 4:
        case 5:
            ac = m;
            br = m;
            bc = 1;
            outc = 1;
            break;  // matvec: A n x m, x m
        case 6:
        case 7:
            ar = n;
            ac = 1;
            br = n;
            bc = 1;
            outr = n;
            outc = 1;
            break;  // vsub, dot
        case 8:
            ar = n;
            ac = m;
            br = 0;
            bc = 0;
            outr = n;
            outc = m;
            break;  // zero_mat(out, n, m)
        case 9:
            ar = n;
            ac = n;
            br = 0;
            bc = 0;
            outr = n;
            outc = n;
            break;  // sym_inplace
        default: break;
    }
    const bool usable =
        small(ar) && small(ac) && small(br) && small(bc) && small(outr) && small(outc);
    const bool refusable = impossible(ar, ac) || impossible(br, bc) || impossible(outr, outc);
    if (!usable && !refusable) return;  // sizes only a huge buffer could match

    Buffer<double> A(count(ar, ac)), B(count(br, bc)), C(count(outr, outc)), out(count(outr, outc));
    fill(in, A, moderate);
    fill(in, B, moderate);
    fill(in, C, moderate);
    fill(in, out, false);
    const Saved out0(out);
    double dot = 0.0;
    switch (op) {
        case 0: vlm_matmul(A.data(), B.data(), out.data(), n, p, m); break;
        case 1: vlm_matmul_atb(A.data(), B.data(), out.data(), n, p, m); break;
        case 2: vlm_matmul_abt(A.data(), B.data(), out.data(), n, p, m); break;
        case 3: vlm_matmul_abt_plus_c(A.data(), B.data(), C.data(), out.data(), n, p, m); break;
        case 4: vlm_matvec(A.data(), B.data(), out.data(), n, m); break;
        case 5: vlm_matvec_plus_vec(A.data(), B.data(), C.data(), out.data(), n, m); break;
        case 6: vlm_vsub(A.data(), B.data(), out.data(), n); break;
        case 7: dot = vlm_dot(A.data(), B.data(), n); break;
        case 8: vlm_zero_mat(out.data(), n, m); break;
        default: vlm_sym_inplace(out.data(), n); break;
    }
    if (!usable) {
        FUZZ_CHECK(out0.same(out));
        if (op == 7) FUZZ_CHECK(std::isnan(dot));
        return;
    }
    if (!moderate) return;
    // Reference values by plain loops.
    for (int64_t i = 0; i < outr; ++i)
        for (int64_t j = 0; j < outc; ++j) {
            double want = 0.0, scale = 0.0;
            auto term = [&](double a, double b) {
                want += a * b;
                scale += std::fabs(a * b);
            };
            switch (op) {
                case 0:
                    for (int64_t k = 0; k < p; ++k) term(A[i * p + k], B[k * m + j]);
                    break;
                case 1:
                    for (int64_t r = 0; r < n; ++r) term(A[r * p + i], B[r * m + j]);
                    break;
                case 2:
                case 3:
                    for (int64_t k = 0; k < p; ++k) term(A[i * p + k], B[j * p + k]);
                    break;
                case 4:
                case 5:
                    for (int64_t k = 0; k < m; ++k) term(A[i * m + k], B[k]);
                    break;
                case 6:
                    want = A[i] - B[i];
                    scale = std::fabs(A[i]) + std::fabs(B[i]);
                    break;
                case 8: want = 0.0; break;
                default: break;
            }
            if (op == 3 || op == 5) {
                want += C[i * outc + j];
                scale += std::fabs(C[i * outc + j]);
            }
            if (op == 9 || op == 7) continue;
            FUZZ_CHECK(close(out[i * outc + j], want, scale));
        }
    if (op == 7) {
        double want = 0.0, scale = 0.0;
        for (int64_t i = 0; i < n; ++i) want += A[i] * B[i], scale += std::fabs(A[i] * B[i]);
        FUZZ_CHECK(close(dot, want, scale));
    }
    if (op == 9) {
        std::vector<double> before(out0.bytes.size() / sizeof(double));
        if (!out0.bytes.empty()) std::memcpy(before.data(), out0.bytes.data(), out0.bytes.size());
        for (int64_t i = 0; i < n; ++i)
            for (int64_t j = 0; j < n; ++j) {
                const double want =
                    i == j ? before[i * n + i] : 0.5 * (before[i * n + j] + before[j * n + i]);
                FUZZ_CHECK(same_bits(out[i * n + j], want) ||
                           (std::isnan(want) && std::isnan(out[i * n + j])));
            }
    }
}

// ---- Cholesky family ----------------------------------------------------------

void check_cholesky(Input &in, bool moderate) {
    const int64_t n = dim(in);
    const bool usable = small(n);
    if (!usable && !impossible(n, n) && n >= 0) return;
    const size_t nn = count(n, n), nv = small(n) ? static_cast<size_t>(n) : 0;
    Buffer<double> S(nn), L(nn), L2(nn), b(nv), out(nv), out2(nv), coef(nv), Pinv(nn);
    // A symmetric positive definite matrix X^T X + I most of the time.
    if (moderate && usable) {
        std::vector<double> X(nn);
        for (auto &v : X) v = in.finite(2.0);
        for (int64_t i = 0; i < n; ++i)
            for (int64_t j = 0; j < n; ++j) {
                double s = i == j ? 1.0 : 0.0;
                for (int64_t k = 0; k < n; ++k) s += X[k * n + i] * X[k * n + j];
                S[i * n + j] = s;
            }
        if (in.one_in(4) && n > 0)
            S[in.size(0, n - 1) * (n + 1)] = -in.finite(3.0) - 50.0;  // break it
    } else {
        fill(in, S, false);
    }
    fill(in, b, moderate);
    L.fill_bytes(0x11);
    coef.fill_bytes(0x22);
    Pinv.fill_bytes(0x33);
    const Saved S0(S), coef0(coef), Pinv0(Pinv), L0(L);
    const double jitter = in.one_in(3) ? in.real() : 0.0;

    const int st = vlm_chol(S.data(), jitter, L.data(), n);
    FUZZ_CHECK(st == 0 || st == -1);
    FUZZ_CHECK(S0.same(S));
    if (!usable) {  // negative order: empty; impossible order: refused; nothing written
        const int want = n < 0 ? 0 : -1;
        FUZZ_CHECK(st == want && L0.same(L));
        FUZZ_CHECK(vlm_chol_solve(S.data(), b.data(), coef.data(), L.data(), n) == want);
        FUZZ_CHECK(vlm_chol_inv(S.data(), Pinv.data(), L.data(), n) == want);
        const double logdet = vlm_logdet_from_chol(L.data(), n);
        FUZZ_CHECK(n < 0 ? logdet == 0.0 : std::isnan(logdet));
        vlm_forward_subst(L.data(), b.data(), out.data(), n);
        vlm_backward_subst_chol_t(L.data(), b.data(), out.data(), n);
        FUZZ_CHECK(coef0.same(coef) && Pinv0.same(Pinv) && L0.same(L));
        return;
    }
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = i + 1; j < n; ++j) FUZZ_CHECK(L[i * n + j] == 0.0);
    if (st == 0 && moderate && jitter == 0.0) {
        for (int64_t i = 0; i < n; ++i) {
            FUZZ_CHECK(L[i * n + i] > 0.0);
            for (int64_t j = 0; j <= i; ++j) {
                double s = 0.0, scale = 0.0;
                for (int64_t k = 0; k <= j; ++k)
                    s += L[i * n + k] * L[j * n + k],
                        scale += std::fabs(L[i * n + k] * L[j * n + k]);
                FUZZ_CHECK(close(s, S[i * n + j], scale) ||
                           std::fabs(s - S[i * n + j]) <= 1e-10 * (scale + 1.0));
            }
        }
    }
    (void)vlm_logdet_from_chol(L.data(), n);

    // Substitutions, out of place and in place, agree bit for bit.
    if (st == 0) {
        vlm_forward_subst(L.data(), b.data(), out.data(), n);
        std::memcpy(out2.data(), b.data(), nv * sizeof(double));
        vlm_forward_subst(L.data(), out2.data(), out2.data(), n);
        FUZZ_CHECK(out.same_bytes(out2));
        vlm_backward_subst_chol_t(L.data(), b.data(), out.data(), n);
        std::memcpy(out2.data(), b.data(), nv * sizeof(double));
        vlm_backward_subst_chol_t(L.data(), out2.data(), out2.data(), n);
        FUZZ_CHECK(out.same_bytes(out2));
    }

    // chol_solve = chol + forward + backward; untouched coef on failure.
    // (the solves factor without jitter)
    const int st0 = jitter == 0.0 ? st : vlm_chol(S.data(), 0.0, L2.data(), n);
    const int st_solve = vlm_chol_solve(S.data(), b.data(), coef.data(), L2.data(), n);
    FUZZ_CHECK(st_solve == st0);
    if (st0 != 0) {
        FUZZ_CHECK(coef0.same(coef));
    } else {
        vlm_forward_subst(L2.data(), b.data(), out.data(), n);
        vlm_backward_subst_chol_t(L2.data(), out.data(), out.data(), n);
        FUZZ_CHECK(out.same_bytes(coef));
    }
    const int st_inv = vlm_chol_inv(S.data(), Pinv.data(), L2.data(), n);
    FUZZ_CHECK(st_inv == st0);
    if (st0 != 0 || n == 0) FUZZ_CHECK(Pinv0.same(Pinv));
}

void check_gram(Input &in, bool moderate) {
    const int64_t n = dim(in), p = dim(in);
    const bool usable = small(n) && small(p);
    // Each kernel is called with its own sizes only when they are small or
    // impossible (G is p x p; g has p entries).
    const bool gram_refused = impossible(n, p) || impossible(p, p);
    const bool rhs_refused = impossible(n, p) || impossible(p, 1) || impossible(n, 1);
    if (!usable && !(gram_refused && rhs_refused)) return;
    Buffer<double> X(count(n, p)), y(small(n) ? n : 0), G(count(p, p)), g(small(p) ? p : 0);
    fill(in, X, moderate);
    fill(in, y, moderate);
    G.fill_bytes(0x44);
    g.fill_bytes(0x55);
    const Saved G0(G);
    const Saved g0(g);
    vlm_gram(X.data(), G.data(), n, p);
    vlm_gram_rhs(X.data(), y.data(), g.data(), n, p);
    if (!usable) {
        FUZZ_CHECK(G0.same(G) && g0.same(g));
        return;
    }
    for (int64_t a = 0; a < p; ++a)
        for (int64_t b = 0; b < p; ++b) {
            FUZZ_CHECK(same_bits(G[a * p + b], G[b * p + a]));
            if (!moderate) continue;
            double s = 0.0, scale = 0.0;
            for (int64_t r = 0; r < n; ++r)
                s += X[r * p + a] * X[r * p + b], scale += std::fabs(X[r * p + a] * X[r * p + b]);
            FUZZ_CHECK(close(G[a * p + b], s, scale));
        }
    if (!moderate) return;
    for (int64_t a = 0; a < p; ++a) {
        double s = 0.0, scale = 0.0;
        for (int64_t r = 0; r < n; ++r)
            s += y[r] * X[r * p + a], scale += std::fabs(y[r] * X[r * p + a]);
        FUZZ_CHECK(close(g[a], s, scale));
    }
}

// ---- LU family ------------------------------------------------------------------

void check_lu(Input &in, bool moderate) {
    const int64_t n = dim(in), m = dim(in);
    const bool null_a = in.one_in(24);
    const bool invalid = null_a || n < 1 || m < 0 || impossible(n, n) || impossible(n, m);
    if (!invalid && !(small(n) && small(m))) return;
    const size_t nn = count(n, n), nm = count(n, m);
    Buffer<double> A(nn), B(nm), X(nm), X2(nm), Ainv(nn), I(nn), Xi(nn), F(nn);
    Buffer<int64_t> piv(small(n) ? n : 0);
    fill(in, A, moderate);
    if (moderate && small(n) && n > 1 && in.one_in(4)) {  // exactly singular: a repeated row
        const int64_t r = in.size(1, n - 1);
        std::memcpy(&A[r * n], &A[0], n * sizeof(double));
    }
    fill(in, B, moderate);
    X.fill_bytes(0x66);
    Ainv.fill_bytes(0x67);
    piv.fill_bytes(0xEE);
    const Saved X0(X), Ainv0(Ainv), A0(A);

    const int64_t code = vlm_solve(null_a ? nullptr : A.data(), B.data(), n, m, X.data());
    FUZZ_CHECK(code == 0 || code == -1 || code == -2);
    FUZZ_CHECK((code == -1) == invalid);
    FUZZ_CHECK(A0.same(A));
    if (code != 0) FUZZ_CHECK(X0.same(X));
    const int64_t icode = vlm_inv(null_a ? nullptr : A.data(), n, Ainv.data());
    FUZZ_CHECK(icode == 0 || icode == -1 || icode == -2);
    if (icode != 0) FUZZ_CHECK(Ainv0.same(Ainv));
    if (invalid) {
        if (!null_a && !small(n)) {
            f64_lu rec = vlm_lu_factor(A.data(), n);
            FUZZ_CHECK(rec.lu == nullptr && rec.piv == nullptr && rec.err == -1 && rec.n == n);
            vlm_lu_free(&rec);
            FUZZ_CHECK(vlm_lu_factor_inplace(A.data(), piv.data(), n) == -1);
        }
        return;
    }
    FUZZ_CHECK(icode == code || m == 0);

    // In place: same code; interchange indices inside [k, n); P A = L U.
    std::memcpy(F.data(), A.data(), nn * sizeof(double));
    const int64_t fcode = vlm_lu_factor_inplace(F.data(), piv.data(), n);
    FUZZ_CHECK(fcode == icode);
    for (int64_t k = 0; k < n; ++k) {
        const bool written = piv[k] != static_cast<int64_t>(0xEEEEEEEEEEEEEEEEull);
        if (fcode == 0) FUZZ_CHECK(written);
        if (written) FUZZ_CHECK(piv[k] >= k && piv[k] < n);
    }
    f64_lu rec = vlm_lu_factor(A.data(), n);
    FUZZ_CHECK(rec.err == fcode && rec.n == n && rec.lu != nullptr && rec.piv != nullptr);
    FUZZ_CHECK(std::memcmp(rec.lu, F.data(), nn * sizeof(double)) == 0 || fcode != 0);
    if (fcode == 0) {
        vlm_lu_solve(rec.lu, rec.piv, B.data(), X2.data(), n, m);
        FUZZ_CHECK(X.same_bytes(X2));
        for (int64_t i = 0; i < n; ++i)
            for (int64_t j = 0; j < n; ++j) I[i * n + j] = i == j;
        vlm_lu_solve(rec.lu, rec.piv, I.data(), Xi.data(), n, n);
        FUZZ_CHECK(Xi.same_bytes(Ainv));
    }
    vlm_lu_free(&rec);
    FUZZ_CHECK(rec.lu == nullptr && rec.piv == nullptr && rec.n == 0 && rec.err == 0);
    vlm_lu_free(&rec);
    if (fcode != 0 || !moderate) return;
    std::vector<double> PA(A.data(), A.data() + nn);
    for (int64_t k = 0; k < n; ++k)
        if (piv[k] != k)
            for (int64_t j = 0; j < n; ++j) std::swap(PA[k * n + j], PA[piv[k] * n + j]);
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = 0; j < n; ++j) {
            double s = 0.0, scale = 0.0;
            for (int64_t k = 0; k <= std::min(i, j); ++k) {
                const double l = k == i ? 1.0 : F[i * n + k];
                s += l * F[k * n + j];
                scale += std::fabs(l * F[k * n + j]);
            }
            FUZZ_CHECK(std::fabs(s - PA[i * n + j]) <=
                       1e-12 * (scale + std::fabs(PA[i * n + j]) + 1.0));
        }
}

// ---- sort and median ----------------------------------------------------------

void check_sort(Input &in, bool moderate) {
    const int64_t n = in.one_in(20) ? in.size(-3, 0) : in.size(0, 64);
    const size_t k = n > 0 ? n : 0;
    Buffer<double> a(k);
    for (size_t i = 0; i < k; ++i)
        a[i] = moderate ? static_cast<double>(in.size(-5, 5)) : in.real();
    std::vector<double> before(a.data(), a.data() + k);
    const double med = vlm_median_f64(a.data(), n);
    if (n <= 0) {
        FUZZ_CHECK(std::isnan(med));
        return;
    }
    // A permutation of the input.
    auto key = [](double v) {
        uint64_t u;
        std::memcpy(&u, &v, 8);
        return u;
    };
    std::vector<uint64_t> x, y;
    for (double v : before) x.push_back(key(v));
    for (size_t i = 0; i < k; ++i) y.push_back(key(a[i]));
    std::sort(x.begin(), x.end());
    std::sort(y.begin(), y.end());
    FUZZ_CHECK(x == y);
    bool has_nan = false;
    for (double v : before) has_nan |= std::isnan(v);
    if (has_nan) {
        FUZZ_CHECK(std::isnan(med));
        return;
    }
    for (size_t i = 1; i < k; ++i) FUZZ_CHECK(!(a[i] < a[i - 1]));
    std::sort(before.begin(), before.end());
    const size_t h = k / 2;
    const double want = k % 2 ? before[h] : (before[h] + before[h - 1]) * 0.5;
    FUZZ_CHECK(same_bits(med, want) || (std::isnan(med) && std::isnan(want)) || med == want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    limit = kMax;
    const uint8_t op = in.byte() % 5;
    const bool moderate = in.flag();
    switch (op) {
        case 0: check_products(in, moderate); break;
        case 1: check_cholesky(in, moderate); break;
        case 2: check_gram(in, moderate); break;
        case 3: check_lu(in, moderate); break;
        default: check_sort(in, moderate); break;
    }
    return 0;
}
