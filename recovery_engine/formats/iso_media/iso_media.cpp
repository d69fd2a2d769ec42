// ISO base media (MP4, MOV, 3GP, M4V, HEIC, AVIF, CR3, M4A): a sequence of boxes, ftyp first.

#include <string>

#include "common/byte_fields.h"
#include "formats/iso_media/iso_media_walk.h"
#include "formats/iso_media/mp4_validator.h"
#include "formats/registry.h"
#include "formats/report.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

// A box whose size field is 0 runs to the end of the file, which a raw disk cannot tell us: the
// file is credited with this much of it rather than lost.
constexpr int64_t kOpenEndedBoxSize = 104'857'600;

// The brands name the type; the boxes prove the end.
CarvedSize Size(SizingJob& job) {
  const IsoMediaWalk walk = WalkIsoMedia(job.Read(), job.Cancel());
  const std::string_view extension = IsoMediaExtension(walk.kind);
  if (walk.end) return SizingJob::Proven(*walk.end, extension);
  if (walk.openEndedAt) {
    return {.size = CheckedAdd(*walk.openEndedAt, kOpenEndedBoxSize).value_or(0),
            .estimated = true,
            .extension = extension};
  }
  // Cut short or broken up: the boxes as far as they lead.
  return {.size = walk.reached, .extension = extension};
}

FormatReport Report(RangeReader& read, std::string_view extension) {
  const auto r = ValidateMp4(read, nullptr);
  FormatReport report = Validated(r, Accepted(r));
  report.fields = {{"majorBrand", r.majorBrand},     {"hasFtyp", Flag(r.hasFtyp)},
                   {"hasMoov", Flag(r.hasMoov)},     {"hasMdat", Flag(r.hasMdat)},
                   {"moovSize", Number(r.moovSize)}, {"mdatSize", std::to_string(r.mdatSize)}};
  // A still image keeps its pictures as items of a meta box: it has no movie to miss. Its item
  // walk says whether it is whole.
  if ((extension == "heic" || extension == "avif") && !r.hasMoov) {
    const IsoMediaWalk walk = WalkIsoMedia(read, nullptr);
    std::erase_if(report.issues,
                  [](const std::string& issue) { return issue.find("moov") != std::string::npos; });
    report.fields.emplace_back("itemsWhole", Flag(walk.end.has_value()));
    if (walk.end) {
      report.size = *walk.end;
      report.accepted = true;
      if (report.issues.empty()) report.confidence = 100;
    }
  }
  return report;
}

// An ftyp box of 16 to 48 bytes (a major brand, a minor version, up to eight compatible brands)
// starts any of the types: its brands tell which.
std::vector<FormatHeader> FtypHeaders() {
  std::vector<FormatHeader> headers;
  for (int boxSize = 0x10; boxSize <= 0x30; boxSize += 4) {
    headers.push_back({HeaderBytes({0x00, 0x00, 0x00, boxSize, 'f', 't', 'y', 'p'}),
                       {"mp4", "mov", "3gp", "m4v", "heic", "avif", "cr3", "m4a"},
                       {}});
  }
  return headers;
}

}  // namespace

const FileFormat& IsoMediaFormat() {
  static const FileFormat format{"ISO media",
                                 {{"MP4", "mp4", kVideos, 10000, 15 * GiB},
                                  {"MOV", "mov", kVideos, 10000, 15 * GiB},
                                  {"3GP", "3gp", kVideos, 10000, 2 * GiB},
                                  {"M4V", "m4v", kVideos, 10000, 4 * GiB},
                                  {"HEIC", "heic", kImages, 2000, 200 * MiB},
                                  {"AVIF", "avif", kImages, 500, 200 * MiB},
                                  {"CR3", "cr3", kImages, 100000, 512 * MiB},
                                  {"M4A", "m4a", kAudio, 2000, 4 * GiB}},
                                 FtypHeaders(),
                                 Size,
                                 Report};
  return format;
}

}  // namespace quarvelin
