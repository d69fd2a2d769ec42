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
    "  scan SOURCE OUTDIR    recover lost files from a drive or image into OUTDIR: by name\n"
    "                        through its file systems, then by carving\n"
    "  files SOURCE          list the files the file systems on a drive or image hold,\n"
    "                        deleted ones too, without writing anything\n"
    "  types                 list the file types a scan can carve\n"
    "  image SOURCE OUTPUT   rescue a whole drive or image into a raw image file, failing\n"
    "                        areas last, resumable\n"
    "  identify FILE...      tell the format of files (recovered ones, say) and check their\n"
    "                        structure\n"
    "  drives                list the drives and devices a scan or an image can read\n"
    "\n"
    "Run 'quarvelin-cli COMMAND --help' for a command's options.\n"
    "Exit status: 0 done, 1 failed, 2 usage error, 130 cancelled (Ctrl-C).\n";

constexpr const char* kImageUsage =
    "Usage: quarvelin-cli image [--json] [--map FILE] [--resume] [--retries N] [--no-scrape]\n"
    "                           [--reverse] [--no-checksums] SOURCE OUTPUT\n"
    "\n"
    "Rescues SOURCE (a drive such as E: or \\\\.\\PhysicalDrive1 on Windows, a block device\n"
    "such as /dev/sdb on Linux, or an image file) into the raw image file OUTPUT, every sector\n"
    "in its place, the way rescue tools copy failing drives: a first pass copies everything\n"
    "readable fast and skips ahead from errors; then the edges of each failed area are read\n"
    "sector by sector (trimming), then the rest of it (scraping), then, if asked, the bad\n"
    "sectors again (retries). Unread sectors are zeros in the image; each unreadable stretch\n"
    "left at the end is reported as a read error.\n"
    "\n"
    "A rescue map beside the image (GNU ddrescue's mapfile format, which its tools read) records\n"
    "what was read. If the imaging stops for any reason (Ctrl-C, the drive drops off, a crash),\n"
    "run the same command with --resume: it goes on where it stopped, without reading again what\n"
    "it had (bar the last few reads before a crash).\n"
    "At the end the image's SHA-256 and MD5 are printed and written to OUTPUT.sha256 and\n"
    "OUTPUT.md5.\n"
    "\n"
    "Options:\n"
    "  --map FILE       the rescue map (default: OUTPUT.map)\n"
    "  --resume         go on with the imaging the map records; without it an existing map is\n"
    "                   refused, never overwritten\n"
    "  --retries N      read the bad sectors again N more times at the end (default 0)\n"
    "  --no-scrape      first pass and trimming only: leave the inside of failed areas unread\n"
    "                   (quick; --resume later scrapes them)\n"
    "  --reverse        run the first pass from the end of SOURCE backwards\n"
    "  --no-checksums   do not compute the image's SHA-256 and MD5\n"
    "  --json           print every engine message as one JSON object per line on standard output\n"
    "  -h, --help       show this help\n"
    "  --               end of the options: SOURCE or OUTPUT may then begin with '-'\n"
    "\n"
    "Ctrl-C stops the imaging and keeps the image and its map, ready for --resume.\n"
    "Exit status: 0 image complete, 1 failed, 2 usage error, 130 cancelled.\n";

constexpr const char* kScanUsage =
    "Usage: quarvelin-cli scan [--json] [--types EXT,EXT...] [--only PATTERN] [--no-carve]\n"
    "                          [--no-fs] [--map MAPFILE] [--restart] SOURCE OUTDIR\n"
    "\n"
    "Recovers files from SOURCE (a drive such as E: or \\\\.\\PhysicalDrive1 on Windows, a block\n"
    "device such as /dev/sdb on Linux, or a disk image file) into OUTDIR, in two passes:\n"
    "\n"
    "1. Through the file systems (FAT12/16/32, exFAT, NTFS) its partition tables list, or it is,\n"
    "   or whose boot sectors are found where no table lists them: every file they still name,\n"
    "   live or deleted, is written with its name under its original folders, below the folder\n"
    "   of its type: OUTDIR/Images/DCIM/100CANON/IMG_0001.JPG. Files of no known type go to\n"
    "   OUTDIR/Other; on a disk with partitions each volume has its own folder ('Volume 1\n"
    "   (NTFS)'); files whose folder is gone go to 'Orphaned Files'.\n"
    "2. Carving: the sectors no recovered file came from are read from the first to the last,\n"
    "   and lost files are found by their first bytes and written into OUTDIR/Images, Videos,\n"
    "   Audio, Documents, Archives or Code, named rec_<n>_<sector>.<ext>.\n"
    "\n"
    "A file already in OUTDIR is never overwritten: the new one gets ' (2)' or the next free\n"
    "number before its extension. OUTDIR/manifest.jsonl records every file written: where it\n"
    "came from (path, state, volume, sectors), how it was found and its SHA-256. SOURCE is only\n"
    "read. OUTDIR must not lie on SOURCE: recovered files written there would overwrite what is\n"
    "being recovered.\n"
    "\n"
    "OUTDIR/scan-progress.json records how far the scan has come. The same scan of the same\n"
    "SOURCE into the same OUTDIR, started again after a cancel, a crash or a drive that went\n"
    "away, goes on from there without writing any file twice; once it has ended it says so and\n"
    "writes nothing.\n"
    "\n"
    "Options:\n"
    "  --types LIST    only these extensions, e.g. --types jpg,png: the carvable ones (see\n"
    "                  'quarvelin-cli types'), and through the file systems any extension\n"
    "  --only PATTERN  only named files whose path matches PATTERN: '*' within a folder name,\n"
    "                  '**' across folders, '?' one character, any letter case; without a '/'\n"
    "                  it matches the name in any folder: --only '*.docx',\n"
    "                  --only '/Users/ann/Pictures/**'\n"
    "  --no-carve      recover only what the file systems name\n"
    "  --no-fs         carve only, without reading the file systems\n"
    "  --restart       scan from the start whatever OUTDIR/scan-progress.json says\n"
    "  --map MAPFILE   SOURCE is an image made from a failing drive and MAPFILE its rescue map\n"
    "                  (GNU ddrescue's mapfile format, as 'quarvelin-cli image' writes it): what\n"
    "                  the map does not mark finished was never read, counts as unreadable, and\n"
    "                  files holding it are reported damaged\n"
    "  --json          print every engine message as one JSON object per line on standard output\n"
    "  -h, --help      show this help\n"
    "  --              end of the options: SOURCE or OUTDIR may then begin with '-'\n"
    "\n"
    "Ctrl-C stops the scan; the files recovered so far stay.\n"
    "Exit status: 0 scan complete, 1 failed or some file could not be written, 2 usage error,\n"
    "130 cancelled.\n";

constexpr const char* kFilesUsage =
    "Usage: quarvelin-cli files [--deleted] [--json] [--deep] SOURCE\n"
    "\n"
    "Lists the files the FAT, exFAT and NTFS file systems on SOURCE (a drive, block device or\n"
    "disk image file) hold, live and deleted, with their size, state and times, without writing\n"
    "anything: what a scan can bring back with names. STATE is live, deleted, or overwritten?\n"
    "(deleted, and some of its space is now used by another file: it may come back damaged).\n"
    "\n"
    "Options:\n"
    "  --deleted   only deleted files\n"
    "  --deep      look for volumes no partition table lists at every usual partition start of\n"
    "              the whole source (otherwise only in its first 64 MiB, unless nothing else is\n"
    "              found); a scan finds them anywhere\n"
    "  --json      one JSON object per file, then one per volume, on standard output\n"
    "  -h, --help  show this help\n"
    "  --          end of the options: SOURCE may then begin with '-'\n"
    "\n"
    "Exit status: 0 listed, 1 no file system could be read, 2 usage error.\n";

constexpr const char* kTypesUsage =
    "Usage: quarvelin-cli types [--json]\n"
    "\n"
    "Lists the file types a scan can carve: the extension 'scan --types' takes, the type's name,\n"
    "the folder under OUTDIR its files go to and how the scan finds them: the header bytes (hex;\n"
    "'(any case)' when letters match in either case), 'at sector starts' for files no header\n"
    "starts, and 'only when selected' for types a scan of every type leaves out.\n"
    "\n"
    "Options:\n"
    "  --json      one JSON array: per type its extension, name, folder, the header bytes (hex)\n"
    "              that start it, matched exactly ('headers') or in either letter case\n"
    "              ('headersIgnoringCase'), its minimum and maximum size in bytes, whether\n"
    "              it is also looked for at sector starts ('atSectorStarts') and whether it is\n"
    "              carved only when named ('onlyWhenSelected')\n"
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
  // How the scan finds it: header bytes in hex, "(any case)" after those whose letters match in
  // either case, "at sector starts" for files no header starts; "only when selected" last.
  std::string foundBy;
};

std::string FoundBy(const JsonValue& entry) {
  std::string found;
  const auto add = [&found](const std::string& part) {
    if (!found.empty()) found += ' ';
    found += part;
  };
  for (const char* key : {"headers", "headersIgnoringCase"}) {
    const JsonValue* list = entry.Find(key);
    if (list == nullptr) continue;
    for (const JsonValue& header : list->items) {
      std::string text = header.text;
      if (std::string_view(key) == "headersIgnoringCase") text += "(any case)";
      add(text);
    }
  }
  if (entry.Member("atSectorStarts") == "true") add("at sector starts");
  if (entry.Member("onlyWhenSelected") == "true") add("only when selected");
  return found;
}

// The carvable types in the engine's search order, one per extension; nothing when the engine
// gave no readable list.
std::optional<std::vector<FileType>> FileTypes() {
  const auto text = TakeNativeText(DescribeNativeFileTypes());
  const auto list = text ? ParseJson(*text) : std::nullopt;
  if (!list || list->type != JsonValue::Type::Array) return std::nullopt;
  std::vector<FileType> types;
  for (const JsonValue& entry : list->items) {
    types.push_back({entry.Member("extension"), entry.Member("name"), entry.Member("category"),
                     FoundBy(entry)});
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
    .options = {{"--json", ""},
                {"--types", "a list"},
                {"--only", "a pattern"},
                {"--no-carve", ""},
                {"--no-fs", ""},
                {"--restart", ""},
                {"--map", "a file"}},
    .minOperands = 2,
    .maxOperands = 2,
    .operandError = "scan: expected SOURCE and OUTDIR",
};

int RunScan(const std::vector<std::string>& args) {
  int status = kExitSuccess;
  const auto line = ParseOrReport(kScanSyntax, args, status);
  if (!line) return status;
  const bool json = line->Has("--json");
  const bool fileSystems = !line->Has("--no-fs");
  if (!fileSystems && line->Has("--no-carve")) {
    return ReportUsageError("scan: --no-carve and --no-fs leave nothing to do", kScanUsage);
  }
  const std::vector<std::string> only = line->Values("--only");
  if (only.size() > 1) return ReportUsageError("scan: --only given twice", kScanUsage);
  if (!only.empty() && !fileSystems) {
    return ReportUsageError("scan: --only needs the file systems (drop --no-fs)", kScanUsage);
  }
  const std::vector<std::string> map = line->Values("--map");
  if (map.size() > 1) return ReportUsageError("scan: --map given twice", kScanUsage);
  std::vector<std::string> types;
  for (const std::string& list : line->Values("--types")) {
    for (std::string& type : SplitList(list)) types.push_back(std::move(type));
  }
  if (!types.empty()) {
    const auto known = FileTypes();
    if (!known) return NoTypeList("scan");
    for (const std::string& type : types) {
      if (std::any_of(known->begin(), known->end(),
                      [&type](const FileType& entry) { return entry.extension == type; })) {
        continue;
      }
      if (!fileSystems) {
        return ReportUsageError("scan: unknown type '" + type + "' (see 'quarvelin-cli types')",
                                kScanUsage);
      }
      std::fprintf(stderr,
                   "quarvelin-cli: scan: '%s' cannot be carved; only files the file systems "
                   "name will come back\n",
                   type.c_str());
    }
  }

  std::vector<std::string> options;
  if (!only.empty()) options.push_back("only=" + only[0]);
  if (!fileSystems) options.push_back("filesystems=no");
  if (line->Has("--no-carve")) options.push_back("carve=no");
  if (line->Has("--restart")) options.push_back("resume=no");
  if (!map.empty()) options.push_back("map=" + map[0]);
  std::vector<const char*> typePointers;
  for (const std::string& type : types) typePointers.push_back(type.c_str());
  std::vector<const char*> optionPointers;
  for (const std::string& option : options) optionPointers.push_back(option.c_str());
  ProgressDisplay display(json, StandardErrorIsTerminal());
  display.SetOutputFolder(line->operands[1]);
  StartNativeRecoveryWithOptions(line->operands[0].c_str(), line->operands[1].c_str(),
                                 typePointers.empty() ? nullptr : typePointers.data(),
                                 static_cast<int32_t>(typePointers.size()),
                                 optionPointers.empty() ? nullptr : optionPointers.data(),
                                 static_cast<int32_t>(optionPointers.size()),
                                 MessagePump::Callback());
  const int result =
      Follow(display, [](const EngineMessage& m) { return m.kind == NativeMessageKind::Finished; });
  if (!json) display.PrintSummary();
  return result;
}

// The listing arrives on this thread while ListNativeFiles runs; each line is printed as it comes,
// so a volume of a million files is never held in memory.
struct FileListing {
  bool json = false;
  int64_t volumesRead = 0;
  bool headerShown = false;
  std::vector<std::string> errors;
};
FileListing gListing;

const char* ShortState(const std::string& state) {
  return state == "deleted, possibly overwritten" ? "overwritten?" : state.c_str();
}

extern "C" void OnListingMessage(int32_t kind, char* message) {
  const std::string text = TakeNativeText(message).value_or("");
  try {
    switch (static_cast<NativeMessageKind>(kind)) {
      case NativeMessageKind::FileFound: {
        if (gListing.json) {
          std::printf("%s\n", text.c_str());
          break;
        }
        const auto file = ParseJson(text);
        if (!file) break;
        if (!gListing.headerShown) {
          std::printf("%-12s %14s  %-20s  %s\n", "STATE", "SIZE", "MODIFIED", "PATH");
          gListing.headerShown = true;
        }
        const std::string state = file->Member("state");
        const std::string modified = file->Member("modified");
        std::printf("%-12s %14s  %-20s  %s\n", ShortState(state), file->Member("size").c_str(),
                    modified.empty() ? "-" : modified.c_str(), file->Member("path").c_str());
        if (!file->Member("problem").empty()) {
          std::printf("%-12s %14s  %-20s    %s\n", "", "", "", file->Member("problem").c_str());
        }
        break;
      }
      case NativeMessageKind::Status: {
        const auto volume = ParseJson(text);
        if (volume && volume->Find("error") == nullptr) ++gListing.volumesRead;
        if (gListing.json) {
          std::printf("%s\n", text.c_str());
        } else if (volume) {
          std::string label;
          if (!volume->Member("label").empty()) {
            label = ", label \"";
            label += volume->Member("label");
            label += '"';
          }
          std::printf("-- volume %s: %s at sector %s (%s)%s: %s files%s%s\n",
                      volume->Member("volume").c_str(), volume->Member("fileSystem").c_str(),
                      volume->Member("firstSector").c_str(), volume->Member("origin").c_str(),
                      label.c_str(), volume->Member("files").c_str(),
                      volume->Find("error") ? ": " : "", volume->Member("error").c_str());
        }
        break;
      }
      case NativeMessageKind::Error:
        gListing.errors.push_back(text);
        std::fprintf(stderr, "quarvelin-cli: files: %s\n", text.c_str());
        break;
      default:
        break;
    }
    std::fflush(stdout);
  } catch (...) {
  }
}

const CommandSyntax kFilesSyntax = {
    .name = "files",
    .usage = kFilesUsage,
    .options = {{"--json", ""}, {"--deleted", ""}, {"--deep", ""}},
    .minOperands = 1,
    .maxOperands = 1,
    .operandError = "files: expected SOURCE",
};

int RunFiles(const std::vector<std::string>& args) {
  int status = kExitSuccess;
  const auto line = ParseOrReport(kFilesSyntax, args, status);
  if (!line) return status;
  gListing = FileListing{};
  gListing.json = line->Has("--json");
  const int32_t flags = (line->Has("--deleted") ? 1 : 0) | (line->Has("--deep") ? 2 : 0);
  ListNativeFiles(line->operands[0].c_str(), flags, OnListingMessage);
  return gListing.volumesRead > 0 ? kExitSuccess : kExitFailure;
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
    std::printf("%-5s %-5s %-9s %s\n", type.extension.c_str(), type.name.c_str(),
                type.category.c_str(), type.foundBy.c_str());
  }
  return kExitSuccess;
}

const CommandSyntax kImageSyntax = {
    .name = "image",
    .usage = kImageUsage,
    .options = {{"--json", ""},
                {"--map", "a file"},
                {"--resume", ""},
                {"--retries", "a number"},
                {"--no-scrape", ""},
                {"--reverse", ""},
                {"--no-checksums", ""}},
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

  // An existing map is never started over by accident: it is resumed on request only.
  std::vector<std::string> options = {line->Has("--resume") ? "resume=yes" : "resume=no",
                                      "progress=detailed"};
  for (const std::string& map : line->Values("--map")) options.push_back("map=" + map);
  for (const std::string& retries : line->Values("--retries")) {
    options.push_back("retries=" + retries);
  }
  if (line->Has("--no-scrape")) options.push_back("scrape=no");
  if (line->Has("--reverse")) options.push_back("reverse=yes");
  if (line->Has("--no-checksums")) options.push_back("checksums=no");
  std::vector<const char*> texts;
  for (const std::string& option : options) texts.push_back(option.c_str());

  ProgressDisplay display(json, StandardErrorIsTerminal());
  StartNativeDiskImageWithOptions(operands[0].c_str(), operands[1].c_str(), texts.data(),
                                  static_cast<int32_t>(texts.size()), MessagePump::Callback());
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
  if (args[0] == "files") {
    return RunFiles(rest);
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
