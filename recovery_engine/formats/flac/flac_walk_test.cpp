#include "formats/flac/flac_walk.h"

#include <gtest/gtest.h>

#include "candidate.h"
#include "fixtures.h"

namespace quarvelin {
namespace {

using testing::Append;
using testing::Concat;
using testing::File;
using testing::Placement;

constexpr uint32_t kBlock = 4096;

File MetadataBlock(uint8_t type, bool last, const File& body) {
  return Concat(File{static_cast<uint8_t>(type | (last ? 0x80 : 0))}, testing::Be24(body.size()),
                body);
}

// "fLaC", STREAMINFO for 44.1 kHz 16-bit stereo, and 100 bytes of padding.
File Head(uint64_t totalSamples, uint32_t maxFrameSize = 0) {
  const uint64_t packed =
      (uint64_t{44'100} << 44) | (uint64_t{1} << 41) | (uint64_t{15} << 36) | totalSamples;
  const File info = Concat(testing::Be16(kBlock), testing::Be16(kBlock), testing::Be24(0),
                           testing::Be24(maxFrameSize), testing::Be64(packed), File(16, 0));
  return Concat(testing::Text("fLaC"), MetadataBlock(0, false, info),
                MetadataBlock(1, true, File(100, 0)));
}

// The frame or sample number as FLAC codes it, like UTF-8 stretched to 36 bits.
File CodedNumber(uint64_t v) {
  if (v < 0x80) return {static_cast<uint8_t>(v)};
  size_t n = 2;
  while (v >> (5 * n + 1)) ++n;
  File out(n);
  for (size_t i = n - 1; i > 0; --i, v >>= 6) out[i] = static_cast<uint8_t>(0x80 | (v & 0x3F));
  out[0] = static_cast<uint8_t>((0xFF00 >> n) | v);
  return out;
}

// A stereo frame: two constant subframes, or (`verbatim`) two subframes of random samples.
File Frame(uint64_t number, uint32_t blockSize, bool verbatim = false, bool variable = false) {
  const bool explicitSize = blockSize != kBlock;
  File frame = Concat(File{0xFF, static_cast<uint8_t>(0xF8 | (variable ? 1 : 0)),
                           static_cast<uint8_t>((explicitSize ? 0x70 : 0xC0) | 9), 0x18},
                      CodedNumber(number));
  if (explicitSize) Append(frame, testing::Be16(blockSize - 1));
  frame.push_back(FlacCrc8(frame));
  for (uint8_t channel = 0; channel < 2; ++channel) {
    if (verbatim) {
      Append(frame, File{0x02}, testing::RandomBytes(2 * blockSize, uint32_t(number) + channel));
      // Samples that read as a CRC-16 of all before them: a frame end only by its checksum.
      const size_t at = frame.size() - 100;
      testing::Overwrite(frame, at,
                         testing::Be16(FlacCrc16(File(frame.begin(), frame.begin() + long(at)))));
    } else {
      Append(frame, File{0x00}, testing::Be16(number * 7 + channel));
    }
  }
  Append(frame, testing::Be16(FlacCrc16(frame)));
  return frame;
}

// `frames` frames of 4,096 samples and a last one of 1,000; with their total sample count, or 0
// (unknown).
constexpr uint64_t Total(uint64_t frames = 30) {
  return frames * kBlock + 1000;
}
constexpr uint64_t kTotal = Total();
File Audio(bool variable = false, uint64_t frames = 30) {
  File out;
  for (uint64_t i = 0; i <= frames; ++i) {
    const uint64_t number = variable ? i * kBlock : i;
    Append(out, Frame(number, i < frames ? kBlock : 1000, i % 3 == 0 || i == frames, variable));
  }
  return out;
}
const File kId3v2 = testing::Padded({'I', 'D', '3', 4, 0, 0, 0, 0, 0x01, 0x00}, 138);
const File kId3v1 = testing::Padded(testing::Text("TAG"), 128, 'x');

FlacWalk Walk(const File& file, Placement placement = {}) {
  testing::Candidate candidate(file, placement);
  RangeReader reader = candidate.Reader();
  return WalkFlac(reader, candidate.Cancel());
}

void ExpectExact(const FlacWalk& walk, size_t size, bool reachedTotal = true) {
  EXPECT_EQ(walk.end, static_cast<int64_t>(size));
  EXPECT_EQ(walk.reachedTotal, reachedTotal);
}

TEST(FlacWalk, ChecksumsAreFlacs) {
  EXPECT_EQ(FlacCrc8(testing::Text("123456789")), 0xF4);
  EXPECT_EQ(FlacCrc16(testing::Text("123456789")), 0xFEE8);
}

TEST(FlacWalk, EndsWithTheFrameThatReachesTheTotal) {
  const File file = Concat(Head(kTotal), Audio());
  for (const Placement& p : {Placement{}, Placement{.lead = 300, .bufferBytes = 4096},
                             Placement{.randomTrailing = true}, Placement{.sectorSize = 4096}}) {
    SCOPED_TRACE(::testing::PrintToString(p));
    ExpectExact(Walk(file, p), file.size());
    ExpectExact(Walk(Concat(file, file), p), file.size());
    const File tagged = Concat(file, kId3v2, kId3v1);
    ExpectExact(Walk(Concat(tagged, testing::RandomBytes(3000, 4)), p), tagged.size());
  }
  // Frames numbered by their first sample, over several read windows; STREAMINFO's largest frame
  // bounds the search.
  const File variable = Concat(Head(Total(400), 16'397), Audio(true, 400));
  ExpectExact(Walk(variable, {.bufferBytes = 4096, .randomTrailing = true}), variable.size());
}

TEST(FlacWalk, WithoutATotalEndsWhereNoFrameFollows) {
  const File file = Concat(Head(0), Audio());
  ExpectExact(Walk(Concat(file, testing::RandomBytes(9000, 6)), {.bufferBytes = 2048}), file.size(),
              false);
  ExpectExact(Walk(Concat(file, kId3v1, Head(0))), file.size() + kId3v1.size(), false);
}

TEST(FlacWalk, ProvesNothingForACutOrDamagedFile) {
  const File audio = Audio();
  const size_t frame20 = Concat(Head(kTotal)).size() + [] {
    File f;
    for (uint64_t i = 0; i < 20; ++i) Append(f, Frame(i, kBlock, i % 3 == 0));
    return f.size();
  }();
  for (const uint64_t total : {kTotal, uint64_t{0}}) {
    File cut = Concat(Head(total), audio);
    cut.resize(frame20 + 12);
    File damaged = Concat(Head(total), audio);
    damaged[frame20 + 9] ^= 0x10;
    for (const File& f : {cut, damaged}) {
      const auto walk = Walk(f, {.randomTrailing = true});
      EXPECT_FALSE(walk.end);
      EXPECT_EQ(walk.lastGoodFrame, static_cast<int64_t>(frame20));
    }
  }
  // The stream runs short of STREAMINFO's total, or past it.
  EXPECT_FALSE(Walk(Concat(Head(kTotal + 1), audio)).end);
  EXPECT_FALSE(Walk(Concat(Head(kTotal - 1), audio)).end);
  // Hostile metadata: STREAMINFO not first, a block running off the disk, no frame 0 after it.
  const File padding = MetadataBlock(1, false, File(10, 0));
  const File head = Head(kTotal);
  EXPECT_FALSE(
      Walk(Concat(testing::Text("fLaC"), padding, File(head.begin() + 4, head.end()), audio)).end);
  // Padding of type 127 (forbidden), or of 16 MiB.
  for (const File& field : {File{0xFF}, File{0x81, 0xFF, 0xFF, 0xFF}}) {
    File bad = head;
    testing::Overwrite(bad, 42, field);
    EXPECT_FALSE(Walk(Concat(bad, audio)).end);
  }
  EXPECT_FALSE(Walk(Concat(Head(kTotal), Frame(1, kBlock), audio)).end);
  EXPECT_FALSE(Walk(Concat(Head(kTotal), audio), {.cancelled = true}).end);
}

TEST(FlacWalk, RealEncoderFilesComeBackExact) {
  const auto files = testing::Fixtures("flac");
  ASSERT_FALSE(files.empty());
  for (const auto& path : files) {
    SCOPED_TRACE(path.filename().string());
    const File file = testing::ReadFile(path.string());
    ExpectExact(Walk(Concat(file, file), {.lead = 100, .bufferBytes = 1024}), file.size());
    ExpectExact(Walk(file, {.randomTrailing = true}), file.size());
    File cut = file;
    cut.resize(cut.size() * 2 / 3);
    EXPECT_FALSE(Walk(cut, {.randomTrailing = true}).end);
  }
}

}  // namespace
}  // namespace quarvelin
