#include "formats/psd/psd_walk.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "candidate.h"
#include "fixtures.h"

namespace quarvelin {
namespace {

using testing::Be16;
using testing::Be32;
using testing::Be64;
using testing::Concat;
using testing::File;
using testing::Placement;
using testing::RandomBytes;

const Placement kPlacements[] = {
    {.lead = 100, .randomTrailing = true},
    {.lead = 100, .bufferBytes = 612, .trailing = 70'000, .randomTrailing = true},
};

std::optional<int64_t> Walk(const File& file, Placement placement = kPlacements[0]) {
  return testing::Validated(file, placement, WalkPsd);
}

struct Shape {
  bool psb = false;
  uint16_t channels = 3;
  uint32_t height = 4;
  uint32_t width = 5;
  uint16_t depth = 8;
};

// Header, colour mode data, one image resource and a short layer section.
File Head(const Shape& s, uint16_t mode = 3) {
  return Concat("8BPS", Be16(s.psb ? 2 : 1), File(6, 0), Be16(s.channels), Be32(s.height),
                Be32(s.width), Be16(s.depth), Be16(mode), Be32(12), RandomBytes(12, 1), Be32(20),
                "8BIM", Be16(1005), Be16(0), Be32(8), RandomBytes(8, 2), s.psb ? Be64(6) : Be32(6),
                RandomBytes(6, 3));
}

File Raw(const Shape& s) {
  const size_t rowBytes = (size_t{s.width} * s.depth + 7) / 8;
  return Concat(Head(s), Be16(0), RandomBytes(size_t{s.channels} * s.height * rowBytes, 4));
}

// Run-length coded rows of assorted lengths; the byte counts are not checked against the rows.
File Rle(const Shape& s) {
  File table;
  size_t data = 0;
  for (uint32_t row = 0; row < uint32_t{s.channels} * s.height; ++row) {
    const uint32_t count = (row * 37) % 200 + 1;
    testing::Append(table, s.psb ? Be32(count) : Be16(count));
    data += count;
  }
  return Concat(Head(s), Be16(1), table, RandomBytes(data, 5));
}

TEST(PsdWalk, RawImageOfEveryDepth) {
  for (const bool psb : {false, true}) {
    for (const auto& [depth, width] : {std::pair<uint16_t, uint32_t>{1, 13}, {8, 5}, {32, 3}}) {
      const File f =
          Raw({.psb = psb, .channels = 2, .height = 300, .width = width, .depth = depth});
      for (const auto& placement : kPlacements) {
        EXPECT_EQ(Walk(f, placement), static_cast<int64_t>(f.size())) << psb << depth;
      }
      EXPECT_EQ(Walk(Concat(f, f), {.lead = 3}), static_cast<int64_t>(f.size()));
    }
  }
}

TEST(PsdWalk, RunLengthImageSumsTheRowCounts) {
  for (const bool psb : {false, true}) {
    const File f = Rle({.psb = psb, .channels = 4, .height = 5'000, .width = 100});
    for (const auto& placement : kPlacements) {
      EXPECT_EQ(Walk(f, placement), static_cast<int64_t>(f.size())) << psb;
    }
  }
  // Counts of a large document are 32-bit.
  File wide = Rle({.psb = true, .channels = 1, .height = 2, .width = 100'000});
  testing::Overwrite(wide, Head({.psb = true}).size() + 2, Be32(70'000));
  EXPECT_EQ(Walk(Concat(wide, RandomBytes(70'000 - 1, 6)), {.lead = 0}),
            static_cast<int64_t>(wide.size()) + 70'000 - 1);
}

TEST(PsdWalk, UnprovenForOtherHeadersZipDataHugeLengthsOrMissingBytes) {
  const File f = Raw({});
  const size_t image = Head({}).size();
  // Version, reserved bytes, channels, a width only a PSB may have, depth, colour mode, then the
  // ZIP compressions, which store no length, and an unknown one.
  const std::pair<size_t, File> changes[] = {
      {4, Be16(3)},  {9, File(1, 1)}, {12, Be16(0)},    {12, Be16(57)},   {18, Be32(30'001)},
      {22, Be16(7)}, {24, Be16(5)},   {image, Be16(2)}, {image, Be16(3)}, {image, Be16(4)}};
  for (const auto& [at, bytes] : changes) {
    File changed = f;
    testing::Overwrite(changed, at, bytes);
    EXPECT_EQ(Walk(changed), std::nullopt) << at;
  }
  const File wide = Raw({.psb = true, .width = 30'001});
  EXPECT_EQ(Walk(wide), static_cast<int64_t>(wide.size()));

  // A layer section length that overflows, or reaches past any document; a huge raw image.
  File psb = Raw({.psb = true});
  for (const uint64_t length : {UINT64_MAX, uint64_t{INT64_MAX} - 20, uint64_t{64} << 30}) {
    testing::Overwrite(psb, 26 + 16 + 24, Be64(length));
    EXPECT_EQ(Walk(psb), std::nullopt) << length;
  }
  EXPECT_EQ(Walk(Concat("8BPS", Be16(2), File(6, 0), Be16(56), Be32(300'000), Be32(300'000),
                        Be16(32), Be16(3), Be32(0), Be32(0), Be64(0), Be16(0))),
            std::nullopt);

  // Image data that runs off the device, or a cancelled scan.
  const File rle = Rle({.channels = 1, .height = 40, .width = 100});
  EXPECT_EQ(Walk(testing::Padded(rle, 3'072), {.lead = 0, .trailing = 0}), std::nullopt);
  EXPECT_EQ(Walk(rle, {.lead = 0, .trailing = 0}), static_cast<int64_t>(rle.size()));
  EXPECT_EQ(Walk(rle, {.cancelled = true}), std::nullopt);
}

TEST(PsdWalk, RealFilesComeBackExact) {
  for (const std::string name : {"flat_rgb.psd", "two_layers.psd"}) {
    const File f = testing::Fixture(name);
    for (const auto& placement : kPlacements) {
      EXPECT_EQ(Walk(f, placement), static_cast<int64_t>(f.size())) << name;
    }
  }
}

}  // namespace
}  // namespace quarvelin
