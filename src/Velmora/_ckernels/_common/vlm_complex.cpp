#include "vlm_complex.h"
