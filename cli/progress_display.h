#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "message_pump.h"

namespace quarvelin::cli {

// Shows engine messages to a person, or as JSON lines to a program.
//  - json: every message as one JSON object per line on standard output;
//  - otherwise statuses and the end on standard output, errors and progress on standard error;
//  - on a terminal, progress is one bar redrawn in place, else one plain line per report (none in
//    JSON mode, where the progress lines already carry it).
class ProgressDisplay {
 public:
  ProgressDisplay(bool json, bool terminal) : json_(json), terminal_(terminal) {}

  void Show(const EngineMessage& message);
  // Ends a bar line left open on the terminal.
  void Close();
  // After a scan: files and bytes recovered per category folder, and how many came back with
  // their names.
  void PrintSummary() const;
  // The scan's output folder: a file's category is the first folder below it, however deep the
  // file's own folders go.
  void SetOutputFolder(std::string folder) { outputFolder_ = std::move(folder); }

  // What an imaging's detailed progress adds: bytes rescued, failed and not tried yet, and the
  // phase as the rescue map writes it ('?' copying, '*' trimming, '/' scraping, '-' retrying);
  // phase 0 when the line has none of it.
  struct RescueCounts {
    int64_t rescued = 0;
    int64_t failed = 0;
    int64_t untried = 0;
    char phase = 0;
  };
  // Parses "PROGRESS|percent|value" (value: MB/s for imaging, files found for a scan), and an
  // imaging's "PROGRESS|percent|MB/s|rescued|failed|untried|phase" into `counts` when given;
  // false for other shapes.
  static bool ParseProgress(const std::string& text, double& percent, double& value,
                            RescueCounts* counts = nullptr);
  // "trimming: rescued 12.0 MB, bad 0.5 MB, untried 0.0 MB"
  static std::string RescueText(const RescueCounts& counts);
  // "12 s", "3 min 05 s", "2 h 01 min"; empty when unknown.
  static std::string FormatTimeLeft(double seconds);

 private:
  void ShowProgress(const std::string& text);
  void ClearBar();

  void ShowFound(const std::string& text);

  bool json_;
  bool terminal_;
  bool barOpen_ = false;
  bool scanning_ = false;        // "Drive Size: ..." came: progress carries a file count
  int64_t totalMegabytes_ = -1;  // from "Source Size: N MB" or "Drive Size: N MB"
  // For a scan's speed: the previous progress report.
  std::chrono::steady_clock::time_point lastTime_{};
  double lastPercent_ = -1;
  double speed_ = 0;
  struct Category {
    std::string name;
    int64_t files = 0;
    int64_t bytes = 0;
  };
  std::vector<Category> found_;
  std::string outputFolder_;
  int64_t carved_ = 0;  // files named rec_<n>_<sector> directly in a category folder
  int64_t named_ = 0;   // the rest: recovered through a file system
};

bool StandardErrorIsTerminal();

}  // namespace quarvelin::cli
