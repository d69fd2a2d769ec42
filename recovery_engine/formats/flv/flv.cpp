// FLV: a header, then tags, each followed by a back pointer that repeats its length.

#include <optional>

#include "common/byte_fields.h"
#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

constexpr int64_t kWalkLimit = 5'368'709'120;

// Steps over the tags (audio 8, video 9, script data 18).
std::optional<int64_t> WalkTags(SizingJob& job) {
  int64_t pos = 13;
  while (true) {
    const Bytes tag = job.Read()(pos, 11);
    if (tag.empty()) break;
    const int type = tag[0] & 0x1F;
    if (type != 8 && type != 9 && type != 18) break;
    // A tag's stream id is always 0, and the size field after it repeats the tag's length: bytes
    // after the file rarely pass both, so the walk does not wander into the next file.
    const int64_t tagBytes = int64_t{*ReadBe24(tag, 1)} + 11;
    if (*ReadBe24(tag, 8) != 0) break;
    const Bytes back = job.Read()(pos + tagBytes, 4);
    if (back.empty() || *ReadBe32(back, 0) != tagBytes) break;
    pos += tagBytes + 4;
    if (pos > kWalkLimit || job.Cancelled()) break;
  }
  if (pos > 13) return pos;
  return std::nullopt;
}

CarvedSize Size(SizingJob& job) {
  if (job.Available() >= 9 && StartsWith(job.Candidate(), "FLV") && !job.Cancelled()) {
    if (const auto end = WalkTags(job)) return SizingJob::Measured(*end);
  }
  return SizingJob::Estimated(job.MaxSize());
}

}  // namespace

const FileFormat& FlvFormat() {
  static const FileFormat format{"FLV",
                                 {{"FLV", "flv", kVideos, 5000, 4 * GiB}},
                                 {{HeaderBytes({0x46, 0x4C, 0x56, 0x01}), {"flv"}, {}}},
                                 Size,
                                 nullptr};
  return format;
}

}  // namespace quarvelin
