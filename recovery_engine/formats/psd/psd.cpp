// PSD: carved up to its maximum, cut where the next file begins.

#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

CarvedSize Size(SizingJob& job) {
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
