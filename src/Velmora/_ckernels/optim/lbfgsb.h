#ifndef VLM_LBFGSB_H
#define VLM_LBFGSB_H

#include "vlm_common.h"

VLM_EXTERN_C_BEGIN

VLM_EXTERN_C_END

#endif /* VLM_LBFGSB_H */
