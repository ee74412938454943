// Internal to the ufunc module (never installed): the element loops of the
// 63 transform rows over strided memory. transforms.cpp builds them from the
// same row formulas as the exported kernels when it is compiled with
// VLM_TRANSFORM_LOOPS defined, as the build compiles it once for every
// module: the loops have no exported name, so _transforms exports the same
// kernels as without them, and its link drops the loops it never calls.
#ifndef VLM_TRANSFORM_LOOPS_H
#define VLM_TRANSFORM_LOOPS_H

#include <cstddef>

#include "../_common/vlm_common.h"

// One loop call: args[0] the value, args[1 .. nb] the row's nb bounds (the
// `low` and/or `high` of the family), args[nb + 1] the output; steps[k] the
// byte distance between consecutive elements of args[k], of any sign, 0
// repeating one value. Element i < n of the output receives the row's value
// of element i of the inputs. Nothing needs to be aligned, and the output may
// be the very memory of an input (same address and step): the inputs of a
// block of values are read before any of its outputs is written. The values
// are those of the array kernel's formula, within a few ulps of it when the
// loop runs scalar code. Nothing is allocated and nothing fails.
using vlm_transform_loop = void(char *const *args, const std::ptrdiff_t *steps, std::ptrdiff_t n);

#define VLM_DECLARE_TRANSFORM_LOOP(family, op) vlm_transform_loop vlm_##family##_##op##_loop;

#endif  // VLM_TRANSFORM_LOOPS_H
