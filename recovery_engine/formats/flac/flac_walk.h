#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>

#include "sizing/range_reader.h"

namespace quarvelin {

// What a walk of a native FLAC file found.
struct FlacWalk {
  // The file's exact length: the metadata blocks, every frame (each confirmed by its CRC-16) and
  // any ID3 tag appended after the last one.
  std::optional<int64_t> end;
  // True when the last frame reached the total sample count STREAMINFO gives. False when that count
  // is 0 (unknown) and `end` is where the frames stop: no further valid frame follows, which a file
  // cut exactly at a frame boundary would also show.
  bool reachedTotal = false;
  // The end of the last frame confirmed by its CRC-16 (or of the metadata before the first frame);
  // 0 when the metadata did not parse. Without `end` this is as much of a cut file as is whole.
  int64_t lastGoodFrame = 0;
};

// Walks "fLaC", the metadata blocks and the frames from candidate offset 0. Frame ends are found
// without decoding the audio, by the next frame header that parses and the CRC-16 of the frame
// before it; only the last frame's subframes are parsed, to find where it ends. Gives up with
// nothing when cancelled.
FlacWalk WalkFlac(RangeReader& read, const std::atomic<bool>* cancel);

// The frame checksums: CRC-8 (polynomial 0x07) over a frame header, CRC-16 (polynomial 0x8005)
// over a whole frame; both with initial value 0, not reflected.
uint8_t FlacCrc8(std::span<const uint8_t> bytes, uint8_t crc = 0);
uint16_t FlacCrc16(std::span<const uint8_t> bytes, uint16_t crc = 0);

}  // namespace quarvelin
