#include <gtest/gtest.h>

#include <limits>

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
}

}  // namespace
}  // namespace quarvelin::cli
