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

#endif  // VLM_VECMATH_H
