#pragma once

// When a validator's verdict is trusted for a carved file's size. Below these bars the carving
// falls back to structure walks and marker searches (or, for BMP, rejects the candidate).

#include "bmp_validator.h"
#include "gif_validator.h"
#include "jpeg_validator.h"
#include "mp3_validator.h"
#include "mp4_validator.h"
#include "pdf_validator.h"
#include "png_validator.h"
#include "zip_validator.h"

namespace quarvelin {

inline bool Accepted(const BmpValidationResult& r) {
  return r.confidence >= 50 && r.size > 54;
}
// PNG's bar is lower than the others': its chunk structure and CRCs already vouch for the size.
inline bool Accepted(const PngValidationResult& r) {
  return r.confidence >= 40 && r.size > 0;
}
inline bool Accepted(const Mp4ValidationResult& r) {
  return r.confidence >= 50 && r.size >= 1 && (r.hasMoov || r.hasMdat);
}
inline bool Accepted(const ZipValidationResult& r) {
  return r.confidence >= 50 && r.size > 0 && r.hasEndOfCentralDirectory;
}
inline bool Accepted(const Mp3ValidationResult& r) {
  return r.confidence >= 50 && r.size > 0 && r.frameCount >= 10;
}
inline bool Accepted(const PdfValidationResult& r) {
  return r.confidence >= 50 && r.size > 0;
}
inline bool Accepted(const JpegValidationResult& r) {
  return r.confidence >= 50 && r.size > 0;
}
inline bool Accepted(const GifValidationResult& r) {
  return r.confidence >= 50 && r.size > 0 && r.hasTrailer;
}

}  // namespace quarvelin
