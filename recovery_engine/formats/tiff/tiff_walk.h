#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "sizing/range_reader.h"

namespace quarvelin {

// The length of the TIFF or BigTIFF file, of either byte order, that starts at candidate offset 0:
// the furthest byte reached by its IFDs and their values, its strips and tiles, its sub-IFDs, its
// EXIF, GPS and interoperability IFDs and an old-style JPEG thumbnail. Nothing when the bytes are
// not a TIFF's, when a range the file refers to cannot be named or its last byte read, or when
// cancelled.
std::optional<int64_t> WalkTiff(RangeReader& read, const std::atomic<bool>* cancel);

}  // namespace quarvelin
