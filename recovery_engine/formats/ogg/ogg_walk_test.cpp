#include "formats/ogg/ogg_walk.h"

#include <gtest/gtest.h>

#include "candidate.h"
#include "fixtures.h"

namespace quarvelin {
namespace {

using testing::Concat;
using testing::File;
using testing::Placement;

constexpr uint8_t kBos = 0x02;
constexpr uint8_t kEos = 0x04;

// One page with a correct checksum; the payload is laced into 255-byte segments.
File Page(uint8_t flags, uint32_t serial, uint32_t sequence, size_t payloadBytes,
          uint32_t seed = 1) {
  const File payload = testing::RandomBytes(payloadBytes, seed + sequence);
  File lacing(payloadBytes / 255 + 1, 255);
  lacing.back() = static_cast<uint8_t>(payloadBytes % 255);
  File page = Concat(testing::Text("OggS"), File{0, flags}, testing::Le64(sequence * 1000),
                     testing::Le32(serial), testing::Le32(sequence), testing::Le32(0),
                     File{static_cast<uint8_t>(lacing.size())}, lacing, payload);
  testing::Overwrite(page, 22, testing::Le32(OggCrc32(page)));
  return page;
}

// A logical stream of `pages` pages, the first one beginning it and the last one ending it.
File Stream(uint32_t serial, uint32_t pages, size_t payloadBytes = 3000) {
  File out;
  for (uint32_t i = 0; i < pages; ++i) {
    const uint8_t flags = (i == 0 ? kBos : 0) | (i + 1 == pages ? kEos : 0);
    testing::Append(out, Page(flags, serial, i, i == 0 ? 30 : payloadBytes, serial));
  }
  return out;
}

OggWalk Walk(const File& file, Placement placement = {}) {
  testing::Candidate candidate(file, placement);
  RangeReader reader = candidate.Reader();
  return WalkOgg(reader, candidate.Cancel());
}

void ExpectExact(const OggWalk& walk, size_t size) {
  EXPECT_EQ(walk.end, static_cast<int64_t>(size));
  EXPECT_EQ(walk.lastGoodPage, static_cast<int64_t>(size));
  EXPECT_EQ(walk.lastLinkEnd, static_cast<int64_t>(size));
}

TEST(OggWalk, ChecksumIsOggsOwnCrc) {
  // CRC-32 with polynomial 0x04C11DB7, unreflected, no initial value or final XOR.
  EXPECT_EQ(OggCrc32(testing::Text("123456789")), 0x89A1'897Fu);
}

TEST(OggWalk, EndsAfterTheLastEndOfStreamPage) {
  // Longer than a read window, with pages of the largest size.
  const File one = Stream(7, 12, 65'024);
  for (const Placement& p : {Placement{}, Placement{.lead = 300, .bufferBytes = 4096},
                             Placement{.randomTrailing = true}, Placement{.sectorSize = 4096}}) {
    SCOPED_TRACE(::testing::PrintToString(p));
    ExpectExact(Walk(one, p), one.size());
    // Another file after it, or a stray page of another stream: neither belongs to it.
    ExpectExact(Walk(Concat(one, testing::Text("fLaC"), testing::RandomBytes(5000, 3)), p),
                one.size());
    ExpectExact(Walk(Concat(one, Page(0, 9, 5, 100)), p), one.size());
  }
}

TEST(OggWalk, FollowsChainedLinksAndMultiplexedStreams) {
  // Two links, the second with two streams whose pages interleave; streams end in either order.
  File file = Concat(Stream(1, 5), Page(kBos, 2, 0, 40), Page(kBos, 3, 0, 40));
  for (uint32_t i = 1; i < 6; ++i) {
    testing::Append(file, Page(i == 5 ? kEos : 0, 3, i, 500), Page(0, 2, i, 700));
  }
  testing::Append(file, Page(kEos, 2, 6, 10));
  ExpectExact(Walk(Concat(file, testing::RandomBytes(9000, 5)), Placement{.bufferBytes = 2048}),
              file.size());
  // A second file of two links right after the first is not told apart: that is what chaining is.
  ExpectExact(Walk(Concat(file, Stream(4, 3))), file.size() + Stream(4, 3).size());
  // A cut second link leaves the first whole.
  File cut = Concat(file, Stream(4, 3));
  cut.resize(cut.size() - 1000);
  const auto walk = Walk(cut, {.randomTrailing = true});
  EXPECT_FALSE(walk.end);
  EXPECT_EQ(walk.lastLinkEnd, static_cast<int64_t>(file.size()));
}

TEST(OggWalk, ProvesNothingWhenAStreamIsLeftOpen) {
  const File open =
      Concat(Page(kBos, 2, 0, 40), Page(kBos, 3, 0, 40), Page(0, 2, 1, 800), Page(kEos, 3, 1, 800));
  const File tail = Page(kEos, 2, 2, 800);
  const auto whole = static_cast<int64_t>(open.size());

  // Cut inside the last page, cut after a page, or a page whose checksum fails.
  File cut = Concat(open, tail);
  cut.resize(cut.size() - 10);
  File damaged = Concat(open, tail);
  damaged[open.size() + 40] ^= 1;
  for (const File& f : {cut, open, damaged}) {
    const auto walk = Walk(f, {.randomTrailing = true});
    EXPECT_FALSE(walk.end);
    EXPECT_EQ(walk.lastGoodPage, whole);
  }
  // Pages that break the stream's rules: out of sequence, after its end, a second first page.
  for (const File& f : {Page(kEos, 2, 3, 10), Page(kEos, 3, 2, 10), Page(kBos, 2, 0, 10)}) {
    const auto walk = Walk(Concat(open, f));
    EXPECT_FALSE(walk.end);
    EXPECT_EQ(walk.lastGoodPage, whole);
  }
  // A walk that does not begin with a stream's first page has nothing whole.
  EXPECT_EQ(Walk(Concat(Page(0, 2, 1, 40), tail)).lastGoodPage, 0);
  EXPECT_FALSE(Walk(Stream(1, 5), {.cancelled = true}).end);
}

TEST(OggWalk, RealEncoderFilesComeBackExact) {
  std::vector<std::filesystem::path> files = testing::Fixtures("ogg");
  ASSERT_FALSE(files.empty());
  File chained;
  for (const auto& path : files) {
    SCOPED_TRACE(path.filename().string());
    const File file = testing::ReadFile(path.string());
    ExpectExact(Walk(file, {.lead = 100, .bufferBytes = 1024, .randomTrailing = true}),
                file.size());
    File cut = file;
    cut.resize(cut.size() * 2 / 3);
    EXPECT_FALSE(Walk(cut, {.randomTrailing = true}).end);
    testing::Append(chained, file);
  }
  ExpectExact(Walk(chained, {.randomTrailing = true}), chained.size());
}

}  // namespace
}  // namespace quarvelin
