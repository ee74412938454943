#include "lbfgsb.h"
