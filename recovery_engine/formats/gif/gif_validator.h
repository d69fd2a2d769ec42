#pragma once

#include <atomic>
#include <cstdint>

#include "formats/validation_result.h"
#include "sizing/range_reader.h"

namespace quarvelin {

struct GifValidationResult : ValidationResult {
  // size: offset just past the trailer byte; 0 when the trailer was not reached.
  int32_t width = 0;       // logical screen width
  uint32_t height = 0;     // logical screen height
  int32_t frameCount = 0;  // image descriptors met
  bool hasTrailer = false;
};

// Walks the blocks after the logical screen descriptor (extensions and images with their data
// sub-blocks) up to the trailer byte, counting the images.
GifValidationResult ValidateGif(RangeReader& read, const std::atomic<bool>* cancel);

// When carving trusts the verdict's size.
inline bool Accepted(const GifValidationResult& r) {
  return r.confidence >= 50 && r.size > 0 && r.hasTrailer;
}

}  // namespace quarvelin
