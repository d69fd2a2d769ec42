#include "formats/gzip/gzip_walk.h"

#include <algorithm>

#include "formats/crc32.h"
#include "formats/gzip/deflate_walk.h"
#include "formats/validation_result.h"

namespace quarvelin {
namespace {

constexpr uint8_t kHeaderCrc = 0x02;
constexpr uint8_t kExtra = 0x04;
constexpr uint8_t kName = 0x08;
constexpr uint8_t kComment = 0x10;
constexpr uint8_t kReserved = 0xE0;
constexpr int64_t kFixedHeader = 10;
constexpr int64_t kTrailer = 8;
// A header's optional fields (an extra field, a file name, a comment) fit in this; no writer
// stores more.
constexpr int32_t kHeaderLimit = 192 * 1024;
// Members of a file; a longer run of them is cut at this count, still proven.
constexpr int kMaxMembers = 100000;

// The offset just past the zero byte that ends the text at `at`.
std::optional<int64_t> PastZero(Bytes bytes, int64_t at) {
  if (at >= std::ssize(bytes)) return std::nullopt;
  const auto it = std::find(bytes.begin() + at, bytes.end(), uint8_t{0});
  if (it == bytes.end()) return std::nullopt;
  return (it - bytes.begin()) + 1;
}

}  // namespace

std::optional<int64_t> GzipHeaderLength(Bytes bytes) {
  if (std::ssize(bytes) < kFixedHeader || bytes[0] != 0x1F || bytes[1] != 0x8B || bytes[2] != 8) {
    return std::nullopt;
  }
  const uint8_t flags = bytes[3];
  if ((flags & kReserved) != 0) return std::nullopt;
  std::optional<int64_t> at = kFixedHeader;
  if ((flags & kExtra) != 0) {
    const auto length = ReadLe16(bytes, static_cast<size_t>(*at));
    if (!length) return std::nullopt;
    at = *at + 2 + *length;
  }
  if ((flags & kName) != 0) at = PastZero(bytes, *at);
  if (at && (flags & kComment) != 0) at = PastZero(bytes, *at);
  if (!at) return std::nullopt;
  if ((flags & kHeaderCrc) != 0) {
    const auto crc = ReadLe16(bytes, static_cast<size_t>(*at));
    if (!crc || *crc != (Crc32(bytes.first(static_cast<size_t>(*at))) & 0xFFFF)) {
      return std::nullopt;
    }
    *at += 2;
  }
  if (*at > std::ssize(bytes)) return std::nullopt;
  return at;
}

GzipEnd WalkGzip(RangeReader& read, int64_t limit, const std::atomic<bool>* cancel) {
  GzipEnd end;
  for (int64_t at = 0; end.members < kMaxMembers && at < limit;) {
    const auto want = static_cast<int32_t>(std::min<int64_t>(kHeaderLimit, limit - at));
    const auto need = static_cast<int32_t>(std::min<int64_t>(kFixedHeader, limit - at));
    // The scan buffer's bytes serve unless the header's fields run past them.
    Bytes head = read.ReadWindow(at, want, need);
    auto headerLength = GzipHeaderLength(head);
    if (!headerLength && std::ssize(head) < want && std::ssize(head) >= kFixedHeader &&
        head[0] == 0x1F && head[1] == 0x8B && head[2] == 8 && (head[3] & kReserved) == 0) {
      head = read.ReadLongest(at, want, need);
      headerLength = GzipHeaderLength(head);
    }
    if (!headerLength) break;
    const DeflateWalk stream = WalkDeflate(read, at + *headerLength, limit, cancel);
    if (stream.stop != DeflateStop::kEnd) {
      // Only the first member's partial stream is worth keeping: the members before a broken
      // one end the file.
      if (end.members == 0) end.size = stream.end;
      break;
    }
    if (IsCancelled(cancel) || stream.end > limit - kTrailer) break;
    const Bytes trailer = read(stream.end, kTrailer);
    if (trailer.empty()) {
      if (end.members == 0) end.size = stream.end;
      break;
    }
    if (*ReadLe32(trailer, 4) != static_cast<uint32_t>(stream.output)) break;
    at = stream.end + kTrailer;
    end = {.size = at, .whole = true, .members = end.members + 1};
  }
  return end;
}

}  // namespace quarvelin
