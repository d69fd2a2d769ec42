#include <windows.h>
#include <winioctl.h>

#include <cctype>
#include <cstdlib>
#include <utility>

#include "common/win32_code_page.h"
#include "common/win32_handle.h"
#include "raw_device.h"

namespace quarvelin {
namespace {

class Win32Device final : public RawDevice {
 public:
  explicit Win32Device(Win32Handle handle) : handle_(std::move(handle)) {}

  int64_t QueryDeviceSize() override {
    DWORD returned = 0;
    GET_LENGTH_INFORMATION length{};
    if (DeviceIoControl(handle_.get(), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length,
                        sizeof(length), &returned, nullptr)) {
      return length.Length.QuadPart;
    }
    DISK_GEOMETRY_EX geometry{};
    if (DeviceIoControl(handle_.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry,
                        sizeof(geometry), &returned, nullptr)) {
      return geometry.DiskSize.QuadPart;
    }
    LARGE_INTEGER size{};
    if (GetFileSizeEx(handle_.get(), &size)) {
      return size.QuadPart;
    }
    return 0;
  }

  int32_t QuerySectorSize() override {
    DWORD returned = 0;
    DISK_GEOMETRY_EX geometry{};
    if (DeviceIoControl(handle_.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry,
                        sizeof(geometry), &returned, nullptr)) {
      return SaneSectorSize(static_cast<int32_t>(geometry.Geometry.BytesPerSector));
    }
    return kDefaultSectorSize;
  }

  std::vector<uint8_t> ReadDeviceSectors(int64_t first, uint32_t count,
                                         int32_t bytesPerSector) override {
    const uint32_t bytes = ReadByteCount(count, bytesPerSector);
    if (first < 0 || bytes == 0 || first > INT64_MAX / bytesPerSector) {
      return {};
    }
    LARGE_INTEGER offset{};
    offset.QuadPart = first * bytesPerSector;
    if (!SetFilePointerEx(handle_.get(), offset, nullptr, FILE_BEGIN)) {
      return {};
    }
    std::vector<uint8_t> data(bytes);
    DWORD got = 0;
    if (!ReadFile(handle_.get(), data.data(), bytes, &got, nullptr)) {
      return {};
    }
    data.resize(got);
    return data;
  }

 private:
  Win32Handle handle_;
};

// The upper-case drive letter of an absolute "X:\..." path, or 0.
char DriveLetterOf(const std::string& path) {
  if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
  }
  return 0;
}

}  // namespace

bool OutputIsOnDevice(const std::string& folder, const std::string& devicePath) {
  char full[MAX_PATH * 4];
  const DWORD length = GetFullPathNameA(folder.c_str(), sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return false;
  const char folderDrive = DriveLetterOf(full);
  if (folderDrive == 0) return false;

  const std::string device = NormalizeDevicePath(devicePath);
  constexpr char kVolumePrefix[] = "\\\\.\\";
  constexpr char kDiskPrefix[] = "\\\\.\\PhysicalDrive";
  if (device.rfind(kDiskPrefix, 0) == 0) {
    // The folder's volume lies on the scanned disk when one of its extents does.
    const std::string volume = std::string(kVolumePrefix) + folderDrive + ":";
    const Win32Handle handle(CreateFileA(volume.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    if (!handle) return false;
    alignas(
        VOLUME_DISK_EXTENTS) char buffer[sizeof(VOLUME_DISK_EXTENTS) + 31 * sizeof(DISK_EXTENT)];
    DWORD returned = 0;
    if (!DeviceIoControl(handle.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, buffer,
                         sizeof buffer, &returned, nullptr)) {
      return false;
    }
    const auto* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(buffer);
    const unsigned long disk = std::strtoul(device.c_str() + sizeof kDiskPrefix - 1, nullptr, 10);
    for (DWORD i = 0; i < extents->NumberOfDiskExtents && i < 32; ++i) {
      if (extents->Extents[i].DiskNumber == disk) return true;
    }
    return false;
  }
  if (device.rfind(kVolumePrefix, 0) == 0) {
    return DriveLetterOf(device.substr(sizeof kVolumePrefix - 1)) == folderDrive;
  }
  return false;
}

std::filesystem::path FileSystemPath(const std::string& path) {
  if (auto wide = AnsiToWide(path)) return std::move(*wide);
  return path;
}

bool SameFile(const std::string& first, const std::string& second) {
  const auto identify = [](const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
    const Win32Handle handle(
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return handle && GetFileInformationByHandle(handle.get(), info) != 0;
  };
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  return identify(first, &a) && identify(second, &b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

OpenedDevice OpenRawDevice(const std::string& path) {
  const std::string devicePath = NormalizeDevicePath(path);
  Win32Handle handle(CreateFileA(devicePath.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
  if (!handle) {
    return {nullptr, static_cast<int>(GetLastError())};
  }
  return {std::make_unique<Win32Device>(std::move(handle)), 0};
}

}  // namespace quarvelin
