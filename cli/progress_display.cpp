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
    case NativeMessageKind::Progress: return "Progress";
    case NativeMessageKind::FileFound: return "FileFound";
    case NativeMessageKind::Status: return "Status";
    case NativeMessageKind::Error: return "Error";
    case NativeMessageKind::Finished: return "Finished";
    case NativeMessageKind::DriveList: return "DriveList";
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

bool ProgressDisplay::ParseProgress(const std::string& text, double& percent,
                                    double& megabytesPerSecond) {
  if (text.rfind("PROGRESS|", 0) != 0) return false;
  const char* fields = text.c_str() + 9;
  char* end = nullptr;
  percent = std::strtod(fields, &end);
  if (end == fields || *end != '|') return false;
  const char* second = end + 1;
  megabytesPerSecond = std::strtod(second, &end);
  return end != second && *end == '\0';
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
  double speed = 0;
  if (!ParseProgress(text, percent, speed)) return;
  std::string left;
  if (totalMegabytes_ > 0 && speed > 0) {
    left = FormatTimeLeft((100.0 - percent) / 100.0 * static_cast<double>(totalMegabytes_) / speed);
  }
  if (terminal_) {
    constexpr int kWidth = 30;
    const int filled = static_cast<int>(std::clamp(percent, 0.0, 100.0) / 100.0 * kWidth);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kWidth, '.');
    std::fprintf(stderr, "\r\033[K[%s] %5.1f%%  %.1f MB/s%s%s", bar.c_str(), percent, speed,
                 left.empty() ? "" : "  ", left.empty() ? "" : (left + " left").c_str());
    barOpen_ = true;
  } else {
    std::fprintf(stderr, "progress: %.1f%% at %.1f MB/s%s\n", percent, speed,
                 left.empty() ? "" : (", " + left + " left").c_str());
  }
  std::fflush(stderr);
}

void ProgressDisplay::Show(const EngineMessage& message) {
  if (message.kind == NativeMessageKind::Status && message.text.rfind("Source Size: ", 0) == 0) {
    totalMegabytes_ = std::strtoll(message.text.c_str() + 13, nullptr, 10);
  }
  if (json_) {
    std::printf("{\"kind\":%s,\"code\":%d,\"text\":%s}\n", JsonString(KindName(message.kind)).c_str(),
                static_cast<int>(message.kind), JsonString(message.text).c_str());
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
