// RAR: carved up to its maximum, cut where the next file begins.

#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

CarvedSize Size(SizingJob& job) {
  return SizingJob::Estimated(job.MaxSize());
}

}  // namespace

const FileFormat& RarFormat() {
  static const FileFormat format{
      "RAR",
      {{"RAR", "rar", kArchives, 100, 2 * GiB}},
      {{HeaderBytes({'R', 'a', 'r', '!', 0x1A, 0x07, 0x00}), {"rar"}, {}}},
      Size,
      nullptr};
  return format;
}

}  // namespace quarvelin
