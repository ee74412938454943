#include "vlm_linalg.h"
