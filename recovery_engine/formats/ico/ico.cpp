// ICO: a directory of images; the file ends with the furthest image it points at.

#include <algorithm>
#include <optional>

#include "common/byte_fields.h"
#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

std::optional<int64_t> DirectoryEnd(SizingJob& job) {
  const uint16_t count = *ReadLe16(job.Candidate(), 4);
  if (count < 1 || count > 999) return std::nullopt;
  int64_t end = 16 * int64_t{count} + 6;
  for (int64_t i = 0; i < count; ++i) {
    const Bytes entry = job.Read()(6 + 16 * i, 16);
    if (entry.empty()) return std::nullopt;
    end = std::max(end, int64_t{*ReadLe32(entry, 8)} + int64_t{*ReadLe32(entry, 12)});
  }
  // Four zero-led bytes are common in any binary data; a "directory" pointing past the largest
  // icon is one of those, and must not swallow gigabytes of the disk as a measured file.
  if (end > job.MaxSize()) return std::nullopt;
  return end;
}

CarvedSize Size(SizingJob& job) {
  if (job.Available() >= 6) {
    if (const auto end = DirectoryEnd(job)) return SizingJob::Measured(*end);
  }
  return SizingJob::Estimated(job.MaxSize());
}

}  // namespace

const FileFormat& IcoFormat() {
  static const FileFormat format{"ICO",
                                 {{"ICO", "ico", kImages, 20, 10 * MiB}},
                                 {{HeaderBytes({0x00, 0x00, 0x01, 0x00}), {"ico"}, {}}},
                                 Size,
                                 nullptr};
  return format;
}

}  // namespace quarvelin
