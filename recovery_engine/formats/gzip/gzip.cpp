// gzip: members of a header, a deflate stream and a trailer, often several back to back.

#include "formats/gzip/gzip_walk.h"
#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

// Only decoding the stream finds a member's end, and the trailer's ISIZE then proves it. A stream
// that stops making sense or runs out keeps what it decoded to, as a guess.
CarvedSize Size(SizingJob& job) {
  const GzipEnd end = WalkGzip(job.Read(), job.MaxSize(), job.Cancel());
  if (end.whole) return SizingJob::Proven(end.size);
  return SizingJob::Measured(end.size);
}

}  // namespace

const FileFormat& GzipFormat() {
  static const FileFormat format{"gzip",
                                 {{"GZIP", "gz", kArchives, 4 * KiB, 16 * GiB}},
                                 {{HeaderBytes({0x1F, 0x8B, 0x08}), {"gz"}, {}}},
                                 Size,
                                 nullptr};
  return format;
}

}  // namespace quarvelin
