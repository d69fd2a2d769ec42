#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "sizing/range_reader.h"

namespace quarvelin {

// An icon or cursor directory whose every entry points at a plausible image.
struct IcoDirectory {
  int64_t end = 0;  // just past the furthest image: the file's length
  int32_t images = 0;
  bool cursor = false;  // type 2: planes and bit count hold the hotspot
};

// Walks the directory of an ICO or CUR candidate (00 00 01 00 or 00 00 02 00) and the start of
// each image it lists. Those four bytes occur by chance in any binary data, so anything implausible
// is not an icon: an entry's size, planes or bit depth, an image that overlaps the directory or
// ends past `maxSize`, or one that starts with neither a BMP info header nor the PNG signature.
std::optional<IcoDirectory> WalkIcoDirectory(RangeReader& read, const std::atomic<bool>* cancel,
                                             int64_t maxSize);

}  // namespace quarvelin
