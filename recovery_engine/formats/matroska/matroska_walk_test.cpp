#include "matroska_walk.h"

#include <gtest/gtest.h>

#include "candidate.h"
#include "fixtures.h"

namespace quarvelin {
namespace {

using testing::Concat;
using testing::File;
using testing::Placement;

// An element with a one-byte size field (bodies under 127 bytes) or an eight-byte one.
File Element(const File& id, const File& body) {
  if (body.size() < 127) return Concat(id, File{static_cast<uint8_t>(0x80 | body.size())}, body);
  return Concat(id, File{0x01, 0, 0, 0}, testing::Be32(static_cast<uint32_t>(body.size())), body);
}
File Header(const std::string& docType) {
  return Element({0x1A, 0x45, 0xDF, 0xA3}, Concat(Element({0x42, 0x86}, {0x01}),
                                                  Element({0x42, 0x82}, testing::Text(docType)),
                                                  Element({0x42, 0x87}, {0x04})));
}
const File kUnknownSize = {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const File kSegment = {0x18, 0x53, 0x80, 0x67};
const File kInfo = {0x15, 0x49, 0xA9, 0x66};
const File kCluster = {0x1F, 0x43, 0xB6, 0x75};

// A live recording: a Segment of unknown size holding Info and clusters.
File Live(const File& tail = {}) {
  return Concat(Header("webm"), kSegment, kUnknownSize, Element(kInfo, File(40, 1)),
                Element(kCluster, File(3000, 2)), Element({0xEC}, File(10, 0)),
                Element(kCluster, File(200, 3)), tail);
}

template <typename Walk>
auto Run(const File& file, Placement placement, Walk walk) {
  testing::Candidate candidate(file, placement);
  RangeReader reader = candidate.Reader();
  return walk(reader, candidate.Cancel());
}
std::optional<int64_t> Walk(const File& file, Placement placement = {}) {
  return Run(file, placement, WalkMatroska);
}
std::optional<std::string> DocType(const File& file) {
  return Run(file, {}, [](RangeReader& read, auto) { return MatroskaDocType(read); });
}

TEST(MatroskaWalk, ReadsTheDocType) {
  EXPECT_EQ(DocType(Live()), "webm");
  EXPECT_EQ(DocType(Concat(Header(std::string("webm\0\0", 6)), kSegment)), "webm");
  EXPECT_FALSE(DocType(Concat(Header("dvdmenu"), kSegment)));
  EXPECT_FALSE(DocType(testing::RandomBytes(100, 3)));
  // A DocType whose size runs past the header's end.
  File bad = Header("webm");
  bad[11] = 0x8F;
  EXPECT_FALSE(DocType(bad));
}

TEST(MatroskaWalk, EndsALiveRecordingAfterItsLastElement) {
  const File live = Live();
  const File stray = {0xEC, 0x84, 1, 2, 3, 4};  // a byte that reads as a Void element
  for (const auto& after : {File{}, stray, Live(), testing::RandomBytes(64, 4)}) {
    for (const auto placement :
         {Placement{}, Placement{.lead = 300, .bufferBytes = 1024, .randomTrailing = true},
          Placement{.lead = 77, .sectorSize = 4096, .trailing = 0}}) {
      EXPECT_EQ(Walk(Concat(live, after), placement), static_cast<int64_t>(live.size()))
          << ::testing::PrintToString(placement);
    }
  }
  // Cut off by the device's end, a cluster of unknown size, no cluster at all, cancelled.
  EXPECT_FALSE(Walk(File(live.begin(), live.end() - 600), {.bufferBytes = 512, .trailing = 0}));
  EXPECT_FALSE(Walk(Live(Concat(kCluster, kUnknownSize, File(100, 5)))));
  EXPECT_FALSE(Walk(Concat(Header("webm"), kSegment, kUnknownSize, Element(kInfo, File(4, 0)))));
  EXPECT_FALSE(Walk(live, {.cancelled = true}));
  // More clusters may lie past an unreadable sector.
  testing::Candidate candidate(
      Concat(Header("webm"), kSegment, kUnknownSize, Element(kCluster, File(980, 2))),
      {.bufferBytes = 512});
  RangeReader reader = candidate.Reader();
  EXPECT_EQ(WalkMatroska(reader, nullptr), 1024);
  candidate.Disk().Unreadable(1024, 512);
  EXPECT_FALSE(WalkMatroska(reader, nullptr));
}

TEST(MatroskaWalk, TakesAWrittenSegmentSizeOnlyWhereTheDeviceHoldsIt) {
  const File body = Element(kCluster, File(1000, 2));
  const File file = Concat(Header("matroska"), Element(kSegment, body));
  EXPECT_EQ(Walk(Concat(file, Live())), static_cast<int64_t>(file.size()));
  const File huge = Concat(Header("matroska"), kSegment,
                           File{0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, body);
  EXPECT_FALSE(Walk(huge));
}

TEST(MatroskaWalk, SizesAndNamesRealFiles) {
  for (const std::string extension : {"mkv", "webm"}) {
    for (const auto& path : testing::Fixtures(extension)) {
      const File file = testing::Fixture(path.filename().string());
      EXPECT_EQ(Walk(file, {.lead = 100, .bufferBytes = 4096, .randomTrailing = true}),
                static_cast<int64_t>(file.size()))
          << path;
      EXPECT_EQ(DocType(file), extension == "mkv" ? "matroska" : "webm") << path;
    }
  }
}

}  // namespace
}  // namespace quarvelin
