// Matroska and WebM: an EBML header, then the Segment whose size gives the file's end.

#include <array>
#include <bit>
#include <optional>

#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

constexpr std::array<uint8_t, 4> kSegment = {0x18, 0x53, 0x80, 0x67};

// The Segment element's size, as an EBML variable-length integer.
std::optional<int64_t> SegmentEnd(SizingJob& job) {
  constexpr size_t kLook = 2'048;
  const Bytes head = job.Read()(0, static_cast<int32_t>(kLook));
  if (head.empty()) return std::nullopt;
  const size_t at = Find(head, kSegment, 0);
  if (at == kNotFound || at + 4 >= kLook) return std::nullopt;
  const size_t field = at + 4;
  const uint8_t first = head[field];
  if (first == 0) return std::nullopt;
  const auto length = static_cast<size_t>(std::countl_zero(first)) + 1;
  if (field + length > kLook) return std::nullopt;
  const uint64_t valueBits = uint64_t{7} * length;
  uint64_t value = first & (0xFFu >> length);
  for (size_t i = 1; i < length; ++i) value = (value << 8) | head[field + i];
  // All value bits set means "size unknown" (live recordings, unfinished files): no end here.
  if (value == (uint64_t{1} << valueBits) - 1) return std::nullopt;
  return static_cast<int64_t>(field + length) + static_cast<int64_t>(value);
}

CarvedSize Size(SizingJob& job) {
  if (const auto size = SegmentEnd(job)) return SizingJob::Measured(*size);
  return SizingJob::Estimated(job.MaxSize());
}

}  // namespace

const FileFormat& MatroskaFormat() {
  static const FileFormat format{
      "Matroska",
      {{"MKV", "mkv", kVideos, 1000, 10 * GiB}, {"WEBM", "webm", kVideos, 1000, 4 * GiB}},
      {{HeaderBytes({0x1A, 0x45, 0xDF, 0xA3}), {"mkv", "webm"}, {}}},
      Size,
      nullptr};
  return format;
}

}  // namespace quarvelin
