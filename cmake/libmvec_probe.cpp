// Links only where libmvec provides the vector variant of every function of
// VLM_VECTOR_FUNCTIONS at every instruction set VLM_VECTOR_CLONES builds for:
// the loop below is vectorised exactly like the modules' hot loops, so each
// variant it needs is an undefined symbol that the link must resolve.
#include "vlm_vecmath.h"

#define VLM_ADD_CALL(f) +f(x[i])

VLM_VECTOR_CLONES void each(const double *__restrict x, double *__restrict y, long long n) {
#pragma omp simd
    for (long long i = 0; i < n; ++i) y[i] = 0.0 VLM_VECTOR_FUNCTIONS(VLM_ADD_CALL);
}

int main(int argc, char **) {
    double x[64], y[64];
    for (int i = 0; i < 64; ++i) x[i] = 0.25 + 0.01 * (i + argc);
    each(x, y, 64);
    return y[0] > 0.0 ? 0 : 1;
}
