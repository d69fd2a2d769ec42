#pragma once

#include <string>
#include <vector>

namespace quarvelin {

class RecoveryEngine;

// Reads the drive `drivePath` from its first sector to its last, finds the headers of the selected
// file types (all when `fileTypes` is empty), and writes every file it can size into the category
// folders under `outputDir`. Runs on the engine's worker thread; reports only through its messages.
void RunScan(RecoveryEngine& engine, const std::string& drivePath, const std::string& outputDir,
             const std::vector<std::string>& fileTypes);

}  // namespace quarvelin
