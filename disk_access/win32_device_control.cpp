#include "win32_device_control.h"

#include <windows.h>

#include <limits>

namespace ul_venmark {
namespace {

HANDLE ToHandle(DeviceHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

std::optional<DeviceHandle> Win32DeviceControl::Open(const std::string& path, uint32_t access) {
  const HANDLE handle = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  return reinterpret_cast<DeviceHandle>(handle);
}

bool Win32DeviceControl::Control(DeviceHandle handle, uint32_t code, const void* in, size_t inSize,
                                 void* out, size_t outSize, uint32_t* bytesReturned) {
  constexpr size_t kMaxBuffer = std::numeric_limits<DWORD>::max();
  if (inSize > kMaxBuffer || outSize > kMaxBuffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  DWORD returned = 0;
  // The input buffer is only read; the call's signature just does not say so.
  const BOOL ok =
      DeviceIoControl(ToHandle(handle), code, const_cast<void*>(in), static_cast<DWORD>(inSize),
                      out, static_cast<DWORD>(outSize), &returned, nullptr);
  if (bytesReturned != nullptr) *bytesReturned = returned;
  return ok != FALSE;
}

uint32_t Win32DeviceControl::LastError() {
  return GetLastError();
}

void Win32DeviceControl::Close(DeviceHandle handle) {
  CloseHandle(ToHandle(handle));
}

}  // namespace ul_venmark
