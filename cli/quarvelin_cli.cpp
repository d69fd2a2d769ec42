#include "quarvelin_cli.h"

#include <csignal>
#include <cstdio>

#include "message_pump.h"
#include "progress_display.h"
#include "quarvelin_native.h"

namespace quarvelin::cli {
namespace {

volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void OnInterrupt(int) { gInterrupted = 1; }

constexpr const char* kUsage =
    "Usage: quarvelin-cli COMMAND [OPTIONS] ARGS...\n"
    "\n"
    "Recovers data from drives, volumes and disk image files.\n"
    "\n"
    "Commands:\n"
    "  image SOURCE OUTPUT   copy a whole drive or image sector by sector into a raw image file\n"
    "\n"
    "Run 'quarvelin-cli COMMAND --help' for a command's options.\n"
    "Exit status: 0 done, 1 failed, 2 usage error, 130 cancelled (Ctrl-C).\n";

constexpr const char* kImageUsage =
    "Usage: quarvelin-cli image [--json] SOURCE OUTPUT\n"
    "\n"
    "Copies SOURCE (a drive such as E: or \\\\.\\PhysicalDrive1 on Windows, a block device such as\n"
    "/dev/sdb on Linux, or an image file) sector by sector into the raw image file OUTPUT, which is\n"
    "created or replaced. Unreadable stretches are filled with zeros of the same length, so every\n"
    "sector keeps its place; each is reported as a read error. Imaging a failing drive first and\n"
    "recovering from the copy spares the drive.\n"
    "\n"
    "Options:\n"
    "  --json     print every engine message as one JSON object per line on standard output\n"
    "  -h, --help show this help\n"
    "\n"
    "Ctrl-C cancels and keeps the partial image.\n"
    "Exit status: 0 image complete, 1 failed, 2 usage error, 130 cancelled.\n";

int UsageError(const std::string& problem, const char* usage) {
  std::fprintf(stderr, "quarvelin-cli: %s\n\n%s", problem.c_str(), usage);
  return kExitUsage;
}

bool IsHelp(const std::string& arg) { return arg == "-h" || arg == "--help"; }

// Runs started work to its end, relaying Ctrl-C as a cancel. `isEnd` tells the command's last
// message; `failed` is set when the work reported an error.
template <typename IsEnd>
int Follow(ProgressDisplay& display, IsEnd isEnd) {
  bool cancelSent = false;
  bool failed = false;
  for (;;) {
    if (gInterrupted != 0 && !cancelSent) {
      CancelNativeRecovery();
      cancelSent = true;
    }
    const auto message = MessagePump::Next(std::chrono::milliseconds(50));
    if (!message) continue;
    display.Show(*message);
    failed = failed || message->kind == NativeMessageKind::Error;
    if (isEnd(*message)) break;
  }
  display.Close();
  if (failed) return kExitFailure;
  return cancelSent ? kExitCancelled : kExitSuccess;
}

int RunImage(const std::vector<std::string>& args) {
  bool json = false;
  std::vector<std::string> operands;
  for (const std::string& arg : args) {
    if (IsHelp(arg)) {
      std::fputs(kImageUsage, stdout);
      return kExitSuccess;
    }
    if (arg == "--json") {
      json = true;
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
      return UsageError("image: unknown option " + arg, kImageUsage);
    } else if (arg != "--") {
      operands.push_back(arg);
    }
  }
  if (operands.size() != 2) {
    return UsageError("image: expected SOURCE and OUTPUT", kImageUsage);
  }

  ProgressDisplay display(json, StandardErrorIsTerminal());
  StartNativeDiskImage(operands[0].c_str(), operands[1].c_str(), MessagePump::Callback());
  return Follow(display, [](const EngineMessage& m) {
    // Imaging ends with its completion, its first error, or its cancel notice.
    return m.kind == NativeMessageKind::Finished || m.kind == NativeMessageKind::Error ||
           (m.kind == NativeMessageKind::Status && m.text == "Imaging Cancelled.");
  });
}

}  // namespace

int RunCli(const std::vector<std::string>& args) {
  if (args.empty()) {
    return UsageError("no command given", kUsage);
  }
  if (IsHelp(args[0])) {
    std::fputs(kUsage, stdout);
    return kExitSuccess;
  }
  std::signal(SIGINT, OnInterrupt);
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "image") {
    return RunImage(rest);
  }
  return UsageError("unknown command '" + args[0] + "'", kUsage);
}

}  // namespace quarvelin::cli
