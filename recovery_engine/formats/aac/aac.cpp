// Raw AAC: ADTS frames one after another, each with its own length; nothing records the stream's.

#include "formats/aac/aac_walk.h"
#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

// The frames stopping is the stream's end: proven when the next bytes are no frame of it. Another
// stream of the same kind stored right after would be taken in too; nothing in the frames tells
// them apart.
CarvedSize Size(SizingJob& job) {
  const AacWalk walk = WalkAac(job.Read(), job.Cancel());
  if (walk.clean) return SizingJob::Proven(walk.end);
  return SizingJob::Measured(walk.end);
}

}  // namespace

const FileFormat& AacFormat() {
  // MPEG-4 and MPEG-2 streams, without and with a CRC.
  static const FileFormat format{"AAC",
                                 {{"AAC", "aac", kAudio, 1000, 100 * MiB}},
                                 {{HeaderBytes({0xFF, 0xF1}), {"aac"}, {}},
                                  {HeaderBytes({0xFF, 0xF9}), {"aac"}, {}},
                                  {HeaderBytes({0xFF, 0xF0}), {"aac"}, {}},
                                  {HeaderBytes({0xFF, 0xF8}), {"aac"}, {}}},
                                 Size,
                                 nullptr};
  return format;
}

}  // namespace quarvelin
