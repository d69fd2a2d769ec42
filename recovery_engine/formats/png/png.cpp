// PNG: chunks from the signature to IEND, each with its length and CRC.

#include <algorithm>
#include <cstring>
#include <optional>

#include "common/byte_fields.h"
#include "formats/png/png_validator.h"
#include "formats/registry.h"
#include "formats/report.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

constexpr int64_t kWalkLimit = 524'288'000;

// Follows the chunk lengths to IEND. Chunk types are ASCII letters: anything else is not a chunk
// (typically the zeros of free space after a cut-off file) and ends the walk as failed.
std::optional<int64_t> WalkChunks(SizingJob& job) {
  int64_t pos = 8;
  while (true) {
    const Bytes chunk = job.Read()(pos, 8);
    if (chunk.empty()) return std::nullopt;
    const bool letters = std::all_of(chunk.begin() + 4, chunk.end(), [](uint8_t b) {
      return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
    });
    if (!letters) return std::nullopt;
    if (std::memcmp(chunk.data() + 4, "IEND", 4) == 0) return pos + 12;
    pos += int64_t{*ReadBe32(chunk, 0)} + 12;
    if (pos > kWalkLimit || job.Cancelled()) return std::nullopt;
  }
}

CarvedSize Size(SizingJob& job) {
  if (const auto png = ValidatePng(job.Read(), job.Cancel(), true); Accepted(png)) {
    return SizingJob::Proven(png.size);
  }
  if (!job.Cancelled()) {
    if (const auto end = WalkChunks(job)) return SizingJob::Proven(*end);
  }
  return job.SearchFooter(FooterSearch::kFooter);
}

FormatReport Report(RangeReader& read, std::string_view) {
  const auto r = ValidatePng(read, nullptr, true);
  FormatReport report = Validated(r, Accepted(r));
  report.fields = {{"width", Number(r.width)},
                   {"height", Number(r.height)},
                   {"bitDepth", Number(r.bitDepth)},
                   {"colorType", Number(r.colorType)},
                   {"hasIdat", Flag(r.hasIdat)},
                   {"hasIend", Flag(r.hasIend)},
                   {"crcErrorCount", Number(r.crcErrorCount)}};
  return report;
}

}  // namespace

const FileFormat& PngFormat() {
  static const FileFormat format{"PNG",
                                 {{"PNG", "png", kImages, 100, 1 * GiB}},
                                 {{HeaderBytes({0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}),
                                   {"png"},
                                   HeaderBytes({0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82})}},
                                 Size,
                                 Report};
  return format;
}

}  // namespace quarvelin
