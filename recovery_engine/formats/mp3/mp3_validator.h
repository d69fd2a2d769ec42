#pragma once

#include <atomic>
#include <cstdint>

#include "formats/validation_result.h"
#include "sizing/range_reader.h"

namespace quarvelin {

// What a walk over the MPEG audio frames of an MP3 candidate found.
struct Mp3ValidationResult : ValidationResult {
  int32_t frameCount = 0;  // MPEG-1 Layer III frames counted
  int32_t sampleRate = 0;  // Hz, of the first counted frame
  int32_t bitrate = 0;     // kbit/s, of the first counted frame
  bool hasId3v2 = false;   // the candidate starts with "ID3"
  bool hasId3v1 = false;   // "TAG" follows the last frame
  bool isVbr = false;      // the first counted frame carries a Xing or Info header
  uint64_t id3v2Size = 0;  // ID3v2 tag length including its 10-byte header
};

// Skips a leading ID3v2 tag, then walks the frames to find where the audio ends.
Mp3ValidationResult ValidateMp3(RangeReader& read, const std::atomic<bool>* cancel);

// When carving trusts the verdict's size.
inline bool Accepted(const Mp3ValidationResult& r) {
  return r.confidence >= 50 && r.size > 0 && r.frameCount >= 10;
}

}  // namespace quarvelin
