// FLAC: carved up to its maximum, cut where the next file begins.

#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

CarvedSize Size(SizingJob& job) {
  return SizingJob::Estimated(job.MaxSize());
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
