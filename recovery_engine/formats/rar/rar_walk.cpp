#include "formats/rar/rar_walk.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/byte_fields.h"
#include "formats/crc32.h"
#include "formats/validation_result.h"

namespace quarvelin {
namespace {

constexpr uint8_t kRar4Marker[] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
constexpr uint8_t kRar5Marker[] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00};
// Most headers are short; a window serves a run of them with one read. A RAR 4 header fits it
// whole; a longer RAR 5 header is read on its own.
constexpr int32_t kWindowBytes = 128 * 1024;
// Jumps over file data cost nothing, so the limit is generous; the block count keeps a crafted run
// of tiny blocks finite.
constexpr int64_t kLengthLimit = int64_t{1} << 40;
constexpr int64_t kMaxBlocks = 16'000'000;

// RAR 4 block types.
constexpr uint8_t kArchiveHeader = 0x73;
constexpr uint8_t kFileHeader = 0x74;
constexpr uint8_t kNewSubHeader = 0x7A;
constexpr uint8_t kEndOfArchive = 0x7B;
constexpr uint16_t kLongBlock = 0x8000;
constexpr uint16_t kLargeFile = 0x0100;
constexpr uint16_t kEncryptedHeaders = 0x0080;  // archive header flag

// RAR 5 header types and flags.
constexpr int64_t kEncryptionHeader = 4;
constexpr int64_t kEndHeader = 5;
constexpr int64_t kHasExtraArea = 0x1;
constexpr int64_t kHasData = 0x2;
// Header sizes take at most three bytes: 2 MiB.
constexpr size_t kMaxSizeBytes = 3;

bool StartsWith(Bytes bytes, Bytes prefix) {
  return bytes.size() >= prefix.size() &&
         std::memcmp(bytes.data(), prefix.data(), prefix.size()) == 0;
}

// A RAR 5 variable-length integer: seven bits a byte, low bits first, the top bit saying another
// byte follows. Advances `at`; nothing when it runs off `bytes` or past 63 bits.
std::optional<int64_t> ReadVint(Bytes bytes, size_t& at, size_t maxBytes = 10) {
  uint64_t value = 0;
  for (size_t i = 0; i < maxBytes && at < bytes.size(); ++i) {
    const uint8_t byte = bytes[at++];
    if (i == 9 && (byte & 0x7E) != 0) return std::nullopt;
    value |= uint64_t{byte & 0x7Fu} << (7 * i);
    if ((byte & 0x80) == 0) return AsLength(value);
  }
  return std::nullopt;
}

std::optional<int64_t> WalkRar4(RangeReader& read, const std::atomic<bool>* cancel) {
  WalkWindow window(read, kWindowBytes);
  int64_t pos = sizeof(kRar4Marker);
  for (int64_t blocks = 0; blocks < kMaxBlocks && pos <= kLengthLimit; ++blocks) {
    if (IsCancelled(cancel)) return std::nullopt;
    const Bytes fixed = window.At(pos, 7);
    if (fixed.empty()) return std::nullopt;
    const uint8_t type = fixed[2];
    const uint16_t flags = *ReadLe16(fixed, 3);
    const uint16_t headerBytes = *ReadLe16(fixed, 5);
    if (type < kArchiveHeader || type > kEndOfArchive || headerBytes < 7) return std::nullopt;
    const Bytes header = window.At(pos, headerBytes);
    if (header.empty()) return std::nullopt;
    if ((Crc32(header.subspan(2, headerBytes - 2u)) & 0xFFFF) != *ReadLe16(header, 0)) {
      return std::nullopt;
    }
    if (type == kArchiveHeader && (flags & kEncryptedHeaders) != 0) return std::nullopt;

    // File and new-style sub headers always have a data size; other blocks when flagged.
    const bool carriesFile = type == kFileHeader || type == kNewSubHeader;
    uint64_t data = 0;
    if (carriesFile || (flags & kLongBlock) != 0) {
      const auto low = ReadLe32(header, 7);
      if (!low) return std::nullopt;
      data = *low;
      if (carriesFile && (flags & kLargeFile) != 0) {
        const auto high = ReadLe32(header, 32);
        if (!high) return std::nullopt;
        data |= uint64_t{*high} << 32;
      }
    }
    if (!AsLength(data)) return std::nullopt;
    const auto end = CheckedAdd(pos, headerBytes, static_cast<int64_t>(data));
    if (!end) return std::nullopt;
    if (type == kEndOfArchive) return *end;
    pos = *end;
  }
  return std::nullopt;
}

std::optional<int64_t> WalkRar5(RangeReader& read, const std::atomic<bool>* cancel) {
  WalkWindow window(read, kWindowBytes);
  std::vector<uint8_t> longHeader;
  int64_t pos = sizeof(kRar5Marker);
  for (int64_t blocks = 0; blocks < kMaxBlocks && pos <= kLengthLimit; ++blocks) {
    if (IsCancelled(cancel)) return std::nullopt;
    // The CRC, then the header size.
    const Bytes start = window.At(pos, 5);
    if (start.empty()) return std::nullopt;
    size_t at = 4;
    const auto size = ReadVint(start, at, kMaxSizeBytes);
    if (!size || *size == 0) return std::nullopt;
    const int64_t headerBytes = static_cast<int64_t>(at) + *size;
    Bytes header;
    if (headerBytes <= kWindowBytes) {
      header = window.At(pos, static_cast<int32_t>(headerBytes));
    } else {
      const Bytes whole = read(pos, static_cast<int32_t>(headerBytes));
      longHeader.assign(whole.begin(), whole.end());
      header = longHeader;
    }
    if (static_cast<int64_t>(header.size()) < headerBytes) return std::nullopt;
    header = header.first(static_cast<size_t>(headerBytes));
    if (Crc32(header.subspan(4)) != *ReadLe32(header, 0)) return std::nullopt;

    const auto type = ReadVint(header, at);
    const auto flags = ReadVint(header, at);
    if (!type || !flags || *type < 1 || *type > kEndHeader) return std::nullopt;
    // Everything after an encryption header is encrypted: its structure cannot be followed.
    if (*type == kEncryptionHeader) return std::nullopt;
    if ((*flags & kHasExtraArea) != 0 && !ReadVint(header, at)) return std::nullopt;
    int64_t data = 0;
    if ((*flags & kHasData) != 0) {
      const auto dataBytes = ReadVint(header, at);
      if (!dataBytes) return std::nullopt;
      data = *dataBytes;
    }
    const auto end = CheckedAdd(pos, headerBytes, data);
    if (!end) return std::nullopt;
    if (*type == kEndHeader) return *end;
    pos = *end;
  }
  return std::nullopt;
}

}  // namespace

std::optional<int64_t> WalkRar(RangeReader& read, const std::atomic<bool>* cancel) {
  const Bytes marker = read(0, sizeof(kRar5Marker));
  if (StartsWith(marker, kRar5Marker)) return WalkRar5(read, cancel);
  if (StartsWith(marker, kRar4Marker)) return WalkRar4(read, cancel);
  // A marker block at the device's very end: nothing follows it.
  return std::nullopt;
}

}  // namespace quarvelin
