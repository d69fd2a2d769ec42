#pragma once

// An in-memory disk built for a test: zeros, seeded random bytes or given bytes, files placed at
// byte or sector offsets, unreadable stretches, any sector size. Copies share one disk, so a test
// can keep changing the disk an engine or a reader already uses.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "bytes.h"
#include "device/memory_device.h"

namespace quarvelin::testing {

class TestDisk {
 public:
  static TestDisk Of(File bytes, int32_t sectorSize = 512) {
    TestDisk disk;
    disk.disk_->bytes = std::move(bytes);
    disk.disk_->sectorSize = sectorSize;
    return disk;
  }
  static TestDisk Zeros(size_t size, int32_t sectorSize = 512) {
    return Of(File(size, 0), sectorSize);
  }
  static TestDisk Random(size_t size, uint32_t seed, int32_t sectorSize = 512) {
    return Of(RandomBytes(size, seed), sectorSize);
  }

  // Places `file` at byte `offset`; the disk grows when the file runs past its end.
  TestDisk& Put(size_t offset, const File& file) {
    auto& held = disk_->bytes;
    if (held.size() < offset + file.size()) held.resize(offset + file.size(), 0);
    if (!file.empty()) std::memcpy(held.data() + offset, file.data(), file.size());
    return *this;
  }
  TestDisk& PutAtSector(int64_t sector, const File& file) {
    return Put(static_cast<size_t>(sector * disk_->sectorSize), file);
  }
  TestDisk& Unreadable(int64_t firstByte, int64_t length) {
    disk_->AddUnreadable(firstByte, length);
    return *this;
  }

  MemoryDisk& operator*() const { return *disk_; }
  MemoryDisk* operator->() const { return disk_.get(); }
  const std::shared_ptr<MemoryDisk>& shared() const { return disk_; }
  const File& bytes() const { return disk_->bytes; }
  MemoryDevice& device() const { return *device_; }
  // How an engine opens it, as "disk".
  DeviceOpener Opener() const { return MemoryOpener({{"disk", disk_}}); }

  // What a scan chunk of up to `length` bytes from `sector` holds.
  std::span<const uint8_t> Chunk(int64_t sector, size_t length) const {
    const auto begin = std::min(bytes().size(), static_cast<size_t>(sector * disk_->sectorSize));
    return std::span<const uint8_t>(bytes()).subspan(begin,
                                                     std::min(length, bytes().size() - begin));
  }

 private:
  TestDisk() = default;

  std::shared_ptr<MemoryDisk> disk_ = std::make_shared<MemoryDisk>();
  std::shared_ptr<MemoryDevice> device_ = std::make_shared<MemoryDevice>(disk_);
};

}  // namespace quarvelin::testing
