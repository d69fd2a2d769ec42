#include "formats/aiff/aiff_walk.h"

#include <algorithm>
#include <cstring>

#include "common/byte_fields.h"
#include "formats/validation_result.h"

namespace quarvelin {
namespace {

constexpr int32_t kWindow = 64 * 1024;
constexpr int32_t kChunkHeader = 8;
// Real files have a handful of chunks (COMM, SSND, markers, comments, names, ID3).
constexpr int32_t kMaxChunks = 10'000;

bool ChunkId(Bytes id) {
  return std::all_of(id.begin(), id.begin() + 4, [](uint8_t b) { return b >= 0x20 && b <= 0x7E; });
}

}  // namespace

AiffWalk WalkAiff(RangeReader& read, const std::atomic<bool>* cancel) {
  const auto header = read(0, 12);
  if (header.empty() ||
      (std::memcmp(header.data() + 8, "AIFF", 4) != 0 &&
       std::memcmp(header.data() + 8, "AIFC", 4) != 0) ||
      std::memcmp(header.data(), "FORM", 4) != 0) {
    return {};
  }
  AiffWalk walk{.aiff = true};
  // An odd FORM size leaves the FORM's pad byte out, as for any IFF chunk; it is part of the file
  // (sox writes AIFF-C files so when the sound data is odd).
  const int64_t formSize = *ReadBe32(header, 4);
  const int64_t formEnd = 8 + formSize + (formSize & 1);
  if (formEnd < 12 + kChunkHeader) return walk;

  WalkWindow window(read, kWindow);
  bool common = false;
  int64_t pos = 12;
  for (int32_t chunk = 0; chunk < kMaxChunks && pos < formEnd; ++chunk) {
    if (IsCancelled(cancel)) return {};
    const auto bytes = window.At(pos, kChunkHeader);
    if (bytes.empty() || !ChunkId(bytes)) break;
    const int64_t length = *ReadBe32(bytes, 4);
    if (std::memcmp(bytes.data(), "COMM", 4) == 0) common = true;
    const int64_t next = pos + kChunkHeader + length + (length & 1);
    if (next > formEnd || read(next - 1, 1).empty()) break;
    pos = next;
    if (common) walk.wholeChunks = pos;
  }
  if (common && pos == formEnd) walk.end = formEnd;
  return walk;
}

}  // namespace quarvelin
