// RAR 4 and RAR 5: blocks, each header with its CRC, up to the end-of-archive block.

#include "formats/rar/rar_walk.h"
#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

// An archive whose walk fails (cut short, encrypted headers) is carved up to its maximum and cut
// where the next file begins.
CarvedSize Size(SizingJob& job) {
  if (const auto end = WalkRar(job.Read(), job.Cancel())) return SizingJob::Proven(*end);
  return SizingJob::Estimated(job.MaxSize());
}

}  // namespace

const FileFormat& RarFormat() {
  static const FileFormat format{
      "RAR",
      {{"RAR", "rar", kArchives, 100, 2 * GiB}},
      {{HeaderBytes({'R', 'a', 'r', '!', 0x1A, 0x07, 0x00}), {"rar"}, {}},
       {HeaderBytes({'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00}), {"rar"}, {}}},
      Size,
      nullptr};
  return format;
}

}  // namespace quarvelin
