#include "formats/pst/pst_walk.h"

#include <cstring>

#include "common/byte_fields.h"
#include "formats/crc32.h"

namespace quarvelin {
namespace {

constexpr int32_t kAnsiHeader = 512;
constexpr int32_t kUnicodeHeader = 564;
// Both CRCs start at the client magic; the partial one covers 471 bytes, the full one 516.
constexpr size_t kCrcStart = 8;
constexpr size_t kPartialBytes = 471;
constexpr size_t kFullBytes = 516;
// Where each layout's root structure keeps the end of file, and where its sentinel byte lies.
constexpr size_t kAnsiEof = 164 + 4;
constexpr size_t kUnicodeEof = 180 + 4;
constexpr size_t kAnsiSentinel = 460;
constexpr size_t kUnicodeSentinel = 512;
constexpr uint8_t kSentinel = 0x80;
// The first allocation map page lies at 0x4400: no real file ends before it. ANSI files cannot
// pass 2 GiB; Unicode files are capped by Outlook at 50 GiB by default.
constexpr int64_t kSmallest = 0x4400 + 512;
constexpr int64_t kAnsiLargest = int64_t{2} << 30;
constexpr int64_t kUnicodeLargest = int64_t{100} << 30;

bool KnownEncryption(uint8_t method) {
  return method == 0 || method == 1 || method == 2 || method == 0x10;
}

}  // namespace

uint32_t PstCrc(std::span<const uint8_t> bytes) {
  return ~Crc32Update(0xFFFFFFFF, bytes);
}

std::optional<int64_t> WalkPst(RangeReader& read) {
  const auto header = read(0, kAnsiHeader);
  if (header.empty() || std::memcmp(header.data(), "!BDN", 4) != 0 ||
      std::memcmp(header.data() + kCrcStart, "SM", 2) != 0) {
    return std::nullopt;
  }
  const uint16_t version = *ReadLe16(header, 10);
  const bool ansi = version == 14 || version == 15;
  const bool unicode = version == 23 || version == 36 || version == 37;
  if (!ansi && !unicode) return std::nullopt;
  if (PstCrc(header.subspan(kCrcStart, kPartialBytes)) != *ReadLe32(header, 4)) {
    return std::nullopt;
  }

  int64_t eof = 0;
  if (ansi) {
    if (header[kAnsiSentinel] != kSentinel || !KnownEncryption(header[kAnsiSentinel + 1])) {
      return std::nullopt;
    }
    eof = *ReadLe32(header, kAnsiEof);
    if (eof > kAnsiLargest) return std::nullopt;
  } else {
    const auto full = read(0, kUnicodeHeader);
    if (full.empty() || full[kUnicodeSentinel] != kSentinel ||
        !KnownEncryption(full[kUnicodeSentinel + 1]) ||
        PstCrc(full.subspan(kCrcStart, kFullBytes)) != *ReadLe32(full, kCrcStart + kFullBytes)) {
      return std::nullopt;
    }
    const auto field = AsLength(*ReadLe64(full, kUnicodeEof));
    if (!field || *field > kUnicodeLargest) return std::nullopt;
    eof = *field;
  }
  if (eof < kSmallest || read(eof - 1, 1).empty()) return std::nullopt;
  return eof;
}

}  // namespace quarvelin
