#include "formats/iso_media/mp4_validator.h"

#include <gtest/gtest.h>

#include "candidate.h"

namespace quarvelin {
namespace {

using testing::Concat;
using testing::File;
using testing::Placement;
using Strings = std::vector<std::string>;

// An atom with a 32-bit size field of `size` and `body` zero bytes after its header.
File Atom(const std::string& type, uint32_t size, size_t body = 0) {
  return Concat(testing::Be32(size), type, File(body, 0));
}
// ftyp (24) + moov (1,000) + mdat (50,000).
File Movie() {
  return Concat(testing::Be32(24), "ftypisom", File(12, 0), Atom("moov", 1000, 992),
                Atom("mdat", 50000, 49992));
}
Mp4ValidationResult Validate(const File& file, Placement placement = {}) {
  return testing::Validated(file, placement, ValidateMp4);
}

TEST(Mp4Validator, SizesACleanFileByItsTopLevelAtomsWhateverFollows) {
  const auto movie = Movie();
  // Zeroed free space, another file's bytes, random bytes that look like an atom header with a
  // non-printable or punctuated type or with a size that runs off the device, an unreadable rest of
  // the buffer: none of it is counted.
  for (const auto& after : {File{}, Atom("\x01jpg", 300, 300), Atom("x!#y", 16, 8),
                            Atom("free", 0x7F000000), Concat(Movie(), Atom("free", 8))}) {
    for (const auto placement : {Placement{}, Placement{.lead = 300, .bufferBytes = 4096},
                                 Placement{.lead = 77, .sectorSize = 4096, .trailing = 0}}) {
      const auto r = Validate(Concat(movie, after), placement);
      testing::ExpectTrusted(r, 51024);
      EXPECT_TRUE(r.majorBrand == "isom" && r.hasFtyp && r.hasMoov && r.hasMdat);
      EXPECT_TRUE(r.moovSize == 1000 && r.mdatSize == 50000u);
    }
  }
}

TEST(Mp4Validator, ScoresMissingAtomsAndEndsAtImplausibleTypes) {
  auto r = Validate(Concat(Atom("ftyp", 24, 16), Atom("mdat", 5000, 4992)));
  EXPECT_EQ(r.size, 5024);
  EXPECT_EQ(r.confidence, 60);
  EXPECT_EQ(r.issues, Strings{"No moov atom - missing metadata"});
  // A first atom with an odd type is walked anyway; the same byte later ends the walk.
  r = Validate(Concat(Atom("mo\x01v", 16, 8), Atom("mdat", 16, 8), Atom("\x7Fxyz", 16, 8)));
  EXPECT_EQ(r.size, 32);
  EXPECT_EQ(r.issues,
            (Strings{"No ftyp atom - may not be valid MP4", "No moov atom - missing metadata"}));
  EXPECT_EQ(Validate(testing::RandomBytes(1000, 7)).confidence, 0);
}

TEST(Mp4Validator, HandlesZeroTinyAndHugeSizes) {
  const auto head = Concat(Atom("ftyp", 24, 16), Atom("moov", 100, 92));
  auto large = [](uint64_t size) { return Concat(Atom("mdat", 1), testing::Be64(size)); };
  for (const auto& bad : {large(0), large(~0ull), large(INT64_MAX), Atom("mdat", 7)}) {
    const auto r = Validate(Concat(head, bad));
    EXPECT_EQ(r.size, 124);
    EXPECT_EQ(r.issues, Strings{"Invalid atom size at 124"});
  }
  // Size 0 runs to the end of the file after moov or mdat; before either, the walk stops there.
  auto r = Validate(Concat(Atom("ftyp", 24, 16), Atom("mdat", 0, 100)));
  EXPECT_TRUE(r.size == 24 && !r.hasMdat);
  r = Validate(Concat(head, Atom("mdat", 0, 100)));
  EXPECT_TRUE(r.size == 124 + 104857600 && r.mdatSize == 104857600u && r.confidence == 100);
  // A 64-bit size read from the device, then a last plain header right at the device's end.
  auto file = Concat(head, large(892));
  file.resize(1016, 0);
  r = Validate(Concat(file, Atom("free", 8)), Placement{.bufferBytes = 512, .trailing = 0});
  EXPECT_EQ(r.size, 1024);
}

TEST(Mp4Validator, CancelledWalkClaimsNoSize) {
  EXPECT_EQ(Validate(Movie(), {.cancelled = true}).size, 0);
}

}  // namespace
}  // namespace quarvelin
