// JPEG: segments from SOI to EOI, an embedded thumbnail (a whole JPEG inside APP1) included.

#include "formats/jpeg/jpeg_validator.h"
#include "formats/registry.h"
#include "formats/report.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

CarvedSize Size(SizingJob& job) {
  if (const auto jpeg = ValidateJpeg(job.Read(), job.Cancel()); Accepted(jpeg)) {
    return SizingJob::Proven(jpeg.size);
  }
  return job.SearchFooter(FooterSearch::kNestedMarkers);
}

FormatReport Report(RangeReader& read, std::string_view) {
  const auto r = ValidateJpeg(read, nullptr);
  FormatReport report = Validated(r, Accepted(r));
  report.fields = {{"width", Number(r.width)},
                   {"height", Number(r.height)},
                   {"hasExif", Flag(r.hasExif)},
                   {"hasIccProfile", Flag(r.hasIccProfile)},
                   {"hasEmbeddedJpeg", Flag(r.hasEmbeddedJpeg)}};
  return report;
}

}  // namespace

const FileFormat& JpegFormat() {
  static const FileFormat format = [] {
    const auto eoi = HeaderBytes({0xFF, 0xD9});
    FileFormat f{"JPEG", {{"JPEG", "jpg", kImages, 1000, 1 * GiB}}, {}, Size, Report};
    for (int marker : {0xE0, 0xE1, 0xDB, 0xEE}) {
      f.headers.push_back({HeaderBytes({0xFF, 0xD8, 0xFF, marker}), {"jpg"}, eoi});
    }
    return f;
  }();
  return format;
}

}  // namespace quarvelin
