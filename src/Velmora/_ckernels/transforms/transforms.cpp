#include "transforms.h"
