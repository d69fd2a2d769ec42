#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/byte_fields.h"
#include "sizing/range_reader.h"

namespace quarvelin {

// What an ISO base media file (MP4 and its relatives, HEIF images, Canon raws) says it is, by its
// ftyp brands, and for an MP4 of sound alone by its tracks.
enum class IsoMediaKind { kMp4, kMov, k3gp, kM4v, kHeic, kAvif, kCr3, kM4a };

// "mp4", "mov", "3gp", "m4v", "heic", "avif", "cr3" or "m4a".
std::string_view IsoMediaExtension(IsoMediaKind kind);

struct IsoMediaWalk {
  // The file's exact length, when its boxes prove where it ends.
  std::optional<int64_t> end;
  // Without proof: where the boxes walked led (the end of the last box taken, which may lie past
  // the device's end when the file is cut short), for an estimate.
  int64_t reached = 0;
  // A box whose size field is 0 runs "to the end of the file", which a raw disk cannot tell: the
  // offset where it starts. The file is then not proven.
  std::optional<int64_t> openEndedAt;
  IsoMediaKind kind = IsoMediaKind::kMp4;
};

// The kind named by an ftyp box's body (major brand, minor version, compatible brands). In order:
//  1. the major brand, when it names a kind (qt, 3GPP, M4V, M4A/M4B/M4P, crx, avif/avis, the HEVC
//     image brands, the MP4 brands);
//  2. a generic HEIF major brand (mif1, msf1): AVIF when an AV1 image brand is among the
//     compatible ones, else HEIC;
//  3. else an AV1 image brand (avif, avis) among the compatible ones: AVIF;
//  4. else an HEVC image brand among them: HEIC;
//  5. else the first compatible brand that names a kind;
//  6. else, when mif1 or msf1 is among the compatible brands: HEIC; else MP4.
// Image brands come before video ones in the compatible list because a HEIF writer may also list
// generic ISO brands, while no movie lists an image brand.
IsoMediaKind IsoMediaKindOfBrands(Bytes ftypBody);

// Walks the top-level boxes of a file that starts with its ftyp box at candidate offset 0. A movie
// is proven when the walk met the movie box and its media (an mdat, or moof+mdat fragments), every
// box lies on the device, and a movie fragment random access box, if present, agrees with its own
// trailer. A HEIF image (no movie box) is proven by its meta box's item locations: the walk ends
// with the first box that reaches the end of the last item's data, and every item lies inside the
// file. Nothing is proven when cancelled.
IsoMediaWalk WalkIsoMedia(RangeReader& read, const std::atomic<bool>* cancel);

}  // namespace quarvelin
