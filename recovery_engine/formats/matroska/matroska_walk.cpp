#include "matroska_walk.h"

#include <algorithm>
#include <array>
#include <bit>
#include <string_view>

#include "common/byte_fields.h"
#include "formats/validation_result.h"

namespace quarvelin {
namespace {

constexpr uint32_t kEbmlId = 0x1A45DFA3;
constexpr uint32_t kDocTypeId = 0x4282;
constexpr uint32_t kSegmentId = 0x18538067;
constexpr uint32_t kClusterId = 0x1F43B675;
constexpr uint32_t kVoidId = 0xEC;
constexpr uint32_t kCrc32Id = 0xBF;
// The Segment's children. Void and CRC-32 may stand anywhere; the rest are four-byte IDs.
constexpr std::array<uint32_t, 10> kSegmentChildren = {
    0x114D9B74,  // SeekHead
    0x1549A966,  // Info
    0x1654AE6B,  // Tracks
    kClusterId,
    0x1C53BB6B,  // Cues
    0x1941A469,  // Attachments
    0x1043A770,  // Chapters
    0x1254C367,  // Tags
    kVoidId,    kCrc32Id,
};

// No recording we recover is larger; a size that reaches past this is not a file's.
constexpr int64_t kLargestFile = int64_t{1} << 40;
// The EBML header holds a handful of short fields.
constexpr int64_t kLargestEbmlHeader = 4'096;
// A live recording of a day in one-second clusters has under a hundred thousand.
constexpr int64_t kMostElements = 4'000'000;
constexpr int32_t kWindowBytes = 65'536;
// An element header: an ID of up to 4 bytes and a size of up to 8.
constexpr int32_t kLongestHeader = 12;

struct Element {
  uint32_t id = 0;
  std::optional<int64_t> size;  // nothing: unknown size
  int64_t headerBytes = 0;
};

// The element header at the start of `bytes`: its ID keeps its length marker, as IDs are written.
std::optional<Element> ReadElement(Bytes bytes) {
  if (bytes.empty() || bytes[0] == 0) return std::nullopt;
  const auto idBytes = static_cast<size_t>(std::countl_zero(bytes[0])) + 1;
  if (idBytes > 4 || bytes.size() < idBytes + 1) return std::nullopt;
  Element element;
  for (size_t i = 0; i < idBytes; ++i) element.id = (element.id << 8) | bytes[i];

  const uint8_t lead = bytes[idBytes];
  if (lead == 0) return std::nullopt;
  const auto sizeBytes = static_cast<size_t>(std::countl_zero(lead)) + 1;
  if (bytes.size() < idBytes + sizeBytes) return std::nullopt;
  uint64_t value = lead & (0xFFu >> sizeBytes);
  for (size_t i = 1; i < sizeBytes; ++i) value = (value << 8) | bytes[idBytes + i];
  // All value bits set marks a size the writer did not know.
  if (value != (uint64_t{1} << (7 * sizeBytes)) - 1) element.size = static_cast<int64_t>(value);
  element.headerBytes = static_cast<int64_t>(idBytes + sizeBytes);
  return element;
}

// The EBML header at offset 0, with its body in the same bytes.
std::optional<Element> EbmlHeader(Bytes bytes) {
  const auto header = ReadElement(bytes);
  if (!header || header->id != kEbmlId || !header->size || *header->size > kLargestEbmlHeader ||
      header->headerBytes + *header->size > static_cast<int64_t>(bytes.size())) {
    return std::nullopt;
  }
  return header;
}

bool SegmentChild(uint32_t id) {
  return std::find(kSegmentChildren.begin(), kSegmentChildren.end(), id) != kSegmentChildren.end();
}

}  // namespace

std::optional<std::string> MatroskaDocType(RangeReader& read) {
  const Bytes bytes =
      read.ReadWindow(0, static_cast<int32_t>(kLargestEbmlHeader + kLongestHeader), kLongestHeader);
  const auto header = EbmlHeader(bytes);
  if (!header) return std::nullopt;
  const Bytes body =
      bytes.subspan(static_cast<size_t>(header->headerBytes), static_cast<size_t>(*header->size));
  for (size_t at = 0; at < body.size();) {
    const auto child = ReadElement(body.subspan(at));
    if (!child || !child->size ||
        *child->size > static_cast<int64_t>(body.size() - at) - child->headerBytes) {
      return std::nullopt;
    }
    const size_t data = at + static_cast<size_t>(child->headerBytes);
    const auto size = static_cast<size_t>(*child->size);
    if (child->id == kDocTypeId) {
      std::string_view docType(reinterpret_cast<const char*>(body.data() + data), size);
      // Strings may be padded with zero bytes.
      docType = docType.substr(0, docType.find('\0'));
      if (docType == "webm" || docType == "matroska") return std::string(docType);
      return std::nullopt;
    }
    at = data + size;
  }
  return std::nullopt;
}

std::optional<int64_t> WalkMatroska(RangeReader& read, const std::atomic<bool>* cancel) {
  WalkWindow window(read, kWindowBytes);
  // An element header, also where the device ends less than its longest form after it.
  const auto headerAt = [&window](int64_t at) {
    Bytes bytes = window.At(at, kLongestHeader);
    if (bytes.empty()) bytes = window.At(at, 2);
    return ReadElement(bytes.first(std::min<size_t>(bytes.size(), kLongestHeader)));
  };
  const auto ebml = EbmlHeader(window.At(0, kLongestHeader));
  if (!ebml) return std::nullopt;
  const int64_t segmentAt = ebml->headerBytes + *ebml->size;
  const auto segment = headerAt(segmentAt);
  if (!segment || segment->id != kSegmentId) return std::nullopt;
  const int64_t dataAt = segmentAt + segment->headerBytes;

  if (segment->size) {
    const auto end = CheckedAdd(dataAt, *segment->size);
    if (!end || *end > kLargestFile || read(*end - 1, 1).empty()) return std::nullopt;
    return end;
  }

  // Unknown size: the file ends after the last child of the Segment. A Void or CRC-32 element at
  // the very end is not counted: one byte of stray data after the file matches those IDs.
  int64_t pos = dataAt;
  int64_t end = pos;
  bool sawCluster = false;
  for (int64_t elements = 0;; ++elements) {
    if (IsCancelled(cancel) || elements > kMostElements) return std::nullopt;
    // The device's end, or a failed read: the recording may go on past it.
    if (window.At(pos, 1).empty()) return std::nullopt;
    const auto element = headerAt(pos);
    if (!element || !SegmentChild(element->id)) break;
    // A Cluster of unknown size would need its blocks walked; that is not proven here.
    if (!element->size) return std::nullopt;
    if (element->id == kCrc32Id && *element->size != 4) break;
    const auto next = CheckedAdd(pos, element->headerBytes, *element->size);
    if (!next || *next > kLargestFile) break;
    pos = *next;
    if (element->id == kVoidId || element->id == kCrc32Id) continue;
    end = pos;
    if (element->id == kClusterId) sawCluster = true;
  }
  // The last element must lie on the device whole: one cut off by its end is a truncated file.
  if (!sawCluster || read(end - 1, 1).empty()) return std::nullopt;
  return end;
}

}  // namespace quarvelin
