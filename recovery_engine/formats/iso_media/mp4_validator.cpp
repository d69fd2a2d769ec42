#include "formats/iso_media/mp4_validator.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "common/byte_fields.h"

namespace quarvelin {
namespace {

// No single video we recover is larger; past this the walk is reading something else.
constexpr int64_t kWalkLimit = 107'374'182'400;
// A size field of 0 means "to the end of the file", which a raw disk cannot tell us. After the
// moov or mdat we credit the atom with this much rather than lose the media.
constexpr int64_t kOpenEndedAtomSize = 104'857'600;
// An atom is at least its own 8-byte header.
constexpr int64_t kSmallestAtom = 8;

using AtomHeader = std::array<uint8_t, 16>;

bool HasType(const AtomHeader& header, const char* type) {
  return std::memcmp(header.data() + 4, type, 4) == 0;
}

// Top-level atom types are letters, digits and spaces (a few are padded with zero bytes); anything
// else means the walk has left the file. Punctuation is refused too: random bytes after a file pass
// a printable-ASCII test one time in fifty, and the garbage size that comes with them would be
// added.
bool PlausibleType(const AtomHeader& header) {
  return std::all_of(header.begin() + 4, header.begin() + 8, [](uint8_t b) {
    return b == 0 || b == ' ' || (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') ||
           (b >= 'a' && b <= 'z');
  });
}

}  // namespace

Mp4ValidationResult ValidateMp4(RangeReader& read, const std::atomic<bool>* cancel) {
  Mp4ValidationResult result;
  int64_t pos = 0;  // also the sum of the atom sizes walked so far

  while (!IsCancelled(cancel) && pos <= kWalkLimit) {
    // Sixteen bytes cover a header with a 64-bit size. A plain 8-byte header may be all that is
    // left before the end of the device, so it is tried on its own before giving up.
    AtomHeader header{};
    auto bytes = read(pos, 16);
    if (bytes.empty()) bytes = read(pos, 8);
    if (bytes.empty()) break;
    std::copy(bytes.begin(), bytes.end(), header.begin());
    const Bytes fields(header.data(), bytes.size());

    const uint32_t size32 = ReadBe32(fields, 0).value_or(0);
    // Zeroed free space usually follows a file; it is no atom and no part of the file.
    if (size32 == 0 &&
        std::all_of(header.begin() + 4, header.begin() + 8, [](uint8_t b) { return b == 0; })) {
      break;
    }
    // Only one ftyp opens a file: a second one is the next file on the disk.
    if (result.hasFtyp && HasType(header, "ftyp")) break;

    uint64_t rawSize = size32;
    if (size32 == 1) {
      const auto large = ReadBe64(fields, 8);
      if (!large) break;  // the 64-bit size lies past the end of the device
      rawSize = *large;
    } else if (size32 == 0) {
      if (!result.hasMdat && !result.hasMoov) break;
      rawSize = kOpenEndedAtomSize;
      result.openEnded = true;
    }
    // Taken as signed, so that sizes of 2^63 and above fail the minimum-size test below.
    const auto size = static_cast<int64_t>(rawSize);

    // The first atom is the one the scan matched; it is walked even with an odd type.
    if (pos > 0 && !PlausibleType(header)) break;

    // An atom after the first must end where there is data: a size that runs off the device is
    // garbage, not part of this file. Media data alone may be cut short by the end of the device.
    const auto next = CheckedAdd(pos, size);
    if (pos > 0 && size >= kSmallestAtom && next && !HasType(header, "mdat") &&
        read(*next - 1, 1).empty()) {
      break;
    }

    if (HasType(header, "ftyp")) {
      result.hasFtyp = true;
      const auto brand = read(pos + 8, 4);
      if (!brand.empty()) result.majorBrand.assign(brand.begin(), brand.end());
    } else if (HasType(header, "moov")) {
      result.hasMoov = true;
      result.moovSize = size;
    } else if (HasType(header, "mdat")) {
      result.hasMdat = true;
      result.mdatSize = rawSize;
    }

    if (size < kSmallestAtom || !next) {
      result.Add("Invalid atom size at " + std::to_string(pos));
      break;
    }
    pos = *next;
  }

  result.size = pos;
  if (!result.hasFtyp) result.Add("No ftyp atom - may not be valid MP4", 20);
  if (!result.hasMoov) result.Add("No moov atom - missing metadata", 40);
  if (!result.hasMdat) result.Add("No mdat atom - missing media data", 40);
  result.Finish();
  return result;
}

}  // namespace quarvelin
