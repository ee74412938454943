#ifndef VLM_LINALG_H
#define VLM_LINALG_H

#include "vlm_common.h"

VLM_EXTERN_C_BEGIN

VLM_EXTERN_C_END

#endif /* VLM_LINALG_H */
