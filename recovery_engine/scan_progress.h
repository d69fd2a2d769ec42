#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "device/raw_device.h"
#include "filesystems/volume.h"

namespace quarvelin {

class RecoveryEngine;

// How far a scan into an output folder has come, kept beside its files so that the same scan of the
// same drive into the same folder can go on where it stopped rather than start again from sector 0
// and write every file a second time.
struct ScanProgress {
  static constexpr const char* kFileName = "scan-progress.json";

  // The source: its size, its sector size, and a SHA-256 of its first and last sectors, which tells
  // apart two drives of the same size.
  int64_t sourceBytes = 0;
  int32_t sectorSize = 0;
  std::string fingerprint;
  // The options: the selected types (lower case, sorted, once each; empty for all), the path
  // pattern, and which passes run.
  std::vector<std::string> fileTypes;
  std::string only;
  bool fileSystems = true;
  bool carve = true;

  // The manifest's length when the scan began: every line after it is a file this scan wrote.
  int64_t manifestStart = 0;
  bool fileSystemsDone = false;  // every volume the partition tables list has been read
  // Every sector before it has been searched, and every file that starts before it written.
  int64_t carvedUntil = 0;
  int64_t carveCounter = 0;  // the number the next carved file's name takes
  // Volumes the carve found that no partition table lists: their files cover sectors past
  // `carvedUntil` that the carve must go on skipping.
  std::vector<Volume> lostVolumes;
  // Sectors of a failing drive the carve could not read, or skipped, so far, with the reason as
  // the carve's read guard numbers it: the pass that reads around them finds them after a resume.
  struct Unread {
    int64_t first = 0;
    int64_t count = 0;
    int state = 0;
  };
  std::vector<Unread> unread;
  bool complete = false;

  // State the carve loop needs to go on adds its fields here, and to SaveScanProgress and
  // LoadScanProgress; a file without them reads as their defaults.
};

// The progress a scan of `device` with these options starts from: source and options filled in.
// Reads a few sectors at both ends of the source for its fingerprint.
ScanProgress DescribeScan(RawDevice& device, int64_t sourceBytes, int32_t sectorSize,
                          std::vector<std::string> fileTypes, const std::string& only,
                          bool fileSystems, bool carve);

std::string ScanProgressJson(const ScanProgress& progress);
// Parses what ScanProgressJson wrote; nothing, with the reason in `problem`, when the text is not
// such a record.
std::optional<ScanProgress> ParseScanProgress(std::string_view text, std::string& problem);

// Writes the progress file of `outputDir` whole or not at all: a new file, then renamed over the
// old.
bool SaveScanProgress(const std::string& outputDir, const ScanProgress& progress,
                      std::string& error);

// Why a scan described by `now` cannot go on from `saved` ("another drive", "other options ...");
// empty when it can.
std::string ProgressMismatch(const ScanProgress& saved, const ScanProgress& now);

// What the manifest says a scan has already written.
struct ScanRecords {
  struct Written {
    std::string file;  // under the output folder
    int64_t size = 0;
    std::string sha256;
    std::string problem;
    int64_t firstSector = -1;  // carved files: where the file starts on the source
  };
  int64_t files = 0;  // the scan's own lines
  // The scan's own files: named ones by NamedFileKey, carved ones by their file.
  std::unordered_map<std::string, Written> named;
  std::unordered_map<std::string, Written> carved;
  // Every file the manifest records, of any scan into the folder.
  std::unordered_set<std::string> everyFile;
};

// Reads manifest.jsonl of `outputDir`; the scan's own lines are those from byte `from` on. Lines
// that cannot be read (one cut off when the process died) are passed over. Nothing, with the
// reason, when the manifest is shorter than `from`.
std::optional<ScanRecords> ReadScanRecords(const std::string& outputDir, int64_t from,
                                           std::string& problem);

// What names one file a file system yields, as the manifest records it.
std::string NamedFileKey(const std::string& volume, const std::string& originalPath,
                         const std::vector<std::pair<int64_t, int64_t>>& sectors);

// Ends the manifest's last line when the process died while writing it, so the next line is not
// glued to it. The manifest's length afterwards; 0 when there is none.
int64_t EndManifestLine(const std::string& outputDir);

// What a scan found in its output folder to go on from.
struct Resume {
  ScanProgress progress;
  ScanRecords records;
  // When the progress file was last written: a carved file left newer than this was being written
  // when the scan stopped.
  std::filesystem::file_time_type savedAt;
};

// Looks at the progress file of `outputDir`: the state to go on from when it records this very scan
// (`now`); otherwise nothing, once a status line has said why the scan starts afresh.
std::optional<Resume> FindResume(RecoveryEngine& engine, const std::string& outputDir,
                                 const ScanProgress& now);

// Keeps the progress file up to date: at the points the scan chooses, at most every few seconds,
// so that on a healthy drive its cost does not show.
class ProgressKeeper {
 public:
  ProgressKeeper(RecoveryEngine& engine, std::string outputDir, ScanProgress progress)
      : engine_(engine), outputDir_(std::move(outputDir)), progress_(std::move(progress)) {}

  ScanProgress& Progress() { return progress_; }
  void Save();
  void SaveNowAndThen();
  // True when SaveNowAndThen would save now.
  bool Due() const { return std::chrono::steady_clock::now() - last_ >= kEvery; }

 private:
  static constexpr std::chrono::seconds kEvery{5};

  RecoveryEngine& engine_;
  std::string outputDir_;
  ScanProgress progress_;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
  bool failed_ = false;  // reported once, not every few seconds
};

}  // namespace quarvelin
