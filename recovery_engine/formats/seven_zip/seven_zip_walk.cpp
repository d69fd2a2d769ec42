#include "formats/seven_zip/seven_zip_walk.h"

#include <algorithm>
#include <cstring>

#include "common/byte_fields.h"
#include "formats/crc32.h"
#include "formats/validation_result.h"

namespace quarvelin {
namespace {

constexpr uint8_t kSignature[] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
constexpr int64_t kStartHeaderBytes = 32;
constexpr int32_t kWindowBytes = 1 << 20;
// The next header lists the files and their streams; even a huge archive's is a few megabytes. A
// larger one is read no further than this to check its CRC.
constexpr int64_t kMaxNextHeaderBytes = 256 << 20;
// Offsets beyond any disk are not even asked for.
constexpr int64_t kLengthLimit = int64_t{1} << 50;
// The next header is a plain header or one packed into streams of its own.
constexpr uint8_t kHeader = 0x01;
constexpr uint8_t kEncodedHeader = 0x17;

}  // namespace

std::optional<int64_t> SevenZipClaimedLength(Bytes bytes) {
  if (bytes.size() < kStartHeaderBytes ||
      std::memcmp(bytes.data(), kSignature, sizeof(kSignature)) != 0) {
    return std::nullopt;
  }
  // Major version 0 is the only one there is.
  if (bytes[6] != 0) return std::nullopt;
  if (Crc32(bytes.subspan(12, 20)) != *ReadLe32(bytes, 8)) return std::nullopt;
  const auto offset = AsLength(*ReadLe64(bytes, 12));
  const auto length = AsLength(*ReadLe64(bytes, 20));
  if (!offset || !length) return std::nullopt;
  // An empty archive is its start header alone.
  if (*length == 0 && *offset != 0) return std::nullopt;
  const auto end = CheckedAdd(kStartHeaderBytes, *offset, *length);
  if (!end || *end > kLengthLimit) return std::nullopt;
  return end;
}

std::optional<int64_t> WalkSevenZip(RangeReader& read, const std::atomic<bool>* cancel) {
  const Bytes start = read(0, kStartHeaderBytes);
  const auto end = SevenZipClaimedLength(start);
  if (!end) return std::nullopt;
  const uint32_t expectedCrc = *ReadLe32(start, 28);
  const int64_t from = kStartHeaderBytes + static_cast<int64_t>(*ReadLe64(start, 12));
  const int64_t length = *end - from;
  if (length == 0) return end;
  if (length > kMaxNextHeaderBytes) return std::nullopt;

  uint32_t crc = 0;
  for (int64_t pos = from; pos < *end;) {
    if (IsCancelled(cancel)) return std::nullopt;
    const int64_t left = *end - pos;
    const auto need = static_cast<int32_t>(std::min<int64_t>(left, kWindowBytes));
    Bytes bytes = read.ReadWindow(pos, kWindowBytes, need);
    if (bytes.empty()) return std::nullopt;
    bytes = bytes.first(static_cast<size_t>(std::min<int64_t>(left, std::ssize(bytes))));
    if (pos == from && bytes[0] != kHeader && bytes[0] != kEncodedHeader) return std::nullopt;
    crc = Crc32Update(crc, bytes);
    pos += std::ssize(bytes);
  }
  if (crc != expectedCrc) return std::nullopt;
  return *end;
}

}  // namespace quarvelin
