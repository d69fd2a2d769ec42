#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "formats/validation_result.h"
#include "sizing/range_reader.h"

namespace quarvelin {

// What a walk over the top-level atoms of an ISO media file (MP4, MOV, 3GP, M4V) found.
struct Mp4ValidationResult : ValidationResult {
  std::string majorBrand;  // the 4 bytes at offset 8 of the ftyp atom; empty if none
  bool hasMoov = false;
  bool hasMdat = false;
  bool hasFtyp = false;
  uint64_t mdatSize = 0;  // size of the last mdat atom seen
  int64_t moovSize = 0;   // size of the last moov atom seen
  // An atom that runs "to the end of the file" (size field 0) was credited with a fixed allowance:
  // `size` is then an estimate, not a measured end.
  bool openEnded = false;
};

// Sums the sizes of the top-level atoms from candidate offset 0 to find the file's length.
Mp4ValidationResult ValidateMp4(RangeReader& read, const std::atomic<bool>* cancel);

// When carving trusts the verdict's size.
inline bool Accepted(const Mp4ValidationResult& r) {
  return r.confidence >= 50 && r.size >= 1 && (r.hasMoov || r.hasMdat);
}

}  // namespace quarvelin
