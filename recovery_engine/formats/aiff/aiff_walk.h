#pragma once

#include <atomic>
#include <cstdint>

#include "sizing/range_reader.h"

namespace quarvelin {

// What a walk of an AIFF or AIFF-C file at candidate offset 0 found.
struct AiffWalk {
  bool aiff = false;  // "FORM" holding "AIFF" or "AIFC"
  // The FORM's end (its size + 8, padded to even) when its chunks, each an id, a length and its
  // data padded to an even length, lead exactly there, a COMM chunk among them, and the last byte
  // can be read.
  int64_t end = 0;
  // Otherwise the end of the last whole chunk, once COMM has been seen: what is left of a file
  // cut short. 0 when the chunks do not hold together.
  int64_t wholeChunks = 0;
};

AiffWalk WalkAiff(RangeReader& read, const std::atomic<bool>* cancel);

}  // namespace quarvelin
