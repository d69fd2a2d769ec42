#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "sizing/range_reader.h"

namespace quarvelin {

// Sizes a RAR 4 ("Rar!\x1A\x07\x00") or RAR 5 ("Rar!\x1A\x07\x01\x00") archive starting at
// candidate offset 0 by following its blocks, each header checked by its CRC, to the
// end-of-archive block. A volume of a multi-volume set ends there too. Nothing when the walk
// cannot reach that block: cut short, a bad header, or headers that are encrypted.
std::optional<int64_t> WalkRar(RangeReader& read, const std::atomic<bool>* cancel);

}  // namespace quarvelin
