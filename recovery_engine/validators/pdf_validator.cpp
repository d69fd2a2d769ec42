#include "pdf_validator.h"
