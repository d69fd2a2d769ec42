// Compound files: Word, Excel and PowerPoint 97-2003 documents and Outlook messages share one
// container, a FAT file system in a file. The directory's names say which it is.

#include "formats/cfb/cfb_walk.h"
#include "formats/registry.h"
#include "formats/report.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

std::string_view Application(CfbKind kind) {
  switch (kind) {
    case CfbKind::kWord:
      return "Word";
    case CfbKind::kExcel:
      return "Excel";
    case CfbKind::kPowerPoint:
      return "PowerPoint";
    case CfbKind::kOutlookMessage:
      return "Outlook";
    case CfbKind::kUnknown:
      break;
  }
  return "unknown";
}

// A compound file none of our types names (a thumbnail cache, an installer, a drawing) is not
// carved: under a document's extension it would open as nothing.
CarvedSize Size(SizingJob& job) {
  const CfbWalk walk = WalkCfb(job.Read(), job.Cancel());
  const std::string_view extension = CfbExtension(walk.kind);
  if (extension.empty()) return {};
  if (walk.end) return SizingJob::Proven(*walk.end, extension);
  return {.size = walk.reached, .extension = extension};
}

FormatReport Report(RangeReader& read, std::string_view) {
  const CfbWalk walk = WalkCfb(read, nullptr);
  FormatReport report;
  report.validated = true;
  report.size = walk.end.value_or(walk.reached);
  report.confidence = walk.end ? 100 : walk.reached > 0 ? 30 : 0;
  report.accepted = walk.end.has_value() && walk.kind != CfbKind::kUnknown;
  report.fields = {{"sectorSize", Number(walk.sectorSize)},
                   {"sectors", Number(walk.sectors)},
                   {"streams", Number(walk.streams)},
                   {"application", std::string(Application(walk.kind))}};
  if (!walk.issue.empty()) report.issues.push_back(walk.issue);
  if (walk.end && walk.kind == CfbKind::kUnknown) {
    report.issues.emplace_back("no Word, Excel, PowerPoint or Outlook content");
  }
  return report;
}

}  // namespace

const FileFormat& CfbFormat() {
  static const FileFormat format{"Compound file",
                                 {{"DOC", "doc", kDocuments, 1024, 512 * MiB},
                                  {"XLS", "xls", kDocuments, 1024, 512 * MiB},
                                  {"PPT", "ppt", kDocuments, 1024, 1 * GiB},
                                  {"MSG", "msg", kDocuments, 1024, 256 * MiB}},
                                 {{HeaderBytes({0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}),
                                   {"doc", "xls", "ppt", "msg"},
                                   {}}},
                                 Size,
                                 Report};
  return format;
}

}  // namespace quarvelin
