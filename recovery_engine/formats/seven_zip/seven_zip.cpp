// 7z: the signature header gives the next header's offset and length, which end the archive.

#include "common/byte_fields.h"
#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

CarvedSize Size(SizingJob& job) {
  const Bytes head = job.Read()(0, 32);
  if (head.empty()) return {};
  const auto offset = AsLength(*ReadLe64(head, 12));
  const auto length = AsLength(*ReadLe64(head, 20));
  if (!offset || !length) return {};
  return SizingJob::Measured(CheckedAdd(*offset, *length, 32).value_or(0));
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
