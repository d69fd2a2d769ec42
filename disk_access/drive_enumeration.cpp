// The machine's drive letters with size, free space, label and file system.
#include "common/win32_code_page.h"
#include "common/win32_drive_letters.h"
#include "disk_access_plugin.h"

namespace ul_venmark {

std::vector<EncodableMap> DiskAccessPlugin::EnumerateDrives() {
  std::vector<EncodableMap> drives;
  // Every type from removable up: fixed, network, optical and RAM drives too.
  for (const quarvelin::DriveLetter& letter :
       quarvelin::ListDriveLetters([](UINT type) { return type >= DRIVE_REMOVABLE; })) {
    const bool removable = letter.type == DRIVE_REMOVABLE;
    EncodableMap drive;
    drive[EncodableValue(std::string("id"))] = EncodableValue(std::string(letter.root));
    // Channel texts are UTF-8; the volume calls answer in the ANSI code page.
    drive[EncodableValue(std::string("name"))] =
        EncodableValue(quarvelin::AnsiToUtf8(letter.label));
    drive[EncodableValue(std::string("letter"))] = EncodableValue(std::string(1, letter.letter));
    drive[EncodableValue(std::string("sizeBytes"))] =
        EncodableValue(static_cast<int64_t>(letter.totalBytes));
    // The volume's free space, not what quotas leave the caller.
    drive[EncodableValue(std::string("freeBytes"))] =
        EncodableValue(static_cast<int64_t>(letter.totalFreeBytes));
    drive[EncodableValue(std::string("fileSystem"))] =
        EncodableValue(quarvelin::AnsiToUtf8(letter.fileSystem));
    drive[EncodableValue(std::string("isRemovable"))] = EncodableValue(removable);
    drive[EncodableValue(std::string("type"))] =
        EncodableValue(std::string(removable ? "usb" : "hdd"));
    drives.push_back(std::move(drive));
  }
  return drives;
}

}  // namespace ul_venmark
