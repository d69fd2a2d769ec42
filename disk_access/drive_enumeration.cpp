// The machine's drive letters with size, free space, label and file system.
#include "disk_access_plugin.h"

namespace ul_venmark {

std::vector<EncodableMap> DiskAccessPlugin::EnumerateDrives() {
  std::vector<EncodableMap> drives;
  const DWORD mask = GetLogicalDrives();
  for (int i = 0; i < 26; ++i) {
    if ((mask & (1u << i)) == 0) continue;
    const char letter = static_cast<char>('A' + i);
    const char root[4] = {letter, ':', '\\', '\0'};
    const UINT type = GetDriveTypeA(root);
    if (type < DRIVE_REMOVABLE) continue;  // unknown type, or no root directory

    char label[261] = {};
    char fileSystem[261] = {};
    GetVolumeInformationA(root, label, 260, nullptr, nullptr, nullptr, fileSystem, 260);
    ULARGE_INTEGER total{};
    ULARGE_INTEGER free{};
    GetDiskFreeSpaceExA(root, nullptr, &total, &free);

    const bool removable = type == DRIVE_REMOVABLE;
    EncodableMap drive;
    drive[EncodableValue(std::string("id"))] = EncodableValue(std::string(root));
    drive[EncodableValue(std::string("name"))] = EncodableValue(std::string(label));
    drive[EncodableValue(std::string("letter"))] = EncodableValue(std::string(1, letter));
    drive[EncodableValue(std::string("sizeBytes"))] =
        EncodableValue(static_cast<int64_t>(total.QuadPart));
    drive[EncodableValue(std::string("freeBytes"))] =
        EncodableValue(static_cast<int64_t>(free.QuadPart));
    drive[EncodableValue(std::string("fileSystem"))] = EncodableValue(std::string(fileSystem));
    drive[EncodableValue(std::string("isRemovable"))] = EncodableValue(removable);
    drive[EncodableValue(std::string("type"))] =
        EncodableValue(std::string(removable ? "usb" : "hdd"));
    drives.push_back(std::move(drive));
  }
  return drives;
}

}  // namespace ul_venmark
