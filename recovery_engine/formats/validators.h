#pragma once

// Every format's validator, for the tests and fuzz targets that run them all.

#include "formats/bmp/bmp_validator.h"
#include "formats/gif/gif_validator.h"
#include "formats/iso_media/mp4_validator.h"
#include "formats/jpeg/jpeg_validator.h"
#include "formats/mp3/mp3_validator.h"
#include "formats/pdf/pdf_validator.h"
#include "formats/png/png_validator.h"
#include "formats/zip/zip_validator.h"
