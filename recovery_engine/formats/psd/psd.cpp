// PSD and PSB: a header, three length-prefixed sections, then the composite image.

#include "formats/psd/psd_walk.h"
#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

// A file whose walk fails (cut short, or compressed with no stored length) is carved up to its
// maximum and cut where the next file begins.
CarvedSize Size(SizingJob& job) {
  if (const auto end = WalkPsd(job.Read(), job.Cancel())) return SizingJob::Proven(*end);
  return SizingJob::Estimated(job.MaxSize());
}

}  // namespace

const FileFormat& PsdFormat() {
  static const FileFormat format{"PSD",
                                 {{"PSD", "psd", kImages, 1000, 2 * GiB}},
                                 {{HeaderText("8BPS"), {"psd"}, {}}},
                                 Size,
                                 nullptr};
  return format;
}

}  // namespace quarvelin
