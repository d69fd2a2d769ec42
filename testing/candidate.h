#pragma once

// Places a file on an in-memory disk the way a scan meets it, and builds the RangeReader the scan
// would: the scan buffer covers the disk's first `bufferBytes` bytes and the file starts `lead`
// bytes in. With a short buffer the rest of the file comes from the device.

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "device/memory_device.h"
#include "temp_dir.h"
#include "validators/range_reader.h"

namespace quarvelin::testing {

struct Placement {
  size_t lead = 0;                  // bytes before the file (random)
  size_t bufferBytes = SIZE_MAX;    // scan buffer length from the disk's start; default: all of it
  int32_t sectorSize = 512;
  size_t trailing = 4096;           // bytes after the file
  bool randomTrailing = false;      // random instead of zero bytes after the file
};

class Candidate {
 public:
  explicit Candidate(const std::vector<uint8_t>& file, Placement placement = {})
      : placement_(placement), disk_(std::make_shared<MemoryDisk>()), device_(disk_) {
    disk_->sectorSize = placement.sectorSize;
    auto& bytes = disk_->bytes;
    bytes = RandomBytes(placement.lead, 99);
    bytes.insert(bytes.end(), file.begin(), file.end());
    const auto tail = placement.randomTrailing ? RandomBytes(placement.trailing, 98)
                                               : std::vector<uint8_t>(placement.trailing, 0);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    const size_t sector = static_cast<size_t>(placement.sectorSize);
    bytes.resize((bytes.size() + sector - 1) / sector * sector, 0);
  }

  RangeReader Reader() {
    const size_t buffer = std::min(placement_.bufferBytes, disk_->bytes.size());
    return RangeReader(std::span<const uint8_t>(disk_->bytes).first(buffer), placement_.lead, 0,
                       placement_.sectorSize, device_);
  }

  MemoryDisk& Disk() { return *disk_; }

 private:
  Placement placement_;
  std::shared_ptr<MemoryDisk> disk_;
  MemoryDevice device_;
};

// The real sample files of the given extension under testdata/files, sorted by name.
inline std::vector<std::filesystem::path> Fixtures(const std::string& extension) {
  std::vector<std::filesystem::path> found;
  const std::filesystem::path dir = std::filesystem::path(QUARVELIN_TESTDATA_DIR) / "files";
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
    if (entry.path().extension() == "." + extension) found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace quarvelin::testing
