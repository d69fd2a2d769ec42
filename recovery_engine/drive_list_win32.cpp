// The machine's local and removable volume letters, through the ANSI volume interfaces.
#include <utility>

#include "common/win32_code_page.h"
#include "common/win32_drive_letters.h"
#include "drive_list.h"

namespace quarvelin {

std::vector<DriveRecord> ListMachineDrives() {
  std::vector<DriveRecord> drives;
  // Network, optical and RAM drives are not listed: a scan or an image of one is not offered.
  for (const DriveLetter& letter :
       ListDriveLetters([](UINT type) { return type == DRIVE_REMOVABLE || type == DRIVE_FIXED; })) {
    DriveRecord drive;
    drive.id = letter.root;
    drive.letter.assign(letter.root, 2);
    drive.kind = letter.type == DRIVE_REMOVABLE ? DriveKind::Removable : DriveKind::Fixed;
    drive.totalBytes = letter.totalBytes;
    drive.freeBytes = letter.freeBytesForCaller;
    // Labels come in the ANSI code page; the list is UTF-8.
    drive.label = AnsiToUtf8(letter.label);
    drives.push_back(std::move(drive));
  }
  return drives;
}

}  // namespace quarvelin
