// FLAC: "fLaC", metadata blocks, then frames, each with a header CRC-8 and a frame CRC-16.

#include "formats/flac/flac_walk.h"
#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

CarvedSize Size(SizingJob& job) {
  const FlacWalk walk = WalkFlac(job.Read(), job.Cancel());
  // Without a total sample count, the frames stopping is all the file says of its end.
  if (walk.end) {
    return walk.reachedTotal ? SizingJob::Proven(*walk.end) : SizingJob::Measured(*walk.end);
  }
  // A file cut short or broken up keeps the frames that are whole.
  return SizingJob::Measured(walk.lastGoodFrame);
}

}  // namespace

const FileFormat& FlacFormat() {
  static const FileFormat format{"FLAC",
                                 {{"FLAC", "flac", kAudio, 1000, 500 * MiB}},
                                 {{HeaderText("fLaC"), {"flac"}, {}}},
                                 Size,
                                 nullptr};
  return format;
}

}  // namespace quarvelin
