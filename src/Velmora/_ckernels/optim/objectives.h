// The four built-in objectives of the optimizer (the vlm_objective_fn
// signature, context ObjCtx), shared by the module that runs them by name
// and the public minimize module. Each reads n = ctx->n values of x; only
// "quad" reads p. The sums are straight loops whose accumulation order the
// compiler may choose. Internal: not exported, not installed.
#ifndef VLM_OBJECTIVES_H
#define VLM_OBJECTIVES_H

#include <cmath>

#include "optim.h"

namespace vlm {

struct ObjCtx {
    i64 n;
    const f64 *p;  // quad: n weights, then the n centre coordinates
};

inline i64 dim(void *ctx) { return static_cast<const ObjCtx *>(ctx)->n; }

// sum of 100 (x[i+1] - x[i]^2)^2 + (1 - x[i])^2; minimum 0 at (1, ..., 1).
inline f64 _obj_rosenbrock(const f64 *__restrict x, void *ctx) {
    const i64 n = dim(ctx);
    f64 sum = 0.0;
#pragma omp simd reduction(+ : sum)
    for (i64 i = 0; i < n - 1; ++i) {
        const f64 t1 = x[i + 1] - x[i] * x[i];
        const f64 t2 = 1.0 - x[i];
        sum += 100.0 * t1 * t1 + t2 * t2;
    }
    return sum;
}

// sum of d[i]/2 (x[i] - xs[i])^2 with d = p[0..n), xs = p[n..2n).
inline f64 _obj_quad(const f64 *__restrict x, void *ctx) {
    const i64 n = dim(ctx);
    const f64 *__restrict d = static_cast<const ObjCtx *>(ctx)->p;
    const f64 *__restrict xs = d + n;
    f64 sum = 0.0;
#pragma omp simd reduction(+ : sum)
    for (i64 i = 0; i < n; ++i) {
        const f64 e = x[i] - xs[i];
        sum += 0.5 * d[i] * e * e;
    }
    return sum;
}

// sum of (x[i]^2 - 1)^2; minima 0 at every point with coordinates +-1.
inline f64 _obj_double_well(const f64 *__restrict x, void *ctx) {
    const i64 n = dim(ctx);
    f64 sum = 0.0;
#pragma omp simd reduction(+ : sum)
    for (i64 i = 0; i < n; ++i) {
        const f64 t = x[i] * x[i] - 1.0;
        sum += t * t;
    }
    return sum;
}

// Rosenbrock on the half-space x[0] >= 0, +inf outside (-0 and NaN are not
// below 0). An empty x has no first coordinate and is inside.
inline f64 _obj_rosen_halfplane(const f64 *__restrict x, void *ctx) {
    if (dim(ctx) > 0 && x[0] < 0.0) return HUGE_VAL;
    return _obj_rosenbrock(x, ctx);
}

struct NamedObjective {
    const char *name;
    vlm_objective_fn fn;
};

inline constexpr NamedObjective builtin_objectives[] = {
    {"rosenbrock", _obj_rosenbrock},
    {"quad", _obj_quad},
    {"double_well", _obj_double_well},
    {"rosen_halfplane", _obj_rosen_halfplane},
};

}  // namespace vlm

#endif  // VLM_OBJECTIVES_H
