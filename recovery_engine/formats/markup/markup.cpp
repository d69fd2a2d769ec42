// Markup: SVG, HTML and XML, text that ends with the root element's closing tag.

#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

CarvedSize Size(SizingJob& job) {
  if (job.Row().footer.empty()) return SizingJob::Estimated(job.MaxSize());
  return job.SearchFooter(FooterSearch::kFooter, true);
}

}  // namespace

const FileFormat& MarkupFormat() {
  static const FileFormat format{"Markup",
                                 {{"SVG", "svg", kImages, 50, 10 * MiB},
                                  {"HTML", "html", kCode, 50, 10 * MiB},
                                  {"XML", "xml", kCode, 50, 10 * MiB}},
                                 {{HeaderText("<svg"), {"svg"}, HeaderText("</svg>")},
                                  {HeaderText("<html"), {"html"}, HeaderText("</html>")},
                                  {HeaderText("<?xml"), {"xml"}, {}}},
                                 Size,
                                 nullptr};
  return format;
}

}  // namespace quarvelin
