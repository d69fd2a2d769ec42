// tar: 512-byte headers, each followed by its member's data, closed by two zero blocks. Nothing
// marks the archive's first byte: the first header holds a member's name there, and its magic
// stands at 257.

#include "formats/registry.h"
#include "formats/tar/tar_walk.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

// The closing zero blocks prove the end. An archive cut short or overwritten keeps its whole
// members.
CarvedSize Size(SizingJob& job) {
  const TarEnd end = WalkTar(job.Read(), job.MaxSize(), job.Cancel());
  if (end.whole) return SizingJob::Proven(end.size);
  return SizingJob::Measured(end.size);
}

}  // namespace

const FileFormat& TarFormat() {
  static const FileFormat format{
      "tar", {{"TAR", "tar", kArchives, 2 * KiB, 64 * GiB}}, {}, Size, nullptr, "tar", IsTarHeader};
  return format;
}

}  // namespace quarvelin
