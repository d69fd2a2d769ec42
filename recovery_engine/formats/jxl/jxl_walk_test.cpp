#include "jxl_walk.h"

#include <gtest/gtest.h>

#include "candidate.h"
#include "fixtures.h"

namespace quarvelin {
namespace {

using testing::Be32;
using testing::Be64;
using testing::Concat;
using testing::File;
using testing::Placement;

File Box(const std::string& type, const File& body) {
  return Concat(Be32(static_cast<uint32_t>(body.size() + 8)), type, body);
}
File Head() {
  return Concat(File(std::begin(kJxlSignature), std::end(kJxlSignature)),
                Box("ftyp", Concat("jxl ", Be32(0), "jxl ")));
}
// A codestream of `n` bytes: its signature, then filler.
File Stream(size_t n) {
  File stream(n, 0x5A);
  stream[0] = 0xFF;
  stream[1] = 0x0A;
  return stream;
}
File Part(uint32_t index, const File& body) {
  return Box("jxlp", Concat(Be32(index), body));
}

JxlWalk Walk(const File& file, Placement placement = {}) {
  testing::Candidate candidate(file, placement);
  RangeReader reader = candidate.Reader();
  return WalkJxl(reader, candidate.Cancel());
}

TEST(JxlWalk, EndsAfterTheLastBoxOnceTheCodestreamIsWhole) {
  const File exif = Box("Exif", File(40, 1));
  const std::vector<File> images = {
      Concat(Head(), Box("jxlc", Stream(900))),
      Concat(Head(), Box("jxll", File{10}), Box("jxlc", Stream(900)), exif,
             Box("xml ", File(60, 2))),
      Concat(Head(), Part(0, Stream(20)), Box("jbrd", File(150, 3)), Box("brob", File(170, 4)),
             Part(1, File(500, 5)), Part(0x80000002, File(300, 6))),
      // A 64-bit size.
      Concat(Head(), Be32(1), "jxlc", Be64(16 + 700), Stream(700)),
  };
  for (const auto& image : images) {
    for (const auto& after :
         {File{}, Head(), testing::RandomBytes(64, 7), Box("Abcd", File(30, 0))}) {
      for (const auto placement :
           {Placement{}, Placement{.lead = 100, .bufferBytes = 512, .randomTrailing = true}}) {
        EXPECT_EQ(Walk(Concat(image, after), placement).end, static_cast<int64_t>(image.size()));
      }
    }
  }
}

TEST(JxlWalk, ProvesNothingWithoutTheWholeCodestream) {
  const File whole = Concat(Head(), Part(0, Stream(400)), Part(0x80000001, File(600, 1)));
  // Cut off by the device's end.
  auto r = Walk(File(whole.begin(), whole.end() - 100), {.bufferBytes = 256, .trailing = 0});
  EXPECT_FALSE(r.end);
  EXPECT_TRUE(r.codestream);
  EXPECT_EQ(r.reached, static_cast<int64_t>(whole.size()));
  // No last part, parts out of order, a part after the last, a codestream box beside parts.
  EXPECT_FALSE(Walk(Concat(Head(), Part(0, Stream(400)), Part(1, File(600, 1)))).end);
  EXPECT_FALSE(Walk(Concat(Head(), Part(0, Stream(400)), Part(0x80000002, File(60, 1)))).end);
  EXPECT_EQ(Walk(Concat(whole, Part(0x80000002, File(60, 1)))).end,
            static_cast<int64_t>(whole.size()));
  EXPECT_FALSE(Walk(Concat(Head(), Part(0, Stream(400)), Box("jxlc", Stream(60)))).end);
  // A codestream that runs to the end of the file: where it starts is all that is known.
  r = Walk(Concat(Head(), Box("Exif", File(20, 0)), Be32(0), "jxlc", Stream(500)));
  EXPECT_FALSE(r.end);
  EXPECT_EQ(r.openEndedAt, 60);
  EXPECT_FALSE(Walk(Concat(Head(), Box("jxlc", Stream(100))), {.cancelled = true}).end);
}

TEST(JxlWalk, RejectsWhatIsNoContainer) {
  // A codestream that does not start with its signature, a foreign brand, metadata alone.
  EXPECT_FALSE(Walk(Concat(Head(), Box("jxlc", File(100, 0x5A)))).codestream);
  const File signature(std::begin(kJxlSignature), std::end(kJxlSignature));
  EXPECT_FALSE(
      Walk(Concat(signature, Box("ftyp", Concat("isom", Be32(0))), Box("jxlc", Stream(100))))
          .codestream);
  const auto r = Walk(Concat(Head(), Box("Exif", File(100, 0))));
  EXPECT_FALSE(r.end);
  EXPECT_FALSE(r.codestream);
  // Sizes that would overflow end the walk.
  EXPECT_FALSE(Walk(Concat(Head(), Be32(1), "jxlc", Be64(~uint64_t{0}), Stream(100))).end);
}

}  // namespace
}  // namespace quarvelin
