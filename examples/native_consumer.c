/* native_consumer.c: calling Velmora's exported numerics from plain C.

   Each of Velmora's extension modules carries the shared numerics library
   (normal quantile, dense linear algebra, sort, median) and exports it with
   C linkage. This program opens one module's shared object with dlopen,
   looks up vlm_solve and vlm_ndtri_as241 with dlsym, types the pointers from
   the installed headers, solves a small linear system whose exact solution
   is known, evaluates a few normal quantiles with known values, and checks
   both. It prints one line per check and exits 0 when all pass, 1 when a
   check fails, 2 when the library or a symbol cannot be loaded.

   Build and run (the helper asks Python for the include folder and the
   libpython flags; PYTHON selects the interpreter, default python3):

     sh examples/build_native_consumer.sh ./native_consumer
     ./native_consumer "$(python3 -c 'import Velmora._ckernels.distributions._distributions as m;
   print(m.__file__)')"

   By hand, with a shared libpython:

     cc -std=c99 -O2 -I "$(python3 -c 'import Velmora._ckernels as k; print(k.get_include())')" \
        examples/native_consumer.c -o native_consumer -ldl \
        -Wl,--no-as-needed $(python3-config --embed --ldflags)

   Why libpython is linked: the shared object is a CPython extension module,
   so besides the exported kernels it refers to the interpreter's own symbols
   (PyFloat_Type, PyExc_TypeError, ...), which the Python process normally
   provides. Data symbols are bound when the object is loaded, even with
   RTLD_LAZY, so dlopen fails with "undefined symbol" unless this program
   supplies them. Linking libpython does exactly that; the interpreter is
   never initialised and none of its functions is called. Because nothing
   here calls into libpython, a linker that drops unused libraries
   (--as-needed, the default on several distributions) must be told to keep
   it: hence --no-as-needed. */

#define _POSIX_C_SOURCE 200809L

#include <dlfcn.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "_common/as241.h"
#include "_common/vlm_linalg.h"

/* Pointer types taken from the header declarations, so a change of signature
   there breaks this build instead of the call. */
typedef __typeof__(&vlm_solve) solve_fn;
typedef __typeof__(&vlm_ndtri_as241) ndtri_fn;

/* Looks name up in lib and stores it in *fn (a function pointer of size
   fn_size). dlsym hands back an object pointer; POSIX guarantees that it
   converts to a function pointer, and copying the bytes says so without an
   ISO C conversion warning. */
static int resolve(void *lib, const char *name, void *fn, size_t fn_size) {
    void *sym;
    const char *err;
    dlerror(); /* clear any earlier error */
    sym = dlsym(lib, name);
    err = dlerror();
    if (err != NULL || sym == NULL) {
        fprintf(stderr, "native_consumer: cannot resolve %s: %s\n", name,
                err != NULL ? err : "null address");
        return 0;
    }
    memcpy(fn, &sym, fn_size);
    return 1;
}

/* A X = B with A (3 x 3) and two right-hand sides built from a known integer
   solution, so B is exact and X must come back to rounding error. */
static int check_solve(solve_fn solve) {
    enum { N = 3, M = 2 };
    const f64 A[N * N] = {2.0, 1.0, 1.0, 4.0, -6.0, 0.0, -2.0, 7.0, 2.0};
    const f64 x_true[N * M] = {1.0, -2.0, -2.0, 0.5, 3.0, 4.0};
    f64 B[N * M], X[N * M], err = 0.0;
    i64 code;
    int i, j, k;

    for (i = 0; i < N; ++i)
        for (j = 0; j < M; ++j) {
            B[i * M + j] = 0.0;
            for (k = 0; k < N; ++k) B[i * M + j] += A[i * N + k] * x_true[k * M + j];
        }

    code = solve(A, B, N, M, X); /* note: the sizes come before the output */
    if (code != 0) {
        printf("vlm_solve: code %lld FAIL\n", (long long)code);
        return 0;
    }
    for (i = 0; i < N * M; ++i) err = fmax(err, fabs(X[i] - x_true[i]));
    if (!(err <= 1e-13)) {
        printf("vlm_solve: 3x3 system, 2 right-hand sides, max error %.3g FAIL\n", err);
        return 0;
    }
    printf("vlm_solve: 3x3 system, 2 right-hand sides ok\n");
    return 1;
}

/* Quantiles of the standard normal distribution: exactly 0 at the median,
   the familiar 97.5 % point and its mirror image to 15 significant digits
   (what the sixteen-digit rational approximation promises), and -inf for a
   probability of 0. */
static int check_quantiles(ndtri_fn ndtri) {
    static const struct {
        f64 p, expected;
    } cases[] = {
        {0.5, 0.0},
        {0.975, 1.959963984540054},
        {0.025, -1.959963984540054},
        {0.0, -INFINITY},
    };
    int ok = 1;
    size_t i;

    for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const f64 want = cases[i].expected, got = ndtri(cases[i].p);
        const int pass = isinf(want) ? got == want : fabs(got - want) <= 1e-15 * fabs(want);
        printf("vlm_ndtri_as241(%g) = %.15g %s\n", cases[i].p, got, pass ? "ok" : "FAIL");
        ok &= pass;
    }
    return ok;
}

int main(int argc, char **argv) {
    void *lib;
    solve_fn solve;
    ndtri_fn ndtri;
    int ok;

    if (argc != 2) {
        fprintf(stderr, "usage: %s MODULE_SHARED_OBJECT\n", argv[0]);
        return 2;
    }
    lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
        fprintf(stderr, "native_consumer: cannot load %s: %s\n", argv[1], dlerror());
        return 2;
    }
    if (!resolve(lib, "vlm_solve", &solve, sizeof solve) ||
        !resolve(lib, "vlm_ndtri_as241", &ndtri, sizeof ndtri)) {
        dlclose(lib);
        return 2;
    }
    printf("loaded %s\n", argv[1]);

    ok = check_solve(solve);
    ok &= check_quantiles(ndtri);
    printf(ok ? "all checks passed\n" : "some checks FAILED\n");
    dlclose(lib);
    return ok ? 0 : 1;
}
