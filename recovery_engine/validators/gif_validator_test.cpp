#include "gif_validator.h"
