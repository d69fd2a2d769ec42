// The machine's local and removable volume letters, through the ANSI volume interfaces.
#include <windows.h>

#include "device/raw_device.h"
#include "drive_list.h"

namespace quarvelin {
namespace {

// Labels come in the process's ANSI code page; the list is UTF-8. When a conversion fails the bytes
// are kept and the list builder replaces whatever is not UTF-8.
std::string AnsiToUtf8(const char* text) {
  const std::wstring wide = FileSystemPath(text).native();
  const auto wideLength = static_cast<int>(wide.size());
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return text;
  std::string utf8(static_cast<size_t>(length), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, utf8.data(), length, nullptr,
                          nullptr) != length) {
    return text;
  }
  return utf8;
}

// Keeps Windows from asking the user to insert a disk while an empty removable drive is queried.
class QuietCriticalErrors {
 public:
  QuietCriticalErrors() { ok_ = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous_) != FALSE; }
  ~QuietCriticalErrors() {
    if (ok_) SetThreadErrorMode(previous_, nullptr);
  }
  QuietCriticalErrors(const QuietCriticalErrors&) = delete;
  QuietCriticalErrors& operator=(const QuietCriticalErrors&) = delete;

 private:
  DWORD previous_ = 0;
  bool ok_ = false;
};

}  // namespace

std::vector<DriveRecord> ListMachineDrives() {
  const QuietCriticalErrors quiet;
  std::vector<DriveRecord> drives;
  const DWORD mask = GetLogicalDrives();
  for (int i = 0; i < 26; ++i) {
    if ((mask & (DWORD{1} << i)) == 0) continue;
    const char root[] = {static_cast<char>('A' + i), ':', '\\', '\0'};
    const UINT type = GetDriveTypeA(root);
    if (type != DRIVE_REMOVABLE && type != DRIVE_FIXED) continue;

    DriveRecord drive;
    drive.id = root;
    drive.letter.assign(root, 2);
    drive.kind = type == DRIVE_REMOVABLE ? DriveKind::Removable : DriveKind::Fixed;
    ULARGE_INTEGER freeForCaller{};
    ULARGE_INTEGER total{};
    ULARGE_INTEGER totalFree{};
    if (GetDiskFreeSpaceExA(root, &freeForCaller, &total, &totalFree)) {
      drive.totalBytes = total.QuadPart;
      drive.freeBytes = freeForCaller.QuadPart;
    }
    char label[MAX_PATH] = {};
    char fileSystem[MAX_PATH] = {};
    if (GetVolumeInformationA(root, label, MAX_PATH, nullptr, nullptr, nullptr, fileSystem,
                              MAX_PATH)) {
      label[MAX_PATH - 1] = '\0';
      drive.label = AnsiToUtf8(label);
    }
    drives.push_back(std::move(drive));
  }
  return drives;
}

}  // namespace quarvelin
