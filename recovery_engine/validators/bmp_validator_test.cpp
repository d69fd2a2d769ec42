#include "bmp_validator.h"
