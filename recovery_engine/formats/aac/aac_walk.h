#pragma once

#include <atomic>
#include <cstdint>

#include "sizing/range_reader.h"

namespace quarvelin {

// What a walk of a raw AAC stream (ADTS frames) at candidate offset 0 found.
struct AacWalk {
  // The end of the last frame: where the next bytes are no frame header of the same stream (same
  // MPEG version, profile, sampling rate and channels), or the data ends. 0 when fewer than
  // kMinFrames frames chain from the start.
  int64_t end = 0;
  int64_t frames = 0;
  // True when the walk stopped at bytes that are no frame header (or at the device's end), false
  // when a frame ran past what could be read: a stream cut short.
  bool clean = false;
};

// Random bytes that happen to start like a header rarely chain this far.
inline constexpr int64_t kMinAacFrames = 8;

AacWalk WalkAac(RangeReader& read, const std::atomic<bool>* cancel);

}  // namespace quarvelin
