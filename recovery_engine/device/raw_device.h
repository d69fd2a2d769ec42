#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quarvelin {

// A drive, volume or image file read as a flat array of sectors. Failures never throw: they show as
// a size of 0, the default sector size, or an empty read.
class RawDevice {
 public:
  virtual ~RawDevice() = default;

  // Length in bytes; 0 when the size cannot be found.
  virtual int64_t QueryDeviceSize() = 0;
  // Bytes per logical sector; 512 when the device does not say.
  virtual int32_t QuerySectorSize() = 0;
  // Reads `count` whole sectors from sector `first`. The result holds the bytes actually read
  // (fewer near the end of the device) and is empty on any failure.
  virtual std::vector<uint8_t> ReadDeviceSectors(int64_t first, uint32_t count,
                                                 int32_t bytesPerSector) = 0;
};

struct OpenedDevice {
  std::unique_ptr<RawDevice> device;  // null on failure
  int error = 0;                      // the platform's error code when device is null
};

// Opens a device read-only. The engine takes one of these so tests can hand it an in-memory disk.
using DeviceOpener = std::function<OpenedDevice(const std::string& path)>;

// The platform's backend: Win32 on Windows, POSIX elsewhere.
OpenedDevice OpenRawDevice(const std::string& path);

// Turns the drive spellings users type into the Windows device path: "C:\" and "C:" become
// "\\.\C:", "\\.\C:\" becomes "\\.\C:"; anything else passes unchanged.
std::string NormalizeDevicePath(std::string path);

// True when `folder` (or the nearest folder above it that exists) lies on the drive or volume
// `devicePath`, or on one of its partitions: writing there would overwrite what is being recovered.
// False when that cannot be told (an image file, a device the platform cannot resolve).
bool OutputIsOnDevice(const std::string& folder, const std::string& devicePath);

// The file-system path for an engine path. Engine paths are narrow strings in the process's
// code page (the ANSI one on Windows, as the C runtime's file functions take them); the
// file-system library must read them the same way.
std::filesystem::path FileSystemPath(const std::string& path);

// True when both paths name one existing file (through links or other spellings). False when
// either does not exist or that cannot be told.
bool SameFile(const std::string& first, const std::string& second);

constexpr int32_t kDefaultSectorSize = 512;
// Larger values come only from broken drivers; they would overflow a read's 32-bit byte count.
constexpr int32_t kMaxSectorSize = 65536;

// A reported sector size as the engine uses it: out-of-range reports mean "not reported".
constexpr int32_t SaneSectorSize(int64_t reported) {
  return reported >= 1 && reported <= kMaxSectorSize ? static_cast<int32_t>(reported)
                                                     : kDefaultSectorSize;
}

// Sectors needed to hold `bytes` (a trailing partial sector counts); `sectorSize` > 0.
constexpr int64_t SectorsCovering(int64_t bytes, int64_t sectorSize) {
  return bytes / sectorSize + (bytes % sectorSize != 0);
}

// Byte count of a read of `count` sectors, or 0 when it is not representable in 32 bits (the
// platforms' single-read limit) or the sector size is unusable.
uint32_t ReadByteCount(uint32_t count, int32_t bytesPerSector);

}  // namespace quarvelin
