#include "memory_device.h"

#include <algorithm>
#include <cstring>

namespace quarvelin {

int64_t MemoryDevice::QueryDeviceSize() {
  return disk_->reportedSize.value_or(static_cast<int64_t>(disk_->bytes.size()));
}

int32_t MemoryDevice::QuerySectorSize() {
  return disk_->reportsSectorSize ? disk_->sectorSize : kDefaultSectorSize;
}

std::vector<uint8_t> MemoryDevice::ReadDeviceSectors(int64_t first, uint32_t count,
                                                     int32_t bytesPerSector) {
  const uint32_t bytes = ReadByteCount(count, bytesPerSector);
  if (first < 0 || bytes == 0 || first > INT64_MAX / bytesPerSector) {
    return {};
  }
  const int64_t begin = first * bytesPerSector;
  disk_->reads.fetch_add(1);
  if (disk_->onRead) {
    disk_->onRead(begin);
  }
  const int64_t size = static_cast<int64_t>(disk_->bytes.size());
  const int64_t end = std::min<int64_t>(size, begin + bytes);
  for (const auto& [badFirst, badLength] : disk_->unreadable) {
    if (badFirst < begin + bytes && begin < badFirst + badLength) {
      return {};
    }
  }
  if (begin >= end) {
    return {};
  }
  std::vector<uint8_t> data(static_cast<size_t>(end - begin));
  std::memcpy(data.data(), disk_->bytes.data() + begin, data.size());
  return data;
}

DeviceOpener MemoryOpener(std::map<std::string, std::shared_ptr<MemoryDisk>> disks) {
  return [disks = std::move(disks)](const std::string& path) -> OpenedDevice {
    const auto found = disks.find(path);
    if (found == disks.end()) {
      return {nullptr, 2};
    }
    return {std::make_unique<MemoryDevice>(found->second), 0};
  };
}

}  // namespace quarvelin
