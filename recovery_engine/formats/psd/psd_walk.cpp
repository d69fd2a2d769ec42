#include "formats/psd/psd_walk.h"

#include <algorithm>
#include <cstring>

#include "common/byte_fields.h"
#include "formats/validation_result.h"

namespace quarvelin {
namespace {

constexpr int64_t kHeaderSize = 26;
constexpr uint16_t kMaxChannels = 56;
constexpr uint32_t kMaxPsdSide = 30'000;
constexpr uint32_t kMaxPsbSide = 300'000;
// PSD lengths are 32-bit fields; a PSB claiming more than this is not one we can tell from noise.
constexpr int64_t kPsdLimit = int64_t{4} << 30;
constexpr int64_t kPsbLimit = int64_t{64} << 30;
constexpr int32_t kWindow = 64 * 1024;
constexpr int64_t kCancelStride = 4'096;

enum Compression : uint16_t { kRaw = 0, kRle = 1 };

bool KnownDepth(uint16_t depth) {
  return depth == 1 || depth == 8 || depth == 16 || depth == 32;
}

// Bitmap, grayscale, indexed, RGB, CMYK, multichannel, duotone, Lab.
bool KnownMode(uint16_t mode) {
  return mode <= 4 || (mode >= 7 && mode <= 9);
}

// The sum of the run-length coded rows' byte counts: `rows` fields of `width` bytes from `at`.
std::optional<int64_t> RleBytes(RangeReader& read, const std::atomic<bool>* cancel, int64_t at,
                                int64_t rows, int32_t width, int64_t limit) {
  WalkWindow window(read, kWindow);
  int64_t sum = 0;
  for (int64_t row = 0; row < rows; ++row) {
    if (row % kCancelStride == 0 && IsCancelled(cancel)) return std::nullopt;
    const auto bytes = window.At(at + row * width, width);
    if (bytes.empty()) return std::nullopt;
    sum += width == 2 ? *ReadBe16(bytes, 0) : *ReadBe32(bytes, 0);
    if (sum > limit) return std::nullopt;
  }
  return sum;
}

}  // namespace

std::optional<int64_t> WalkPsd(RangeReader& read, const std::atomic<bool>* cancel) {
  const auto header = read(0, kHeaderSize);
  if (header.empty() || std::memcmp(header.data(), "8BPS", 4) != 0) return std::nullopt;
  const uint16_t version = *ReadBe16(header, 4);
  if (version != 1 && version != 2) return std::nullopt;
  const bool psb = version == 2;
  if (std::any_of(header.begin() + 6, header.begin() + 12, [](uint8_t b) { return b != 0; })) {
    return std::nullopt;
  }
  const uint16_t channels = *ReadBe16(header, 12);
  const uint32_t height = *ReadBe32(header, 14);
  const uint32_t width = *ReadBe32(header, 18);
  const uint16_t depth = *ReadBe16(header, 22);
  const uint16_t mode = *ReadBe16(header, 24);
  const uint32_t maxSide = psb ? kMaxPsbSide : kMaxPsdSide;
  if (channels < 1 || channels > kMaxChannels || height < 1 || height > maxSide || width < 1 ||
      width > maxSide || !KnownDepth(depth) || !KnownMode(mode)) {
    return std::nullopt;
  }
  const int64_t limit = psb ? kPsbLimit : kPsdLimit;

  // Colour mode data, image resources, layer and mask information: each a length and its bytes.
  int64_t pos = kHeaderSize;
  for (const int32_t lengthSize : {4, 4, psb ? 8 : 4}) {
    const auto field = read(pos, lengthSize);
    if (field.empty()) return std::nullopt;
    const auto length = AsLength(lengthSize == 4 ? *ReadBe32(field, 0) : *ReadBe64(field, 0));
    const auto next = length ? CheckedAdd(pos, lengthSize, *length) : std::nullopt;
    if (!next || *next > limit) return std::nullopt;
    pos = *next;
  }

  const auto compression = read(pos, 2);
  if (compression.empty()) return std::nullopt;
  pos += 2;
  // Every channel of the composite image is stored as `height` rows of whole bytes.
  const int64_t rows = int64_t{channels} * height;
  const int64_t rowBytes = (int64_t{width} * depth + 7) / 8;
  std::optional<int64_t> end;
  switch (*ReadBe16(compression, 0)) {
    case kRaw:
      if (const auto image = CheckedMul(rows, rowBytes)) end = CheckedAdd(pos, *image);
      break;
    case kRle: {
      const int32_t countSize = psb ? 4 : 2;
      const int64_t table = rows * countSize;
      if (pos + table > limit) return std::nullopt;
      if (const auto data = RleBytes(read, cancel, pos, rows, countSize, limit)) {
        end = CheckedAdd(pos, table, *data);
      }
      break;
    }
    default:
      // ZIP, with or without prediction, stores no length for the image.
      return std::nullopt;
  }
  if (!end || *end > limit || IsCancelled(cancel)) return std::nullopt;
  if (read(*end - 1, 1).empty()) return std::nullopt;
  return end;
}

}  // namespace quarvelin
