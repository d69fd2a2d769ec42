#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

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

  // Parses "PROGRESS|percent|speed" (imaging); false for other shapes.
  static bool ParseProgress(const std::string& text, double& percent, double& megabytesPerSecond);
  // "12 s", "3 min 05 s", "2 h 01 min"; empty when unknown.
  static std::string FormatTimeLeft(double seconds);

 private:
  void ShowProgress(const std::string& text);
  void ClearBar();

  bool json_;
  bool terminal_;
  bool barOpen_ = false;
  int64_t totalMegabytes_ = -1;  // from "Source Size: N MB"
};

bool StandardErrorIsTerminal();

}  // namespace quarvelin::cli
