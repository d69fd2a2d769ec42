#include "formats/ico/ico_walk.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "candidate.h"
#include "fixtures.h"

namespace quarvelin {
namespace {

using testing::Concat;
using testing::File;
using testing::Le16;
using testing::Le32;
using testing::Placement;

constexpr int64_t kMaxIcon = 10'485'760;

File Entry(uint8_t size, uint16_t planes, uint16_t bits, uint32_t bytes, uint32_t offset) {
  return Concat(File{size, size, 0, 0}, Le16(planes), Le16(bits), Le32(bytes), Le32(offset));
}

// A 16 x 16 32-bit bitmap: info header, pixels and mask.
File Bitmap() {
  const File header = Concat(Le32(40), Le32(16), Le32(32), Le16(1), Le16(32), File(24, 0));
  return testing::Padded(header, 40 + 16 * 16 * 4 + 16 * 4, 0x33);
}

File Png() {
  return testing::Padded(Concat(File{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A},
                                testing::Be32(13), testing::Text("IHDR")),
                         120, 0x44);
}

// An icon with a bitmap and a PNG, the PNG stored first.
File Icon(const std::function<void(File&)>& change = nullptr) {
  const File bmp = Bitmap();
  const File png = Png();
  const auto pngAt = uint32_t(6 + 2 * 16);
  const auto bmpAt = uint32_t(pngAt + png.size());
  File icon = Concat(File{0, 0, 1, 0, 2, 0}, Entry(16, 1, 32, uint32_t(bmp.size()), bmpAt),
                     Entry(0, 1, 32, uint32_t(png.size()), pngAt), png, bmp);
  if (change) change(icon);
  return icon;
}

std::optional<IcoDirectory> Walk(const File& file, Placement placement = {}) {
  return testing::Validated(file, placement, [](RangeReader& read, const std::atomic<bool>* c) {
    return WalkIcoDirectory(read, c, kMaxIcon);
  });
}

TEST(IcoWalk, EndsAtTheFurthestImage) {
  const File icon = Icon();
  for (const Placement& p :
       {Placement{},
        Placement{.lead = 500, .chunkStart = 3, .bufferBytes = 60, .randomTrailing = true}}) {
    const auto walk = Walk(icon, p);
    ASSERT_TRUE(walk);
    EXPECT_EQ(walk->end, std::ssize(icon));
    EXPECT_EQ(walk->images, 2);
    EXPECT_FALSE(walk->cursor);
  }
  // A cursor's planes and bit count are its hotspot.
  EXPECT_TRUE(Walk(Icon([](File& f) {
    testing::Overwrite(f, 2, {2, 0, 2, 0, 16, 16, 0, 0, 7, 0, 9});
  })));
}

TEST(IcoWalk, AnyImplausibleFieldIsNotAnIcon) {
  const auto entry = [](size_t field) { return 6 + 16 + field; };  // in the second entry
  const std::vector<std::pair<std::string, std::function<void(File&)>>> cases = {
      {"type 3", [](File& f) { f[2] = 3; }},
      {"no images", [](File& f) { f[4] = 0; }},
      {"256 images", [](File& f) { testing::Overwrite(f, 4, Le16(256)); }},
      {"reserved 7", [&](File& f) { f[entry(3)] = 7; }},
      {"two planes", [&](File& f) { f[entry(4)] = 2; }},
      {"3 bits a pixel", [&](File& f) { f[entry(6)] = 3; }},
      {"no bytes", [&](File& f) { testing::Overwrite(f, entry(8), Le32(0)); }},
      {"image in the directory", [&](File& f) { testing::Overwrite(f, entry(12), Le32(30)); }},
      {"past the largest icon",
       [&](File& f) { testing::Overwrite(f, entry(8), Le32(0xFFFFFFF0u)); }},
      {"neither bitmap nor PNG", [](File& f) { f[38 + 1] = 'Q'; }},
      {"bitmap of two planes", [](File& f) { f[38 + 120 + 12] = 2; }},
      {"bitmap 0 wide", [](File& f) { testing::Overwrite(f, 38 + 120 + 4, Le32(0)); }},
  };
  for (const auto& [name, change] : cases) {
    EXPECT_FALSE(Walk(Icon(change))) << name;
  }
  // Reserved 255 is seen in the wild.
  EXPECT_TRUE(Walk(Icon([&](File& f) { f[entry(3)] = 255; })));
  // A directory cut off by the device's end.
  EXPECT_FALSE(Walk(File{0, 0, 1, 0, 255, 0, 1, 2}, {.trailing = 0}));
}

TEST(IcoWalk, ItsHeaderInRandomDataIsNotAnIcon) {
  File disk = testing::RandomBytes(1 << 20, 5);
  int accepted = 0;
  for (size_t at = 0; at + 4096 < disk.size(); at += 4096) {
    testing::Overwrite(disk, at, {0, 0, 1, 0});
    testing::Overwrite(disk, at + 4, {uint8_t(at / 4096 % 4), 0});  // a few entries
    testing::Candidate candidate(File(disk.begin() + long(at), disk.begin() + long(at) + 4096));
    RangeReader read = candidate.Reader();
    if (WalkIcoDirectory(read, nullptr, kMaxIcon)) ++accepted;
  }
  EXPECT_EQ(accepted, 0);
}

TEST(IcoWalk, RealIconsEndWhereTheirFileEnds) {
  const auto icons = testing::Fixtures("ico");
  ASSERT_FALSE(icons.empty());
  for (const auto& path : icons) {
    const File file = testing::ReadFile(path.string());
    const auto walk = Walk(file, {.lead = 100, .bufferBytes = 2048, .randomTrailing = true});
    ASSERT_TRUE(walk) << path;
    EXPECT_EQ(walk->end, std::ssize(file)) << path;
  }
}

}  // namespace
}  // namespace quarvelin
