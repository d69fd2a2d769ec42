#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "encodable_value.h"

namespace ul_venmark {

// An open device as the backend knows it (a Win32 HANDLE on Windows, any token in tests).
using DeviceHandle = std::uintptr_t;

// Access rights passed to DeviceControl::Open.
inline constexpr uint32_t kGenericRead = 0x80000000u;
inline constexpr uint32_t kGenericWrite = 0x40000000u;

// Device control codes the health query sends.
inline constexpr uint32_t kIoctlVolumeGetVolumeDiskExtents = 0x00560000u;
inline constexpr uint32_t kIoctlStorageQueryProperty = 0x002D1400u;
inline constexpr uint32_t kIoctlStoragePredictFailure = 0x002D1100u;
inline constexpr uint32_t kSmartGetVersion = 0x00074080u;
inline constexpr uint32_t kSmartRcvDriveData = 0x0007C088u;

// The device calls the health query makes: open (shared read and write, existing devices only),
// control requests, the system error code of the last failed call, close.
class DeviceControl {
 public:
  virtual ~DeviceControl() = default;

  // Opens a device or volume path with the given access rights; nullopt on failure.
  virtual std::optional<DeviceHandle> Open(const std::string& path, uint32_t access) = 0;
  // Sends one control request. `bytesReturned` receives the number of output bytes written.
  virtual bool Control(DeviceHandle handle, uint32_t code, const void* in, size_t inSize, void* out,
                       size_t outSize, uint32_t* bytesReturned) = 0;
  // The system error code of the most recent failed Open or Control.
  virtual uint32_t LastError() = 0;
  virtual void Close(DeviceHandle handle) = 0;
};

// The device path of the physical disk that holds the volume `driveId` ("\\.\PhysicalDriveN"), the
// id itself when it already is a device path, or "" when it cannot be found.
std::string GetPhysicalDrivePath(const std::string& driveId, DeviceControl& device);

// Health of the disk behind `driveId`, from its NVMe health log, its ATA SMART data or the system's
// failure prediction, whichever answers first. Never fails: "source" tells what happened.
flutter::EncodableMap GetDiskHealth(const std::string& driveId, DeviceControl& device);

}  // namespace ul_venmark
