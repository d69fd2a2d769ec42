#pragma once

#include <atomic>
#include <cstdint>

#include "common/byte_fields.h"
#include "sizing/range_reader.h"

namespace quarvelin {

// How a deflate stream's walk ended.
enum class DeflateStop {
  kEnd,      // the final block ended
  kInvalid,  // bits no encoder writes: a bad block type, table, code or distance
  kCut,      // the bytes ran out (the device's end, an unreadable stretch, or `limit`)
  kCancelled,
};

struct DeflateWalk {
  DeflateStop stop = DeflateStop::kInvalid;
  // With kEnd, the offset of the first byte after the stream; otherwise where the last whole
  // block ended (the stream's start when none did).
  int64_t end = 0;
  int64_t blocks = 0;  // whole blocks
  // Bytes the stream decodes to (up to `end`).
  int64_t output = 0;
};

// Walks the raw deflate stream (RFC 1951) that starts at candidate offset `start`, decoding its
// block structure and Huffman codes without producing the output: the stream records no length of
// its own, so only decoding finds its end. Counts the output bytes and checks that every match
// reaches no further back than the bytes produced so far. Reads no byte at or past `limit`.
DeflateWalk WalkDeflate(RangeReader& read, int64_t start, int64_t limit,
                        const std::atomic<bool>* cancel);

}  // namespace quarvelin
