// OGG: pages, each with a checksum, of one or more logical streams (multiplexed, or chained one
// link after another).

#include "formats/ogg/ogg_walk.h"
#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

CarvedSize Size(SizingJob& job) {
  const OggWalk walk = WalkOgg(job.Read(), job.Cancel());
  if (walk.end) return SizingJob::Proven(*walk.end);
  // A file cut short or broken up keeps the pages that are whole. "OggS" in other data, whose first
  // page does not check, is no file at all.
  return SizingJob::Measured(walk.lastGoodPage);
}

}  // namespace

const FileFormat& OggFormat() {
  static const FileFormat format{"OGG",
                                 {{"OGG", "ogg", kAudio, 1000, 500 * MiB}},
                                 {{HeaderText("OggS"), {"ogg"}, {}}},
                                 Size,
                                 nullptr};
  return format;
}

}  // namespace quarvelin
