#include "formats/aiff/aiff_walk.h"

#include <gtest/gtest.h>

#include <string>

#include "candidate.h"

namespace quarvelin {
namespace {

using testing::Be32;
using testing::Concat;
using testing::File;
using testing::Placement;
using testing::RandomBytes;

AiffWalk Walk(const File& file, Placement placement = {.lead = 100, .randomTrailing = true}) {
  return testing::Validated(file, placement, WalkAiff);
}

// A chunk padded to an even length.
File Chunk(const std::string& id, size_t length, uint32_t seed = 1) {
  File chunk = Concat(id, Be32(uint32_t(length)), RandomBytes(length, seed));
  if (length % 2 != 0) chunk.push_back(0);
  return chunk;
}

// "FORM", the size of what follows (`formSize`, or all of it), the type and the chunks.
File Form(const File& chunks, const char* type = "AIFF", int64_t formSize = -1) {
  const auto size = formSize >= 0 ? uint32_t(formSize) : uint32_t(4 + chunks.size());
  return Concat("FORM", Be32(size), type, chunks);
}

TEST(AiffWalk, ChunksLeadExactlyToTheFormsEnd) {
  const File chunks = Concat(Chunk("FVER", 4), Chunk("COMM", 24), Chunk("NAME", 7),
                             Chunk("SSND", 3001), Chunk("ANNO", 10));
  for (const char* type : {"AIFF", "AIFC"}) {
    const File f = Form(chunks, type);
    EXPECT_EQ(Walk(f).end, static_cast<int64_t>(f.size())) << type;
  }
  // An odd last chunk whose pad byte the FORM's size leaves out: the pad still belongs to it.
  const File odd = Concat(Chunk("COMM", 18), Chunk("SSND", 901));
  EXPECT_EQ(Walk(Form(odd, "AIFF", int64_t(odd.size()) + 3)).end, int64_t(odd.size()) + 12);
}

TEST(AiffWalk, BrokenOrCutFilesKeepTheirWholeChunks) {
  const File head = Concat(Chunk("COMM", 18), Chunk("MARK", 30));
  const File sound = Chunk("SSND", 5000);
  const File f = Form(Concat(head, sound));
  // Overwritten after the markers: the sound chunk's header is gone.
  File overwritten = f;
  testing::Overwrite(overwritten, 12 + head.size(), RandomBytes(5008, 9));
  overwritten[12 + head.size()] = 0x01;  // no chunk id
  AiffWalk walk = Walk(overwritten);
  EXPECT_EQ(walk.end, 0);
  EXPECT_EQ(walk.wholeChunks, int64_t(12 + head.size()));
  // A sound chunk running past the FORM's end, or past the device's.
  File longer = f;
  testing::Overwrite(longer, 12 + head.size() + 4, Be32(9000));
  EXPECT_EQ(Walk(longer).end, 0);
  const File cut(f.begin(), f.end() - 1000);
  walk = Walk(cut, {.lead = (512 - cut.size() % 512) % 512, .trailing = 0});
  EXPECT_EQ(walk.end, 0);
  EXPECT_EQ(walk.wholeChunks, int64_t(12 + head.size()));
}

TEST(AiffWalk, OtherFormsAndNoiseAreNotTaken) {
  const File chunks = Concat(Chunk("COMM", 18), Chunk("SSND", 100));
  EXPECT_FALSE(Walk(Form(chunks, "8SVX")).aiff);
  // Without COMM there is no sound description: nothing to keep.
  const AiffWalk noCommon = Walk(Form(Chunk("SSND", 100)));
  EXPECT_TRUE(noCommon.aiff);
  EXPECT_EQ(noCommon.end, 0);
  EXPECT_EQ(noCommon.wholeChunks, 0);
  const AiffWalk noise = Walk(Concat("FORM", Be32(100'000), "AIFF", RandomBytes(100'000, 4)));
  EXPECT_EQ(noise.end, 0);
  EXPECT_EQ(noise.wholeChunks, 0);
  EXPECT_EQ(Walk(Form(chunks), {.cancelled = true}).end, 0);
}

}  // namespace
}  // namespace quarvelin
