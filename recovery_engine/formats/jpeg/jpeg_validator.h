#pragma once

#include <atomic>
#include <cstdint>

#include "formats/validation_result.h"
#include "sizing/range_reader.h"

namespace quarvelin {

struct JpegValidationResult : ValidationResult {
  // size: offset just past the EOI that closes the outermost SOI; 0 when none was found.
  int32_t width = 0;             // samples per line of the last frame header read
  int32_t height = 0;            // lines of the last frame header read
  bool hasExif = false;          // an APP1 segment starting with "Exif"
  bool hasIccProfile = false;    // an APP2 segment
  bool hasEmbeddedJpeg = false;  // a nested SOI met by the marker walk or the scan-data search
};

// Walks the marker segments and scan data from the SOI to the EOI that closes it, counting nested
// SOI/EOI pairs so an embedded image's EOI does not end the file early.
JpegValidationResult ValidateJpeg(RangeReader& read, const std::atomic<bool>* cancel);

// When carving trusts the verdict's size.
inline bool Accepted(const JpegValidationResult& r) {
  return r.confidence >= 50 && r.size > 0;
}

}  // namespace quarvelin
