#ifndef VLM_NELDER_MEAD_H
#define VLM_NELDER_MEAD_H

#include "vlm_common.h"

VLM_EXTERN_C_BEGIN

VLM_EXTERN_C_END

#endif /* VLM_NELDER_MEAD_H */
