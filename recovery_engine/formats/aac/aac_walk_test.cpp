#include "formats/aac/aac_walk.h"

#include <gtest/gtest.h>

#include "candidate.h"

namespace quarvelin {
namespace {

using testing::Append;
using testing::Concat;
using testing::File;
using testing::Placement;
using testing::RandomBytes;

struct Stream {
  uint8_t rateIndex = 4;  // 44.1 kHz
  uint8_t channels = 2;
  bool mpeg2 = false;
  bool crc = false;
};

// One ADTS frame of `length` bytes, header included, the rest random.
File Frame(const Stream& s, uint32_t length, uint32_t seed) {
  File frame = {0xFF,
                static_cast<uint8_t>(0xF0 | (s.mpeg2 ? 0x08 : 0) | (s.crc ? 0 : 1)),
                static_cast<uint8_t>((1 << 6) | (s.rateIndex << 2) | (s.channels >> 2)),
                static_cast<uint8_t>((static_cast<uint32_t>(s.channels & 3) << 6) | (length >> 11)),
                static_cast<uint8_t>(length >> 3),
                static_cast<uint8_t>(((length & 7) << 5) | 0x1F),
                0xFC};
  Append(frame, RandomBytes(length - 7, seed));
  return frame;
}

File Frames(const Stream& s, int count, uint32_t seed = 1) {
  File out;
  for (uint32_t i = 0; i < static_cast<uint32_t>(count); ++i) {
    Append(out, Frame(s, 200 + (i * 37) % 300, seed + i));
  }
  return out;
}

AacWalk Walk(const File& file, Placement placement = {.lead = 100, .randomTrailing = true}) {
  return testing::Validated(file, placement, WalkAac);
}

TEST(AacWalk, FramesOfOneStreamUpToOtherBytes) {
  for (const Stream& s : {Stream{}, Stream{.rateIndex = 11, .channels = 1, .mpeg2 = true},
                          Stream{.crc = true}, Stream{.channels = 0}}) {
    const File f = Frames(s, 40);
    const AacWalk walk = Walk(f);
    EXPECT_EQ(walk.end, static_cast<int64_t>(f.size()));
    EXPECT_EQ(walk.frames, 40);
    EXPECT_TRUE(walk.clean);
  }
  // A frame of another rate, channel count, version or protection is another stream's.
  const File f = Frames({}, 12);
  for (const Stream& other : {Stream{.rateIndex = 3}, Stream{.channels = 1}, Stream{.mpeg2 = true},
                              Stream{.crc = true}}) {
    EXPECT_EQ(Walk(Concat(f, Frames(other, 10))).end, static_cast<int64_t>(f.size()));
  }
}

TEST(AacWalk, TooFewFramesOrFalseSyncsAreNoStream) {
  EXPECT_EQ(Walk(Frames({}, kMinAacFrames - 1)).end, 0);
  EXPECT_EQ(Walk(Frames({}, kMinAacFrames)).end, static_cast<int64_t>(Frames({}, 8).size()));
  // Reserved sampling rates, layer bits set.
  for (const auto& [at, value] :
       {std::pair<size_t, uint8_t>{2, 0x40 | (13 << 2)}, {1, 0xF3}, {1, 0xF5}}) {
    File f = Frames({}, 20);
    f[at] = value;
    EXPECT_EQ(Walk(f).end, 0) << at;
  }
  // Random data with syncs planted every few hundred bytes.
  File noise = RandomBytes(200'000, 7);
  for (size_t at = 0; at + 2 < noise.size(); at += 311) {
    noise[at] = 0xFF;
    noise[at + 1] = 0xF1;
  }
  EXPECT_EQ(Walk(noise).end, 0);
}

TEST(AacWalk, CutStreamKeepsItsWholeFrames) {
  const File f = Frames({}, 30);
  const File cut(f.begin(), f.end() - 50);
  // The device ends right after the cut.
  const AacWalk walk = Walk(cut, {.lead = (512 - cut.size() % 512) % 512, .trailing = 0});
  EXPECT_EQ(walk.frames, 29);
  EXPECT_FALSE(walk.clean);
  EXPECT_EQ(walk.end, static_cast<int64_t>(Frames({}, 29).size()));
  EXPECT_EQ(Walk(f, {.cancelled = true}).end, 0);
}

}  // namespace
}  // namespace quarvelin
