// FLV: a header, then tags, each followed by a back pointer that repeats its length.

#include <optional>

#include "common/byte_fields.h"
#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

constexpr int64_t kWalkLimit = 5'368'709'120;

struct TagWalk {
  int64_t end = 0;
  bool clean = false;  // the bytes after the last tag could be read, and are no tag
};

// Steps over the tags (audio 8, video 9, script data 18).
std::optional<TagWalk> WalkTags(SizingJob& job) {
  int64_t pos = 13;
  bool clean = false;
  while (true) {
    clean = false;
    const Bytes tag = job.Read()(pos, 11);
    if (tag.empty()) break;
    clean = true;
    const int type = tag[0] & 0x1F;
    if (type != 8 && type != 9 && type != 18) break;
    // A tag's stream id is always 0, and the size field after it repeats the tag's length: bytes
    // after the file rarely pass both, so the walk does not wander into the next file.
    const int64_t tagBytes = int64_t{*ReadBe24(tag, 1)} + 11;
    if (*ReadBe24(tag, 8) != 0) break;
    const Bytes back = job.Read()(pos + tagBytes, 4);
    if (back.empty() || *ReadBe32(back, 0) != tagBytes) break;
    pos += tagBytes + 4;
    if (pos > kWalkLimit || job.Cancelled()) {
      clean = false;
      break;
    }
  }
  if (pos > 13) return TagWalk{pos, clean};
  return std::nullopt;
}

CarvedSize Size(SizingJob& job) {
  if (job.Available() >= 9 && StartsWith(job.Candidate(), "FLV") && !job.Cancelled()) {
    // Every tag's length is written twice: a walk that ends where the bytes stop being tags has
    // found the file's end.
    if (const auto walk = WalkTags(job)) {
      return walk->clean ? SizingJob::Proven(walk->end) : SizingJob::Measured(walk->end);
    }
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
