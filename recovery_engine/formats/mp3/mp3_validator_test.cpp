#include "formats/mp3/mp3_validator.h"

#include <gtest/gtest.h>

#include "candidate.h"

namespace quarvelin {
namespace {

using testing::Concat;
using testing::File;
using testing::Padded;
using testing::Placement;
using Strings = std::vector<std::string>;

// `count` MPEG-1 Layer III frames at 128 kbit/s and 44.1 kHz, every third one padded: 417 or 418
// bytes each.
File Frames(int count) {
  File out;
  for (int i = 0; i < count; ++i) {
    const bool padded = i % 3 == 0;
    testing::Append(out,
                    Padded({0xFF, 0xFB, uint8_t(padded ? 0x92 : 0x90), 0x64}, padded ? 418 : 417));
  }
  return out;
}
// An ID3v2 tag of 1,034 bytes.
const File kId3v2 = Padded({'I', 'D', '3', 4, 0, 0, 0, 0, 0x08, 0x00}, 1034);
const File kId3v1 = Padded(testing::Text("TAG"), 128, 'x');

Mp3ValidationResult Validate(const File& file, Placement placement = {}) {
  return testing::Validated(file, placement, ValidateMp3);
}

TEST(Mp3Validator, SizesAndScoresByFramesAndTags) {
  const auto frames300 = Frames(300);
  const auto f300 = std::ssize(frames300);
  auto r = Validate(Concat(kId3v2, frames300, kId3v1));
  testing::ExpectTrusted(r, 1034 + f300 + 128);
  EXPECT_EQ(r.frameCount, 300);
  EXPECT_EQ(r.bitrate, 128);
  EXPECT_EQ(r.sampleRate, 44100);
  EXPECT_TRUE(r.hasId3v2 && r.hasId3v1 && !r.isVbr);
  EXPECT_EQ(r.id3v2Size, 1034u);

  // Walked beyond a short scan buffer in a few large reads, not one per frame.
  testing::Candidate far(frames300,
                         Placement{.lead = 100, .bufferBytes = 2000, .randomTrailing = true});
  RangeReader read = far.Reader();
  r = ValidateMp3(read, nullptr);
  EXPECT_EQ(r.size, f300);
  EXPECT_EQ(r.confidence, 90);
  EXPECT_EQ(r.issues, Strings{"No ID3 tags found"});
  EXPECT_LT(far.Disk()->reads.load(), 30);

  r = Validate(Concat(kId3v2, Frames(50)));
  EXPECT_EQ(r.size, 1034 + std::ssize(Frames(50)));
  EXPECT_EQ(r.confidence, 80);
  EXPECT_EQ(r.issues, Strings{});

  r = Validate(Concat(Frames(9), kId3v1));
  EXPECT_EQ(r.size, std::ssize(Frames(9)) + 128);
  EXPECT_EQ(r.confidence, 50);
  EXPECT_EQ(r.issues, Strings{"Very few valid frames (9)"});

  // Xing or Info follows the side information, which is shorter in mono.
  auto xing = Frames(20);
  std::copy_n("Xing", 4, xing.begin() + 36);
  r = Validate(Concat(kId3v2, xing));
  EXPECT_TRUE(r.isVbr);
  EXPECT_EQ(r.confidence, 80);
  xing[3] = 0xC4;  // mono
  EXPECT_FALSE(Validate(xing).isVbr);
  std::copy_n("Info", 4, xing.begin() + 21);
  EXPECT_TRUE(Validate(xing).isVbr);
}

TEST(Mp3Validator, SkipsJunkBeforeTheFirstFrameAndCountsItInTheSize) {
  const auto frames = Frames(20);
  const auto f20 = std::ssize(frames);
  auto r = Validate(Concat(kId3v2, File(4095, 0x11), frames));
  EXPECT_EQ(r.frameCount, 20);
  EXPECT_EQ(r.size, 1034 + 4095 + f20);
  r = Validate(Concat(kId3v2, File(4096, 0x11), frames));
  EXPECT_EQ(r.frameCount, 0);
  EXPECT_EQ(r.size, 0);
  EXPECT_EQ(r.confidence, 50);

  // The walk ends at a bad header, or at the device's end: the junk is still part of the file.
  r = Validate(Concat(kId3v2, File(100, 0x11), frames, File{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(r.size, 1034 + 100 + f20);
  EXPECT_EQ(r.issues, Strings{"Invalid frame header at " + std::to_string(1034 + 100 + f20)});
  auto atEnd = Concat(File(7, 0x11), Frames(9));
  atEnd.insert(atEnd.begin(), 4096 - atEnd.size(), 0x22);
  r = Validate(atEnd, Placement{.bufferBytes = 0, .trailing = 0});
  EXPECT_EQ(r.frameCount, 9);
  EXPECT_EQ(r.size, 4096);
}

TEST(Mp3Validator, SurvivesTruncationCorruptionAndCancel) {
  const auto file = Concat(kId3v2, Frames(40), kId3v1);
  for (size_t cut = 0; cut < file.size(); cut += 97) {
    const auto r = Validate(File(file.begin(), file.begin() + long(cut)),
                            Placement{.trailing = 3000, .randomTrailing = true});
    EXPECT_LE(r.frameCount, 40);
    EXPECT_LE(r.size, int64_t(cut) + 1441);
  }
  for (const File& head :
       {File{'I', 'D', '3', 4, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F}, File{0xFF, 0xFB, 0x00, 0x00},
        File{0xFF, 0xFB, 0xFC, 0x00}, File{0xFF, 0xEB, 0x90, 0x00}}) {
    // A huge tag, a free-format or a bad first header: nothing counted, no size claimed.
    const auto r = Validate(Concat(head, Frames(20)));
    EXPECT_TRUE(r.frameCount == 0 && r.size == 0 && r.confidence >= 40);
  }
  EXPECT_EQ(Validate(Frames(20), {.cancelled = true}).frameCount, 0);
}

}  // namespace
}  // namespace quarvelin
