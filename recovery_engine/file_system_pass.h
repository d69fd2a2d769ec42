#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/raw_device.h"
#include "filesystems/byte_source.h"
#include "filesystems/found_file.h"
#include "filesystems/volume.h"
#include "manifest.h"
#include "scan_progress.h"
#include "sector_coverage.h"

namespace quarvelin {

class RecoveryEngine;

// Which named files a scan writes: those of the selected extensions (all when empty) whose path
// on their volume matches `only` (all when empty).
struct FileFilter {
  std::vector<std::string> extensions;
  std::string only;
};

// The volumes a source holds that a file-system reader can read: those its partition tables list
// or it is, then those found at the usual partition starts up to `probeLimit` bytes (0: the whole
// source).
std::vector<Volume> SourceVolumes(RawDevice& device, int64_t probeLimit, CancelFlag cancel);

// Reads `volume` with the reader for its file system, handing every file to `sink`.
FileSystemReport ReadVolumeFiles(RawDevice& device, const Volume& volume, const FileSink& sink,
                                 CancelFlag cancel);

// A file's path on its volume as the user reads it: "/Photos/2019/a.jpg"; a file whose folder is
// gone lies under "/Orphaned Files".
std::string OriginalPath(const FoundFile& file);

// "live", "deleted" or "deleted, possibly overwritten".
const char* StateText(FileState state);

// "NTFS at sector 2048 (MBR partition 1)".
std::string VolumeText(const Volume& volume, int32_t sectorSize);

// The scan's first pass: every file the source's file systems name, written under the category
// folder of its type, below its original folders, with its original name. Each file is reported
// as a carved one is, recorded in the manifest, and its sectors added to the coverage the carve
// then skips.
class FileSystemPass {
 public:
  FileSystemPass(RecoveryEngine& engine, RawDevice& device, const std::string& outputDir,
                 const FileFilter& filter, Manifest& manifest, SectorCoverage& coverage);

  // Recovers the files of `volume`, the `number`th of the source; `wholeSource` when the source
  // is that volume (its files then go straight under the category folders, otherwise under a
  // folder named after the volume). False when the output can take no more: the scan must end.
  bool Recover(const Volume& volume, int number, bool wholeSource);

  int64_t FilesWritten() const { return filesWritten_; }

  // The files an interrupted run of this scan already wrote: not written again, their sectors
  // still skipped by the carve.
  void KeepWritten(const ScanRecords* records) { written_ = records; }

 private:
  // `intact` is cleared when a deleted file's content shows it is not whole.
  bool WriteFile(const FoundFile& file, const Volume& volume, ByteSource& content,
                 const std::string& volumeFolder, bool& intact);
  void Cover(const FoundFile& file, const Volume& volume);
  // What this scan wrote of `file` before it was interrupted; null when nothing.
  const ScanRecords::Written* Kept(const FoundFile& file, const Volume& volume) const;

  RecoveryEngine& engine_;
  RawDevice& device_;
  const std::string& outputDir_;
  const FileFilter& filter_;
  Manifest& manifest_;
  SectorCoverage& coverage_;
  int32_t sectorSize_;
  int64_t filesWritten_ = 0;
  bool outputFull_ = false;
  const ScanRecords* written_ = nullptr;
};

}  // namespace quarvelin
