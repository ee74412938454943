// Normal quantile by AS 241 (PPND16); the tables and the three rational
// approximations live in as241_kernel.h.
//
// The array form gives every element exactly the scalar function's value,
// and vectorises what it can without changing a bit. It works block by
// block: the central formula, a pure polynomial ratio, in vector lanes for
// every value; then, for the values outside the central region (15% of
// uniform draws), the logarithm of the tail probability by the same C
// library call as the scalar function (a vector logarithm would not round
// alike), and the tail formulas in vector lanes again over those values.
// The rare values outside (0, 1), and NaN, go to the scalar function.
#include "as241.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "as241_kernel.h"

namespace {

// Built per instruction set like the array loop, so that the two evaluate the
// central formula with the same instructions (fused multiply-adds where the
// processor has them) and round alike.
VLM_VECTOR_CLONES
f64 ndtri_scalar(f64 p) {
    if (p <= 0.0) return -INFINITY;
    if (p >= 1.0) return INFINITY;
    const f64 q = p - 0.5;
    if (ndtri_is_central(q)) return ndtri_central(q);
    // Tails: work on the smaller tail probability (NaN falls through to 1 - p).
    const f64 r = std::sqrt(-std::log(q < 0.0 ? p : 1.0 - p));
    const f64 value = r <= SPLIT_TAIL ? ndtri_near_tail(r) : ndtri_far_tail(r);
    return q < 0.0 ? -value : value;
}

// out[i] = the central formula at p[i] for n values, vectorised; true when
// some p[i] lies outside the central region (its value is then not valid).
[[gnu::always_inline]] inline bool central_pass(const f64 *__restrict p, i64 n,
                                                f64 *__restrict out) {
    // A sum of doubles, not an or of bools: GCC vectorises the former.
    f64 outside = 0.0;
#pragma omp simd reduction(+ : outside)
    for (i64 i = 0; i < n; ++i) {
        const f64 q = p[i] - 0.5;
        out[i] = ndtri_central(q);
        outside += ndtri_is_central(q) ? 0.0 : 1.0;
    }
    return outside != 0.0;
}

// Values per block: a block's passes run while its values are still in the
// first-level cache, and its tail values fit on the stack.
constexpr i64 BLOCK = 512;

// The C library's logarithm, out of line: a loop calling it cannot be
// vectorised with the vector logarithm (which does not round alike).
[[gnu::noinline]] f64 libm_log(f64 x) { return std::log(x); }

// The values of one block outside the central region: where each is, the
// logarithm of its tail probability (then its quantile), and the quantile's
// sign.
struct Tails {
    i64 count = 0;
    i64 index[BLOCK];
    f64 value[BLOCK];
    f64 sign[BLOCK];
};

// Gathers the positions of the values of p[0..n) outside the central region,
// without branches, and takes the logarithm of each one's tail probability
// min(p, 1 - p) (which is p for q < 0 and 1 - p otherwise, as in
// ndtri_scalar; values outside (0, 1) and NaN give harmless values here).
[[gnu::always_inline]] inline void gather_tails(const f64 *__restrict p, i64 n, Tails &t) {
    i64 m = 0;
    for (i64 i = 0; i < n; ++i) {
        t.index[m] = i;
        m += ndtri_is_central(p[i] - 0.5) ? 0 : 1;
    }
    t.count = m;
    for (i64 k = 0; k < m; ++k) {
        const f64 pk = p[t.index[k]];
        t.value[k] = libm_log(pk < 1.0 - pk ? pk : 1.0 - pk);
        t.sign[k] = std::copysign(1.0, pk - 0.5);
    }
}

// The tail formulas over the gathered values, vectorised (both tails are
// evaluated and one is selected, value for value as ndtri_scalar's branch;
// the value is positive, so the sign multiplies it exactly), then stored at
// their places in out; values outside (0, 1) and NaN take the scalar
// function.
[[gnu::always_inline]] inline void tail_pass(const f64 *__restrict p, Tails &t,
                                             f64 *__restrict out) {
#pragma omp simd
    for (i64 k = 0; k < t.count; ++k) {
        const f64 r = std::sqrt(-t.value[k]);
        t.value[k] = (r <= SPLIT_TAIL ? ndtri_near_tail(r) : ndtri_far_tail(r)) * t.sign[k];
    }
    for (i64 k = 0; k < t.count; ++k) {
        const i64 i = t.index[k];
        out[i] = p[i] > 0.0 && p[i] < 1.0 ? t.value[k] : vlm_ndtri_as241(p[i]);
    }
}

VLM_VECTOR_CLONES
void ndtri_loop(const f64 *__restrict p, i64 n, f64 *__restrict out) {
    Tails tails;
    for (i64 start = 0; start < n; start += BLOCK) {
        const i64 count = std::min(BLOCK, n - start);
        const f64 *pb = p + start;
        f64 *ob = out + start;
        const bool outside =
            vlm_full_vector_passes(count, [&](i64 first, i64 m) __attribute__((always_inline)) {
                return central_pass(pb + first, m, ob + first);
            });
        if (!outside) continue;
        gather_tails(pb, count, tails);
        tail_pass(pb, tails, ob);
    }
}

}  // namespace

extern "C" {

f64 vlm_ndtri_as241(f64 p) { return ndtri_scalar(p); }

void vlm_ndtri_as241_into(const f64 *__restrict p, i64 n, f64 *__restrict out) {
    // No buffer holds more doubles than PTRDIFF_MAX / 8.
    if (n > 0 && n <= PTRDIFF_MAX / static_cast<i64>(sizeof(f64))) ndtri_loop(p, n, out);
}

f64 vlm_erfinv_from_as241(f64 y) {
    f64 t = y + 1.0;
    t = t * 0.5;
    t = t / SQRT2;
    return vlm_ndtri_as241(t);
}

}  // extern "C"
