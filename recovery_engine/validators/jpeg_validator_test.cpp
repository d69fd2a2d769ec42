#include "jpeg_validator.h"
