// PDF: "%PDF-", objects, and one or more "%%EOF" markers (one per incremental update).

#include <optional>

#include "formats/registry.h"
#include "formats/report.h"
#include "sizing/sizing_job.h"
#include "validators/acceptance.h"

namespace quarvelin {
namespace {

// Sectors per read for the "%%EOF" search, and how far it looks.
constexpr uint32_t kSearchReadSectors = 2'048;
constexpr int64_t kSearchLimit = 2'097'152'000;
// Bytes kept from one read to the next.
constexpr size_t kPdfKeep = 32'768;

// The last "%%EOF" decides, up to the next PDF stored on the disk: one whose "%PDF-" starts a
// sector (inside this file it would be text, which need not be aligned).
int64_t SearchLastEnd(SizingJob& job) {
  const Bytes header = AsBytes("%PDF-");
  const Bytes marker = AsBytes("%%EOF");
  auto [window, stream] = job.BeginSearch(
      job.Memo() != nullptr ? job.Examined(job.Memo()->pdfEnd) : std::nullopt, marker.size() - 1);
  std::optional<int64_t> last;
  std::optional<int64_t> nextFile;
  while (window.Consumed() < kSearchLimit && !job.Cancelled()) {
    const Bytes bytes = window.View();
    size_t before = bytes.size();
    for (size_t i = Find(bytes, header, 0); i != kNotFound; i = Find(bytes, header, i + 1)) {
      const int64_t at = window.Consumed() + static_cast<int64_t>(i);
      if (at > 0 && job.Read().StartsSector(at)) {
        before = i;
        nextFile = at;
        break;
      }
    }
    for (size_t i = Find(bytes, marker, 0, before); i != kNotFound;
         i = Find(bytes, marker, i + 1, before)) {
      last = window.Consumed() + static_cast<int64_t>(i);
    }
    if (nextFile) {
      // Every header before the next file would search up to it.
      if (!last && job.Memo() != nullptr)
        job.Remember(job.Memo()->pdfEnd, *nextFile, SearchStop::kNextFile);
      break;
    }
    const int64_t examined = window.End();
    window.KeepLast(kPdfKeep);
    const bool blocked = !window.Append(stream, kSearchReadSectors);
    if (blocked || window.Consumed() >= kSearchLimit) {
      if (!last && job.Memo() != nullptr)
        job.Remember(job.Memo()->pdfEnd, examined, SizingJob::StopOf(blocked));
      break;
    }
  }
  if (!last) return 0;
  // The allowance for the line end must not reach into the next file, or the scan would resume
  // past that file's first sector and never see it.
  return std::min(*last + 9, nextFile.value_or(INT64_MAX));
}

CarvedSize Size(SizingJob& job) {
  if (job.Memo() != nullptr && job.Endless(job.Memo()->pdfEnd)) return {};
  if (const auto pdf = ValidatePdf(job.Read(), job.Cancel()); Accepted(pdf)) {
    return SizingJob::Measured(pdf.size);
  }
  return SizingJob::Measured(SearchLastEnd(job));
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
