#pragma once

#include <string>
#include <vector>

namespace quarvelin {

class RecoveryEngine;

// What a scan does beyond its drive and output folder.
struct ScanOptions {
  std::vector<std::string> fileTypes;  // extensions; empty for every type
  // Files the file systems name are written only when their path on the volume matches this glob
  // ("/Photos/**", "*.docx"); empty for all.
  std::string only;
  bool fileSystems = true;  // recover through the file systems first
  bool carve = true;        // carve the sectors no recovered file covers
  // Go on from where the same scan of the same drive into the same folder stopped; off, the scan
  // starts afresh whatever the folder's progress file says.
  bool resume = true;
};

// Reads the options a caller passes as "name=value" texts ("only=/Photos/**", "carve=no",
// "filesystems=no"); an unknown name or value gives an error text instead.
std::string ApplyScanOption(ScanOptions& options, const std::string& text);

// Recovers the files of the drive `drivePath` into the category folders under `outputDir`: first
// every file its file systems name, under its own folders and name, then, reading the drive from
// its first sector to its last, every file of the selected types (all when none are selected) that
// can be found by its first bytes and sized, in the sectors no recovered file covers. Runs on the
// engine's worker thread; reports only through its messages.
void RunScan(RecoveryEngine& engine, const std::string& drivePath, const std::string& outputDir,
             const ScanOptions& options);

}  // namespace quarvelin
