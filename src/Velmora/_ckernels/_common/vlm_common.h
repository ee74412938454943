/* Types and the export macro shared by every native unit of Velmora. */
#ifndef VLM_COMMON_H
#define VLM_COMMON_H

#include <stdint.h>

typedef double f64;
typedef int64_t i64;

/* A complex number, real part first (layout-compatible with double[2]). */
typedef struct c128 {
    f64 re;
    f64 im;
} c128;

/* Marks a function that a module exports with C linkage; everything else is
   compiled with hidden visibility. */
#if defined(_WIN32)
#define VLM_EXPORT __declspec(dllexport)
#else
#define VLM_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define VLM_EXTERN_C_BEGIN extern "C" {
#define VLM_EXTERN_C_END }
#else
#define VLM_EXTERN_C_BEGIN
#define VLM_EXTERN_C_END
#endif

#endif /* VLM_COMMON_H */
