#pragma once

// The in-memory disk as the fuzz targets hand it to the engine: reads go to a MemoryDevice, and a
// single read asking for far more than any chunk, copy block or search window is a fault. A real
// drive's backend allocates the whole request before reading, so a length field taken on trust
// from the disk would become a multi-gigabyte allocation there.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

#include "device/memory_device.h"

namespace quarvelin::fuzzing {

inline constexpr uint64_t kLargestSaneRead = 32ull << 20;

class GuardedDevice final : public RawDevice {
 public:
  explicit GuardedDevice(std::shared_ptr<MemoryDisk> disk) : device_(std::move(disk)) {}

  int64_t QueryDeviceSize() override { return device_.QueryDeviceSize(); }
  int32_t QuerySectorSize() override { return device_.QuerySectorSize(); }
  std::vector<uint8_t> ReadDeviceSectors(int64_t first, uint32_t count,
                                         int32_t bytesPerSector) override {
    const uint64_t bytes =
        uint64_t{count} * static_cast<uint64_t>(bytesPerSector > 0 ? bytesPerSector : 0);
    if (bytes > kLargestSaneRead) {
      std::fprintf(stderr, "a read of %u sectors of %d bytes from sector %lld\n", count,
                   bytesPerSector, static_cast<long long>(first));
      std::abort();
    }
    return device_.ReadDeviceSectors(first, count, bytesPerSector);
  }

 private:
  MemoryDevice device_;
};

}  // namespace quarvelin::fuzzing
