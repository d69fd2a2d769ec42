// ICO: a directory of images; the file ends with the furthest image it points at.

#include "formats/ico/ico_walk.h"
#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

// Four bytes that begin an icon begin much else too: without a plausible directory these are not
// an icon, and carving its largest size would skip the files stored under it.
CarvedSize Size(SizingJob& job) {
  const auto icon = WalkIcoDirectory(job.Read(), job.Cancel(), job.MaxSize());
  return icon ? SizingJob::Proven(icon->end) : CarvedSize{};
}

}  // namespace

const FileFormat& IcoFormat() {
  static const FileFormat format{"ICO",
                                 {{"ICO", "ico", kImages, 20, 10 * MiB}},
                                 {{HeaderBytes({0x00, 0x00, 0x01, 0x00}), {"ico"}, {}}},
                                 Size,
                                 nullptr};
  return format;
}

}  // namespace quarvelin
