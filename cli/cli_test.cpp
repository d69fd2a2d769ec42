#include <gtest/gtest.h>

#include <limits>

#include "drive_list.h"
#include "drive_table.h"
#include "json_text.h"
#include "progress_display.h"
#include "quarvelin_cli.h"

namespace quarvelin::cli {
namespace {

TEST(JsonString, EscapesWhatJsonRequiresAndKeepsPathBytes) {
  EXPECT_EQ(JsonString("C:\\rec \"1\""), "\"C:\\\\rec \\\"1\\\"\"");
  EXPECT_EQ(JsonString(std::string("a\nb\x01\x1f", 5)), "\"a\\nb\\u0001\\u001f\"");
  EXPECT_EQ(JsonString("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
}

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
  EXPECT_EQ(FormatSize(0), "-");
  EXPECT_EQ(FormatSize(1023), "1023 B");
  EXPECT_EQ(FormatSize(1024), "1.0 KB");
  EXPECT_EQ(FormatSize(1048575), "1.0 MB");
  EXPECT_EQ(FormatSize(64000000000), "59.6 GB");
  EXPECT_EQ(FormatSize(std::numeric_limits<uint64_t>::max()), "16.0 EB");
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

TEST(ProgressDisplay, ParsesImagingProgressAndRejectsOtherShapes) {
  double percent = 0;
  double speed = 0;
  ASSERT_TRUE(ProgressDisplay::ParseProgress("PROGRESS|42.5|118.0", percent, speed));
  EXPECT_DOUBLE_EQ(percent, 42.5);
  EXPECT_DOUBLE_EQ(speed, 118.0);
  EXPECT_FALSE(ProgressDisplay::ParseProgress("PROGRESS|42.5", percent, speed));
  EXPECT_FALSE(ProgressDisplay::ParseProgress("PROGRESS||1", percent, speed));
  EXPECT_FALSE(ProgressDisplay::ParseProgress("Status", percent, speed));
}

TEST(ProgressDisplay, FormatsTimeLeft) {
  EXPECT_EQ(ProgressDisplay::FormatTimeLeft(12.4), "12 s");
  EXPECT_EQ(ProgressDisplay::FormatTimeLeft(185), "3 min 05 s");
  EXPECT_EQ(ProgressDisplay::FormatTimeLeft(7260), "2 h 01 min");
  EXPECT_EQ(ProgressDisplay::FormatTimeLeft(-1), "");
  EXPECT_EQ(ProgressDisplay::FormatTimeLeft(std::numeric_limits<double>::infinity()), "");
}

TEST(RunCli, UsageErrorsExitWithTwo) {
  EXPECT_EQ(RunCli({}), kExitUsage);
  EXPECT_EQ(RunCli({"frobnicate"}), kExitUsage);
  EXPECT_EQ(RunCli({"image"}), kExitUsage);
  EXPECT_EQ(RunCli({"image", "a"}), kExitUsage);
  EXPECT_EQ(RunCli({"image", "--fast", "a", "b"}), kExitUsage);
  EXPECT_EQ(RunCli({"--help"}), kExitSuccess);
  EXPECT_EQ(RunCli({"image", "--help"}), kExitSuccess);
  EXPECT_EQ(RunCli({"drives", "C:"}), kExitUsage);
  EXPECT_EQ(RunCli({"drives", "--all"}), kExitUsage);
  EXPECT_EQ(RunCli({"drives", "--help"}), kExitSuccess);
}

}  // namespace
}  // namespace quarvelin::cli
