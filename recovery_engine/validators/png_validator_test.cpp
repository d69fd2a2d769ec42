#include "png_validator.h"
