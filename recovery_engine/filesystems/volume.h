#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "filesystems/byte_source.h"
#include "filesystems/found_file.h"

namespace quarvelin {

enum class FileSystemKind { kFat, kExfat, kNtfs };

// A file system found on a source: where it lies and how it was found.
struct Volume {
  FileSystemKind kind = FileSystemKind::kFat;
  int64_t firstByte = 0;  // from the start of the source
  int64_t length = 0;  // bytes, as the volume's own boot sector gives them (clipped to the source)
  // How it was found, for the user: "MBR partition 1", "extended partition 5", "GPT partition 2",
  // "whole source", "boot sector at sector 2048 (no partition lists it)", "backup boot sector at
  // sector 4196351 (no partition lists it)".
  std::string origin;
  // Bytes from the volume's start to the copy of its boot sector that stands in for its own,
  // which is damaged; 0 when its own is sound.
  int64_t bootCopyAt = 0;
};

// A boot sector recognized by its own fields: which file system, and the volume's length in bytes
// (what its boot sector says, whatever the source's size). `backupAt` is set when the sector is a
// copy of the boot sector that lies that many bytes after the volume's start (NTFS keeps one at the
// volume's end, FAT32 one at sector 6): the volume then starts that many bytes before the sector.
struct BootSector {
  FileSystemKind kind = FileSystemKind::kFat;
  int64_t length = 0;
  int64_t backupAt = 0;
};

// Recognizes an NTFS, exFAT or FAT12/16/32 boot sector (or NTFS/FAT32 backup boot sector) at the
// start of `bytes` (at least 512 of them). Nothing when the fields do not describe a sound volume.
// Where a sector could be either a primary or a backup, it is taken as a primary.
std::optional<BootSector> RecognizeBootSector(std::span<const uint8_t> bytes);

// The volumes the source lists or is: the partitions of its MBR (primary and the logical ones in
// the extended partition's chain) or GPT that hold a recognizable file system, or the source
// itself when it starts with a boot sector; then any volume whose boot sector or backup boot
// sector lies at a place no listed volume covers among the usual partition starts (sector 63 and
// every 1 MiB boundary) up to `probeLimit` bytes (0: the whole source). Sorted by `firstByte`; no
// two with the same start. Stops early when `cancel` is set.
std::vector<Volume> FindVolumes(ByteSource& source, int64_t probeLimit, CancelFlag cancel);

// Looks for volumes no partition table lists while the scan reads the whole source in order:
// each chunk the scan reads is shown here once, and every sector start in it is tested for a boot
// sector. A volume found through a backup is reported with the start its backup gives. A FAT32 or
// exFAT boot sector that could be a primary or a backup is decided when the scan reaches where
// the primary's copy would lie (a few sectors on, so the volume may come with the next chunk); an
// NTFS one by whether the scan passed the MFT of the volume it would be the backup of.
class LostVolumeSearch {
 public:
  // `known`: the volumes already found, which are not reported again.
  LostVolumeSearch(std::vector<Volume> known, int64_t sourceBytes, int32_t sectorSize);
  // `bytes` starts at byte `first` of the source. Returns the volumes found in it that are new.
  std::vector<Volume> Look(std::span<const uint8_t> bytes, int64_t first);

 private:
  // A boot sector that may be a volume's primary or the backup of a volume whose primary is
  // gone: which one shows when the scan reaches where the primary's backup would lie.
  struct Pending {
    Volume primary;
    int64_t backupAt = 0;  // where the primary's copy would lie
    int64_t distance = 0;  // from a volume's start to its backup boot sector
    uint64_t identity = 0;
  };
  void Check(std::span<const uint8_t> sector, int64_t at, std::vector<Volume>& out);
  void Consider(std::span<const uint8_t> sector, int64_t at, std::vector<Volume>& out);
  void Settle(int64_t before, std::vector<Volume>& out);
  void Report(Volume volume, std::vector<Volume>& out);
  bool MftSeen(std::span<const uint8_t> sector, int64_t start) const;

  std::vector<Volume> known_;
  int64_t sourceBytes_ = 0;
  int32_t sectorSize_ = 512;
  std::set<int64_t> starts_;  // of the known volumes and those found since
  std::vector<Pending> pending_;
  std::set<int64_t> mftRecords_;  // where first MFT records were seen
  std::vector<uint8_t> carry_;    // the start of a sector the last chunk cut off
  int64_t carryAt_ = -1;
};

// The file system's name as the user reads it: "FAT", "exFAT", "NTFS".
const char* FileSystemName(FileSystemKind kind);

}  // namespace quarvelin
