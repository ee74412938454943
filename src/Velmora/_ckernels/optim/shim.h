#ifndef VLM_SHIM_H
#define VLM_SHIM_H

#include "vlm_common.h"

VLM_EXTERN_C_BEGIN

VLM_EXTERN_C_END

#endif /* VLM_SHIM_H */
