#include "quarvelin_cli.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "drive_table.h"
#include "json_text.h"
#include "message_pump.h"
#include "options.h"
#include "progress_display.h"
#include "quarvelin_native.h"
#include "quarvelin_tools.h"

namespace quarvelin::cli {
namespace {

volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void OnInterrupt(int) {
  gInterrupted = 1;
}

constexpr const char* kUsage =
    "Usage: quarvelin-cli COMMAND [OPTIONS] ARGS...\n"
    "\n"
    "Recovers data from drives, volumes and disk image files.\n"
    "\n"
    "Commands:\n"
    "  scan SOURCE OUTDIR    carve lost files out of a drive or image into OUTDIR\n"
    "  types                 list the file types a scan can carve\n"
    "  image SOURCE OUTPUT   copy a whole drive or image sector by sector into a raw image\n"
    "                        file\n"
    "  identify FILE...      tell the format of files (recovered ones, say) and check their\n"
    "                        structure\n"
    "  drives                list the drives and devices a scan or an image can read\n"
    "\n"
    "Run 'quarvelin-cli COMMAND --help' for a command's options.\n"
    "Exit status: 0 done, 1 failed, 2 usage error, 130 cancelled (Ctrl-C).\n";

constexpr const char* kImageUsage =
    "Usage: quarvelin-cli image [--json] SOURCE OUTPUT\n"
    "\n"
    "Copies SOURCE (a drive such as E: or \\\\.\\PhysicalDrive1 on Windows, a block device\n"
    "such as /dev/sdb on Linux, or an image file) sector by sector into the raw image file\n"
    "OUTPUT, which is created or replaced. Unreadable stretches are filled with zeros of the\n"
    "same length, so every sector keeps its place; each is reported as a read error. Imaging a\n"
    "failing drive first and recovering from the copy spares the drive.\n"
    "\n"
    "Options:\n"
    "  --json     print every engine message as one JSON object per line on standard output\n"
    "  -h, --help show this help\n"
    "  --         end of the options: SOURCE or OUTPUT may then begin with '-'\n"
    "\n"
    "Ctrl-C cancels and keeps the partial image.\n"
    "Exit status: 0 image complete, 1 failed, 2 usage error, 130 cancelled.\n";

constexpr const char* kScanUsage =
    "Usage: quarvelin-cli scan [--json] [--types EXT,EXT...] SOURCE OUTDIR\n"
    "\n"
    "Reads SOURCE (a drive such as E: or \\\\.\\PhysicalDrive1 on Windows, a block device such\n"
    "as /dev/sdb on Linux, or a disk image file) from its first sector to its last, finds lost\n"
    "files by their first bytes and writes each one it can size into OUTDIR/Images, Videos,\n"
    "Audio, Documents, Archives or Code, named rec_<n>_<sector>.<ext>. A file already there is\n"
    "never overwritten: the new one is then named rec_<n>_<sector> (2).<ext>, or the next free\n"
    "number. SOURCE is only read. OUTDIR must not lie on SOURCE: recovered files written there\n"
    "would overwrite what is being recovered.\n"
    "\n"
    "Options:\n"
    "  --types LIST  only these extensions (see 'quarvelin-cli types'), e.g. --types jpg,png\n"
    "  --json        print every engine message as one JSON object per line on standard output\n"
    "  -h, --help    show this help\n"
    "  --            end of the options: SOURCE or OUTDIR may then begin with '-'\n"
    "\n"
    "Ctrl-C stops the scan; the files recovered so far stay.\n"
    "Exit status: 0 scan complete, 1 failed or some file could not be written, 2 usage error,\n"
    "130 cancelled.\n";

constexpr const char* kTypesUsage =
    "Usage: quarvelin-cli types [--json]\n"
    "\n"
    "Lists the file types a scan can carve: the extension 'scan --types' takes, the type's name\n"
    "and the folder under OUTDIR its files go to.\n"
    "\n"
    "Options:\n"
    "  --json      one JSON array: per type its extension, name, folder, the header bytes (hex)\n"
    "              that start it, matched exactly ('headers') or in either letter case\n"
    "              ('headersIgnoringCase'), and its minimum and maximum size in bytes\n"
    "  -h, --help  show this help\n"
    "\n"
    "Exit status: 0 listed, 1 no list came back, 2 usage error.\n";

constexpr const char* kIdentifyUsage =
    "Usage: quarvelin-cli identify [--json] FILE...\n"
    "\n"
    "Tells the format of each FILE from its first bytes, whatever its name, and runs the\n"
    "engine's structure check for that format: the size the file's own structure gives, a\n"
    "confidence from 0 to 100, the format's fields and every problem found. 'accepted' means a\n"
    "scan would trust that size when carving. Use it to check recovered files.\n"
    "\n"
    "Options:\n"
    "  --json     one JSON object per file on standard output\n"
    "  -h, --help show this help\n"
    "  --         end of the options: a FILE may then begin with '-'\n"
    "\n"
    "Exit status: 0 every file identified, 1 some file unreadable or of no known format,\n"
    "2 usage error.\n";

constexpr const char* kDrivesUsage =
    "Usage: quarvelin-cli drives [--json]\n"
    "\n"
    "Lists what 'scan' and 'image' can read: on Windows the local and removable drive letters,\n"
    "on Linux the disks with their partitions, attached loop devices and other block devices.\n"
    "DEVICE is what those commands take as SOURCE. TYPE is USB for removable media, SD cards\n"
    "and drives on USB, SSD for the others, whatever they are built of. Sizes are in binary\n"
    "units (1 GB = 1024 MB), as Windows shows them; '-' means not known (free space is known on\n"
    "Windows only).\n"
    "\n"
    "Options:\n"
    "  --json     print the engine's drive list, a JSON array, as one line\n"
    "  -h, --help show this help\n"
    "\n"
    "Exit status: 0 listed, 1 no list came back, 2 usage error.\n";

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

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t comma = std::min(list.find(',', start), list.size());
    if (comma > start) items.push_back(list.substr(start, comma - start));
    start = comma + 1;
  }
  return items;
}

// A text from the engine's tool exports, released as they require; nothing for a null one.
std::optional<std::string> TakeNativeText(char* text) {
  const std::unique_ptr<char, void (*)(char*)> owned(text, [](char* p) { NativeFree(p); });
  if (!owned) return std::nullopt;
  return std::string(owned.get());
}

struct FileType {
  std::string extension;
  std::string name;
  std::string category;
};

// The carvable types in the engine's search order, one per extension; nothing when the engine
// gave no readable list.
std::optional<std::vector<FileType>> FileTypes() {
  const auto text = TakeNativeText(DescribeNativeFileTypes());
  const auto list = text ? ParseJson(*text) : std::nullopt;
  if (!list || list->type != JsonValue::Type::Array) return std::nullopt;
  std::vector<FileType> types;
  for (const JsonValue& entry : list->items) {
    types.push_back({entry.Member("extension"), entry.Member("name"), entry.Member("category")});
  }
  return types;
}

int NoTypeList(const char* command) {
  std::fprintf(stderr, "quarvelin-cli: %s: the engine sent no type list\n", command);
  return kExitFailure;
}

const CommandSyntax kScanSyntax = {
    .name = "scan",
    .usage = kScanUsage,
    .options = {{"--json", ""}, {"--types", "a list"}},
    .minOperands = 2,
    .maxOperands = 2,
    .operandError = "scan: expected SOURCE and OUTDIR",
};

int RunScan(const std::vector<std::string>& args) {
  int status = kExitSuccess;
  const auto line = ParseOrReport(kScanSyntax, args, status);
  if (!line) return status;
  const bool json = line->Has("--json");
  std::vector<std::string> types;
  for (const std::string& list : line->Values("--types")) {
    for (std::string& type : SplitList(list)) types.push_back(std::move(type));
  }
  if (!types.empty()) {
    const auto known = FileTypes();
    if (!known) return NoTypeList("scan");
    for (const std::string& type : types) {
      if (std::none_of(known->begin(), known->end(),
                       [&type](const FileType& entry) { return entry.extension == type; })) {
        return ReportUsageError("scan: unknown type '" + type + "' (see 'quarvelin-cli types')",
                                kScanUsage);
      }
    }
  }

  std::vector<const char*> typePointers;
  for (const std::string& type : types) typePointers.push_back(type.c_str());
  ProgressDisplay display(json, StandardErrorIsTerminal());
  StartNativeRecovery(line->operands[0].c_str(), line->operands[1].c_str(),
                      typePointers.empty() ? nullptr : typePointers.data(),
                      static_cast<int32_t>(typePointers.size()), MessagePump::Callback());
  const int result =
      Follow(display, [](const EngineMessage& m) { return m.kind == NativeMessageKind::Finished; });
  if (!json) display.PrintSummary();
  return result;
}

const CommandSyntax kTypesSyntax = {
    .name = "types",
    .usage = kTypesUsage,
    .options = {{"--json", ""}},
    .minOperands = 0,
    .maxOperands = 0,
    .operandError = "types takes no arguments",
};

int RunTypes(const std::vector<std::string>& args) {
  int status = kExitSuccess;
  const auto line = ParseOrReport(kTypesSyntax, args, status);
  if (!line) return status;
  if (line->Has("--json")) {
    const auto text = TakeNativeText(DescribeNativeFileTypes());
    if (!text) return NoTypeList("types");
    std::printf("%s\n", text->c_str());
    return kExitSuccess;
  }
  const auto types = FileTypes();
  if (!types) return NoTypeList("types");
  for (const FileType& type : *types) {
    std::printf("%-5s %-5s %s\n", type.extension.c_str(), type.name.c_str(), type.category.c_str());
  }
  return kExitSuccess;
}

const CommandSyntax kImageSyntax = {
    .name = "image",
    .usage = kImageUsage,
    .options = {{"--json", ""}},
    .minOperands = 2,
    .maxOperands = 2,
    .operandError = "image: expected SOURCE and OUTPUT",
};

int RunImage(const std::vector<std::string>& args) {
  int status = kExitSuccess;
  const auto line = ParseOrReport(kImageSyntax, args, status);
  if (!line) return status;
  const bool json = line->Has("--json");
  const std::vector<std::string>& operands = line->operands;

  ProgressDisplay display(json, StandardErrorIsTerminal());
  StartNativeDiskImage(operands[0].c_str(), operands[1].c_str(), MessagePump::Callback());
  return Follow(display, [](const EngineMessage& m) {
    // Imaging ends with its completion, its first error, or its cancel notice.
    return m.kind == NativeMessageKind::Finished || m.kind == NativeMessageKind::Error ||
           (m.kind == NativeMessageKind::Status && m.text == "Imaging Cancelled.");
  });
}

// `id` is the engine's identification object.
void PrintIdentification(const std::string& file, const JsonValue& id) {
  std::printf("%s: %s (%s), %s bytes\n", file.c_str(), id.Member("format").c_str(),
              id.Member("extension").c_str(), id.Member("fileSize").c_str());
  if (id.Member("validated") != "true") {
    std::printf("  no structure check for this format\n");
    return;
  }
  std::printf("  size %s, confidence %s, %s\n", id.Member("size").c_str(),
              id.Member("confidence").c_str(),
              id.Member("accepted") == "true" ? "accepted" : "not accepted");
  std::string fields;
  if (const JsonValue* members = id.Find("fields")) {
    for (size_t i = 0; i < members->keys.size(); ++i) {
      if (!fields.empty()) fields += ", ";
      fields += members->keys[i];
      fields += ' ';
      fields += members->items[i].text;
    }
  }
  std::printf("  %s\n", fields.c_str());
  if (const JsonValue* issues = id.Find("issues")) {
    for (const JsonValue& issue : issues->items) {
      std::printf("  finding: %s\n", issue.text.c_str());
    }
  }
}

// The engine's object with the file's name in front.
void PrintIdentificationJson(const std::string& file, const JsonValue& id) {
  std::string line = "{\"file\":" + JsonString(file);
  for (size_t i = 0; i < id.keys.size(); ++i) {
    line += ',';
    AppendJsonString(line, id.keys[i]);
    line += ':';
    AppendJson(line, id.items[i]);
  }
  std::printf("%s}\n", line.c_str());
}

const CommandSyntax kIdentifySyntax = {
    .name = "identify",
    .usage = kIdentifyUsage,
    .options = {{"--json", ""}},
    .minOperands = 1,
    .maxOperands = std::numeric_limits<size_t>::max(),
    .operandError = "identify: expected at least one FILE",
};

int RunIdentify(const std::vector<std::string>& args) {
  int status = kExitSuccess;
  const auto line = ParseOrReport(kIdentifySyntax, args, status);
  if (!line) return status;
  const bool json = line->Has("--json");
  for (const std::string& file : line->operands) {
    const auto text = TakeNativeText(IdentifyNativeFile(file.c_str()));
    const auto id = text ? ParseJson(*text) : std::nullopt;
    std::string error;
    if (!id || id->type != JsonValue::Type::Object) {
      error = "the engine gave no readable answer";
    } else if (id->Find("error") != nullptr) {
      error = id->Member("error");
    }
    if (!error.empty()) {
      std::fprintf(stderr, "%s: %s\n", file.c_str(), error.c_str());
      status = kExitFailure;
      continue;
    }
    if (json) {
      PrintIdentificationJson(file, *id);
    } else {
      PrintIdentification(file, *id);
    }
    std::fflush(stdout);
  }
  return status;
}

const CommandSyntax kDrivesSyntax = {
    .name = "drives",
    .usage = kDrivesUsage,
    .options = {{"--json", ""}},
    .minOperands = 0,
    .maxOperands = 0,
    .operandError = "drives takes no arguments",
};

int RunDrives(const std::vector<std::string>& args) {
  int status = kExitSuccess;
  const auto line = ParseOrReport(kDrivesSyntax, args, status);
  if (!line) return status;
  const bool json = line->Has("--json");
  // The list arrives before the call returns, on this thread.
  ListNativeDrives(MessagePump::Callback());
  std::optional<std::string> list;
  while (auto message = MessagePump::Next(std::chrono::milliseconds(0))) {
    if (message->kind == NativeMessageKind::DriveList) list = std::move(message->text);
  }
  if (!list) {
    std::fprintf(stderr, "quarvelin-cli: drives: the engine sent no drive list\n");
    return kExitFailure;
  }
  if (json) {
    std::printf("%s\n", list->c_str());
    return kExitSuccess;
  }
  const auto table = FormatDriveTable(*list);
  if (!table) {
    std::fprintf(stderr, "quarvelin-cli: drives: unreadable drive list: %s\n", list->c_str());
    return kExitFailure;
  }
  std::fputs(table->c_str(), stdout);
  return kExitSuccess;
}

}  // namespace

int RunCli(const std::vector<std::string>& args) {
  if (args.empty()) {
    return ReportUsageError("no command given", kUsage);
  }
  if (args[0] == "-h" || args[0] == "--help") {
    std::fputs(kUsage, stdout);
    return kExitSuccess;
  }
  std::signal(SIGINT, OnInterrupt);
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "image") {
    return RunImage(rest);
  }
  if (args[0] == "scan") {
    return RunScan(rest);
  }
  if (args[0] == "types") {
    return RunTypes(rest);
  }
  if (args[0] == "identify") {
    return RunIdentify(rest);
  }
  if (args[0] == "drives") {
    return RunDrives(rest);
  }
  return ReportUsageError("unknown command '" + args[0] + "'", kUsage);
}

}  // namespace quarvelin::cli
