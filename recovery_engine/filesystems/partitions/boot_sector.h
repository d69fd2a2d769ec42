#pragma once

// What the volume finders need of a boot sector beyond RecognizeBootSector: a cheap first look, and
// where the sector's copy lies from its volume's start.

#include <cstdint>
#include <optional>
#include <span>

#include "filesystems/volume.h"

namespace quarvelin {

constexpr size_t kBootSectorBytes = 512;

// False for nearly every sector that is no boot sector, at the cost of three byte compares: every
// FAT, exFAT and NTFS boot sector starts with an x86 jump and ends its first 512 bytes with 55 AA.
inline bool MayBeBootSector(const uint8_t* sector) {
  return (sector[0] == 0xEB || sector[0] == 0xE9) && sector[510] == 0x55 && sector[511] == 0xAA;
}

// How many bytes after its volume's start a copy of this (recognized) boot sector is kept: NTFS
// keeps one in the sector after the volume's last one, FAT32 at BPB_BkBootSec, exFAT at sector 12.
// Nothing for FAT12/16, which keep none.
std::optional<int64_t> BackupDistance(std::span<const uint8_t> sector, const BootSector& boot);

// Fields that tell one volume's boot sector from another's: a copy and its original agree on
// them (a backup need not match its primary byte for byte: exFAT's volume flags differ).
uint64_t BootSectorIdentity(std::span<const uint8_t> sector, const BootSector& boot);

}  // namespace quarvelin
