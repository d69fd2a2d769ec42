#pragma once

// Windows only: includes <windows.h>.
//
// The machine's drive letters, A to Z, with what the volume calls say about each. Stateless: every
// call asks Windows again. Texts are as the "A" calls give them, in the ANSI code page.

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quarvelin {

// Asking an empty card reader or an optical drive without a disc about its volume would make
// Windows ask the user to insert one; while this lives, the thread fails such calls instead.
class QuietCriticalErrors {
 public:
  QuietCriticalErrors() noexcept {
    restore_ = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous_) != FALSE;
  }
  ~QuietCriticalErrors() {
    if (restore_) SetThreadErrorMode(previous_, nullptr);
  }
  QuietCriticalErrors(const QuietCriticalErrors&) = delete;
  QuietCriticalErrors& operator=(const QuietCriticalErrors&) = delete;

 private:
  DWORD previous_ = 0;
  bool restore_ = false;
};

struct DriveLetter {
  char letter = 0;         // 'A' to 'Z'
  char root[4] = {};       // the letter, a colon and a backslash
  UINT type = 0;           // GetDriveTypeA's code: DRIVE_REMOVABLE, DRIVE_FIXED, ...
  std::string label;       // empty when there is none or it cannot be read
  std::string fileSystem;  // "NTFS", "FAT32", ...; empty when it cannot be read
  // The three counts are 0 when the space query fails.
  uint64_t freeBytesForCaller = 0;  // what disk quotas leave the calling user
  uint64_t totalBytes = 0;
  uint64_t totalFreeBytes = 0;
};

// The present drive letters whose type `wanted(type)` accepts, in letter order. Volume and space
// are asked only of those, so a slow network drive that is not wanted costs nothing.
template <typename Wanted>
std::vector<DriveLetter> ListDriveLetters(Wanted wanted) {
  const QuietCriticalErrors quiet;
  std::vector<DriveLetter> drives;
  const DWORD mask = GetLogicalDrives();
  for (int i = 0; i < 26; ++i) {
    if ((mask & (DWORD{1} << i)) == 0) continue;
    DriveLetter drive;
    drive.letter = static_cast<char>('A' + i);
    drive.root[0] = drive.letter;
    drive.root[1] = ':';
    drive.root[2] = '\\';
    drive.type = GetDriveTypeA(drive.root);
    if (!wanted(drive.type)) continue;

    // One byte more than the call may fill, so the texts always end.
    char label[MAX_PATH + 1] = {};
    char fileSystem[MAX_PATH + 1] = {};
    if (GetVolumeInformationA(drive.root, label, MAX_PATH, nullptr, nullptr, nullptr, fileSystem,
                              MAX_PATH)) {
      drive.label = label;
      drive.fileSystem = fileSystem;
    }
    ULARGE_INTEGER freeForCaller{};
    ULARGE_INTEGER total{};
    ULARGE_INTEGER totalFree{};
    if (GetDiskFreeSpaceExA(drive.root, &freeForCaller, &total, &totalFree)) {
      drive.freeBytesForCaller = freeForCaller.QuadPart;
      drive.totalBytes = total.QuadPart;
      drive.totalFreeBytes = totalFree.QuadPart;
    }
    drives.push_back(std::move(drive));
  }
  return drives;
}

}  // namespace quarvelin
