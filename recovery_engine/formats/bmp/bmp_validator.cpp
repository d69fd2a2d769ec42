#include "formats/bmp/bmp_validator.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>

#include "common/byte_fields.h"

namespace quarvelin {
namespace {

constexpr uint32_t kHeaderBytes = 54;  // file header (14) and the common 40-byte DIB header
constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr std::array<uint32_t, 5> kKnownHeaderSizes = {40, 52, 56, 108, 124};
constexpr std::array<uint32_t, 6> kBitDepths = {1, 4, 8, 16, 24, 32};
// RLE8, RLE4, JPEG and PNG: the pixel data has no fixed row length to compare the size with.
constexpr std::array<uint32_t, 4> kCompressedPixels = {1, 2, 4, 5};
constexpr int64_t kMaxDimension = 65'536;
// Padding, palettes and trailing profile data may make the size field differ a little from the
// pixel rows; more than this means the header and the pixels do not belong together.
constexpr int64_t kSizeSlack = 1'024;
constexpr int64_t kMinFileSize = 55;
constexpr int64_t kMaxFileSize = 104'857'599;

template <size_t N>
bool Contains(const std::array<uint32_t, N>& values, uint32_t value) {
  return std::find(values.begin(), values.end(), value) != values.end();
}

// Whether the size field disagrees with the pixel rows the header describes. Widths, depths and
// heights come straight off the disk, so the products are checked: one too large for 64 bits
// cannot match any size field.
bool SizeMismatch(uint32_t fileSize, uint32_t dataOffset, int32_t width, uint32_t bitsPerPixel,
                  int64_t height) {
  const int64_t row = (int64_t{bitsPerPixel} * width + 31) / 32 * 4;
  int64_t pixelBytes = 0;
  int64_t diff = 0;
  return __builtin_mul_overflow(row, height, &pixelBytes) ||
         __builtin_sub_overflow(int64_t{fileSize} - int64_t{dataOffset}, pixelBytes, &diff) ||
         diff > kSizeSlack || diff < -kSizeSlack;
}

void CheckDibHeader(Bytes header, uint32_t dibSize, uint32_t fileSize, uint32_t dataOffset,
                    BmpValidationResult& result) {
  // The old core header keeps 16-bit fields at other places; only its size field is used.
  if (dibSize == kCoreHeaderSize) return;
  if (!Contains(kKnownHeaderSizes, dibSize)) {
    result.Add("Unusual DIB header size: " + std::to_string(dibSize), 10);
    if (dibSize < kInfoHeaderSize) return;
  }

  const auto width = static_cast<int32_t>(ReadLe32(header, 18).value_or(0));
  // In 64 bits: the most negative height has no 32-bit absolute value.
  const int64_t height = std::abs(int64_t{static_cast<int32_t>(ReadLe32(header, 22).value_or(0))});
  const uint32_t bitsPerPixel = ReadLe16(header, 28).value_or(0);
  result.width = width;
  result.height = static_cast<int32_t>(std::min<int64_t>(height, INT32_MAX));
  result.bitsPerPixel = bitsPerPixel;

  if (width < 1 || width > kMaxDimension) {
    result.Add("Invalid width: " + std::to_string(width), 30);
  }
  if (height < 1 || height > kMaxDimension) {
    result.Add("Invalid height: " + std::to_string(height), 30);
  }
  if (!Contains(kBitDepths, bitsPerPixel)) {
    result.Add("Invalid bits per pixel: " + std::to_string(bitsPerPixel), 20);
  }
  // A size field of 0 says nothing about the pixels; the plausibility check deals with it.
  const bool compressed = Contains(kCompressedPixels, ReadLe32(header, 30).value_or(0));
  if (fileSize != 0 && !compressed &&
      SizeMismatch(fileSize, dataOffset, width, bitsPerPixel, height)) {
    result.Add("File size mismatch", 15);
  }
}

}  // namespace

BmpValidationResult ValidateBmp(RangeReader& read, const std::atomic<bool>* /*cancel*/) {
  BmpValidationResult result;
  const Bytes header = read(0, static_cast<int32_t>(kHeaderBytes));
  if (header.empty()) {
    result.Reject("Cannot read BMP header");
    return result;
  }
  if (header[0] != 'B' || header[1] != 'M') {
    result.Reject("Invalid BMP signature");
    return result;
  }

  const uint32_t fileSize = ReadLe32(header, 2).value_or(0);
  const uint32_t dataOffset = ReadLe32(header, 10).value_or(0);
  if (ReadLe32(header, 6).value_or(0) != 0) result.Add("Reserved bytes are non-zero", 10);
  // Pixels may follow a core header directly, at 26; every later header is at least 40 bytes.
  const uint32_t dibSize = ReadLe32(header, 14).value_or(0);
  const uint32_t minDataOffset =
      dibSize == kCoreHeaderSize ? kFileHeaderSize + kCoreHeaderSize : kHeaderBytes;
  if (dataOffset < minDataOffset) result.Add("Invalid data offset", 20);
  CheckDibHeader(header, dibSize, fileSize, dataOffset, result);

  // A BMP has no end marker: the size field is the only length there is, used when plausible.
  if (fileSize >= kMinFileSize && fileSize <= kMaxFileSize) {
    result.size = fileSize;
  } else {
    result.Add("Suspicious file size in header", 20);
  }
  result.Finish();
  return result;
}

}  // namespace quarvelin
