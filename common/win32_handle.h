#pragma once

// Windows only: includes <windows.h>.
//
// The one owner of a Win32 kernel handle (a file, a device). Move-only; the handle is closed once,
// by whichever owner holds it last. Both of Win32's "no handle" values, null and
// INVALID_HANDLE_VALUE, make an empty owner, so the result of CreateFile can be taken as it comes.

#include <windows.h>

#include <utility>

namespace quarvelin {

class Win32Handle {
 public:
  Win32Handle() noexcept = default;
  explicit Win32Handle(HANDLE handle) noexcept : handle_(Usable(handle) ? handle : nullptr) {}
  ~Win32Handle() { Reset(); }
  Win32Handle(Win32Handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Win32Handle& operator=(Win32Handle&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  Win32Handle(const Win32Handle&) = delete;
  Win32Handle& operator=(const Win32Handle&) = delete;

  // Null when empty; never INVALID_HANDLE_VALUE.
  HANDLE get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != nullptr; }

  // Closes what is held (if anything) and takes `handle` instead.
  void Reset(HANDLE handle = nullptr) noexcept {
    if (handle == handle_) return;
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = Usable(handle) ? handle : nullptr;
  }

 private:
  static bool Usable(HANDLE handle) noexcept {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
  }

  HANDLE handle_ = nullptr;
};

}  // namespace quarvelin
