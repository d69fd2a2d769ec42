#include "formats/gif/gif_validator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "candidate.h"

namespace quarvelin {
namespace {

using testing::Append;
using testing::File;
using testing::Placement;
using Issues = std::vector<std::string>;

// A GIF89a of `frames` images of 300 data bytes each, with a 256-entry global colour table, a
// graphic control extension per frame, and a 2-entry local colour table on every other frame.
File Gif(int frames, uint16_t width = 320) {
  File f =
      testing::Concat("GIF89a", testing::Le16(width), File{200, 0, 0xF7, 0, 0}, File(768, 0x40));
  for (int i = 0; i < frames; ++i) {
    Append(f, File{0x21, 0xF9, 4, 0x04, 10, 0, 0, 0},
           File{0x2C, 0, 0, 0, 0, 64, 1, 200, 0, uint8_t(i % 2 == 0 ? 0x80 : 0)});
    if (i % 2 == 0) Append(f, File{1, 2, 3, 4, 5, 6});
    Append(f, File{8, 255}, testing::RandomBytes(255, static_cast<uint32_t>(i)), File{45});
    Append(f, File(45, 0x3B), File{0});  // trailer bytes inside data are not the trailer
  }
  f.push_back(0x3B);
  return f;
}

GifValidationResult Validate(const File& file, Placement placement = {.lead = 100}) {
  return testing::Validated(file, placement, ValidateGif);
}

TEST(GifValidator, FramesAreCountedUpToTheTrailerWhereverTheScanMeetsIt) {
  const File file = Gif(1);
  for (const Placement placement :
       {Placement{.lead = 100}, Placement{.lead = 333, .bufferBytes = 500, .sectorSize = 4096},
        Placement{.lead = 512 - file.size() % 512, .bufferBytes = 1024, .trailing = 0}}) {
    const auto r = Validate(file, placement);
    testing::ExpectTrusted(r, std::ssize(file));
    EXPECT_EQ(r.frameCount, 1);
    EXPECT_EQ(r.width, 320);
    EXPECT_EQ(r.height, 200u);
    EXPECT_TRUE(r.hasTrailer);
  }
  const File animated = Gif(40);
  EXPECT_EQ(Validate(animated, {.lead = 7, .bufferBytes = 2000}).frameCount, 40);
  EXPECT_EQ(Validate(animated).size, static_cast<int64_t>(animated.size()));

  const auto zeroWidth = Validate(Gif(1, 0));
  EXPECT_EQ(zeroWidth.confidence, 80);
  EXPECT_EQ(zeroWidth.issues, Issues{"Invalid dimensions"});
  EXPECT_TRUE(zeroWidth.hasTrailer);
}

TEST(GifValidator, BadHeadersStrayBytesAndTruncationsAreReported) {
  File badSignature = Gif(1);
  badSignature[4] = '8';
  EXPECT_EQ(Validate(badSignature).issues, Issues{"Invalid GIF signature"});
  EXPECT_EQ(Validate(badSignature).confidence, 0);

  testing::Candidate unreadable(Gif(1), {.bufferBytes = 0});
  unreadable.Disk().Unreadable(0, 512);
  RangeReader reader = unreadable.Reader();
  const auto noHeader = ValidateGif(reader, nullptr);
  EXPECT_EQ(noHeader.issues, Issues{"Cannot read GIF header"});
  EXPECT_EQ(noHeader.confidence, 0);

  File stray = Gif(1);
  stray.insert(stray.end() - 1, 0x00);
  const auto r = Validate(stray);
  EXPECT_EQ(r.size, 0);
  EXPECT_EQ(r.confidence, 70);
  EXPECT_EQ(r.issues, (Issues{"Unknown block type: 0x00", "No GIF trailer found"}));

  const File file = Gif(3);
  for (size_t cut = 13; cut < file.size(); cut += 17) {
    const auto t = Validate(File(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut)),
                            {.lead = 100, .bufferBytes = 700, .trailing = 0});
    EXPECT_EQ(t.size, 0) << cut;
    EXPECT_FALSE(t.hasTrailer) << cut;
    EXPECT_LE(t.confidence, 70) << cut;
  }

  EXPECT_EQ(Validate(file, {.cancelled = true}).issues,
            (Issues{"No GIF trailer found", "No image frames found"}));
}

TEST(GifValidator, ImageDataRunningIntoErasedFlashStopsAtTheBlockLimit) {
  // Erased flash reads as FF: to the walk, a chain of 255-byte sub-blocks without end.
  const File head = Gif(0);
  auto disk = testing::TestDisk::Of(File(size_t{120} << 20, 0xFF))
                  .Put(0, File(head.begin(), head.end() - 1))
                  .Put(head.size() - 1, File{0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 8});
  int64_t furthest = 0;
  disk->onRead = [&furthest](int64_t at) { furthest = std::max(furthest, at); };
  RangeReader reader(disk.Chunk(0, 4096), 0, 0, 512, disk.device());

  const auto r = ValidateGif(reader, nullptr);
  EXPECT_EQ(r.frameCount, 1);
  EXPECT_FALSE(r.hasTrailer);
  EXPECT_LT(furthest, 101 << 20);
}

}  // namespace
}  // namespace quarvelin
