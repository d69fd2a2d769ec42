// BMP: the file header records the file's length; the validator checks it against the image.

#include "formats/bmp/bmp_validator.h"
#include "formats/registry.h"
#include "formats/report.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

CarvedSize Size(SizingJob& job) {
  const auto bmp = ValidateBmp(job.Read(), job.Cancel());
  return Accepted(bmp) ? SizingJob::Proven(bmp.size) : CarvedSize{};
}

FormatReport Report(RangeReader& read, std::string_view) {
  const auto r = ValidateBmp(read, nullptr);
  FormatReport report = Validated(r, Accepted(r));
  report.fields = {{"width", Number(r.width)},
                   {"height", Number(r.height)},
                   {"bitsPerPixel", Number(r.bitsPerPixel)}};
  return report;
}

}  // namespace

const FileFormat& BmpFormat() {
  static const FileFormat format{"BMP",
                                 {{"BMP", "bmp", kImages, 54, 50 * MiB}},
                                 {{HeaderText("BM"), {"bmp"}, {}}},
                                 Size,
                                 Report};
  return format;
}

}  // namespace quarvelin
