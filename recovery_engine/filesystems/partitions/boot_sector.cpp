#include "boot_sector.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "common/byte_fields.h"

// Boot sectors are recognized by their own fields only. Every check below rules out values a
// formatter never writes, so that random data, file content or a partition table is not taken
// for a volume: a false volume sends a reader walking garbage.

namespace quarvelin {
namespace {

constexpr int64_t kMaxClusterBytes = 2 << 20;  // NTFS allows 2 MiB clusters; FAT and exFAT fewer

bool HasSignature(Bytes s) {
  return s[510] == 0x55 && s[511] == 0xAA;
}

bool Named(Bytes s, size_t at, const char (&name)[9]) {
  return std::memcmp(&s[at], name, 8) == 0;
}

bool IsPowerOfTwo(uint64_t v) {
  return v != 0 && (v & (v - 1)) == 0;
}

std::optional<uint32_t> NtfsBytesPerSector(Bytes s) {
  const uint16_t bps = ReadLe16(s, 0x0B).value_or(0);
  if (!IsPowerOfTwo(bps) || bps < 256 || bps > 4096) return std::nullopt;
  return bps;
}

// NTFS sizes of clusters and of MFT / index records: a positive count of sectors (clusters), or
// a negative exponent of two in bytes (0xF6 = -10: 1024 bytes). Clusters above 64 KiB use the
// exponent form too (0xF4 with 512-byte sectors: 4096 sectors).
std::optional<int64_t> NtfsClusterBytes(Bytes s, uint32_t bps) {
  const uint8_t raw = s[0x0D];
  int64_t sectors = 0;
  if (raw <= 0x80) {
    if (!IsPowerOfTwo(raw)) return std::nullopt;
    sectors = raw;
  } else {
    const int shift = 256 - raw;
    if (shift > 20) return std::nullopt;
    sectors = int64_t{1} << shift;
  }
  const int64_t bytes = sectors * bps;
  if (bytes > kMaxClusterBytes) return std::nullopt;
  return bytes;
}

bool SaneNtfsRecordSize(int8_t raw, int64_t clusterBytes) {
  int64_t bytes = 0;
  if (raw > 0) {
    if (!IsPowerOfTwo(static_cast<uint64_t>(raw))) return false;
    bytes = raw * clusterBytes;
  } else {
    if (raw > -8 || raw < -31) return false;
    bytes = int64_t{1} << -raw;
  }
  return bytes >= 256 && bytes <= kMaxClusterBytes;
}

std::optional<BootSector> RecognizeNtfs(Bytes s) {
  if (!Named(s, 3, "NTFS    ")) return std::nullopt;
  const auto bps = NtfsBytesPerSector(s);
  if (!bps) return std::nullopt;
  const auto clusterBytes = NtfsClusterBytes(s, *bps);
  if (!clusterBytes) return std::nullopt;
  // Fields FAT uses and NTFS leaves zero: reserved sectors, FAT count, root entries, the 16-bit
  // sector count and the FAT size.
  if (ReadLe16(s, 0x0E) != 0 || s[0x10] != 0 || ReadLe16(s, 0x11) != 0 || ReadLe16(s, 0x13) != 0 ||
      ReadLe16(s, 0x16) != 0) {
    return std::nullopt;
  }
  const auto totalSectors = AsLength(ReadLe64(s, 0x28).value_or(0));
  if (!totalSectors || *totalSectors == 0) return std::nullopt;
  const auto volumeBytes = CheckedMul(*totalSectors, *bps);
  if (!volumeBytes) return std::nullopt;
  const auto mftCluster = AsLength(ReadLe64(s, 0x30).value_or(0));
  const auto mirrorCluster = AsLength(ReadLe64(s, 0x38).value_or(0));
  if (!mftCluster || !mirrorCluster) return std::nullopt;
  const auto mftByte = CheckedMul(*mftCluster, *clusterBytes);
  const auto mirrorByte = CheckedMul(*mirrorCluster, *clusterBytes);
  if (!mftByte || !mirrorByte || *mftByte >= *volumeBytes || *mirrorByte >= *volumeBytes) {
    return std::nullopt;
  }
  if (!SaneNtfsRecordSize(static_cast<int8_t>(s[0x40]), *clusterBytes) ||
      !SaneNtfsRecordSize(static_cast<int8_t>(s[0x44]), *clusterBytes)) {
    return std::nullopt;
  }
  // The volume's sectors, then the sector holding the backup boot sector.
  const auto length = CheckedAdd(*volumeBytes, *bps);
  if (!length) return std::nullopt;
  return BootSector{FileSystemKind::kNtfs, *length, 0};
}

std::optional<BootSector> RecognizeExfat(Bytes s) {
  if (s[0] != 0xEB || s[1] != 0x76 || s[2] != 0x90 || !Named(s, 3, "EXFAT   ")) {
    return std::nullopt;
  }
  // Where FAT keeps its BIOS parameter block, exFAT must have zeros, so FAT code reads no volume.
  if (std::any_of(s.begin() + 11, s.begin() + 64, [](uint8_t b) { return b != 0; })) {
    return std::nullopt;
  }
  const uint8_t sectorShift = s[108];
  const uint8_t clusterShift = s[109];
  const uint8_t fats = s[110];
  if (sectorShift < 9 || sectorShift > 12 || clusterShift > 25 - sectorShift) return std::nullopt;
  if (fats != 1 && fats != 2) return std::nullopt;
  const auto sectors = AsLength(ReadLe64(s, 72).value_or(0));
  if (!sectors || *sectors < (int64_t{1} << (20 - sectorShift))) return std::nullopt;
  if (*sectors > (INT64_MAX >> sectorShift)) return std::nullopt;
  const int64_t fatOffset = ReadLe32(s, 80).value_or(0);
  const int64_t fatLength = ReadLe32(s, 84).value_or(0);
  const int64_t heapOffset = ReadLe32(s, 88).value_or(0);
  const int64_t clusterCount = ReadLe32(s, 92).value_or(0);
  const uint32_t rootCluster = ReadLe32(s, 96).value_or(0);
  if (fatOffset < 24 || fatLength == 0 || heapOffset < fatOffset + fatLength * fats ||
      heapOffset >= *sectors || rootCluster < 2 || rootCluster - 2 >= clusterCount) {
    return std::nullopt;
  }
  // The cluster heap must fit in the volume, and the FAT must have an entry per cluster.
  if (heapOffset + (clusterCount << clusterShift) > *sectors) return std::nullopt;
  if ((fatLength << sectorShift) < (clusterCount + 2) * 4) return std::nullopt;
  return BootSector{FileSystemKind::kExfat, *sectors << sectorShift, 0};
}

struct FatLayout {
  uint32_t bps = 0;
  int64_t totalSectors = 0;
  bool fat32 = false;  // the FAT32 layout: 32-bit FAT size, root folder in clusters
  uint16_t reservedSectors = 0;
};

std::optional<FatLayout> ReadFatLayout(Bytes s) {
  if (!((s[0] == 0xEB && s[2] == 0x90) || s[0] == 0xE9)) return std::nullopt;
  FatLayout layout;
  layout.bps = ReadLe16(s, 11).value_or(0);
  const uint8_t sectorsPerCluster = s[13];
  layout.reservedSectors = ReadLe16(s, 14).value_or(0);
  const uint8_t fats = s[16];
  const int64_t rootEntries = ReadLe16(s, 17).value_or(0);
  const uint16_t sectors16 = ReadLe16(s, 19).value_or(0);
  const uint8_t media = s[21];
  const uint16_t fatSize16 = ReadLe16(s, 22).value_or(0);
  const uint32_t sectors32 = ReadLe32(s, 32).value_or(0);
  if (layout.bps != 512 && layout.bps != 1024 && layout.bps != 2048 && layout.bps != 4096) {
    return std::nullopt;
  }
  if (!IsPowerOfTwo(sectorsPerCluster) || sectorsPerCluster > 128) return std::nullopt;
  if (int64_t{sectorsPerCluster} * layout.bps > kMaxClusterBytes / 8) return std::nullopt;
  if (layout.reservedSectors == 0 || fats == 0 || fats > 4) return std::nullopt;
  if (media != 0xF0 && media < 0xF8) return std::nullopt;
  layout.totalSectors = sectors16 != 0 ? sectors16 : sectors32;
  if (layout.totalSectors == 0) return std::nullopt;
  layout.fat32 = fatSize16 == 0;
  const int64_t fatSize = layout.fat32 ? ReadLe32(s, 36).value_or(0) : fatSize16;
  if (fatSize == 0) return std::nullopt;
  if (layout.fat32 && (rootEntries != 0 || sectors16 != 0)) return std::nullopt;
  if (!layout.fat32 && rootEntries == 0) return std::nullopt;
  const int64_t rootSectors = (rootEntries * 32 + layout.bps - 1) / layout.bps;
  const int64_t dataStart = layout.reservedSectors + fats * fatSize + rootSectors;
  if (dataStart >= layout.totalSectors) return std::nullopt;
  // The FAT needs an entry for every cluster, of at least the width the cluster count calls for.
  const int64_t clusters = (layout.totalSectors - dataStart) / sectorsPerCluster;
  const int64_t entryBits = layout.fat32 ? 32 : clusters < 4085 ? 12 : 16;
  if (fatSize * layout.bps * 8 < (clusters + 2) * entryBits) return std::nullopt;
  return layout;
}

std::optional<BootSector> RecognizeFat(Bytes s) {
  if (!HasSignature(s)) return std::nullopt;
  const auto layout = ReadFatLayout(s);
  if (!layout) return std::nullopt;
  return BootSector{FileSystemKind::kFat, layout->totalSectors * layout->bps, 0};
}

}  // namespace

std::optional<BootSector> RecognizeBootSector(std::span<const uint8_t> bytes) {
  if (bytes.size() < kBootSectorBytes || !HasSignature(bytes)) return std::nullopt;
  if (auto ntfs = RecognizeNtfs(bytes)) return ntfs;
  if (auto exfat = RecognizeExfat(bytes)) return exfat;
  return RecognizeFat(bytes);
}

std::optional<int64_t> BackupDistance(std::span<const uint8_t> sector, const BootSector& boot) {
  if (sector.size() < kBootSectorBytes) return std::nullopt;
  switch (boot.kind) {
    case FileSystemKind::kNtfs:
      // The backup follows the volume's last sector, so the distance is the volume's length
      // without that sector.
      return boot.length - ReadLe16(sector, 0x0B).value_or(0);
    case FileSystemKind::kExfat:
      return int64_t{12} << sector[108];
    case FileSystemKind::kFat: {
      const auto layout = ReadFatLayout(sector);
      if (!layout || !layout->fat32) return std::nullopt;
      const uint16_t backupSector = ReadLe16(sector, 50).value_or(0);
      if (backupSector == 0 || backupSector >= layout->reservedSectors) return std::nullopt;
      return int64_t{backupSector} * layout->bps;
    }
  }
  return std::nullopt;
}

uint64_t BootSectorIdentity(std::span<const uint8_t> sector, const BootSector& boot) {
  // The volume serial number, mixed with the length so two volumes cloned from one image but
  // resized still differ.
  uint64_t serial = 0;
  switch (boot.kind) {
    case FileSystemKind::kNtfs:
      serial = ReadLe64(sector, 0x48).value_or(0);
      break;
    case FileSystemKind::kExfat:
      serial = ReadLe32(sector, 100).value_or(0);
      break;
    case FileSystemKind::kFat:
      serial = ReadLe32(sector, 67).value_or(0);  // FAT32's BS_VolID
      break;
  }
  return serial ^ (static_cast<uint64_t>(boot.length) * 0x9E3779B97F4A7C15ull);
}

const char* FileSystemName(FileSystemKind kind) {
  switch (kind) {
    case FileSystemKind::kFat:
      return "FAT";
    case FileSystemKind::kExfat:
      return "exFAT";
    case FileSystemKind::kNtfs:
      return "NTFS";
  }
  return "FAT";
}

}  // namespace quarvelin
