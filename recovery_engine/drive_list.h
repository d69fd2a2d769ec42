#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quarvelin {

enum class DriveKind { Fixed, Removable };

// One listed drive. Texts are UTF-8.
struct DriveRecord {
  std::string id;      // what a scan or an image takes as its source: "C:\" or "/dev/sdb"
  std::string letter;  // the short name: "C:" or "sdb"
  std::string label;   // volume label or device model; empty when there is none
  DriveKind kind = DriveKind::Fixed;
  uint64_t totalBytes = 0;  // 0 when unknown
  uint64_t freeBytes = 0;   // free for the calling user; 0 when unknown
};

// The drive list as the UI reads it: a JSON array, one object per drive in the given order, with
// the members id, letter, name, type, size, free, health, temperature, life and hours, one space
// after each colon and no other whitespace. Strings are escaped and any byte that is not part of
// valid UTF-8 becomes U+FFFD, so the text is always valid JSON.
std::string DriveListJson(const std::vector<DriveRecord>& drives);

#if !defined(_WIN32)
// The block devices under `sysRoot`/block (normally /sys): disks and their partitions, attached
// loop devices, device-mapper and RAID volumes; not RAM disks, zram swap, optical drives, hidden
// paths of multipath disks or anything of size 0. Disks in name order, each followed by its
// partitions.
std::vector<DriveRecord> ListSysfsDrives(const std::filesystem::path& sysRoot);
#endif

// The drives of this machine: local and removable volume letters on Windows,
// ListSysfsDrives("/sys") elsewhere.
std::vector<DriveRecord> ListMachineDrives();

}  // namespace quarvelin
