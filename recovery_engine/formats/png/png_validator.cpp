#include "formats/png/png_validator.h"

#include <algorithm>
#include <array>
#include <string>

#include "common/byte_fields.h"
#include "formats/crc32.h"

namespace quarvelin {
namespace {

using ChunkType = std::array<uint8_t, 4>;

constexpr std::array<uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr ChunkType kIhdr = {'I', 'H', 'D', 'R'};
constexpr ChunkType kIdat = {'I', 'D', 'A', 'T'};
constexpr ChunkType kIend = {'I', 'E', 'N', 'D'};

// Chunks are walked no further than this; lengths that lead past it are taken as garbage.
constexpr int64_t kMaxWalk = 524'288'000;
constexpr uint32_t kMaxChunkLength = 0x7FFF'FFFF;
// Big chunks (large IDATs) are not read a second time just to check their CRC.
constexpr uint32_t kMaxCrcChunkLength = 65'536;
// A crafted run of millions of tiny chunks with bad CRCs must not grow the findings without bound;
// past this many, mismatches are still counted and penalised but no longer listed one by one.
constexpr int32_t kMaxListedCrcErrors = 1'000;
constexpr int32_t kCrcErrorPenalty = 10;

// The type as the findings name it: its bytes up to the first zero byte.
std::string TypeText(const ChunkType& type) {
  const auto end = std::find(type.begin(), type.end(), uint8_t{0});
  std::string text;
  for (auto it = type.begin(); it != end; ++it) text.push_back(static_cast<char>(*it));
  return text;
}

// Chunk types are made of ASCII letters only. Anything else is not a chunk: typically the zeros of
// free space after a cut-off file, where 12-byte "chunks" of length 0 would otherwise be walked,
// and CRC-checked, one by one for hundreds of megabytes.
bool IsChunkType(const ChunkType& type) {
  return std::all_of(type.begin(), type.end(),
                     [](uint8_t b) { return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'); });
}

void ReadIhdr(RangeReader& read, int64_t pos, PngValidationResult& result) {
  const Bytes ihdr = read(pos + 8, 13);
  if (ihdr.empty()) return;
  result.width = ReadBe32(ihdr, 0).value_or(0);
  result.height = ReadBe32(ihdr, 4).value_or(0);
  result.bitDepth = ihdr[8];
  result.colorType = ihdr[9];
}

// The CRC covers the type and data; it is stored big-endian right after the data. Type, data and
// CRC are read in one request: the reader answers it exactly when it would answer both halves.
void CheckCrc(RangeReader& read, int64_t pos, uint32_t length, const ChunkType& type,
              PngValidationResult& result) {
  const Bytes chunk = read(pos + 4, static_cast<int32_t>(length) + 8);
  if (chunk.empty()) return;
  const auto stored = ReadBe32(chunk, length + 4);
  if (stored && Crc32(chunk.first(length + 4)) == *stored) return;
  ++result.crcErrorCount;
  if (result.crcErrorCount <= kMaxListedCrcErrors) {
    result.Add("CRC error in " + TypeText(type) + " chunk at " + std::to_string(pos));
  }
}

}  // namespace

PngValidationResult ValidatePng(RangeReader& read, const std::atomic<bool>* cancel,
                                bool verifyCrc) {
  PngValidationResult result;
  const Bytes signature = read(0, static_cast<int32_t>(kSignature.size()));
  if (signature.empty()) {
    result.Reject("Cannot read PNG signature");
    return result;
  }
  if (!std::equal(kSignature.begin(), kSignature.end(), signature.begin())) {
    result.Reject("Invalid PNG signature");
    return result;
  }

  // pos stays at most kMaxWalk and lengths below 2^31, so the offset sums below cannot overflow.
  int64_t pos = 8;
  bool first = true;
  while (pos <= kMaxWalk && !IsCancelled(cancel)) {
    const Bytes header = read(pos, 8);
    if (header.empty()) {
      result.Add("Truncated chunk header at " + std::to_string(pos));
      break;
    }
    const uint32_t length = ReadBe32(header, 0).value_or(0);
    ChunkType type{};
    std::copy_n(header.begin() + 4, type.size(), type.begin());

    if (length > kMaxChunkLength) {
      result.Add("Invalid chunk length: " + std::to_string(length), 20);
      break;
    }
    if (first) {
      if (type != kIhdr) {
        result.Add("First chunk is not IHDR", 30);
      } else if (length == 13) {
        ReadIhdr(read, pos, result);
      }
      first = false;
    }
    if (!IsChunkType(type)) {
      result.Add("Invalid chunk type at " + std::to_string(pos));
      break;
    }
    if (type == kIdat) result.hasIdat = true;
    if (verifyCrc && length <= kMaxCrcChunkLength) CheckCrc(read, pos, length, type, result);
    if (type == kIend) {
      result.hasIend = true;
      result.size = pos + 12;
      break;
    }
    pos += int64_t{length} + 12;
  }

  if (!result.hasIdat) result.Add("No IDAT chunk - no image data", 50);
  if (!result.hasIend) result.Add("No IEND chunk - file truncated", 30);
  if (result.width == 0 || result.height == 0) result.Add("Invalid image dimensions", 20);
  // Charged once at the end, without a further finding; widened since the count can be large.
  const int64_t crcPenalty = int64_t{kCrcErrorPenalty} * result.crcErrorCount;
  result.confidence = static_cast<int32_t>(std::max<int64_t>(result.confidence - crcPenalty, 0));
  result.Finish();
  return result;
}

}  // namespace quarvelin
