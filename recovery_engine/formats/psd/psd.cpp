// PSD and PSB: a header, three length-prefixed sections, then the composite image. The version
// names the type: 1 a Photoshop document, 2 a large document (PSB).

#include <string_view>

#include "formats/psd/psd_walk.h"
#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

// A file whose walk fails (cut short, or compressed with no stored length) is carved up to its
// maximum and cut where the next file begins.
CarvedSize Size(SizingJob& job) {
  const Bytes version = job.Read()(4, 2);
  const std::string_view extension =
      !version.empty() && version[0] == 0 && version[1] == 2 ? "psb" : "psd";
  if (const auto end = WalkPsd(job.Read(), job.Cancel())) {
    return SizingJob::Proven(*end, extension);
  }
  return {.size = job.MaxSize(), .estimated = true, .extension = extension};
}

}  // namespace

const FileFormat& PsdFormat() {
  static const FileFormat format{
      "PSD",
      {{"PSD", "psd", kImages, 1000, 2 * GiB}, {"PSB", "psb", kImages, 1000, 64 * GiB}},
      {{HeaderText("8BPS"), {"psd", "psb"}, {}}},
      Size,
      nullptr};
  return format;
}

}  // namespace quarvelin
