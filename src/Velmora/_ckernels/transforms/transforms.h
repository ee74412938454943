#ifndef VLM_TRANSFORMS_H
#define VLM_TRANSFORMS_H

#include "vlm_common.h"

VLM_EXTERN_C_BEGIN

VLM_EXTERN_C_END

#endif /* VLM_TRANSFORMS_H */
