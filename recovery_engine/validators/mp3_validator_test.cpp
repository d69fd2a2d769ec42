#include "mp3_validator.h"

#include <gtest/gtest.h>

#include "candidate.h"

namespace quarvelin {
namespace {

using testing::Candidate;
using testing::Placement;
using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;

// `count` MPEG-1 Layer III frames at 128 kbit/s and 44.1 kHz, every third one padded: 417 or 418
// bytes each.
Bytes Frames(int count, int64_t* length = nullptr) {
  Bytes out;
  for (int i = 0; i < count; ++i) {
    const bool padded = i % 3 == 0;
    const Bytes header = {0xFF, 0xFB, uint8_t(padded ? 0x92 : 0x90), 0x64};
    out.insert(out.end(), header.begin(), header.end());
    out.resize(out.size() + (padded ? 414 : 413), 0);
  }
  if (length) *length = int64_t(out.size());
  return out;
}
// An ID3v2 tag of 1,034 bytes.
Bytes Id3v2() {
  Bytes tag = {'I', 'D', '3', 4, 0, 0, 0, 0, 0x08, 0x00};
  tag.resize(1034, 0);
  return tag;
}
Bytes Id3v1() {
  Bytes tag = {'T', 'A', 'G'};
  tag.resize(128, 'x');
  return tag;
}
Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}
Mp3ValidationResult Validate(const Bytes& file, Placement placement = {}) {
  Candidate candidate(file, placement);
  RangeReader read = candidate.Reader();
  return ValidateMp3(read, nullptr);
}

TEST(Mp3Validator, SizesAndScoresByFramesAndTags) {
  int64_t f300 = 0, f50 = 0, f9 = 0;
  const auto frames300 = Frames(300, &f300);
  auto r = Validate(Join({Id3v2(), frames300, Id3v1()}));
  EXPECT_EQ(r.size, 1034 + f300 + 128);
  EXPECT_EQ(r.confidence, 100);
  EXPECT_EQ(r.issues, Strings{});
  EXPECT_EQ(r.frameCount, 300);
  EXPECT_EQ(r.bitrate, 128);
  EXPECT_EQ(r.sampleRate, 44100);
  EXPECT_TRUE(r.hasId3v2 && r.hasId3v1 && !r.isVbr);
  EXPECT_EQ(r.id3v2Size, 1034u);

  // Walked beyond a short scan buffer in a few large reads, not one per frame.
  Candidate far(frames300, Placement{.lead = 100, .bufferBytes = 2000, .randomTrailing = true});
  RangeReader read = far.Reader();
  r = ValidateMp3(read, nullptr);
  EXPECT_EQ(r.size, f300);
  EXPECT_EQ(r.confidence, 90);
  EXPECT_EQ(r.issues, Strings{"No ID3 tags found"});
  EXPECT_LT(far.Disk().reads.load(), 30);

  r = Validate(Join({Id3v2(), Frames(50, &f50)}));
  EXPECT_EQ(r.size, 1034 + f50);
  EXPECT_EQ(r.confidence, 80);
  EXPECT_EQ(r.issues, Strings{});

  r = Validate(Join({Frames(9, &f9), Id3v1()}));
  EXPECT_EQ(r.size, f9 + 128);
  EXPECT_EQ(r.confidence, 50);
  EXPECT_EQ(r.issues, Strings{"Very few valid frames (9)"});

  // Xing or Info follows the side information, which is shorter in mono.
  auto xing = Frames(20);
  std::copy_n("Xing", 4, xing.begin() + 36);
  r = Validate(Join({Id3v2(), xing}));
  EXPECT_TRUE(r.isVbr);
  EXPECT_EQ(r.confidence, 80);
  xing[3] = 0xC4;  // mono
  EXPECT_FALSE(Validate(xing).isVbr);
  std::copy_n("Info", 4, xing.begin() + 21);
  EXPECT_TRUE(Validate(xing).isVbr);
}

TEST(Mp3Validator, SkipsJunkBeforeTheFirstFrameAndCountsItInTheSize) {
  int64_t f20 = 0;
  const auto frames = Frames(20, &f20);
  auto r = Validate(Join({Id3v2(), Bytes(4095, 0x11), frames}));
  EXPECT_EQ(r.frameCount, 20);
  EXPECT_EQ(r.size, 1034 + 4095 + f20);
  r = Validate(Join({Id3v2(), Bytes(4096, 0x11), frames}));
  EXPECT_EQ(r.frameCount, 0);
  EXPECT_EQ(r.size, 0);
  EXPECT_EQ(r.confidence, 50);

  // The walk ends at a bad header, or at the device's end: the junk is still part of the file.
  r = Validate(Join({Id3v2(), Bytes(100, 0), frames, Bytes{0xFF, 0xFF, 0xFF, 0xFF}}));
  EXPECT_EQ(r.size, 1034 + 100 + f20);
  EXPECT_EQ(r.issues, Strings{"Invalid frame header at " + std::to_string(1034 + 100 + f20)});
  auto atEnd = Join({Bytes(7, 0x11), Frames(9)});
  atEnd.insert(atEnd.begin(), 4096 - atEnd.size(), 0x22);
  r = Validate(atEnd, Placement{.bufferBytes = 0, .trailing = 0});
  EXPECT_EQ(r.frameCount, 9);
  EXPECT_EQ(r.size, 4096);
}

TEST(Mp3Validator, SurvivesTruncationCorruptionAndCancel) {
  const auto file = Join({Id3v2(), Frames(40), Id3v1()});
  for (size_t cut = 0; cut < file.size(); cut += 97) {
    const auto r = Validate(Bytes(file.begin(), file.begin() + long(cut)),
                            Placement{.trailing = 3000, .randomTrailing = true});
    EXPECT_LE(r.frameCount, 40);
    EXPECT_LE(r.size, int64_t(cut) + 1441);
  }
  for (const Bytes& head :
       {Bytes{'I', 'D', '3', 4, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F}, Bytes{0xFF, 0xFB, 0x00, 0x00},
        Bytes{0xFF, 0xFB, 0xFC, 0x00}, Bytes{0xFF, 0xEB, 0x90, 0x00}}) {
    // A huge tag, a free-format or a bad first header: nothing counted, no size claimed.
    const auto r = Validate(Join({head, Frames(20)}));
    EXPECT_TRUE(r.frameCount == 0 && r.size == 0 && r.confidence >= 40);
  }
  std::atomic<bool> cancel{true};
  Candidate candidate(Frames(20));
  RangeReader read = candidate.Reader();
  EXPECT_EQ(ValidateMp3(read, &cancel).frameCount, 0);
}

TEST(Mp3Validator, SizesRealFilesWholeAndAcrossTheScanBuffer) {
  for (const auto& path : testing::Fixtures("mp3")) {
    const auto file = testing::ReadFile(path.string());
    for (const auto placement :
         {Placement{}, Placement{.lead = 999, .bufferBytes = 999 + file.size() / 3}}) {
      const auto r = Validate(file, placement);
      EXPECT_EQ(r.size, int64_t(file.size())) << path;
      EXPECT_GE(r.frameCount, 10) << path;
      EXPECT_GE(r.confidence, 70) << path;
      const bool tagged = r.hasId3v2 || r.hasId3v1;
      EXPECT_EQ(r.issues, tagged ? Strings{} : Strings{"No ID3 tags found"}) << path;
      const bool vbr = path.filename().string().find("vbr") != std::string::npos;
      EXPECT_TRUE(r.isVbr || !vbr) << path;
    }
  }
}

}  // namespace
}  // namespace quarvelin
