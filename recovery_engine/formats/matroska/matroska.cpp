// Matroska and WebM: an EBML header whose DocType names the type, then the Segment.

#include <string_view>

#include "formats/matroska/matroska_walk.h"
#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

CarvedSize Size(SizingJob& job) {
  const std::optional<std::string> docType = MatroskaDocType(job.Read());
  const std::string_view extension = docType == "webm" ? "webm" : "mkv";
  if (const auto end = WalkMatroska(job.Read(), job.Cancel())) {
    return SizingJob::Proven(*end, extension);
  }
  return {.size = job.MaxSize(), .estimated = true, .extension = extension};
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
