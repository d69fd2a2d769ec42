#include "jxl_walk.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "common/byte_fields.h"
#include "formats/validation_result.h"

namespace quarvelin {
namespace {

constexpr int64_t kLargestFile = int64_t{1} << 36;
// An image has a few metadata boxes and at most some thousands of codestream parts.
constexpr int64_t kMostBoxes = 100'000;
constexpr int32_t kWindowBytes = 16'384;
constexpr int64_t kHeaderBytes = 8;
constexpr int64_t kLargeHeaderBytes = 16;
constexpr int64_t kSignatureBytes = 12;
constexpr int64_t kSmallestFtyp = 16;
constexpr int64_t kLargestFtyp = 64;
// The high bit of a jxlp box's index marks the codestream's last part.
constexpr uint32_t kLastPart = 0x8000'0000;

// Boxes a JPEG XL file holds besides its codestream: Exif, XMP, JUMBF, the level, the frame
// index, Brotli-compressed metadata, and the data that rebuilds a recompressed JPEG.
constexpr std::array<std::string_view, 9> kTypes = {"jxlc", "jxlp", "Exif", "xml ", "jumb",
                                                    "jxll", "jxli", "brob", "jbrd"};

std::string_view TypeOf(Bytes header) {
  return {reinterpret_cast<const char*>(header.data() + 4), 4};
}

bool Known(std::string_view type) {
  return std::find(kTypes.begin(), kTypes.end(), type) != kTypes.end();
}

}  // namespace

JxlWalk WalkJxl(RangeReader& read, const std::atomic<bool>* cancel) {
  JxlWalk result;
  WalkWindow window(read, kWindowBytes);
  const Bytes head = window.At(0, static_cast<int32_t>(kSignatureBytes + kHeaderBytes));
  if (head.empty() || !std::equal(std::begin(kJxlSignature), std::end(kJxlSignature), head.begin()))
    return result;
  const Bytes ftypHead = head.subspan(static_cast<size_t>(kSignatureBytes));
  const int64_t ftypSize = *ReadBe32(ftypHead, 0);
  if (TypeOf(ftypHead) != "ftyp" || ftypSize < kSmallestFtyp || ftypSize > kLargestFtyp) {
    return result;
  }
  const Bytes ftyp = window.At(kSignatureBytes, static_cast<int32_t>(ftypSize));
  if (ftyp.empty() || TypeOf(ftyp.subspan(4)) != "jxl ") return result;

  int64_t pos = kSignatureBytes + ftypSize;
  bool whole = false;  // the codestream is complete
  bool parts = false;  // it comes in jxlp boxes
  uint32_t nextPart = 0;
  for (int64_t boxes = 0;; ++boxes) {
    if (IsCancelled(cancel) || boxes > kMostBoxes) {
      result.reached = pos;
      return result;
    }
    Bytes header = window.At(pos, static_cast<int32_t>(kHeaderBytes));
    if (header.empty()) break;
    const uint32_t size32 = *ReadBe32(header, 0);
    const std::string_view type = TypeOf(header);
    const bool known = Known(type);
    // After the codestream only the container's own boxes belong to the file; before it, a box
    // of a type a later version may add is taken, but not bytes that are no box at all.
    if (!known && (whole || !std::all_of(type.begin(), type.end(),
                                         [](char c) { return c >= 0x20 && c <= 0x7E; }))) {
      break;
    }
    int64_t headerBytes = kHeaderBytes;
    int64_t size = size32;
    if (size32 == 1) {
      header = window.At(pos, static_cast<int32_t>(kLargeHeaderBytes));
      if (header.empty()) break;
      const auto large = AsLength(*ReadBe64(header, 8));
      if (!large || *large < kLargeHeaderBytes) break;
      size = *large;
      headerBytes = kLargeHeaderBytes;
    } else if (size32 == 0) {
      // Only the last box may run to the end of the file: the codestream, or its last part.
      if (!whole && (type == "jxlc" || type == "jxlp")) result.openEndedAt = pos;
      break;
    } else if (size < kHeaderBytes) {
      break;
    }
    const auto next = CheckedAdd(pos, size);
    if (!next || *next > kLargestFile) break;
    // A metadata box after a whole codestream that runs off the device is stray bytes.
    if (whole && window.At(*next - 1, 1).empty()) break;

    if (type == "jxlc" || type == "jxlp") {
      if (whole || (type == "jxlc" && parts)) break;
      const int64_t body = pos + headerBytes;
      int64_t stream = body;
      if (type == "jxlp") {
        const Bytes index = window.At(body, 4);
        if (index.empty() || size - headerBytes < 4) break;
        const uint32_t value = *ReadBe32(index, 0);
        if ((value & ~kLastPart) != nextPart) break;
        ++nextPart;
        parts = true;
        whole = (value & kLastPart) != 0;
        stream += 4;
      } else {
        whole = true;
      }
      // The codestream starts with its own signature, FF 0A.
      if ((type == "jxlc" || nextPart == 1) && stream + 2 <= *next) {
        const Bytes start = window.At(stream, 2);
        if (start.empty() || start[0] != 0xFF || start[1] != 0x0A) {
          whole = false;
          break;
        }
      }
      result.codestream = true;
    }
    pos = *next;
  }

  result.reached = pos;
  if (!whole || window.At(pos - 1, 1).empty()) return result;
  result.end = pos;
  return result;
}

}  // namespace quarvelin
