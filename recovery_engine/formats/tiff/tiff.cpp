// TIFF: IFDs whose entries point at strips, tiles and further IFDs; the file ends at the furthest
// byte any of them reaches.

#include "formats/registry.h"
#include "formats/tiff/tiff_walk.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

// A file whose walk fails (cut short, or compressed with no stored length) is carved up to its
// maximum and cut where the next file begins.
CarvedSize Size(SizingJob& job) {
  if (const auto end = WalkTiff(job.Read(), job.Cancel())) return SizingJob::Proven(*end);
  return SizingJob::Estimated(job.MaxSize());
}

}  // namespace

const FileFormat& TiffFormat() {
  static const FileFormat format{"TIFF",
                                 {{"TIFF", "tif", kImages, 100, 200 * MiB}},
                                 {{HeaderBytes({0x49, 0x49, 0x2A, 0x00}), {"tif"}, {}},
                                  {HeaderBytes({0x4D, 0x4D, 0x00, 0x2A}), {"tif"}, {}},
                                  {HeaderBytes({0x49, 0x49, 0x2B, 0x00}), {"tif"}, {}},
                                  {HeaderBytes({0x4D, 0x4D, 0x00, 0x2B}), {"tif"}, {}}},
                                 Size,
                                 nullptr};
  return format;
}

}  // namespace quarvelin
