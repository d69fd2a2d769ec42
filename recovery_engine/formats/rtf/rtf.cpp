// RTF: one group of nested braces; the file ends with the brace that closes the first.

#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

CarvedSize Size(SizingJob& job) {
  return job.SearchFooter(FooterSearch::kBraces, true);
}

}  // namespace

const FileFormat& RtfFormat() {
  static const FileFormat format{"RTF",
                                 {{"RTF", "rtf", kDocuments, 50, 50 * MiB}},
                                 {{HeaderText("{\\rtf1"), {"rtf"}, HeaderText("}")}},
                                 Size,
                                 nullptr};
  return format;
}

}  // namespace quarvelin
