#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "drive_list.h"
#include "drive_table.h"
#include "json_text.h"
#include "progress_display.h"
#include "quarvelin_cli.h"

namespace quarvelin::cli {
namespace {

TEST(ParseJsonObjectArray, ReadsFlatObjectsAndUnescapesStrings) {
  const auto objects = ParseJsonObjectArray(
      " [ {\"a\": \"x\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\ud83d\\udcbe\","
      " \"n\": -12.5e+3, \"t\": true, \"z\": null}, {} ]\n");
  ASSERT_TRUE(objects.has_value());
  ASSERT_EQ(objects->size(), 2u);
  EXPECT_EQ((*objects)[0], (JsonFlatObject{{"a", "x\"\\/\b\f\n\r\t\xc3\xa9\xf0\x9f\x92\xbe"},
                                           {"n", "-12.5e+3"},
                                           {"t", "true"},
                                           {"z", "null"}}));
  EXPECT_TRUE((*objects)[1].empty());
  EXPECT_EQ(JsonMember((*objects)[0], "n"), "-12.5e+3");
  EXPECT_EQ(JsonMember((*objects)[0], "missing"), "");
  EXPECT_EQ(ParseJsonObjectArray("[]"), std::vector<JsonFlatObject>{});
}

TEST(ParseJsonObjectArray, RejectsWhatIsNotAnArrayOfFlatObjects) {
  for (const char* bad :
       {"", "[", "{}", "[{}", "[{},]", "[1]", "[{\"a\": [1]}]", "[{\"a\": 01}]", "[{\"a\": 1.}]",
        "[{\"a\": - 1}]", "[{\"a\" 1}]", "[{\"a\": tru}]", "[] x", "[{\"a\": \"\x01\"}]",
        "[{\"a\": \"\\x\"}]", "[{\"a\": \"\\udcbe\"}]", "[{\"a\": \"\\ud83d\"}]",
        "[{\"a\": \"open}]"}) {
    EXPECT_FALSE(ParseJsonObjectArray(bad).has_value()) << bad;
  }
}

TEST(DriveTable, ReadsBackTheEnginesListWhateverTheLabel) {
  const std::string label = "My \"Best\" C:\\ disk\x01\t\xc3\xa9";
  const std::string json = quarvelin::DriveListJson(
      {{"E:\\", "E:", label, quarvelin::DriveKind::Removable, 64000000000, 1024}});
  const auto drives = ParseJsonObjectArray(json);
  ASSERT_TRUE(drives.has_value()) << json;
  ASSERT_EQ(drives->size(), 1u);
  EXPECT_EQ(JsonMember((*drives)[0], "id"), "E:\\");
  EXPECT_EQ(JsonMember((*drives)[0], "name"), label);
  EXPECT_EQ(JsonMember((*drives)[0], "health"), "100");
}

TEST(DriveTable, FormatsSizesInBinaryUnits) {
  const std::vector<std::pair<uint64_t, std::string>> cases = {
      {0, "-"},           {1023, "1023 B"},     {1024, "1.0 KB"},
      {1048575, "1.0 MB"}, {64000000000, "59.6 GB"}, {std::numeric_limits<uint64_t>::max(), "16.0 EB"}};
  for (const auto& [bytes, text] : cases) EXPECT_EQ(FormatSize(bytes), text) << bytes;
}

TEST(DriveTable, LinesUpTheColumns) {
  const std::string json = quarvelin::DriveListJson(
      {{"C:\\", "C:", "", quarvelin::DriveKind::Fixed, 512110190592, 73014444032},
       {"/dev/sdb1", "sdb1", "Caf\xc3\xa9", quarvelin::DriveKind::Removable, 64000000000, 0}});
  EXPECT_EQ(FormatDriveTable(json),
            "DEVICE     NAME        TYPE      SIZE     FREE\n"
            "C:\\        Local Disk  SSD   476.9 GB  68.0 GB\n"
            "/dev/sdb1  Caf\xc3\xa9        USB    59.6 GB        -\n");
  EXPECT_EQ(FormatDriveTable("[]"), "No drives found.\n");
  EXPECT_FALSE(FormatDriveTable("[{\"id\": ").has_value());
}

TEST(ProgressDisplay, ParsesImagingProgressAndFormatsTimeLeft) {
  double percent = 0;
  double speed = 0;
  ASSERT_TRUE(ProgressDisplay::ParseProgress("PROGRESS|42.5|118.0", percent, speed));
  EXPECT_DOUBLE_EQ(percent, 42.5);
  EXPECT_DOUBLE_EQ(speed, 118.0);
  for (const char* other : {"PROGRESS|42.5", "PROGRESS||1", "Status"}) {
    EXPECT_FALSE(ProgressDisplay::ParseProgress(other, percent, speed)) << other;
  }
  const std::vector<std::pair<double, std::string>> times = {
      {12.4, "12 s"}, {185, "3 min 05 s"}, {7260, "2 h 01 min"}, {-1, ""},
      {std::numeric_limits<double>::infinity(), ""}};
  for (const auto& [seconds, text] : times) {
    EXPECT_EQ(ProgressDisplay::FormatTimeLeft(seconds), text) << seconds;
  }
}

TEST(RunCli, UsageErrorsExitWithTwo) {
  for (const std::vector<std::string>& usage :
       std::vector<std::vector<std::string>>{{}, {"frobnicate"}, {"image"}, {"image", "a"},
                                             {"image", "--fast", "a", "b"}, {"drives", "C:"},
                                             {"drives", "--all"}}) {
    EXPECT_EQ(RunCli(usage), kExitUsage) << usage.size();
  }
  EXPECT_EQ(RunCli({"--help"}), kExitSuccess);
  EXPECT_EQ(RunCli({"image", "--help"}), kExitSuccess);
  EXPECT_EQ(RunCli({"drives", "--help"}), kExitSuccess);
}

}  // namespace
}  // namespace quarvelin::cli
