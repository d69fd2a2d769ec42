// GIF: blocks from the screen descriptor to the trailer.

#include "formats/gif/gif_validator.h"
#include "formats/registry.h"
#include "formats/report.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

CarvedSize Size(SizingJob& job) {
  if (const auto gif = ValidateGif(job.Read(), job.Cancel()); Accepted(gif)) {
    return SizingJob::Proven(gif.size);
  }
  return job.SearchFooter(FooterSearch::kFooter);
}

FormatReport Report(RangeReader& read, std::string_view) {
  const auto r = ValidateGif(read, nullptr);
  FormatReport report = Validated(r, Accepted(r));
  report.fields = {{"width", Number(r.width)},
                   {"height", Number(r.height)},
                   {"frameCount", Number(r.frameCount)},
                   {"hasTrailer", Flag(r.hasTrailer)}};
  return report;
}

}  // namespace

const FileFormat& GifFormat() {
  static const FileFormat format{"GIF",
                                 {{"GIF", "gif", kImages, 50, 1 * GiB}},
                                 {{HeaderText("GIF89a"), {"gif"}, HeaderBytes({0x00, 0x3B})},
                                  {HeaderText("GIF87a"), {"gif"}, HeaderBytes({0x00, 0x3B})}},
                                 Size,
                                 Report};
  return format;
}

}  // namespace quarvelin
