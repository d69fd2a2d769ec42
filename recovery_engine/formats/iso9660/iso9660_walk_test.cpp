#include "formats/iso9660/iso9660_walk.h"

#include <gtest/gtest.h>

#include "candidate.h"
#include "fixtures.h"

namespace quarvelin {
namespace {

using testing::Candidate;
using testing::File;
using testing::Placement;

const File kImage = testing::Fixture("joliet_rock_ridge_volume.iso");
constexpr size_t kPrimary = 0x8000;

IsoEnd Walk(const File& image, Placement p = {.lead = 0, .randomTrailing = true}) {
  Candidate candidate(image, p);
  RangeReader read = candidate.Reader();
  return WalkIso9660(read, INT64_MAX / 2);
}

File With(size_t at, std::initializer_list<uint8_t> bytes) {
  File changed = kImage;
  std::copy(bytes.begin(), bytes.end(), changed.begin() + static_cast<std::ptrdiff_t>(at));
  return changed;
}

TEST(Iso9660Walk, SizedByThePrimaryDescriptorWhenItsFieldsHoldTogether) {
  const IsoEnd end = Walk(kImage);
  EXPECT_TRUE(end.whole);
  EXPECT_EQ(end.size, std::ssize(kImage));
  EXPECT_TRUE(StartsIso9660(kImage));
  EXPECT_FALSE(StartsIso9660(File(kImage.begin(), kImage.begin() + kPrimary + 6)));
  EXPECT_FALSE(StartsIso9660(With(kPrimary + 1, {'X'})));
  // The halves of a both-endian field disagree: the volume size, the block size, the root's place.
  for (const size_t at : {kPrimary + 84 + 3, kPrimary + 130 + 1, kPrimary + 156 + 6 + 3}) {
    File broken = kImage;
    broken[at] ^= 1;
    EXPECT_EQ(Walk(broken).size, 0) << at;
  }
  // A root directory past the volume's end, or a volume too small for its own descriptors.
  EXPECT_EQ(Walk(With(kPrimary + 158, {0xE8, 0x03, 0, 0, 0, 0, 0x03, 0xE8})).size, 0);
  EXPECT_EQ(Walk(With(kPrimary + 80, {17, 0, 0, 0, 0, 0, 0, 17})).size, 0);
}

TEST(Iso9660Walk, TheSetNeedsItsTerminatorAndTheRootItsSelfEntry) {
  size_t terminator = kPrimary;
  while (terminator < kImage.size() && kImage[terminator] != 255) terminator += 2048;
  ASSERT_LT(terminator, kImage.size());
  EXPECT_EQ(Walk(With(terminator, {2})).size, 0);
  // The root directory's "." entry gone.
  const auto root = *ReadLe32(kImage, kPrimary + 158);
  File noSelf = kImage;
  std::fill_n(noSelf.begin() + root * 2048, 34, 0);
  EXPECT_EQ(Walk(noSelf).size, 0);
  // Cut before the root directory where the device ends: the claimed size, not proven.
  const File cut(kImage.begin(), kImage.begin() + root * 2048);
  const IsoEnd end = Walk(cut, {.lead = 0, .trailing = 0});
  EXPECT_FALSE(end.whole);
  EXPECT_EQ(end.size, std::ssize(kImage));
}

}  // namespace
}  // namespace quarvelin
