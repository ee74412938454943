#ifndef VLM_COMPLEX_H
#define VLM_COMPLEX_H

#include "vlm_common.h"

VLM_EXTERN_C_BEGIN

VLM_EXTERN_C_END

#endif /* VLM_COMPLEX_H */
