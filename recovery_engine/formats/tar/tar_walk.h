#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "common/byte_fields.h"
#include "sizing/range_reader.h"

namespace quarvelin {

inline constexpr int64_t kTarBlock = 512;
// GNU tar and bsdtar write whole records of 20 blocks unless told otherwise.
inline constexpr int64_t kTarRecord = 20 * kTarBlock;

struct TarEnd {
  // With `whole`, the bytes to the two zero blocks that close the archive, and on to the end of the
  // tar record when the record's padding is there and all zeros. Otherwise the bytes of the whole
  // members before the walk met a block that is not a header, or could read no further.
  int64_t size = 0;
  bool whole = false;
};

// True when the 512-byte block at the front of `bytes` is a ustar or GNU header: the magic at 257
// and a checksum that agrees, summed over unsigned or (as some old writers did) signed bytes.
bool IsTarHeader(Bytes bytes);

// A header's numeric field: octal digits (leading spaces allowed, ended by a space or zero byte),
// or GNU's base-256 when the first byte's top bit is set. Nothing for anything else or a negative
// number.
std::optional<int64_t> TarNumber(Bytes field);

// Walks the headers from candidate offset 0, stepping over each member's data.
TarEnd WalkTar(RangeReader& read, int64_t limit, const std::atomic<bool>* cancel);

}  // namespace quarvelin
