#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "drive_table.h"
#include "json_text.h"
#include "options.h"
#include "progress_display.h"
#include "quarvelin_cli.h"

namespace quarvelin::cli {
namespace {

TEST(ParseJson, ReadsNestedValuesAndWritesThemBackUnchanged) {
  const auto value = ParseJson(
      " [ {\"a\": \"x\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\ud83d\\udcbe\","
      " \"n\": -12.5e+3, \"t\": true, \"z\": null, \"o\": {\"l\": [1, [], {}]}}, {} ]\n");
  ASSERT_TRUE(value.has_value());
  ASSERT_EQ(value->items.size(), 2u);
  const JsonValue& first = value->items[0];
  EXPECT_EQ(first.Member("a"), "x\"\\/\b\f\n\r\t\xc3\xa9\xf0\x9f\x92\xbe");
  EXPECT_EQ(first.Member("n"), "-12.5e+3");
  EXPECT_EQ(first.Member("t"), "true");
  EXPECT_EQ(first.Member("o"), "");  // not a scalar
  EXPECT_EQ(first.Member("missing"), "");
  ASSERT_NE(first.Find("o"), nullptr);
  EXPECT_EQ(first.Find("o")->Find("l")->items.size(), 3u);
  std::string written;
  AppendJson(written, *value);
  EXPECT_EQ(written,
            "[{\"a\":\"x\\\"\\\\/\\b\\f\\n\\r\\t\xc3\xa9\xf0\x9f\x92\xbe\",\"n\":-12.5e+3,"
            "\"t\":true,\"z\":null,\"o\":{\"l\":[1,[],{}]}},{}]");
}

TEST(ParseJson, RejectsWhatIsNotOneJsonValue) {
  for (const char* bad :
       {"", "[", "{}}", "[{}", "[{},]", "[1 2]", "{\"a\" 1}", "{1: 2}", "[01]", "[1.]", "[- 1]",
        "[tru]", "[] x", "[\"\x01\"]", "[\"\\x\"]", "[\"\\udcbe\"]", "[\"\\ud83d\"]", "[\"open]"}) {
    EXPECT_FALSE(ParseJson(bad).has_value()) << bad;
  }
  EXPECT_TRUE(ParseJson(std::string(64, '[') + std::string(64, ']')).has_value());
  EXPECT_FALSE(ParseJson(std::string(100000, '[') + std::string(100000, ']')).has_value());
}

TEST(DriveTable, FormatsSizesInBinaryUnits) {
  const std::vector<std::pair<uint64_t, std::string>> cases = {
      {0, "-"},
      {1023, "1023 B"},
      {1024, "1.0 KB"},
      {1048575, "1.0 MB"},
      {64000000000, "59.6 GB"},
      {std::numeric_limits<uint64_t>::max(), "16.0 EB"}};
  for (const auto& [bytes, text] : cases) EXPECT_EQ(FormatSize(bytes), text) << bytes;
}

TEST(DriveTable, LinesUpTheColumnsOfTheEnginesList) {
  // The engine's shape: one space after each colon; labels escaped.
  const std::string json =
      "[{\"id\": \"C:\\\\\",\"letter\": \"C:\",\"name\": \"Local Disk\",\"type\": \"SSD\","
      "\"size\": \"512110190592\",\"free\": \"73014444032\",\"health\": 100,\"temperature\": 0,"
      "\"life\": \"Good\",\"hours\": \"0\"},"
      "{\"id\": \"/dev/sdb1\",\"letter\": \"sdb1\",\"name\": \"Caf\\u00e9 \\\"1\\\"\",\"type\": "
      "\"USB\",\"size\": \"64000000000\",\"free\": \"0\",\"health\": 100,\"temperature\": 0,"
      "\"life\": \"Good\",\"hours\": \"0\"}]";
  EXPECT_EQ(FormatDriveTable(json),
            "DEVICE     NAME        TYPE      SIZE     FREE\n"
            "C:\\        Local Disk  SSD   476.9 GB  68.0 GB\n"
            "/dev/sdb1  Caf\xc3\xa9 \"1\"    USB    59.6 GB        -\n");
  EXPECT_EQ(FormatDriveTable("[]"), "No drives found.\n");
  for (const char* bad : {"[{\"id\": ", "{}", "[1]"}) EXPECT_FALSE(FormatDriveTable(bad)) << bad;
}

TEST(ProgressDisplay, ParsesImagingProgressAndFormatsTimeLeft) {
  double percent = 0;
  double speed = 0;
  ASSERT_TRUE(ProgressDisplay::ParseProgress("PROGRESS|42.5|118.0", percent, speed));
  EXPECT_DOUBLE_EQ(percent, 42.5);
  EXPECT_DOUBLE_EQ(speed, 118.0);
  for (const char* other :
       {"PROGRESS|42.5", "PROGRESS||1", "Status", "PROGRESS|1|2|3|4|5", "PROGRESS|1|2|3|4|5|",
        "PROGRESS|1|2|3|x|5|?", "PROGRESS|1|2|3|4|5|??"}) {
    EXPECT_FALSE(ProgressDisplay::ParseProgress(other, percent, speed)) << other;
  }
  // A rescue's detailed line.
  ProgressDisplay::RescueCounts counts;
  ASSERT_TRUE(ProgressDisplay::ParseProgress("PROGRESS|97.0|3.5|1048576|524288|0|*", percent, speed,
                                             &counts));
  EXPECT_EQ(ProgressDisplay::RescueText(counts),
            "trimming: rescued 1.0 MB, bad 0.5 MB, untried 0.0 MB");
  const std::vector<std::pair<double, std::string>> times = {
      {12.4, "12 s"},
      {185, "3 min 05 s"},
      {7260, "2 h 01 min"},
      {-1, ""},
      {std::numeric_limits<double>::infinity(), ""}};
  for (const auto& [seconds, text] : times) {
    EXPECT_EQ(ProgressDisplay::FormatTimeLeft(seconds), text) << seconds;
  }
}

TEST(ParseCommand, ReadsTheGrammarOfEveryCommand) {
  using Outcome = ParsedCommand::Outcome;
  const CommandSyntax scan = {"scan", "", {{"--json", ""}, {"--types", "a list"}},
                              2,      2,  "scan: expected SOURCE and OUTDIR"};
  struct Case {
    std::vector<std::string> args;
    Outcome outcome;
    std::vector<std::string> operands;  // Run: the operands; UsageError: the message
    std::vector<std::string> types = {};
    bool json = false;
  };
  const std::vector<Case> cases = {
      {{"--", "-src.img", "out.img"}, Outcome::Run, {"-src.img", "out.img"}},
      {{"--", "--help", "--json"}, Outcome::Run, {"--help", "--json"}},
      {{"-", "--json", "out"}, Outcome::Run, {"-", "out"}, {}, true},
      {{"--types=jpg,png", "a", "b"}, Outcome::Run, {"a", "b"}, {"jpg,png"}},
      {{"a", "--types", "--json", "b", "--types="}, Outcome::Run, {"a", "b"}, {"--json", ""}},
      {{"a", "b", "--types"}, Outcome::UsageError, {"scan: --types needs a list"}},
      {{"--fast", "a", "b"}, Outcome::UsageError, {"scan: unknown option --fast"}},
      {{"a", "b", "-x"}, Outcome::UsageError, {"scan: unknown option -x"}},
      {{"--json=yes", "a", "b"}, Outcome::UsageError, {"scan: --json takes no value"}},
      {{"a", "b", "c"}, Outcome::UsageError, {"scan: expected SOURCE and OUTDIR"}},
      {{"a", "-h", "--fast"}, Outcome::Help, {}},
      {{"--fast", "--help"}, Outcome::UsageError, {"scan: unknown option --fast"}},
  };
  for (const Case& c : cases) {
    const ParsedCommand parsed = ParseCommand(scan, c.args);
    const std::string context = ::testing::PrintToString(c.args);
    ASSERT_EQ(parsed.outcome, c.outcome) << context << parsed.error;
    if (c.outcome == Outcome::UsageError) {
      EXPECT_EQ(std::vector<std::string>{parsed.error}, c.operands) << context;
    } else if (c.outcome == Outcome::Run) {
      EXPECT_EQ(parsed.line.operands, c.operands) << context;
      EXPECT_EQ(parsed.line.Values("--types"), c.types) << context;
      EXPECT_EQ(parsed.line.Has("--json"), c.json) << context;
    }
  }
}

TEST(RunCli, EveryCommandHasHelpAndRefusesWhatItDoesNotTake) {
  for (const char* command : {"scan", "types", "image", "identify", "drives"}) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(RunCli({command, "--help"}), kExitSuccess) << command;
    EXPECT_EQ(::testing::internal::GetCapturedStdout().rfind(
                  std::string("Usage: quarvelin-cli ") + command, 0),
              0u)
        << command;
  }
  for (const std::vector<std::string>& usage :
       std::vector<std::vector<std::string>>{{},
                                             {"frobnicate"},
                                             {"types", "jpg"},
                                             {"image", "a"},
                                             {"identify"},
                                             {"drives", "--all"},
                                             {"scan", "--no-fs", "--types", "jpg,exe", "a", "b"}}) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(RunCli(usage), kExitUsage) << ::testing::PrintToString(usage);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("\n\nUsage: quarvelin-cli"),
              std::string::npos);
  }
}

}  // namespace
}  // namespace quarvelin::cli
