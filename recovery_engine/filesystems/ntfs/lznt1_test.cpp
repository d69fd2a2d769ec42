#include "lznt1.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "temp_dir.h"

namespace quarvelin {
namespace {

using testing::File;

File Fixture(const std::string& name) {
  return testing::ReadFile(std::string(QUARVELIN_TESTDATA_DIR) + "/volumes/lznt1/" + name);
}

// Units ntfs-3g compressed: text (the offset/length split changing through each chunk), one
// phrase repeated (copies overlapping their own output), and a unit mixing chunks stored as they
// are with compressed ones.
TEST(DecompressLznt1, RestoresUnitsARealDriverCompressed) {
  for (const char* name : {"text", "repeat", "mixed"}) {
    const File in = Fixture(std::string(name) + ".lznt1");
    const File plain = Fixture(std::string(name) + ".plain");
    File out(65536);
    const auto produced = DecompressLznt1(in, out);
    ASSERT_TRUE(produced) << name;
    ASSERT_EQ(*produced, plain.size()) << name;
    out.resize(*produced);
    EXPECT_EQ(out, plain) << name;

    // A smaller output holds the start of the same data.
    File shorter(5000);
    EXPECT_EQ(DecompressLznt1(in, shorter), 5000u) << name;
    EXPECT_TRUE(std::equal(shorter.begin(), shorter.end(), plain.begin())) << name;
  }
}

TEST(DecompressLznt1, RejectsMalformedStreams) {
  const File text = Fixture("text.lznt1");
  File out(65536);
  // The first chunk cut short.
  EXPECT_FALSE(DecompressLznt1(std::span(text).first(100), out));
  // A wrong signature in the chunk header.
  File bad = text;
  bad[1] ^= 0x10;
  EXPECT_FALSE(DecompressLznt1(bad, out));
  // A back-reference before the chunk's start: flags 0x02, one literal, then offset 2.
  const File before = {0x03, 0xB0, 0x02, 'a', 0x00, 0x10};
  EXPECT_FALSE(DecompressLznt1(before, out));
  // Offset 1, length 3 after one literal is fine: "aaaa".
  const File run = {0x03, 0xB0, 0x02, 'a', 0x00, 0x00};
  EXPECT_EQ(DecompressLznt1(run, out), 4u);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 4), "aaaa");
}

}  // namespace
}  // namespace quarvelin
