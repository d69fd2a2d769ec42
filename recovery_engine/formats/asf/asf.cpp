// ASF (WMV): the File Properties object of the header records the file's length.

#include <array>

#include "common/byte_fields.h"
#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

constexpr std::array<uint8_t, 16> kFileProperties = {
    0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11, 0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
// A file whose header does not give its length: a guess that covers most clips.
constexpr int64_t kGuessedSize = 52'428'800;

CarvedSize Size(SizingJob& job) {
  constexpr int32_t kLook = 4'096;
  const Bytes head = job.Read()(0, kLook);
  const size_t at = head.empty() ? kNotFound : Find(head, kFileProperties, 0);
  if (at != kNotFound && at + 48 <= head.size()) {
    if (const uint64_t size = *ReadLe64(head, at + 40); size != 0) {
      return SizingJob::Measured(AsLength(size).value_or(0));
    }
  }
  return SizingJob::Estimated(kGuessedSize);
}

}  // namespace

const FileFormat& AsfFormat() {
  static const FileFormat format{
      "ASF",
      {{"WMV", "wmv", kVideos, 5000, 8 * GiB}},
      {{HeaderBytes({0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11}), {"wmv"}, {}}},
      Size,
      nullptr};
  return format;
}

}  // namespace quarvelin
