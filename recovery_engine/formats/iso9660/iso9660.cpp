// ISO 9660: a 32 KiB system area (zeros, or a boot sector on hybrid images), then the volume
// descriptors, whose primary one records the volume's size. Nothing marks the image's first byte.

#include "formats/iso9660/iso9660_walk.h"
#include "formats/registry.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

// The primary descriptor's volume size, proven by a root directory where it says. An image cut
// before its root directory keeps the size its descriptors claim, as a guess.
CarvedSize Size(SizingJob& job) {
  const IsoEnd end = WalkIso9660(job.Read(), job.MaxSize());
  if (end.whole) return SizingJob::Proven(end.size);
  return SizingJob::Measured(end.size);
}

}  // namespace

const FileFormat& Iso9660Format() {
  static const FileFormat format{
      "ISO 9660",   {{"ISO", "iso", kArchives, 48 * KiB, 128 * GiB}}, {}, Size, nullptr, "iso",
      StartsIso9660};
  return format;
}

}  // namespace quarvelin
