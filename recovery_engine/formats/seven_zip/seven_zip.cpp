// 7z: a start header, packed streams, and the next header at the end.

#include "formats/registry.h"
#include "formats/seven_zip/seven_zip_walk.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

// The start header (its CRC checked) names the next header, which ends the archive; the next
// header's own CRC proves it. A start header whose next header is not on the disk is all there
// is to go by.
CarvedSize Size(SizingJob& job) {
  if (const auto end = WalkSevenZip(job.Read(), job.Cancel())) return SizingJob::Proven(*end);
  const Bytes head = job.Read()(0, 32);
  if (head.empty()) return {};
  return SizingJob::Measured(SevenZipClaimedLength(head).value_or(0));
}

}  // namespace

const FileFormat& SevenZipFormat() {
  static const FileFormat format{"7z",
                                 {{"7Z", "7z", kArchives, 100, 4 * GiB}},
                                 {{HeaderBytes({0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C}), {"7z"}, {}}},
                                 Size,
                                 nullptr};
  return format;
}

}  // namespace quarvelin
