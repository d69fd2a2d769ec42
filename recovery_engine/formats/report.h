#pragma once

// What a format's `report` builds for `identify` out of its validator's verdict.

#include <cstdint>
#include <string>

#include "formats/format.h"

namespace quarvelin {

inline std::string Flag(bool value) {
  return value ? "true" : "false";
}
inline std::string Number(int64_t value) {
  return std::to_string(value);
}

// The validator's size, confidence and findings, and whether carving would trust them.
template <typename Result>
FormatReport Validated(const Result& r, bool accepted) {
  FormatReport report;
  report.validated = true;
  report.size = r.size;
  report.confidence = r.confidence;
  report.accepted = accepted;
  report.issues = r.issues;
  return report;
}

}  // namespace quarvelin
