// ISO base media (MP4, MOV, 3GP, M4V): a sequence of boxes, ftyp first.

#include <array>
#include <cstring>

#include "common/byte_fields.h"
#include "formats/registry.h"
#include "formats/report.h"
#include "sizing/sizing_job.h"
#include "validators/acceptance.h"

namespace quarvelin {
namespace {

// A box whose size field is 0 runs to the end of the file, which a raw disk cannot tell us. Once
// the movie's moov or mdat has been seen, the file is credited with this much rather than lost.
constexpr int64_t kOpenEndedBoxSize = 104'857'600;
constexpr int64_t kLargestBox = 107'374'182'400;

// Sums the top-level boxes, as far as they lead.
CarvedSize WalkBoxes(SizingJob& job) {
  int64_t total = 0;  // also where the next box starts
  bool sawMedia = false;
  bool sawFtyp = false;
  while (!job.Cancelled()) {
    const Bytes head = job.Read()(total, 8);
    if (head.empty()) break;
    const uint32_t size32 = *ReadBe32(head, 0);
    std::array<uint8_t, 4> type{};
    std::copy_n(head.begin() + 4, type.size(), type.begin());
    const auto is = [&type](const char* name) { return std::memcmp(type.data(), name, 4) == 0; };

    // A second ftyp starts the next file on the disk.
    if (is("ftyp")) {
      if (sawFtyp) break;
      sawFtyp = true;
    }
    uint64_t size = size32;
    if (size32 == 1) {
      const Bytes large = job.Read()(total + 8, 8);
      if (large.empty()) break;
      size = *ReadBe64(large, 0);
    } else if (size32 == 0) {
      // All zeros is free space after the file, not a box that runs to its end.
      if (is("\0\0\0\0")) break;
      if (!sawMedia) break;
      if (const auto estimate = CheckedAdd(total, kOpenEndedBoxSize)) {
        return SizingJob::Estimated(*estimate);
      }
      break;
    }
    if (is("mdat") || is("moov")) sawMedia = true;
    if (size < 1 || size > static_cast<uint64_t>(kLargestBox)) break;
    const auto next = CheckedAdd(total, static_cast<int64_t>(size));
    if (!next) break;
    total = *next;
    if (size32 < 8 && size32 != 1) break;
  }
  return SizingJob::Measured(total >= 1 ? total : job.Row().minSize);
}

CarvedSize Size(SizingJob& job) {
  if (job.Available() < 8) return SizingJob::Estimated(job.MaxSize());
  if (const auto mp4 = ValidateMp4(job.Read(), job.Cancel()); Accepted(mp4)) {
    return {.size = mp4.size, .estimated = mp4.openEnded};
  }
  return WalkBoxes(job);
}

FormatReport Report(RangeReader& read, std::string_view) {
  const auto r = ValidateMp4(read, nullptr);
  FormatReport report = Validated(r, Accepted(r));
  report.fields = {{"majorBrand", r.majorBrand},     {"hasFtyp", Flag(r.hasFtyp)},
                   {"hasMoov", Flag(r.hasMoov)},     {"hasMdat", Flag(r.hasMdat)},
                   {"moovSize", Number(r.moovSize)}, {"mdatSize", std::to_string(r.mdatSize)}};
  return report;
}

std::vector<uint8_t> Ftyp(int boxSize) {
  return HeaderBytes({0x00, 0x00, 0x00, boxSize, 'f', 't', 'y', 'p'});
}

}  // namespace

const FileFormat& IsoMediaFormat() {
  static const FileFormat format{"ISO media",
                                 {{"MP4", "mp4", kVideos, 10000, 15 * GiB},
                                  {"MOV", "mov", kVideos, 10000, 15 * GiB},
                                  {"3GP", "3gp", kVideos, 10000, 2 * GiB},
                                  {"M4V", "m4v", kVideos, 10000, 4 * GiB}},
                                 {{Ftyp(0x14), {"mp4", "mov", "3gp"}, {}},
                                  {Ftyp(0x18), {"mp4", "3gp", "m4v"}, {}},
                                  {Ftyp(0x1C), {"mp4"}, {}},
                                  {Ftyp(0x20), {"mp4", "mov"}, {}}},
                                 Size,
                                 Report};
  return format;
}

}  // namespace quarvelin
