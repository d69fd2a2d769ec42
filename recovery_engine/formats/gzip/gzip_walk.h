#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "common/byte_fields.h"
#include "sizing/range_reader.h"

namespace quarvelin {

struct GzipEnd {
  // Bytes from the first member's header to the end of the last whole member that follows the
  // one before it directly; when none is whole, where the first member's stream could be followed
  // to (the bytes ran out, or stopped making sense).
  int64_t size = 0;
  bool whole = false;  // at least one member decodes to a trailer that agrees
  int members = 0;
};

// The length of a member's header (RFC 1952) at the front of `bytes`, when it is one: deflate,
// no reserved flag set, its optional fields inside `bytes`, and its header CRC right when present.
std::optional<int64_t> GzipHeaderLength(Bytes bytes);

// Walks the gzip members from candidate offset 0: each header, its deflate stream, and the
// trailer whose ISIZE has to equal the stream's decoded length (mod 2^32). Reads nothing at or
// past `limit`.
GzipEnd WalkGzip(RangeReader& read, int64_t limit, const std::atomic<bool>* cancel);

}  // namespace quarvelin
