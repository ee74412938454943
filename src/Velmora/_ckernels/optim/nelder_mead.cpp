#include "nelder_mead.h"
