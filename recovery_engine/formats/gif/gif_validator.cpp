#include "formats/gif/gif_validator.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/byte_fields.h"

namespace quarvelin {
namespace {

// No block is looked for beyond this; sub-block chains stop there too, since the block after
// them could not be looked at anyway.
constexpr int64_t kBlockLimit = 104'857'600;
constexpr int32_t kWindow = 65'536;

// The block walk's one-byte reads (block types, sub-block lengths), served from one window, so
// image data costs one reader call per window rather than one per 255-byte sub-block.
class BlockWindow {
 public:
  explicit BlockWindow(RangeReader& read) : window_(read, kWindow) {}

  // `need` bytes at `offset`, or empty when they cannot be read.
  std::span<const uint8_t> At(int64_t offset, int32_t need) {
    const auto bytes = window_.At(offset, need);
    return bytes.empty() ? bytes : bytes.first(static_cast<size_t>(need));
  }

  std::optional<uint8_t> Byte(int64_t offset) {
    const auto bytes = At(offset, 1);
    if (bytes.empty()) return std::nullopt;
    return bytes[0];
  }

 private:
  WalkWindow window_;
};

// Size of the colour table that the packed-fields byte announces (bit 7 set: 3 * 2^(n + 1) bytes).
int64_t ColourTableSize(uint8_t flags) {
  return (flags & 0x80) != 0 ? 3 * (int64_t{2} << (flags & 7)) : 0;
}

// Steps over a chain of data sub-blocks from `pos`; returns the position after its terminator,
// or nothing when the data ends, the chain runs past the block limit, or the scan is cancelled.
std::optional<int64_t> SkipSubBlocks(BlockWindow& window, int64_t pos,
                                     const std::atomic<bool>* cancel) {
  while (pos <= kBlockLimit) {
    if (IsCancelled(cancel)) return std::nullopt;
    const auto length = window.Byte(pos);
    if (!length) return std::nullopt;
    if (*length == 0) return pos + 1;
    pos += *length + 1;
  }
  return std::nullopt;
}

std::string Hex(uint8_t value) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", value);
  return text;
}

}  // namespace

GifValidationResult ValidateGif(RangeReader& read, const std::atomic<bool>* cancel) {
  GifValidationResult result;
  const auto header = read(0, 13);
  if (header.empty()) {
    result.Reject("Cannot read GIF header");
    return result;
  }
  if (std::memcmp(header.data(), "GIF87a", 6) != 0 &&
      std::memcmp(header.data(), "GIF89a", 6) != 0) {
    result.Reject("Invalid GIF signature");
    return result;
  }
  result.width = *ReadLe16(header, 6);
  result.height = *ReadLe16(header, 8);
  int64_t pos = 13 + ColourTableSize(header[10]);

  BlockWindow window(read);
  bool walking = !IsCancelled(cancel);
  while (walking && pos <= kBlockLimit) {
    const auto block = window.Byte(pos);
    if (!block) break;
    std::optional<int64_t> next;
    if (*block == 0x3B) {
      result.hasTrailer = true;
      result.size = pos + 1;
      break;
    } else if (*block == 0x21) {
      if (!window.Byte(pos + 1)) break;  // the extension's label
      next = SkipSubBlocks(window, pos + 2, cancel);
    } else if (*block == 0x2C) {
      ++result.frameCount;
      const auto descriptor = window.At(pos + 1, 9);
      if (descriptor.empty()) break;
      pos += 10 + ColourTableSize(descriptor[8]);
      if (!window.Byte(pos)) break;  // the LZW minimum code size
      next = SkipSubBlocks(window, pos + 1, cancel);
    } else {
      result.Add("Unknown block type: 0x" + Hex(*block));
      break;
    }
    if (!next) break;
    pos = *next;
    walking = !IsCancelled(cancel);
  }

  if (!result.hasTrailer) result.Add("No GIF trailer found", 30);
  if (result.frameCount == 0) result.Add("No image frames found", 50);
  if (result.width == 0 || result.height == 0) result.Add("Invalid dimensions", 20);
  result.Finish();
  return result;
}

}  // namespace quarvelin
