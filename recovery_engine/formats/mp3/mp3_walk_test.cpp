#include "formats/mp3/mp3_walk.h"

#include <gtest/gtest.h>

#include <string>

#include "candidate.h"
#include "fixtures.h"

namespace quarvelin {
namespace {

using testing::Concat;
using testing::File;
using testing::Padded;
using testing::Placement;
using testing::Text;

// A frame of the given header bytes, its length as the header gives it; `info` is written at
// `infoAt`.
File Frame(uint8_t b1, uint8_t b2, uint8_t b3 = 0x44, const File& info = {}, size_t infoAt = 36) {
  const File header = {0xFF, b1, b2, b3};
  const auto decoded = DecodeMpegFrameHeader(header);
  if (!decoded) throw std::invalid_argument("not a frame header");
  File frame = Padded(header, static_cast<size_t>(decoded->length), 0x55);
  std::copy(info.begin(), info.end(), frame.begin() + static_cast<std::ptrdiff_t>(infoAt));
  return frame;
}

File Repeat(const File& frame, int count) {
  File out;
  for (int i = 0; i < count; ++i) testing::Append(out, frame);
  return out;
}

// MPEG-1 Layer III, 128 kbit/s, 44.1 kHz, joint stereo: 417 bytes.
const File kFrame = Frame(0xFB, 0x90);
const File kId3v1 = Padded(Text("TAG"), 128, 'x');

Mp3Walk Walk(const File& file, Placement placement = {}) {
  return testing::Validated(file, placement, WalkMp3);
}

TEST(Mp3Walk, EveryVersionAndLayerEndsWhereItsFramesEnd) {
  struct Case {
    uint8_t b1, b2;
    int64_t length;
    int32_t rate;
  };
  const Case cases[] = {
      {0xFF, 0x40, 136, 44'100},  // MPEG-1 layer I, 128 kbit/s
      {0xFD, 0x80, 417, 44'100},  // MPEG-1 layer II, 128 kbit/s
      {0xFB, 0x94, 384, 48'000},  // MPEG-1 layer III, 128 kbit/s
      {0xF7, 0x40, 136, 22'050},  // MPEG-2 layer I, 64 kbit/s
      {0xF5, 0x84, 384, 24'000},  // MPEG-2 layer II, 64 kbit/s
      {0xF3, 0x88, 288, 16'000},  // MPEG-2 layer III, 64 kbit/s
      {0xE3, 0x48, 288, 8'000},   // MPEG-2.5 layer III, 32 kbit/s
      {0xE2, 0x18, 72, 8'000},    // MPEG-2.5 layer III, 8 kbit/s, with CRC
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.b1));
    const File frame = Frame(c.b1, c.b2);
    ASSERT_EQ(std::ssize(frame), c.length);
    // Bit rate and padding change from frame to frame; the stream stays one.
    const File file = Concat(Repeat(frame, 4), Frame(c.b1, uint8_t(c.b2 + 0x12)), frame);
    const auto walk =
        Walk(file, {.lead = 300, .chunkStart = 2, .bufferBytes = 1024, .randomTrailing = true});
    EXPECT_EQ(walk.end, std::ssize(file));
    EXPECT_EQ(walk.frames, 6);
    EXPECT_EQ(walk.first->sampleRate, c.rate);
    // Too few frames to prove anything; a frame of another sample rate ends the stream.
    EXPECT_FALSE(Walk(Repeat(frame, 3)).end);
    const int otherRate = ((c.b2 >> 2 & 3) + 1) % 3;
    EXPECT_EQ(
        Walk(Concat(Repeat(frame, 5), Frame(c.b1, uint8_t((c.b2 & 0xF3) | otherRate << 2)))).end,
        5 * c.length);
  }
  // Cut off by the device's end inside the tenth frame: nine whole frames, no proof.
  const auto cut = Walk(Padded(Repeat(kFrame, 10), 4096), {.trailing = 0});
  EXPECT_FALSE(cut.end);
  EXPECT_EQ(cut.frames, 9);
  EXPECT_EQ(cut.walkedEnd, 9 * 417);
}

TEST(Mp3Walk, InfoFrameCountEndsTheStream) {
  const auto info = [](const char* tag, uint32_t count) {
    return Frame(0xFB, 0x90, 0x44, Concat(Text(tag), testing::Be32(0x0F), testing::Be32(count)));
  };
  // LAME does not count its Info frame; the next file of the same stream is not swallowed.
  const File file = Concat(info("Info", 9), Repeat(kFrame, 9));
  auto walk = Walk(Concat(file, Repeat(kFrame, 20)));
  EXPECT_EQ(walk.end, std::ssize(file));
  EXPECT_TRUE(walk.hasInfoCount && walk.infoCountMatched && walk.isVbr);
  // A stream without a count ends where the next file's info frame begins.
  EXPECT_EQ(Walk(Concat(Repeat(kFrame, 5), file)).end, 5 * std::ssize(kFrame));
  // An encoder that counts it, and a Xing count in a mono MPEG-2 frame.
  EXPECT_EQ(Walk(Concat(info("Xing", 10), Repeat(kFrame, 9))).end, std::ssize(file));
  const File mono = Frame(0xF3, 0x88, 0xC4);
  const File xing =
      Frame(0xF3, 0x88, 0xC4, Concat(Text("Xing"), testing::Be32(1), testing::Be32(2)), 13);
  EXPECT_EQ(Walk(Concat(xing, mono, mono, mono)).end, 3 * std::ssize(mono));
  // Fewer frames than announced: cut short, not proven.
  walk = Walk(Concat(info("Info", 12), Repeat(kFrame, 9)));
  EXPECT_FALSE(walk.end);
  EXPECT_EQ(walk.frames, 10);
  // VBRI stands 32 bytes after the header, its count at 14 bytes in.
  const File vbri = Frame(0xFB, 0x90, 0x44, Concat(Text("VBRI"), File(10, 0), testing::Be32(2)));
  EXPECT_EQ(Walk(Concat(vbri, kFrame, kFrame, kFrame)).end, 3 * std::ssize(kFrame));
}

TEST(Mp3Walk, TagsBeforeAndAfterTheAudio) {
  const File audio = Repeat(kFrame, 5);
  const auto n = std::ssize(audio);
  // ID3v2.4 with a footer, then zero padding some taggers leave.
  const File id3 = Padded({'I', 'D', '3', 4, 0, 0x10, 0, 0, 1, 0}, 10 + 128 + 10);
  auto walk = Walk(Concat(id3, File(700, 0), audio, kId3v1));
  EXPECT_EQ(walk.id3v2Size, 148);
  EXPECT_EQ(walk.end, 148 + 700 + n + 128);
  EXPECT_TRUE(walk.tags.id3v1);

  const File enhanced = Padded(Text("TAG+"), 227, 'e');
  EXPECT_EQ(Walk(Concat(audio, enhanced, kId3v1)).end, n + 227 + 128);

  const auto ape = [](bool withHeader) {
    const File item =
        Concat(testing::Le32(5), testing::Le32(0), Text("Title"), File{0}, Text("hello"));
    const auto field = [&](uint32_t flags) {
      return Concat(Text("APETAGEX"), testing::Le32(2000), testing::Le32(item.size() + 32),
                    testing::Le32(1), testing::Le32(flags), File(8, 0));
    };
    return withHeader ? Concat(field(0xA0000000u), item, field(0x80000000u))
                      : Concat(item, field(0x80000000u));
  };
  for (const bool header : {true, false}) {
    walk = Walk(Concat(audio, ape(header), kId3v1));
    EXPECT_EQ(walk.end, n + std::ssize(ape(header)) + 128);
    EXPECT_TRUE(walk.tags.ape && walk.tags.id3v1);
  }

  const File lyrics = Concat(Text("LYRICSBEGININD00002110"), Text("000022LYRICS200"));
  walk = Walk(Concat(audio, lyrics, kId3v1));
  EXPECT_EQ(walk.end, n + std::ssize(lyrics) + 128);
  EXPECT_TRUE(walk.tags.lyrics3);
  // A size that does not lead to the end marker is no tag: the file ends with its audio.
  File wrong = lyrics;
  wrong[23] = '3';
  EXPECT_EQ(Walk(Concat(audio, wrong, kId3v1)).end, n);
}

TEST(Mp3Walk, HostileTagsAndRandomDataProveNothing) {
  for (const File& head :
       {File{'I', 'D', '3', 0xFF, 0, 0, 0, 0, 1, 0}, File{'I', 'D', '3', 3, 0, 0, 0x80, 0, 0, 0},
        File{'I', 'D', '3', 3, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F}}) {
    testing::Candidate candidate(Concat(head, Repeat(kFrame, 8)), {.bufferBytes = 4096});
    RangeReader read = candidate.Reader();
    EXPECT_FALSE(WalkMp3(read, nullptr).end);
    EXPECT_LE(candidate.Disk()->reads.load(), 2);
  }
  EXPECT_FALSE(Walk(Repeat(kFrame, 8), {.cancelled = true}).end);

  // Every frame sync in random bytes, the way a scan meets it. Garbage is turned away within the
  // first frames, from the scan buffer alone.
  constexpr size_t size = 1 << 20;
  auto disk = testing::TestDisk::Random(size + 4096, 7);
  const auto buffer = disk.Chunk(0, size + 4096);
  int starts = 0;
  int proven = 0;
  for (size_t at = 0; at + 1 < size; ++at) {
    if (buffer[at] != 0xFF || (buffer[at + 1] & 0xE0) != 0xE0) continue;
    ++starts;
    RangeReader read(buffer, at, 0, 512, disk.device());
    if (WalkMp3(read, nullptr).end) ++proven;
  }
  EXPECT_EQ(proven, 0) << "of " << starts;
  EXPECT_EQ(disk->reads.load(), 0);
}

TEST(Mp3Walk, RealFilesAreProvenWhole) {
  for (const auto& path : testing::Fixtures("mp3")) {
    SCOPED_TRACE(path.filename().string());
    const File file = testing::ReadFile(path.string());
    const auto walk =
        Walk(file, {.lead = 100, .chunkStart = 1, .bufferBytes = 8192, .randomTrailing = true});
    EXPECT_EQ(walk.end, std::ssize(file));
  }
}

}  // namespace
}  // namespace quarvelin
