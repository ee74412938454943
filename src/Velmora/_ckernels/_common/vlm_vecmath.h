// Internal to the native units (never installed as interface): vector
// variants of the C library's elementary functions, and the attribute that
// builds a hot loop once per instruction set.
//
// glibc's vector math library (libmvec) carries SIMD versions of these
// functions, but <math.h> announces them only under -ffast-math. Declaring
// them here lets `#pragma omp simd` loops call the vector versions while the
// IEEE rules for NaN and infinities stay in force; the modules link -lmvec.
#ifndef VLM_VECMATH_H
#define VLM_VECMATH_H

#include <cmath>

extern "C" {
#pragma omp declare simd notinbranch
double exp(double) noexcept;
#pragma omp declare simd notinbranch
double log(double) noexcept;
#pragma omp declare simd notinbranch
double log1p(double) noexcept;
#pragma omp declare simd notinbranch
double expm1(double) noexcept;
#pragma omp declare simd notinbranch
double tanh(double) noexcept;
#pragma omp declare simd notinbranch
double atanh(double) noexcept;
#pragma omp declare simd notinbranch
double cosh(double) noexcept;
#pragma omp declare simd notinbranch
double erfc(double) noexcept;
}

// Baseline x86-64, AVX2 (+FMA) and AVX-512 instances, chosen when the module
// is loaded.
#define VLM_VECTOR_CLONES [[gnu::target_clones("default", "avx2", "arch=x86-64-v4")]]

// Values per vector at the widest instruction set (AVX-512, 8 doubles).
constexpr long long VLM_VECTOR_LANES = 8;

// Runs `pass(first, count)`, a vectorised loop over the values first ..
// first + count - 1 that returns a flag, so that every value of an array of
// at least 8 goes through the vector code: the last n % 8 values by one more
// pass over the last 8 (recomputing a few of them, identically) rather than
// through the scalar library calls of a loop epilogue, which cost more than
// a whole vector for a short array. Shorter arrays run as they are. Returns
// the or of the flags.
template <class Pass>
[[gnu::always_inline]] inline bool vlm_full_vector_passes(long long n, Pass &&pass) {
    const long long tail = n % VLM_VECTOR_LANES;
    if (n <= VLM_VECTOR_LANES || tail == 0) return pass(0, n);
    const bool body = pass(0, n - tail);
    return pass(n - VLM_VECTOR_LANES, VLM_VECTOR_LANES) || body;
}

#endif  // VLM_VECMATH_H
