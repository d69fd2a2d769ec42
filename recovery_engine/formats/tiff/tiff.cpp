// TIFF: carved up to its maximum, cut where the next file begins.

#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

CarvedSize Size(SizingJob& job) {
  return SizingJob::Estimated(job.MaxSize());
}

}  // namespace

const FileFormat& TiffFormat() {
  static const FileFormat format{"TIFF",
                                 {{"TIFF", "tif", kImages, 100, 200 * MiB}},
                                 {{HeaderBytes({0x49, 0x49, 0x2A, 0x00}), {"tif"}, {}},
                                  {HeaderBytes({0x4D, 0x4D, 0x00, 0x2A}), {"tif"}, {}}},
                                 Size,
                                 nullptr};
  return format;
}

}  // namespace quarvelin
