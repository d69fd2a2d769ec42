#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

#include "sizing/range_reader.h"

namespace quarvelin {

// The length of the TIFF or BigTIFF file, of either byte order, that starts at candidate offset 0:
// the furthest byte reached by its IFDs and their values, its strips and tiles, its sub-IFDs, its
// EXIF, GPS and interoperability IFDs and an old-style JPEG thumbnail. Nothing when the bytes are
// not a TIFF's, when a range the file refers to cannot be named or its last byte read, or when
// cancelled.
std::optional<int64_t> WalkTiff(RangeReader& read, const std::atomic<bool>* cancel);

// Camera RAW files are TIFFs underneath, some behind a header of their own (Olympus, Panasonic).
enum class TiffKind { kTiff, kDng, kCr2, kNef, kArw, kOrf, kRw2 };

// The extension a kind of file is written with: "tif", "dng", "cr2", ...
std::string_view TiffKindExtension(TiffKind kind);

struct TiffWalk {
  enum class Status {
    kNotTiff,  // the header or the first IFD does not hold together
    kBroken,   // the first IFD does, but something it leads to does not (or the walk was cancelled)
    kCut,      // everything holds together, but the last byte the file refers to cannot be read
    kWhole,    // the file ends at `end`
  };
  Status status = Status::kNotTiff;
  TiffKind kind = TiffKind::kTiff;
  // Whether the header alone names a RAW kind (Canon, Olympus, Panasonic).
  bool headerNamesKind = false;
  // The furthest byte the walk reached: the file's length when whole, the length it would have
  // when cut.
  int64_t end = 0;
};

// Walks the TIFF-structured file at candidate offset 0 as WalkTiff does, and says from its headers
// and tags what kind of file it is: a DNG by its DNGVersion tag, a CR2, ORF or RW2 by the header
// its maker writes, a NEF or ARW by the camera maker of a file that holds colour-filter-array data.
// A RAW file is walked a little further than a TIFF (the maker note's IFD, Panasonic's raw data
// offset) and must keep within the size a camera writes.
TiffWalk WalkTiffFile(RangeReader& read, const std::atomic<bool>* cancel);

}  // namespace quarvelin
