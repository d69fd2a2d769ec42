#pragma once

#include <atomic>
#include <map>
#include <optional>
#include <utility>

#include "raw_device.h"

namespace quarvelin {

// A disk held in memory, with the faults real drives show: unreadable stretches, a reported size
// that differs from the bytes present, no sector-size report, any sector size.
struct MemoryDisk {
  std::vector<uint8_t> bytes;
  int32_t sectorSize = 512;
  bool reportsSectorSize = true;
  std::optional<int64_t> reportedSize;                  // default: bytes.size()
  std::vector<std::pair<int64_t, int64_t>> unreadable;  // [first byte, length)
  // Called before every read with its first byte offset; lets a test slow or observe the reader.
  std::function<void(int64_t)> onRead;
  std::atomic<int64_t> reads{0};

  void AddUnreadable(int64_t firstByte, int64_t length) {
    unreadable.emplace_back(firstByte, length);
  }
};

class MemoryDevice final : public RawDevice {
 public:
  explicit MemoryDevice(std::shared_ptr<MemoryDisk> disk) : disk_(std::move(disk)) {}

  int64_t QueryDeviceSize() override;
  int32_t QuerySectorSize() override;
  std::vector<uint8_t> ReadDeviceSectors(int64_t first, uint32_t count,
                                         int32_t bytesPerSector) override;

 private:
  std::shared_ptr<MemoryDisk> disk_;
};

// An opener that knows a set of in-memory disks by path; other paths fail as "not found" (2).
DeviceOpener MemoryOpener(std::map<std::string, std::shared_ptr<MemoryDisk>> disks);

}  // namespace quarvelin
