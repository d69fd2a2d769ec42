#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quarvelin {

// One recovered file as the manifest records it.
struct ManifestEntry {
  std::string file;  // the written file's path under the output folder, '/'-separated
  // Where it was on its volume ("/Photos/a.jpg"), for files a file system named.
  std::optional<std::string> originalPath;
  std::string state;    // "live", "deleted", "deleted, possibly overwritten"; "unknown" carved
  int64_t size = 0;     // bytes written
  std::string volume;   // "NTFS at sector 2048 (MBR partition 1)"; empty for carved files
  std::string foundBy;  // "file system" or "carving"
  std::vector<std::pair<int64_t, int64_t>> sectors;  // (first, count) on the source, in file order
  std::string sha256;
  std::optional<int64_t> modified;  // Unix seconds
  std::string problem;              // what could not be recovered; empty when nothing
  // Stretches of the file (offset, length) that could not be read and were written as zeros.
  std::vector<std::pair<int64_t, int64_t>> unreadable;
};

// The manifest of a scan: "manifest.jsonl" in the output folder, one JSON object per line for every
// file written. Appended to, so scans into the same folder keep one record of everything there.
// Each line is flushed as it is written: an interrupted scan leaves a manifest of what it wrote.
class Manifest {
 public:
  static constexpr const char* kFileName = "manifest.jsonl";

  Manifest() = default;
  ~Manifest();
  Manifest(const Manifest&) = delete;
  Manifest& operator=(const Manifest&) = delete;

  // Opens (creating) the manifest in `outputDir`; false with the C runtime's reason in `error`.
  bool Open(const std::string& outputDir, std::string& error);
  // False when the line could not be stored.
  bool Add(const ManifestEntry& entry);

  static std::string Line(const ManifestEntry& entry);

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace quarvelin
