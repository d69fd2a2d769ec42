#pragma once

#include <atomic>
#include <cstdint>

#include "formats/validation_result.h"
#include "sizing/range_reader.h"

namespace quarvelin {

// ZIP and the packages built on it (Office Open XML, OpenDocument, JAR, APK).
struct ZipValidationResult : ValidationResult {
  int32_t entryCount = 0;                 // total entries named by the accepted end record
  bool hasEndOfCentralDirectory = false;  // an end-of-central-directory record was accepted
  bool centralDirectoryVerified = false;  // some accepted record's directory lies before it
};

// Sizes a ZIP candidate by its end-of-central-directory record: the one whose directory ends
// exactly where it starts when there is one, otherwise the last one within reach.
ZipValidationResult ValidateZip(RangeReader& read, const std::atomic<bool>* cancel);

// When carving trusts the verdict's size.
inline bool Accepted(const ZipValidationResult& r) {
  return r.confidence >= 50 && r.size > 0 && r.hasEndOfCentralDirectory;
}

}  // namespace quarvelin
