#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "formats/validation_result.h"
#include "sizing/range_reader.h"

namespace quarvelin {

struct PdfValidationResult : ValidationResult {
  std::string version;   // what follows "%PDF-" up to the line end, at most 5 characters
  bool hasXref = false;  // a cross-reference table (or its "startxref" pointer) was seen
  bool hasEof = false;   // a "%%EOF" marker was seen
  int32_t eofCount = 0;  // "%%EOF" markers seen: one per save of an incrementally updated file
};

// Sizes a PDF candidate by its last "%%EOF" marker: the last one before another file's header
// starts on a sector boundary, or before the end of reach.
PdfValidationResult ValidatePdf(RangeReader& read, const std::atomic<bool>* cancel);

// When carving trusts the verdict's size.
inline bool Accepted(const PdfValidationResult& r) {
  return r.confidence >= 50 && r.size > 0;
}

}  // namespace quarvelin
