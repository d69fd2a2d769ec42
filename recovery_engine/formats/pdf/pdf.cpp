// PDF: "%PDF-", objects, and one or more "%%EOF" markers (one per incremental update).

#include "formats/pdf/pdf_validator.h"
#include "formats/pdf/pdf_walk.h"
#include "formats/registry.h"
#include "formats/report.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

// The file ends with the line end of the last "%%EOF" that no incremental update follows. A
// search that finds none remembers the stretch it looked through, so the other headers in it (a
// run of "%PDF" inside some other file) do not search it again.
CarvedSize Size(SizingJob& job) {
  SizingMemo* memo = job.Memo();
  if (memo != nullptr && job.Endless(memo->pdfEnd)) return {};
  const int64_t resume = memo != nullptr ? job.Examined(memo->pdfEnd).value_or(0) : 0;
  const PdfEnd end = WalkPdfEnd(job.Read(), job.Cancel(), job.NextFiles(), resume);
  if (end.size) return SizingJob::Proven(*end.size);
  if (memo != nullptr && !job.Cancelled()) job.Remember(memo->pdfEnd, end.searchedTo, end.stop);
  return {};
}

FormatReport Report(RangeReader& read, std::string_view) {
  const auto r = ValidatePdf(read, nullptr);
  FormatReport report = Validated(r, Accepted(r));
  report.fields = {{"version", r.version},
                   {"hasXref", Flag(r.hasXref)},
                   {"hasEof", Flag(r.hasEof)},
                   {"eofCount", Number(r.eofCount)}};
  return report;
}

}  // namespace

const FileFormat& PdfFormat() {
  static const FileFormat format{"PDF",
                                 {{"PDF", "pdf", kDocuments, 100, 500 * MiB}},
                                 {{HeaderText("%PDF"), {"pdf"}, HeaderText("%%EOF")}},
                                 Size,
                                 Report};
  return format;
}

}  // namespace quarvelin
