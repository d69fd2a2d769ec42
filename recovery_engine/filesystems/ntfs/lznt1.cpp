#include "lznt1.h"

#include <algorithm>
#include <cstring>

#include "common/byte_fields.h"

// LZNT1 as NTFS stores compressed files: a unit is a run of chunks, each holding up to 4 KiB of
// data behind a 16-bit header (low 12 bits: the chunk's size less 3, bits 12-14: the signature 3,
// bit 15: compressed). A compressed chunk is groups of a flag byte and eight tokens; a set flag
// bit makes its token a 16-bit back-reference whose split between offset and length widens the
// offset as the chunk's output grows, so that it can reach back to the chunk's start.

namespace quarvelin {
namespace {

constexpr size_t kChunkData = 4096;

// Decompresses one chunk's tokens into `out` from `produced`, within the chunk's 4 KiB and
// `out`'s size. The new count of bytes produced, or nothing when a reference points before the
// chunk or a token is cut off.
std::optional<size_t> DecompressChunk(std::span<const uint8_t> in, std::span<uint8_t> out,
                                      size_t produced) {
  const size_t chunkStart = produced;
  const size_t limit = std::min(out.size(), chunkStart + kChunkData);
  size_t p = 0;
  while (p < in.size()) {
    const uint8_t flags = in[p++];
    for (int bit = 0; bit < 8 && p < in.size(); ++bit) {
      if (produced >= limit) return produced;
      if ((flags & (1 << bit)) == 0) {
        out[produced++] = in[p++];
        continue;
      }
      const auto token = ReadLe16(in, p);
      if (!token) return std::nullopt;
      p += 2;
      const size_t position = produced - chunkStart;
      unsigned offsetBits = 4;
      while ((size_t{1} << offsetBits) < position) ++offsetBits;
      const unsigned lengthBits = 16 - offsetBits;
      const size_t offset = (size_t{*token} >> lengthBits) + 1;
      size_t length = (size_t{*token} & ((size_t{1} << lengthBits) - 1)) + 3;
      if (offset > position) return std::nullopt;
      length = std::min(length, limit - produced);
      // Byte by byte: the source may overlap what is being written (a run of a repeated phrase).
      for (size_t k = 0; k < length; ++k, ++produced) out[produced] = out[produced - offset];
    }
  }
  return produced;
}

}  // namespace

std::optional<size_t> DecompressLznt1(std::span<const uint8_t> in, std::span<uint8_t> out) {
  size_t p = 0;
  size_t produced = 0;
  while (produced < out.size()) {
    const auto header = ReadLe16(in, p);
    // The unit's data ends at a zero header or with its last cluster.
    if (!header || *header == 0) break;
    if ((*header & 0x7000) != 0x3000) return std::nullopt;
    const size_t dataBytes = (*header & 0x0FFFu) + 1;
    p += 2;
    if (in.size() - p < dataBytes) return std::nullopt;
    const auto data = in.subspan(p, dataBytes);
    p += dataBytes;
    if ((*header & 0x8000) != 0) {
      const auto next = DecompressChunk(data, out, produced);
      if (!next) return std::nullopt;
      produced = *next;
    } else {
      const size_t take = std::min(data.size(), out.size() - produced);
      std::memcpy(out.data() + produced, data.data(), take);
      produced += take;
    }
  }
  return produced;
}

}  // namespace quarvelin
