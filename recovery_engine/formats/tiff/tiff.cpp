// TIFF: IFDs whose entries point at strips, tiles and further IFDs; the file ends at the furthest
// byte any of them reaches. Camera RAW files are TIFFs too, named by their header and tags.

#include "formats/registry.h"
#include "formats/tiff/tiff_walk.h"
#include "sizing/sizing_job.h"

namespace quarvelin {
namespace {

CarvedSize Size(SizingJob& job) {
  const TiffWalk walk = WalkTiffFile(job.Read(), job.Cancel());
  const std::string_view extension = TiffKindExtension(walk.kind);
  using Status = TiffWalk::Status;
  if (walk.status == Status::kWhole) return SizingJob::Proven(walk.end, extension);
  const FileType* type = FindType(extension);
  const int64_t maxSize = type != nullptr ? type->maxSize : job.MaxSize();
  if (walk.kind == TiffKind::kTiff) {
    // A TIFF's first IFD often follows its image data, so a file whose walk fails (cut short,
    // compressed with no stored length, or its IFD not found) is carved up to the maximum and cut
    // where the next file begins.
    return {.size = maxSize, .estimated = true, .extension = extension};
  }
  // A RAW's IFDs come first. A maker's header before anything but an IFD was met in other data.
  if (walk.status == Status::kNotTiff) return {};
  // Whole but for its last bytes: as far as the structure reaches.
  if (walk.status == Status::kCut) return {.size = walk.end, .extension = extension};
  return {.size = maxSize, .estimated = true, .extension = extension};
}

// The ordinary TIFF headers start DNG, NEF and ARW files (ARWs are always little-endian) and
// Canon's CR2, whose "CR" follows them; Olympus and Panasonic write headers of their own. (Canon's
// longer header would spare a walk of other TIFFs when only CR2 is sought, at the cost of one of
// the header search's few places.)
std::vector<FormatHeader> Headers() {
  return {
      {HeaderBytes({0x49, 0x49, 0x2A, 0x00}), {"tif", "dng", "cr2", "nef", "arw"}, {}},
      {HeaderBytes({0x4D, 0x4D, 0x00, 0x2A}), {"tif", "dng", "nef"}, {}},
      {HeaderBytes({0x49, 0x49, 0x2B, 0x00}), {"tif"}, {}},
      {HeaderBytes({0x4D, 0x4D, 0x00, 0x2B}), {"tif"}, {}},
      {HeaderText("IIRO"), {"orf"}, {}},
      {HeaderText("IIRS"), {"orf"}, {}},
      {HeaderText("MMOR"), {"orf"}, {}},
      {HeaderBytes({0x49, 0x49, 0x55, 0x00}), {"rw2"}, {}},
  };
}

}  // namespace

const FileFormat& TiffFormat() {
  static const FileFormat format{"TIFF",
                                 {{"TIFF", "tif", kImages, 100, 200 * MiB},
                                  {"DNG", "dng", kImages, 4 * KiB, 1 * GiB},
                                  {"CR2", "cr2", kImages, 4 * KiB, 512 * MiB},
                                  {"NEF", "nef", kImages, 4 * KiB, 512 * MiB},
                                  {"ARW", "arw", kImages, 4 * KiB, 512 * MiB},
                                  {"ORF", "orf", kImages, 4 * KiB, 512 * MiB},
                                  {"RW2", "rw2", kImages, 4 * KiB, 512 * MiB}},
                                 Headers(),
                                 Size,
                                 nullptr};
  return format;
}

}  // namespace quarvelin
