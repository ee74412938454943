// Internal to the native units (never installed as interface): vector
// variants of the C library's elementary functions, and the attribute that
// builds a hot loop once per instruction set.
//
// glibc's vector math library (libmvec) carries SIMD versions of these
// functions, but <math.h> announces them only under -ffast-math. Declaring
// them here lets `#pragma omp simd` loops call the vector versions while the
// IEEE rules for NaN and infinities stay in force. The build defines
// VLM_LIBMVEC only where the modules link a libmvec that has every variant
// these loops call (CMakeLists.txt probes for it); elsewhere (musl, an older
// glibc on aarch64) nothing is promised and the loops call the scalar library.
#ifndef VLM_VECMATH_H
#define VLM_VECMATH_H

#include <cmath>

#define VLM_VECTOR_FUNCTIONS(X) X(exp) X(log) X(log1p) X(expm1) X(tanh) X(atanh) X(cosh) X(erfc)

#ifdef VLM_LIBMVEC
#define VLM_DECLARE_VECTOR_VARIANT(f) \
    _Pragma("omp declare simd notinbranch") double f(double) noexcept;
extern "C" {
VLM_VECTOR_FUNCTIONS(VLM_DECLARE_VECTOR_VARIANT)
}
#undef VLM_DECLARE_VECTOR_VARIANT
#endif

// The one CPU dispatch of the native code: a hot loop marked with it is built
// for baseline x86-64, x86-64-v3 (AVX2, FMA) and x86-64-v4 (AVX-512), and the
// loader binds the widest the CPU supports. That takes GCC's function
// multiversioning on x86-64 with glibc's indirect functions; anywhere else
// (aarch64, musl, clang) the loop is built once, for the target's baseline.
#if defined(__x86_64__) && defined(__GLIBC__) && defined(__GNUC__) && !defined(__clang__)
#define VLM_VECTOR_CLONES [[gnu::target_clones("default", "arch=x86-64-v3", "arch=x86-64-v4")]]
#else
#define VLM_VECTOR_CLONES
#endif

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
