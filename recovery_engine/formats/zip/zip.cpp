// ZIP and the formats stored as ZIP archives (Office Open XML, OpenDocument, EPUB, JAR, APK): local
// entries, a central directory and an end-of-central-directory record.

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "common/byte_fields.h"
#include "formats/registry.h"
#include "formats/report.h"
#include "formats/zip/zip_validator.h"
#include "formats/zip/zip_walk.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

// Sectors per read for the end record search, and how far it looks.
constexpr uint32_t kSearchReadSectors = 2'048;
constexpr int64_t kSearchLimit = 2'097'152'000;
// Bytes kept between reads: enough for a record with the longest comment.
constexpr size_t kEndRecordBytes = 22;
constexpr size_t kZipKeep = kEndRecordBytes + 65'535;
// End records a scan remembers at most; past that a stretch's records are searched afresh.
constexpr size_t kRememberedZipRecords = 262'144;
constexpr std::array<uint8_t, 4> kEndOfCentralDirectory = {'P', 'K', 0x05, 0x06};

struct MetRecord {
  int64_t at;  // offsets from the header
  int64_t end;
  int64_t directoryEnd;  // the central directory's offset plus its size
};

// Notes what a search for the ZIP end record that read up to offset `end` met. Only a stretch
// that reaches where the device could be read no further is remembered with its records: a
// search that stopped at its reach would go on past them.
void RememberEndRecords(SizingJob& job, int64_t end, bool blocked, bool seen,
                        const std::vector<MetRecord>& met) {
  MarkerFreeStretch& known = job.Memo()->zipEnd;
  ZipEndRecordsMet& records = job.Memo()->zipRecords;
  // This search went through a stretch with records from its start: what it met replaces them.
  if (!records.endByArchiveStart.empty()) {
    known = {};
    records = {};
  }
  const int64_t to = CheckedAdd(job.Start(), end).value_or(INT64_MAX);
  if (!blocked && to < job.Memo()->deviceBytes) {
    if (!seen) job.Remember(known, end, SizingJob::StopOf(blocked));
    return;
  }
  if (met.size() > kRememberedZipRecords) return;
  job.Remember(known, end, SizingJob::StopOf(blocked));
  for (const MetRecord& record : met) {
    const int64_t at = job.Start() + record.at;
    const ZipEndRecordsMet::Record found{at, job.Start() + record.end};
    records.endByArchiveStart.try_emplace(at - record.directoryEnd, found.end);
    if (found.end <= to) records.lastFitting = found;
  }
}

// What a search for the end record would find, when an earlier search has looked through the rest
// of the readable device from inside the stretch that holds the header.
std::optional<int64_t> KnownEndOfCentralDirectory(SizingJob& job) {
  if (job.Memo() == nullptr || !job.Endless(job.Memo()->zipEnd)) return std::nullopt;
  const ZipEndRecordsMet& records = job.Memo()->zipRecords;
  if (const auto own = records.endByArchiveStart.find(job.Start());
      own != records.endByArchiveStart.end()) {
    return own->second - job.Start();
  }
  return records.lastFitting.at >= job.Start() ? records.lastFitting.end - job.Start() : 0;
}

// The archive ends with its end-of-central-directory record: the one whose central directory ends
// exactly where it starts (this archive's own), or failing that the last one within reach.
int64_t SearchEndOfCentralDirectory(SizingJob& job) {
  if (job.Cancelled()) return 0;
  // A stretch that held records is searched afresh: resuming at its end would skip them.
  auto [window, stream] =
      job.BeginSearch(job.Memo() != nullptr && job.Memo()->zipRecords.endByArchiveStart.empty()
                          ? job.Examined(job.Memo()->zipEnd)
                          : std::nullopt,
                      kEndOfCentralDirectory.size() - 1);
  int64_t best = 0;
  bool seen = false;           // any end record's signature, whole or not
  std::vector<MetRecord> met;  // whole records, for the memo
  while (true) {
    const Bytes bytes = window.View();
    for (size_t i = Find(bytes, kEndOfCentralDirectory, 0); i != kNotFound;
         i = Find(bytes, kEndOfCentralDirectory, i + 1)) {
      seen = true;
      if (bytes.size() - i < kEndRecordBytes) break;
      const int64_t at = window.Consumed() + static_cast<int64_t>(i);
      const int64_t end = at + static_cast<int64_t>(kEndRecordBytes) + *ReadLe16(bytes, i + 20);
      int64_t directoryEnd = int64_t{*ReadLe32(bytes, i + 16)} + *ReadLe32(bytes, i + 12);
      // A ZIP64 archive's directory ends where its ZIP64 end record starts. (The window owns its
      // bytes or borrows the scan buffer, so reading on does not disturb it.)
      if (directoryEnd != at && MayBeZip64End(bytes, i)) {
        if (const auto layout = ReadZipEnd(job.Read(), at); layout && layout->archiveStart) {
          directoryEnd = at - *layout->archiveStart;
        }
      }
      // Records further on belong to whatever the disk holds after this archive.
      if (directoryEnd == at) return end;
      if (end <= window.End()) best = end;
      // The bytes kept between reads are looked at again.
      if (job.Memo() != nullptr && (met.empty() || at > met.back().at) &&
          met.size() <= kRememberedZipRecords) {
        met.push_back({at, end, directoryEnd});
      }
    }
    const int64_t examined = window.End();
    window.KeepLast(kZipKeep);
    const bool blocked = !window.Append(stream, kSearchReadSectors);
    if (blocked || window.Consumed() >= kSearchLimit) {
      if (job.Memo() != nullptr) RememberEndRecords(job, examined, blocked, seen, met);
      break;
    }
    if (job.Cancelled()) break;
  }
  return best;
}

// The central directory's names decide the type (a workbook is an XLSX, an app an APK), and for
// OpenDocument files and e-books the media type their "mimetype" entry stores; any other archive is
// a ZIP.
CarvedSize Size(SizingJob& job) {
  // Where an earlier search from before the header met, up to where the device could be read,
  // neither this archive's end record nor another whose comment the device holds, the archive's
  // end is lost. The validator could only take another archive's record for its end, and carve
  // it on past everything the device can give, over the files that follow.
  const auto known = KnownEndOfCentralDirectory(job);
  if (known == 0) return {};
  // Where the device was already searched, only the archive's kind is needed.
  const ZipWalk walk = known ? ZipWalk{.length = std::nullopt,
                                       .kind = ZipContentKind(job.Read(), {}, job.Cancel()).kind}
                             : WalkZip(job.Read(), job.Cancel());
  if (job.Cancelled() || walk.insideEarlier) return {};
  const std::string_view extension = ZipKindExtension(walk.kind);
  if (walk.length) return SizingJob::Proven(*walk.length, extension);
  if (const auto zip = ValidateZip(job.Read(), job.Cancel()); Accepted(zip)) {
    return {.size = zip.size, .extension = extension};
  }
  // An end record found by searching, not confirmed by the directory, may be another archive's:
  // the carve stops where the next file begins.
  return {.size = known ? *known : SearchEndOfCentralDirectory(job),
          .estimated = true,
          .extension = extension};
}

FormatReport Report(RangeReader& read, std::string_view) {
  const auto r = ValidateZip(read, nullptr);
  FormatReport report = Validated(r, Accepted(r));
  const ZipWalk walk = WalkZip(read, nullptr);
  report.fields = {{"entryCount", Number(r.entryCount)},
                   {"hasEndOfCentralDirectory", Flag(r.hasEndOfCentralDirectory)},
                   {"centralDirectoryVerified", Flag(r.centralDirectoryVerified)},
                   {"typeEvidence", std::string(ZipEvidenceName(walk.evidence))},
                   {"typeFromDirectory", Flag(walk.fromDirectory)}};
  return report;
}

}  // namespace

const FileFormat& ZipFormat() {
  static const FileFormat format{
      "ZIP",
      {{"DOCX", "docx", kDocuments, 500, 100 * MiB},
       {"XLSX", "xlsx", kDocuments, 500, 100 * MiB},
       {"PPTX", "pptx", kDocuments, 500, 500 * MiB},
       {"ODT", "odt", kDocuments, 500, 100 * MiB},
       {"ODS", "ods", kDocuments, 500, 100 * MiB},
       {"ODP", "odp", kDocuments, 500, 500 * MiB},
       {"EPUB", "epub", kDocuments, 500, 100 * MiB},
       {"ZIP", "zip", kArchives, 100, 2 * GiB},
       {"JAR", "jar", kArchives, 100, 500 * MiB},
       {"APK", "apk", kArchives, 500, 2 * GiB}},
      // Every package starts as any ZIP does; the content names the type, so a scan for one of
      // them alone still meets them all and keeps its own.
      {{HeaderBytes({0x50, 0x4B, 0x03, 0x04, 0x14, 0x00, 0x06, 0x00}), {"docx"}, {}},
       {HeaderBytes({0x50, 0x4B, 0x03, 0x04}),
        {"docx", "xlsx", "pptx", "odt", "ods", "odp", "epub", "zip", "jar", "apk"},
        {}}},
      Size,
      Report};
  return format;
}

}  // namespace quarvelin
