#include "formats/ico/ico_walk.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "common/byte_fields.h"
#include "formats/validation_result.h"

namespace quarvelin {
namespace {

constexpr int64_t kEntryBytes = 16;
constexpr int64_t kDirectoryStart = 6;
constexpr std::array<uint8_t, 8> kPngSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
// The signature, IHDR's length, type and body with its CRC, then at least IEND.
constexpr int64_t kSmallestPng = 8 + 25 + 12;

bool OneOf(uint32_t value, std::initializer_list<uint32_t> allowed) {
  return std::find(allowed.begin(), allowed.end(), value) != allowed.end();
}

// True when `head` (the image's first 16 bytes) begins a bitmap or PNG of `bytes` bytes.
bool PlausibleImage(Bytes head, int64_t bytes) {
  if (std::equal(kPngSignature.begin(), kPngSignature.end(), head.begin())) {
    return bytes >= kSmallestPng && *ReadBe32(head, 8) == 13 &&
           std::memcmp(&head[12], "IHDR", 4) == 0;
  }
  const uint32_t headerSize = *ReadLe32(head, 0);
  if (!OneOf(headerSize, {12, 40, 108, 124}) || bytes < headerSize) return false;
  // The stored height covers the colour bitmap and the transparency mask: twice the icon's.
  int64_t width = 0;
  int64_t height = 0;
  uint32_t planes = 0;
  if (headerSize == 12) {
    width = *ReadLe16(head, 4);
    height = *ReadLe16(head, 6);
    planes = *ReadLe16(head, 8);
  } else {
    width = static_cast<int32_t>(*ReadLe32(head, 4));
    height = static_cast<int32_t>(*ReadLe32(head, 8));
    planes = *ReadLe16(head, 12);
  }
  return width >= 1 && width <= 256 && height >= 1 && height <= 512 && planes == 1;
}

}  // namespace

std::optional<IcoDirectory> WalkIcoDirectory(RangeReader& read, const std::atomic<bool>* cancel,
                                             int64_t maxSize) {
  const Bytes head = read(0, 6);
  if (head.empty() || *ReadLe16(head, 0) != 0) return std::nullopt;
  const uint16_t type = *ReadLe16(head, 2);
  const int64_t count = *ReadLe16(head, 4);
  if ((type != 1 && type != 2) || count < 1 || count > 255) return std::nullopt;
  IcoDirectory icon;
  icon.cursor = type == 2;
  icon.images = static_cast<int32_t>(count);
  const int64_t directoryEnd = kDirectoryStart + kEntryBytes * count;
  icon.end = directoryEnd;

  const Bytes entries = read(kDirectoryStart, static_cast<int32_t>(kEntryBytes * count));
  if (entries.empty()) return std::nullopt;
  // Each image's start is read below, which ends the life of `entries`.
  const std::vector<uint8_t> directory(entries.begin(), entries.end());
  for (int64_t i = 0; i < count; ++i) {
    if (IsCancelled(cancel)) return std::nullopt;
    const Bytes entry = Bytes(directory).subspan(static_cast<size_t>(kEntryBytes * i));
    const uint8_t reserved = entry[3];
    const uint16_t planes = *ReadLe16(entry, 4);
    const uint16_t bitCount = *ReadLe16(entry, 6);
    const int64_t bytes = *ReadLe32(entry, 8);
    const int64_t offset = *ReadLe32(entry, 12);
    if (reserved != 0 && reserved != 255) return std::nullopt;
    if (!icon.cursor && (planes > 1 || !OneOf(bitCount, {0, 1, 4, 8, 16, 24, 32}))) {
      return std::nullopt;
    }
    if (bytes == 0 || offset < directoryEnd || offset + bytes > maxSize) return std::nullopt;
    const Bytes image = read(offset, 16);
    if (image.empty() || !PlausibleImage(image, bytes)) return std::nullopt;
    icon.end = std::max(icon.end, offset + bytes);
  }
  return icon;
}

}  // namespace quarvelin
