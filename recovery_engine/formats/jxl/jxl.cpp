// JPEG XL in its box container. A bare codestream (FF 0A) records no length and is not carved.

#include <algorithm>

#include "formats/jxl/jxl_walk.h"
#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

// A codestream box that runs "to the end of the file" is credited with this much.
constexpr int64_t kOpenEndedAllowance = 16 * MiB;

CarvedSize Size(SizingJob& job) {
  const JxlWalk walk = WalkJxl(job.Read(), job.Cancel());
  if (walk.end) return SizingJob::Proven(*walk.end);
  if (walk.openEndedAt) {
    return SizingJob::Estimated(
        std::min(CheckedAdd(*walk.openEndedAt, kOpenEndedAllowance).value_or(0), job.MaxSize()));
  }
  // Cut short or broken up: as far as the boxes lead, when they led to the image at all.
  return SizingJob::Measured(walk.codestream ? walk.reached : 0);
}

}  // namespace

const FileFormat& JxlFormat() {
  static const FileFormat format{
      "JPEG XL",
      {{"JXL", "jxl", kImages, 200, 200 * MiB}},
      {{std::vector<uint8_t>(std::begin(kJxlSignature), std::end(kJxlSignature)), {"jxl"}, {}}},
      Size,
      nullptr};
  return format;
}

}  // namespace quarvelin
