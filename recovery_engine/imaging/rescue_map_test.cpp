#include "rescue_map.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "temp_dir.h"

namespace quarvelin {
namespace {

std::string Statuses(const RescueMap& map) {
  std::string text;
  for (const MapBlock& block : map.Blocks()) {
    text += std::to_string(block.pos) + "+" + std::to_string(block.size) +
            static_cast<char>(block.status) + " ";
  }
  return text;
}

TEST(RescueMap, BlocksSplitAndMergeAndTheTotalsFollow) {
  RescueMap map(1000);
  map.Set(100, 200, BlockStatus::kFinished);
  map.Set(300, 100, BlockStatus::kFinished);    // merges with the block before
  map.Set(150, 10, BlockStatus::kBadSector);    // splits it
  map.Set(900, 500, BlockStatus::kNonTrimmed);  // clipped at the end
  EXPECT_EQ(Statuses(map), "0+100? 100+50+ 150+10- 160+240+ 400+500? 900+100* ");
  EXPECT_EQ(map.Bytes(BlockStatus::kFinished), 290);
  EXPECT_EQ(map.Bytes(BlockStatus::kNonTried), 600);
  EXPECT_EQ(map.Bytes(BlockStatus::kBadSector), 10);
  map.Set(150, 10, BlockStatus::kFinished);
  EXPECT_EQ(Statuses(map), "0+100? 100+300+ 400+500? 900+100* ");
  EXPECT_TRUE(map.Finished(100, 300));
  EXPECT_FALSE(map.Finished(99, 2));
  EXPECT_EQ(map.NextBlock(120, BlockStatus::kFinished)->pos, 120);
  EXPECT_EQ(map.NextBlock(120, BlockStatus::kNonTried)->pos, 400);
  EXPECT_EQ(map.PreviousBlock(450, BlockStatus::kNonTried)->size, 50);
  EXPECT_EQ(map.PreviousBlock(400, BlockStatus::kNonTried)->pos, 0);
  EXPECT_FALSE(map.NextBlock(0, BlockStatus::kNonScraped));
}

TEST(RescueMap, ReadsTheMapfilesTheOtherToolWritesAndWritesOnesItReads) {
  // The example of GNU ddrescue's manual, with a comment after a value and a decimal block.
  const char* text =
      "# Mapfile. Created by GNU ddrescue version 1.27\n"
      "# current_pos  current_status  current_pass\n"
      "0x00120000     ?               1\n"
      "#      pos        size  status\n"
      "0x00000000  0x00117000  +\n"
      "0x00117000  0x00000200  -   # a bad sector\n"
      "0x00117200  4096  /\n"
      "0x00118200  0x00007E00  *\n"
      "0x00120000  0x00048000  ?\n";
  std::string error;
  const std::optional<RescueMap> map = RescueMap::Parse(text, error);
  ASSERT_TRUE(map) << error;
  EXPECT_EQ(map->Size(), 0x168000);
  EXPECT_EQ(map->position, 0x120000);
  EXPECT_EQ(map->phase, RescuePhase::kCopying);
  EXPECT_EQ(map->Bytes(BlockStatus::kNonScraped), 4096);
  const std::optional<RescueMap> again = RescueMap::Parse(map->Text({"a comment"}), error);
  ASSERT_TRUE(again) << error;
  EXPECT_EQ(Statuses(*again), Statuses(*map));
  EXPECT_NE(map->Text({}).find("0x00117000  0x00000200  -\n"), std::string::npos);

  // Older maps have no pass; octal is allowed.
  EXPECT_TRUE(RescueMap::Parse("0 + \n00 010 +\n", error)) << error;
}

TEST(RescueMap, ATextThatIsNotAMapfileIsRefusedWithItsReason) {
  const struct {
    const char* text;
    const char* reason;
  } cases[] = {
      {"", "no status line"},
      {"0x0 ? 1\n0x0 0x10 +\n0x20 0x10 +\n", "line 3: the block does not follow"},
      {"0x0 ? 1\n0x0 0x10 +\n0x08 0x10 +\n", "line 3: the block does not follow"},
      {"0x0 ? 1\n0x10 0x10 +\n", "line 2: the block does not follow"},
      {"0x0 ? 1\n0x0 0x10 x\n", "line 2: not a mapfile block line"},
      {"0x0 ? 1\n0x0 0 +\n", "line 2: not a mapfile block line"},
      {"0x0 ? 1\n0x0 0xfffffffffffffffff +\n", "line 2: not a mapfile block line"},
      {"hello world\n", "line 1: not a mapfile status line"},
      {"\x89PNG\r\n", "line 1: not a mapfile status line"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(RescueMap::Parse(c.text, error)) << c.text;
    EXPECT_EQ(error.rfind(c.reason, 0), 0u) << error;
  }
}

TEST(RescueMap, ASaveStoppedHalfWayLeavesAWholeMap) {
  testing::TempDir dir;
  const std::string path = dir.File("image.map");
  RescueMap map(4096);
  map.Set(0, 1024, BlockStatus::kFinished);
  std::string error;
  ASSERT_TRUE(map.Save(path, {}, false, error)) << error;
  map.Set(1024, 1024, BlockStatus::kBadSector);
  ASSERT_TRUE(map.Save(path, {}, true, error)) << error;
  std::optional<RescueMap> loaded = RescueMap::Load(path, error);
  ASSERT_TRUE(loaded) << error;
  EXPECT_EQ(Statuses(*loaded), Statuses(map));
  // Stopped after the old map was removed and before the new one took its name.
  ASSERT_EQ(std::rename(path.c_str(), (path + ".new").c_str()), 0);
  loaded = RescueMap::Load(path, error);
  ASSERT_TRUE(loaded) << error;
  EXPECT_EQ(Statuses(*loaded), Statuses(map));
  std::remove((path + ".new").c_str());
  EXPECT_FALSE(RescueMap::Load(path, error));
  EXPECT_EQ(error, "");  // no map is not an error
}

}  // namespace
}  // namespace quarvelin
