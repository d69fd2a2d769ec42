#pragma once

#include <atomic>
#include <cstdint>

#include "formats/validation_result.h"
#include "sizing/range_reader.h"

namespace quarvelin {

struct BmpValidationResult : ValidationResult {
  // size: the header's file-size field when it is plausible; a BMP has no end marker.
  int32_t width = 0;          // 0 when the DIB header was not read
  int32_t height = 0;         // absolute value: top-down images store it negative
  uint32_t bitsPerPixel = 0;  // 0 when the DIB header was not read
};

// Checks the file and DIB headers of a BMP candidate and takes its size from the header. There is
// no loop, so `cancel` is not consulted.
BmpValidationResult ValidateBmp(RangeReader& read, const std::atomic<bool>* cancel);

// When carving trusts the verdict's size.
inline bool Accepted(const BmpValidationResult& r) {
  return r.confidence >= 50 && r.size > 54;
}

}  // namespace quarvelin
