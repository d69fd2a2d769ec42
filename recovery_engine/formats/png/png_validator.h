#pragma once

#include <atomic>
#include <cstdint>

#include "formats/validation_result.h"
#include "sizing/range_reader.h"

namespace quarvelin {

struct PngValidationResult : ValidationResult {
  // size: offset just past the IEND chunk; 0 when IEND was never reached.
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t bitDepth = 0;
  uint32_t colorType = 0;
  bool hasIdat = false;
  bool hasIend = false;
  int32_t crcErrorCount = 0;  // chunks whose stored CRC did not match
};

// Walks the chunk list from the signature to IEND, reading the IHDR fields on the way. With
// `verifyCrc`, chunks of up to 64 KiB of data also have their CRC checked.
PngValidationResult ValidatePng(RangeReader& read, const std::atomic<bool>* cancel, bool verifyCrc);

// PNG's bar is lower than the others': its chunk structure and CRCs already vouch for the size.
inline bool Accepted(const PngValidationResult& r) {
  return r.confidence >= 40 && r.size > 0;
}

}  // namespace quarvelin
