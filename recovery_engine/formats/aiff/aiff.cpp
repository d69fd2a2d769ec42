// AIFF and AIFF-C: an IFF "FORM" whose size gives the file's length, its chunks filling it.

#include "formats/aiff/aiff_walk.h"
#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

CarvedSize Size(SizingJob& job) {
  const AiffWalk walk = WalkAiff(job.Read(), job.Cancel());
  if (walk.end > 0) return SizingJob::Proven(walk.end);
  // A file cut short, or overwritten part way, keeps the chunks that are whole.
  return SizingJob::Measured(walk.wholeChunks);
}

}  // namespace

const FileFormat& AiffFormat() {
  static const FileFormat format{"AIFF",
                                 {{"AIFF", "aif", kAudio, 1000, 2 * GiB}},
                                 {{HeaderText("FORM"), {"aif"}, {}}},
                                 Size,
                                 nullptr};
  return format;
}

}  // namespace quarvelin
