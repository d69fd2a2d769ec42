// OGG: carved up to its maximum, cut where the next file begins.

#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

CarvedSize Size(SizingJob& job) {
  return SizingJob::Estimated(job.MaxSize());
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
