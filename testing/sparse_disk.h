#pragma once

// A disk larger than a test can hold in memory: zeros everywhere except the pieces placed on it.
// Serves walks over files that pass 4 GiB, where only headers and directories are ever read.

#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>

#include "bytes.h"
#include "device/raw_device.h"

namespace quarvelin::testing {

class SparseDisk final : public RawDevice {
 public:
  explicit SparseDisk(int64_t size, int32_t sectorSize = 512)
      : size_(size), sectorSize_(sectorSize) {}

  // Places `bytes` at byte `offset`; pieces must not overlap.
  SparseDisk& Put(int64_t offset, File bytes) {
    pieces_[offset] = std::move(bytes);
    return *this;
  }

  int64_t QueryDeviceSize() override { return size_; }
  int32_t QuerySectorSize() override { return sectorSize_; }
  std::vector<uint8_t> ReadDeviceSectors(int64_t first, uint32_t count,
                                         int32_t bytesPerSector) override {
    const int64_t from = first * bytesPerSector;
    if (from < 0 || from >= size_) return {};
    const int64_t to = std::min(size_, from + int64_t{count} * bytesPerSector);
    std::vector<uint8_t> out(static_cast<size_t>(to - from), 0);
    for (const auto& [at, piece] : pieces_) {
      const int64_t end = at + static_cast<int64_t>(piece.size());
      const int64_t lo = std::max(at, from);
      const int64_t hi = std::min(end, to);
      if (lo >= hi) continue;
      std::copy(piece.begin() + (lo - at), piece.begin() + (hi - at), out.begin() + (lo - from));
    }
    return out;
  }

 private:
  int64_t size_;
  int32_t sectorSize_;
  std::map<int64_t, File> pieces_;
};

}  // namespace quarvelin::testing
