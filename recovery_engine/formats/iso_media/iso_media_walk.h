#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/byte_fields.h"
#include "sizing/range_reader.h"

namespace quarvelin {

// What an ISO base media file (MP4 and its relatives) says it is, by its ftyp brands.
enum class IsoMediaKind { kMp4, kMov, k3gp, kM4v };

// "mp4", "mov", "3gp" or "m4v".
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

// The kind named by an ftyp box's body (major brand, minor version, compatible brands): the major
// brand decides, the compatible brands only when the major one is not known.
IsoMediaKind IsoMediaKindOfBrands(Bytes ftypBody);

// Walks the top-level boxes of a file that starts with its ftyp box at candidate offset 0. The end
// is proven when the walk met the movie box and its media (an mdat, or moof+mdat fragments), every
// box lies on the device, and a movie fragment random access box, if present, agrees with its own
// trailer. Nothing is proven when cancelled.
IsoMediaWalk WalkIsoMedia(RangeReader& read, const std::atomic<bool>* cancel);

}  // namespace quarvelin
