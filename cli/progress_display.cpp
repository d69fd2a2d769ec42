#include "progress_display.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "json_text.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace quarvelin::cli {
namespace {

const char* KindName(NativeMessageKind kind) {
  switch (kind) {
    case NativeMessageKind::Progress:
      return "Progress";
    case NativeMessageKind::FileFound:
      return "FileFound";
    case NativeMessageKind::Status:
      return "Status";
    case NativeMessageKind::Error:
      return "Error";
    case NativeMessageKind::Finished:
      return "Finished";
    case NativeMessageKind::DriveList:
      return "DriveList";
  }
  return "Unknown";
}

}  // namespace

bool StandardErrorIsTerminal() {
#if defined(_WIN32)
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(fileno(stderr)) != 0;
#endif
}

bool ProgressDisplay::ParseProgress(const std::string& text, double& percent, double& value,
                                    RescueCounts* counts) {
  if (text.rfind("PROGRESS|", 0) != 0) return false;
  const char* fields = text.c_str() + 9;
  char* end = nullptr;
  percent = std::strtod(fields, &end);
  if (end == fields || *end != '|') return false;
  const char* second = end + 1;
  value = std::strtod(second, &end);
  if (end == second) return false;
  if (*end == '\0') return true;
  // An imaging's detailed line: rescued, failed and untried bytes, and the phase.
  RescueCounts read;
  for (int64_t* field : {&read.rescued, &read.failed, &read.untried}) {
    if (*end != '|') return false;
    const char* start = end + 1;
    *field = std::strtoll(start, &end, 10);
    if (end == start) return false;
  }
  if (end[0] != '|' || end[1] == '\0' || end[2] != '\0') return false;
  read.phase = end[1];
  if (counts != nullptr) *counts = read;
  return true;
}

std::string ProgressDisplay::RescueText(const RescueCounts& counts) {
  const auto mb = [](int64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / 1048576.0);
    return std::string(text);
  };
  const char* phase = "copying";
  switch (counts.phase) {
    case '*':
      phase = "trimming";
      break;
    case '/':
      phase = "scraping";
      break;
    case '-':
      phase = "retrying";
      break;
    case '+':
      phase = "finished";
      break;
    default:
      break;
  }
  return std::string(phase) + ": rescued " + mb(counts.rescued) + " MB, bad " + mb(counts.failed) +
         " MB, untried " + mb(counts.untried) + " MB";
}

std::string ProgressDisplay::FormatTimeLeft(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e7) return "";
  const auto total = static_cast<long long>(std::llround(seconds));
  char text[48];
  if (total < 60) {
    std::snprintf(text, sizeof text, "%lld s", total);
  } else if (total < 3600) {
    std::snprintf(text, sizeof text, "%lld min %02lld s", total / 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld h %02lld min", total / 3600, total / 60 % 60);
  }
  return text;
}

void ProgressDisplay::ClearBar() {
  if (barOpen_) {
    std::fputs("\r\033[K", stderr);
    barOpen_ = false;
  }
}

void ProgressDisplay::Close() {
  if (barOpen_) {
    std::fputc('\n', stderr);
    barOpen_ = false;
  }
}

void ProgressDisplay::ShowProgress(const std::string& text) {
  double percent = 0;
  double value = 0;
  RescueCounts counts;
  if (!ParseProgress(text, percent, value, &counts)) return;
  double speed = value;
  std::string files;
  if (counts.phase != 0) files = RescueText(counts) + "  ";
  if (scanning_) {
    // A scan reports files found; its speed comes from how far it got since the last report.
    const auto now = std::chrono::steady_clock::now();
    if (lastPercent_ >= 0 && percent > lastPercent_ && totalMegabytes_ > 0) {
      const double seconds = std::chrono::duration<double>(now - lastTime_).count();
      if (seconds > 0) {
        speed_ = (percent - lastPercent_) / 100.0 * static_cast<double>(totalMegabytes_) / seconds;
      }
    }
    lastTime_ = now;
    lastPercent_ = percent;
    speed = speed_;
    files = std::to_string(static_cast<long long>(value)) + " files  ";
  }
  std::string left;
  if (totalMegabytes_ > 0 && speed > 0) {
    left = FormatTimeLeft((100.0 - percent) / 100.0 * static_cast<double>(totalMegabytes_) / speed);
  }
  if (terminal_) {
    constexpr int kWidth = 30;
    const int filled = static_cast<int>(std::clamp(percent, 0.0, 100.0) / 100.0 * kWidth);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kWidth, '.');
    std::fprintf(stderr, "\r\033[K[%s] %5.1f%%  %s%.1f MB/s%s%s", bar.c_str(), percent,
                 files.c_str(), speed, left.empty() ? "" : "  ",
                 left.empty() ? "" : (left + " left").c_str());
    barOpen_ = true;
  } else {
    std::fprintf(stderr, "progress: %.1f%%, %s%.1f MB/s%s\n", percent, files.c_str(), speed,
                 left.empty() ? "" : (", " + left + " left").c_str());
  }
  std::fflush(stderr);
}

void ProgressDisplay::ShowFound(const std::string& text) {
  // "path|name|size|Native": the category is the folder the file went to.
  const size_t nameBar = text.find('|');
  const size_t sizeBar = nameBar == std::string::npos ? nameBar : text.find('|', nameBar + 1);
  if (sizeBar == std::string::npos) return;
  const std::string path = text.substr(0, nameBar);
  const int64_t bytes = std::strtoll(text.c_str() + sizeBar + 1, nullptr, 10);
  const size_t slash = path.find_last_of("/\\");
  const size_t folderSlash = slash == std::string::npos || slash == 0
                                 ? std::string::npos
                                 : path.find_last_of("/\\", slash - 1);
  std::string category = slash == std::string::npos
                             ? std::string("?")
                             : path.substr(folderSlash + 1, slash - folderSlash - 1);
  bool nested = false;
  const std::string& root = outputFolder_;
  if (!root.empty() && path.size() > root.size() + 1 && path.compare(0, root.size(), root) == 0 &&
      (path[root.size()] == '/' || path[root.size()] == '\\')) {
    const std::string below = path.substr(root.size() + 1);
    const size_t end = below.find_first_of("/\\");
    if (end != std::string::npos) {
      category = below.substr(0, end);
      nested = below.find_first_of("/\\", end + 1) != std::string::npos;
    }
  }
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (!nested && name.rfind("rec_", 0) == 0) {
    ++carved_;
  } else {
    ++named_;
  }
  auto entry = std::find_if(found_.begin(), found_.end(),
                            [&category](const Category& c) { return c.name == category; });
  if (entry == found_.end()) entry = found_.insert(found_.end(), Category{category, 0, 0});
  ++entry->files;
  entry->bytes += bytes;
  if (!json_) {
    ClearBar();
    std::printf("found %s (%lld bytes)\n", path.c_str(), static_cast<long long>(bytes));
    std::fflush(stdout);
  }
}

void ProgressDisplay::PrintSummary() const {
  int64_t files = 0;
  int64_t bytes = 0;
  std::printf("\nRecovered:\n");
  for (const Category& c : found_) {
    std::printf("  %-10s %6lld files  %12lld bytes\n", c.name.c_str(),
                static_cast<long long>(c.files), static_cast<long long>(c.bytes));
    files += c.files;
    bytes += c.bytes;
  }
  std::printf("  %-10s %6lld files  %12lld bytes\n", "total", static_cast<long long>(files),
              static_cast<long long>(bytes));
  if (named_ > 0) {
    std::printf("  %lld with their names through the file systems, %lld carved\n",
                static_cast<long long>(named_), static_cast<long long>(carved_));
  }
}

void ProgressDisplay::Show(const EngineMessage& message) {
  if (message.kind == NativeMessageKind::Status && message.text.rfind("Source Size: ", 0) == 0) {
    totalMegabytes_ = std::strtoll(message.text.c_str() + 13, nullptr, 10);
  }
  if (message.kind == NativeMessageKind::Status && message.text.rfind("Drive Size: ", 0) == 0) {
    totalMegabytes_ = std::strtoll(message.text.c_str() + 12, nullptr, 10);
    scanning_ = true;
  }
  if (message.kind == NativeMessageKind::FileFound) {
    ShowFound(message.text);
    if (!json_) return;
  }
  if (json_) {
    std::printf("{\"kind\":%s,\"code\":%d,\"text\":%s}\n",
                JsonString(KindName(message.kind)).c_str(), static_cast<int>(message.kind),
                JsonString(message.text).c_str());
    std::fflush(stdout);
    return;
  }
  if (message.kind == NativeMessageKind::Progress) {
    ShowProgress(message.text);
    return;
  }
  ClearBar();
  if (message.kind == NativeMessageKind::Error) {
    std::fprintf(stderr, "error: %s\n", message.text.c_str());
    std::fflush(stderr);
  } else {
    std::printf("%s\n", message.text.c_str());
    std::fflush(stdout);
  }
}

}  // namespace quarvelin::cli
