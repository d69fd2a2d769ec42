#include "zip_validator.h"
