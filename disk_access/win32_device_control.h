#pragma once

#include "disk_health.h"

namespace ul_venmark {

// DeviceControl over the Win32 file and device-control calls.
class Win32DeviceControl final : public DeviceControl {
 public:
  std::optional<DeviceHandle> Open(const std::string& path, uint32_t access) override;
  bool Control(DeviceHandle handle, uint32_t code, const void* in, size_t inSize, void* out,
               size_t outSize, uint32_t* bytesReturned) override;
  uint32_t LastError() override;
  void Close(DeviceHandle handle) override;
};

}  // namespace ul_venmark
