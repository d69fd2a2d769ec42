#include "mp3_validator.h"
