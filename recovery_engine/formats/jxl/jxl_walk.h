#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "sizing/range_reader.h"

namespace quarvelin {

// The 12-byte box a JPEG XL container starts with.
inline constexpr uint8_t kJxlSignature[] = {0x00, 0x00, 0x00, 0x0C, 'J',  'X',
                                            'L',  ' ',  0x0D, 0x0A, 0x87, 0x0A};

struct JxlWalk {
  // The container's exact length, when its boxes prove where it ends.
  std::optional<int64_t> end;
  // Without proof: the end of the last box taken (may lie past the device's end when cut).
  int64_t reached = 0;
  // A codestream box whose size field is 0 runs to the end of the file, which a raw disk cannot
  // tell: where it starts.
  std::optional<int64_t> openEndedAt;
  // The walk met the codestream, or its first part.
  bool codestream = false;
};

// Walks the boxes of a JPEG XL container starting at candidate offset 0: the signature box, an
// ftyp box of brand "jxl ", then the codestream (one jxlc box, or jxlp parts numbered from 0 whose
// last has its index's high bit set) among metadata boxes. The end is proven once the whole
// codestream was met, every box lies on the device and the walk reached a byte that starts no box
// of the container. Nothing is proven when cancelled.
JxlWalk WalkJxl(RangeReader& read, const std::atomic<bool>* cancel);

}  // namespace quarvelin
