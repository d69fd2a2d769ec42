#pragma once

#include <cstdint>

#include "common/byte_fields.h"
#include "sizing/range_reader.h"

namespace quarvelin {

// Where the volume descriptors begin: after the system area of 16 sectors of 2048 bytes.
inline constexpr int64_t kIsoDescriptors = 0x8000;

struct IsoEnd {
  // The volume's size as its primary descriptor records it (blocks times block size); 0 when the
  // descriptors do not hold together.
  int64_t size = 0;
  bool whole = false;  // and the root directory it names is there, pointing at itself
};

// True when `bytes` could start an ISO 9660 image: a volume descriptor ("CD001", version 1) of a
// type that comes first in a set, 32 KiB on.
bool StartsIso9660(Bytes bytes);

// Reads the volume descriptor set from candidate offset 0x8000: a primary descriptor whose
// both-endian fields agree and whose path table and root directory lie inside the volume, then a
// terminator within 16 descriptors. Sizes larger than `limit` are no image.
IsoEnd WalkIso9660(RangeReader& read, int64_t limit);

}  // namespace quarvelin
