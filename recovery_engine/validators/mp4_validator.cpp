#include "mp4_validator.h"
